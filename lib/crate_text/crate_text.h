/*
 * crate_text.h: a crate's text (a channel name, any octet string it sends) as
 * an operator's terminal or output pane may be given it, shared by the panel
 * program and the kovo tool through a small library of its own (not part of
 * the access library, not installed).
 */
#ifndef TORVAN_SNMP_CRATE_TEXT_H
#define TORVAN_SNMP_CRATE_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace torvan_text {

/* The text with nothing in it that could move the cursor, recolour or retitle
 * the terminal, draw a line of its own or reverse the line it is on: a byte
 * that is no well-formed UTF-8 as \xHH, an ASCII control as \xHH, any other
 * control as \u{HHHH}. Printable text, the backslash and UTF-8 included, is
 * shown as the crate reports it. A text that would show longer than 64 bytes
 * is cut after a whole character or escape, marked with "...[N bytes]", N
 * being the whole text's byte count. */
std::string shown(std::string_view text);

/* The length of the well-formed UTF-8 sequence that starts text, and its code
 * point in *code; 0 when text does not start with one (a stray or missing
 * continuation byte, an overlong form, a surrogate, beyond U+10FFFF). */
size_t utf8Sequence(std::string_view text, char32_t* code);

/* Whether a code point moves the cursor, starts a terminal sequence, breaks
 * the line or reorders the text around it: C0, DEL and C1 controls, the line
 * and paragraph separators, and the bidirectional marks, embeddings,
 * overrides and isolates. */
bool steersTerminal(char32_t code);

}  // namespace torvan_text

#endif /* TORVAN_SNMP_CRATE_TEXT_H */
