// This file contains the interface of the output capture: the program's
// standard output and error, still passed on byte for byte to where they went
// before, kept in order for the window's output pane, and a call on the
// writing thread after each write through the C library's streams. Each
// graphical front end has its own (qt/ for Linux, win32/ for Windows).
#ifndef KOVO_UI_OUTPUT_CAPTURE_H
#define KOVO_UI_OUTPUT_CAPTURE_H

#include <string>
#include <vector>

/* A run of bytes that the program wrote on one stream. */
struct CapturedText {
    bool error;          /* written on standard error */
    std::string bytes;
};

/* Puts pipes in place of file descriptors 1 and 2 and starts a reader thread
 * that copies whatever arrives to the original descriptors at once and queues
 * it for captureTake. notify is called on the reader thread when text has been
 * queued and no notification is pending (until captureTake is next called).
 * written, when not NULL, is called on the writing thread each time the C
 * library's stdout or stderr has handed bytes on to its descriptor (for stdout,
 * line-buffered, once a line is complete), never from inside another call of
 * it; on Windows it is never called, as the window has a thread of its own.
 * Also arranges for captureStop at exit. Returns true at once when already
 * capturing; false, changing nothing, when the pipes or the thread cannot be
 * made. */
bool captureStart(void (*notify)(void), void (*written)(void));

/* The text queued since the last call, oldest first, in the order it was read.
 * With drain set, first reads all that the pipes hold, so that every byte
 * that reached descriptor 1 or 2 before this call is included; bytes still in
 * a stdio buffer are not (fflush first for them). Safe to call from written. */
std::vector<CapturedText> captureTake(bool drain);

/* Flushes stdio, passes on and queues all that the pipes hold, puts the
 * original descriptors 1 and 2 back and stops the reader; written is no longer
 * called. Later output goes straight to the original descriptors. Does nothing
 * when not capturing. */
void captureStop(void);

#endif /* KOVO_UI_OUTPUT_CAPTURE_H */
