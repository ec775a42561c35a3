// crate_text.cpp: This file contains how a crate's text is shown to an
// operator: controls and malformed UTF-8 escaped, and the length capped so
// that one name cannot fill the screen.
#include "crate_text.h"

#include <cstdio>
#include <cstring>

namespace torvan_text {
namespace {

// The bytes of a crate's text shown whole, at most this many bytes of shown
// text: twice the longest name the crate's MIB allows, so that every proper
// name shows as it is, and a longer one still fits on the table's line.
constexpr size_t shownTextLimit = 64;

}  // namespace

size_t utf8Sequence(std::string_view text, char32_t* code)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    size_t length = 0;
    if (lead < 0x80)
        length = 1;
    else if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    if (length == 0 || length > text.size())
        return 0;
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        value = value << 6 | (next & 0x3F);
    }
    static const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code = value;
    return length;
}

bool steersTerminal(char32_t code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x061C || code == 0x200E || code == 0x200F ||
           (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

std::string shown(std::string_view text)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        char32_t code = 0;
        const size_t length = utf8Sequence(text.substr(at), &code);
        char piece[16];
        if (length == 0)
            snprintf(piece, sizeof piece, "\\x%02X", static_cast<unsigned char>(text[at]));
        else if (code < 0x80 && steersTerminal(code))
            snprintf(piece, sizeof piece, "\\x%02X", static_cast<unsigned>(code));
        else if (steersTerminal(code))
            snprintf(piece, sizeof piece, "\\u{%X}", static_cast<unsigned>(code));
        else
            snprintf(piece, sizeof piece, "%.*s", static_cast<int>(length), text.data() + at);
        if (out.size() + strlen(piece) > shownTextLimit) {
            // snprintf rather than std::to_string, whose digit table the
            // shared library would otherwise export.
            char mark[32];
            snprintf(mark, sizeof mark, "...[%zu bytes]", text.size());
            return out + mark;
        }
        out += piece;
        at += length == 0 ? 1 : length;
    }
    return out;
}

}  // namespace torvan_text
