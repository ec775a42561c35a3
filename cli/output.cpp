// output.cpp: This file contains the writing of standard output and the
// JSON, CSV and time-stamp formats of the kovo tool.
#include "output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "crate_text.h"

namespace kovo_cli {

void put(const std::string& text)
{
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::ferror(stdout))
        throw OutputError{errno};
}

void flush()
{
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw OutputError{errno};
}

std::string dumped(const json& document)
{
    const std::string text = document.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string out;
    for (size_t at = 0; at < text.size();) {
        // The dump is well-formed UTF-8 with its C0 controls already escaped.
        char32_t code = 0;
        const size_t length = std::max<size_t>(1, torvan_text::utf8Sequence(std::string_view(text).substr(at), &code));
        if (code >= 0x80 && torvan_text::steersTerminal(code))
            out += fmt::format("\\u{:04x}", static_cast<unsigned>(code));
        else
            out.append(text, at, length);
        at += length;
    }
    return out + "\n";
}

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string timeStamp()
{
    const auto now = std::chrono::system_clock::now();
    const auto seconds = std::chrono::time_point_cast<std::chrono::seconds>(now);
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(now - seconds).count();
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z", seconds, milliseconds);
}

}  // namespace kovo_cli
