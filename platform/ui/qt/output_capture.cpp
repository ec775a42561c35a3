// This file contains the output capture: descriptors 1 and 2 become pipes, and
// a reader thread copies every byte that arrives to the original descriptors
// at once (so standard output stays exact even if the window never shows it)
// and queues it for the window's output pane.
//
// Reads happen under one lock, from the reader thread or from the GUI thread
// when it drains (after a write of its own, after a callback, at the end of
// the loop, at exit), so each byte is passed on and queued exactly once and in
// the order it was read. The two streams are separate pipes: the order between
// a standard output line and a standard error line written at almost the same
// moment is the order in which they were read, which can differ from the
// order they were written.
//
// The C library's stdout and stderr are replaced, once for the rest of the
// process, by streams of ours with the buffering the program gets from the
// run-time (stdout by lines, stderr none) that write to descriptors 1 and 2 as
// the originals did and then call the front end back on the writing thread:
// those calls are where the window is brought up to date while a callback
// holds the GUI thread.
#include "output_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// One captured stream: the pipe's read end and where its bytes went before.
struct Stream {
    int readEnd = -1;
    int original = -1;
    bool open = false;  // the pipe has not reached end of file
    bool error = false; // standard error
};

std::mutex lock;        // guards everything below
Stream streams[2];      // standard output, standard error
int stopPipe[2] = {-1, -1};
std::thread reader;
std::vector<CapturedText> queue;
bool notified;          // notify was called and captureTake has not run since
void (*notifyGui)(void);
bool active;
std::atomic<void (*)(void)> writtenHook;  // called after each write of our streams
thread_local bool inWrittenHook;          // this thread is inside writtenHook

// Writes all of bytes to fd: the count written, or -1 with errno set when
// nothing could be. A destination that refuses the bytes of a pipe loses
// them, as the program's own write would have failed.
ssize_t writeAll(int fd, const char* bytes, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t written = write(fd, bytes + done, size - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(written);
    }
    return static_cast<ssize_t>(done);
}

// The write function of our stdout and stderr; the cookie is the descriptor.
ssize_t streamWrite(void* cookie, const char* bytes, size_t size)
{
    ssize_t written = writeAll(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), bytes, size);
    void (*hook)(void) = writtenHook.load();
    if (hook != nullptr && !inWrittenHook) {
        inWrittenHook = true;
        hook();
        inWrittenHook = false;
    }
    return written;
}

// Puts our streams in place of stdout and stderr, once; keeps the C library's
// own when ours cannot be made (the window is then brought up to date only
// between callbacks). The originals stay open, flushed and unused: whatever
// still holds them (the C++ standard streams) writes through them as before.
void replaceStreams()
{
    static bool replaced = false;
    if (replaced)
        return;
    cookie_io_functions_t functions = {nullptr, streamWrite, nullptr, nullptr};
    FILE* out = fopencookie(reinterpret_cast<void*>(intptr_t{STDOUT_FILENO}), "w", functions);
    FILE* err = fopencookie(reinterpret_cast<void*>(intptr_t{STDERR_FILENO}), "w", functions);
    if (out == nullptr || err == nullptr || setvbuf(out, nullptr, _IOLBF, BUFSIZ) != 0 ||
        setvbuf(err, nullptr, _IONBF, 0) != 0) {
        if (out != nullptr)
            fclose(out);
        if (err != nullptr)
            fclose(err);
        return;
    }
    fflush(stdout);
    fflush(stderr);
    stdout = out;
    stderr = err;
    replaced = true;
}

void enqueue(bool error, const char* bytes, size_t size)
{
    if (queue.empty() || queue.back().error != error)
        queue.push_back({error, std::string()});
    queue.back().bytes.append(bytes, size);
}

// Reads all that the pipes hold without blocking; true when anything was read.
// The caller holds the lock.
bool pumpLocked()
{
    bool any = false;
    char buffer[65536];
    for (Stream& stream : streams) {
        while (stream.open) {
            ssize_t size = read(stream.readEnd, buffer, sizeof buffer);
            if (size > 0) {
                writeAll(stream.original, buffer, static_cast<size_t>(size));
                enqueue(stream.error, buffer, static_cast<size_t>(size));
                any = true;
            } else if (size == 0) {
                stream.open = false;  // every write end is closed
            } else if (errno != EINTR) {
                break;                // empty for now
            }
        }
    }
    return any;
}

void readerLoop()
{
    for (;;) {
        pollfd fds[3];
        {
            std::lock_guard<std::mutex> guard(lock);
            for (int i = 0; i < 2; ++i)
                fds[i] = {streams[i].open ? streams[i].readEnd : -1, POLLIN, 0};
        }
        fds[2] = {stopPipe[0], POLLIN, 0};
        if (poll(fds, 3, -1) < 0)
            continue;  // EINTR
        if (fds[2].revents != 0)
            return;
        bool tell = false;
        {
            std::lock_guard<std::mutex> guard(lock);
            tell = pumpLocked() && !notified;
            notified = notified || tell;
        }
        if (tell)
            notifyGui();
    }
}

void closeAll(std::initializer_list<int> fds)
{
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
}

void stopAtExit()
{
    captureStop();
}

}  // namespace

bool captureStart(void (*notify)(void), void (*written)(void))
{
    if (active)
        return true;
    replaceStreams();
    int out[2] = {-1, -1}, err[2] = {-1, -1}, stop[2] = {-1, -1};
    int originalOut = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int originalErr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (originalOut < 0 || originalErr < 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
        pipe2(stop, O_CLOEXEC) != 0) {
        closeAll({originalOut, originalErr, out[0], out[1], err[0], err[1], stop[0], stop[1]});
        return false;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);

    fflush(stdout);
    fflush(stderr);
    streams[0] = {out[0], originalOut, true, false};
    streams[1] = {err[0], originalErr, true, true};
    stopPipe[0] = stop[0];
    stopPipe[1] = stop[1];
    notifyGui = notify;
    notified = false;
    try {
        reader = std::thread(readerLoop);
    } catch (const std::system_error&) {
        closeAll({originalOut, originalErr, out[0], out[1], err[0], err[1], stop[0], stop[1]});
        streams[0] = streams[1] = Stream();
        return false;
    }
    // From here on the program's writes on 1 and 2 go into the pipes.
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    closeAll({out[1], err[1]});
    active = true;
    writtenHook = written;

    static bool registered = false;
    if (!registered)
        registered = atexit(stopAtExit) == 0;
    return true;
}

std::vector<CapturedText> captureTake(bool drain)
{
    std::lock_guard<std::mutex> guard(lock);
    if (drain && active)
        pumpLocked();
    std::vector<CapturedText> taken;
    taken.swap(queue);
    notified = false;
    return taken;
}

void captureStop(void)
{
    if (!active)
        return;
    writtenHook = nullptr;
    fflush(stdout);
    fflush(stderr);
    {
        std::lock_guard<std::mutex> guard(lock);
        // Putting the originals back closes the pipes' last write ends (unless
        // a child process inherited them); what they hold is still read here.
        dup2(streams[0].original, STDOUT_FILENO);
        dup2(streams[1].original, STDERR_FILENO);
        pumpLocked();
        active = false;
    }
    writeAll(stopPipe[1], "x", 1);
    reader.join();
    closeAll({streams[0].readEnd, streams[0].original, streams[1].readEnd, streams[1].original, stopPipe[0],
              stopPipe[1]});
    streams[0] = streams[1] = Stream();
    stopPipe[0] = stopPipe[1] = -1;
}
