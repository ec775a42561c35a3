// This file contains the output capture on Windows: descriptors 1 and 2 become
// anonymous pipes, and one reader thread per stream copies every byte that
// arrives to the handle the stream had before, at once (so standard output
// stays exact even if the window never shows it), and queues it for the
// window's output pane.
//
// The pipes' write ends are in text mode, as the console's descriptors are,
// so the bytes written (line ends included) are those the program would have
// written without the capture. Standard output is made unbuffered: the C
// run-time has no line buffering, and a line must reach the pane when it is
// written, not when a buffer fills. A program started without standard
// handles (from Explorer) has stdout and stderr bound to no descriptor; they
// are bound to the new ones, and what they write goes to the pane alone.
//
// Reader threads never wait for the window: they only post to it (notify).
#include "output_capture.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

// One captured stream: its descriptor, the pipe's read end, the handle its
// bytes went to before (NULL when there was none) and the reader.
struct Stream {
    int fd;
    DWORD stdHandle;
    FILE* (*file)(void);
    bool error;
    HANDLE readEnd = nullptr;
    HANDLE original = nullptr;
    bool hadDescriptor = false;  // the descriptor existed before the capture
    HANDLE reader = nullptr;
    bool started = false;        // the descriptor is bound to the pipe
};

FILE* outFile() { return stdout; }
FILE* errFile() { return stderr; }

std::mutex lock;  // guards queue and notified
Stream streams[2] = {{1, STD_OUTPUT_HANDLE, outFile, false}, {2, STD_ERROR_HANDLE, errFile, true}};
std::vector<CapturedText> queue;
bool notified;  // notify was called and captureTake has not run since
void (*notifyGui)(void);
bool active;

void writeAll(HANDLE handle, const char* bytes, DWORD size)
{
    DWORD written = 0;
    // A destination that refuses the bytes loses them, as the program's own write would have failed.
    while (handle != nullptr && size > 0 && WriteFile(handle, bytes, size, &written, nullptr) && written > 0) {
        bytes += written;
        size -= written;
    }
}

DWORD WINAPI readerLoop(void* parameter)
{
    Stream& stream = *static_cast<Stream*>(parameter);
    char buffer[65536];
    DWORD size = 0;
    // Ends when every write end is closed (captureStop) or the pipe breaks.
    while (ReadFile(stream.readEnd, buffer, sizeof buffer, &size, nullptr) && size > 0) {
        writeAll(stream.original, buffer, size);
        bool tell = false;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (queue.empty() || queue.back().error != stream.error)
                queue.push_back({stream.error, std::string()});
            queue.back().bytes.append(buffer, size);
            tell = !notified;
            notified = true;
        }
        if (tell)
            notifyGui();
    }
    return 0;
}

// The handle the stream writes to now, duplicated so that it outlives the
// descriptor; NULL when the stream has none.
HANDLE currentHandle(const Stream& stream)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(stream.fd));
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr)
        handle = GetStdHandle(stream.stdHandle);
    HANDLE copy = nullptr;
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// Makes fd a text-mode descriptor for handle (which it takes over) and the
// process's standard handle; binds the C stream to fd when it had no descriptor.
bool bind(Stream& stream, HANDLE handle)
{
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_TEXT | _O_WRONLY);
    if (fd < 0) {
        CloseHandle(handle);
        return false;
    }
    bool bound = _dup2(fd, stream.fd) == 0;
    _close(fd);
    if (!bound)
        return false;
    SetStdHandle(stream.stdHandle, reinterpret_cast<HANDLE>(_get_osfhandle(stream.fd)));
    FILE* file = stream.file();
    if (_fileno(file) < 0)
        file->_file = stream.fd;  // started without the handle: the stream had no descriptor
    return true;
}

// Forgets what startStream made for a stream that is not (or no longer) bound.
void release(Stream& stream)
{
    if (stream.reader != nullptr) {
        // A child process that inherited the write end would keep the pipe
        // open; the reader is then left to end with the process.
        WaitForSingleObject(stream.reader, 5000);
        CloseHandle(stream.reader);
    }
    for (HANDLE handle : {stream.readEnd, stream.original})
        if (handle != nullptr)
            CloseHandle(handle);
    stream.reader = stream.readEnd = stream.original = nullptr;
}

bool startStream(Stream& stream)
{
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&stream.readEnd, &writeEnd, nullptr, 65536))
        return false;
    stream.hadDescriptor = _get_osfhandle(stream.fd) != -1 && _get_osfhandle(stream.fd) != -2;
    stream.original = currentHandle(stream);
    stream.reader = CreateThread(nullptr, 0, readerLoop, &stream, 0, nullptr);
    if (stream.reader == nullptr)
        CloseHandle(writeEnd);
    if (stream.reader == nullptr || !bind(stream, writeEnd)) {  // the write end is closed: the reader ends
        release(stream);
        return false;
    }
    stream.started = true;
    return true;
}

// Gives the descriptor back its original handle (or closes it), which closes
// the pipe's last write end; the reader passes on what remains and ends.
void stopStream(Stream& stream)
{
    if (!stream.started)
        return;
    HANDLE copy = nullptr;
    if (stream.original != nullptr)
        DuplicateHandle(GetCurrentProcess(), stream.original, GetCurrentProcess(), &copy, 0, TRUE,
                        DUPLICATE_SAME_ACCESS);
    if (copy == nullptr || !bind(stream, copy)) {
        _close(stream.fd);
        SetStdHandle(stream.stdHandle, nullptr);
        if (!stream.hadDescriptor)
            stream.file()->_file = -2;  // as it was: no descriptor
    }
    release(stream);
    stream.started = false;
}

void stopAtExit()
{
    captureStop();
}

}  // namespace

bool captureStart(void (*notify)(void), void (*written)(void))
{
    (void)written;  // no call on the writing thread is needed here
    if (active)
        return true;
    fflush(stdout);
    fflush(stderr);
    notifyGui = notify;
    notified = false;
    if (!startStream(streams[0]) || !startStream(streams[1])) {
        stopStream(streams[0]);
        return false;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    active = true;
    static bool registered = false;
    if (!registered)
        registered = atexit(stopAtExit) == 0;
    return true;
}

std::vector<CapturedText> captureTake(bool drain)
{
    // Draining waits (a little at a time, a few seconds at most) until the
    // readers have taken what the pipes hold.
    for (int waited = 0; drain && active && waited < 5000; ++waited) {
        DWORD waiting = 0, more = 0;
        for (const Stream& stream : streams)
            if (stream.readEnd != nullptr && PeekNamedPipe(stream.readEnd, nullptr, 0, nullptr, &more, nullptr))
                waiting += more;
        if (waiting == 0)
            break;
        Sleep(1);
    }
    std::lock_guard<std::mutex> guard(lock);
    std::vector<CapturedText> taken;
    taken.swap(queue);
    notified = false;
    return taken;
}

void captureStop(void)
{
    if (!active)
        return;
    fflush(stdout);
    fflush(stderr);
    for (Stream& stream : streams)
        stopStream(stream);
    active = false;
}
