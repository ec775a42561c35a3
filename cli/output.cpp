// output.cpp: This file contains the writing of standard output and the
// JSON, CSV and time-stamp formats of the kovo tool.
#include "output.h"

#include <cerrno>
#include <chrono>
#include <cstdio>

#include <fmt/chrono.h>
#include <fmt/format.h>

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
    for (size_t i = 0; i < text.size(); ++i) {
        // The dump is well-formed UTF-8, so these byte patterns are whole characters.
        const auto byte = [&](size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u; };
        unsigned code = 0;
        size_t length = 0;
        if (byte(0) == 0xC2 && byte(1) >= 0x80 && byte(1) <= 0x9F)
            code = byte(1), length = 2;                                      // C1 controls
        else if (byte(0) == 0xD8 && byte(1) == 0x9C)
            code = 0x061C, length = 2;                                       // Arabic letter mark
        else if (byte(0) == 0xE2 && byte(1) == 0x80 &&
                 (byte(2) == 0x8E || byte(2) == 0x8F || (byte(2) >= 0xA8 && byte(2) <= 0xAE)))
            code = 0x2000 + (byte(2) - 0x80), length = 3;                    // marks, separators, embeddings
        else if (byte(0) == 0xE2 && byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9)
            code = 0x2040 + (byte(2) - 0x80), length = 3;                    // isolates
        if (length == 0) {
            out += text[i];
            continue;
        }
        out += fmt::format("\\u{:04x}", code);
        i += length - 1;
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
