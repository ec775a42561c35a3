// This file contains what the process tests do to a program's window from
// outside, as an operator's mouse, keyboard and a window manager would: clicks
// and keys through the X server's test extension, a window manager's close
// request, and an Expose that follows them.
#ifndef KOVO_X_INPUT_H
#define KOVO_X_INPUT_H

#include <cstdint>
#include <string>
#include <vector>

namespace kovo::gui {

/* Moves the pointer of display to (x, y) on the screen and clicks the first
 * button there; returns once the server has taken the click. */
bool xClick(const std::string& display, int x, int y);

/* Presses and releases each key in turn, given by its X keysym (a printable
 * ASCII character is its own keysym; 0xff08 BackSpace, 0xff0d Return, 0xff57
 * End); false when the keyboard has no key for one without a modifier. */
bool xKeys(const std::string& display, const std::vector<uint32_t>& keysyms);

/* Asks window to close, as a window manager's close button does
 * (WM_DELETE_WINDOW); returns once the server has sent the request. */
bool xClose(const std::string& display, uint32_t window);

/* Has the server send window an Expose of its whole area, after every event
 * the server sent the window's client before; returns once it is sent. */
bool xExpose(const std::string& display, uint32_t window);

}  // namespace kovo::gui

#endif /* KOVO_X_INPUT_H */
