/*
 * crate_text.h: a crate's text (a channel name, any octet string it sends) as
 * an operator's terminal or output pane may be given it, shared by the panel
 * program and the kovo tool through a small library of its own (not part of
 * the access library, not installed).
 */
#ifndef TORVAN_SNMP_CRATE_TEXT_H
#define TORVAN_SNMP_CRATE_TEXT_H

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

}  // namespace torvan_text

#endif /* TORVAN_SNMP_CRATE_TEXT_H */
