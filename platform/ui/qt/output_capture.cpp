// This file contains the output capture: descriptors 1 and 2 become pipes, and
// a reader thread copies every byte that arrives to the original descriptors
// at once (so standard output stays exact even if the window never shows it)
// and queues it for the window's output pane.
//
// Reads happen under one lock, from the reader thread or from the GUI thread
// when it drains (after a callback, at the end of the loop, at exit), so each
// byte is passed on and queued exactly once and in the order it was read. The
// two streams are separate pipes: the order between a standard output line
// and a standard error line written at almost the same moment is the order in
// which they were read, which can differ from the order they were written.
#include "output_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
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

// Writes all of bytes to fd; a destination that refuses them loses them, as
// the program's own write would have failed.
void passOn(int fd, const char* bytes, size_t size)
{
    while (size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
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
                passOn(stream.original, buffer, static_cast<size_t>(size));
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

bool captureStart(void (*notify)(void))
{
    if (active)
        return true;
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

    static bool registered = false;
    if (!registered)
        registered = atexit(stopAtExit) == 0;
    return true;
}

std::vector<CapturedText> captureTake(bool drain)
{
    if (drain) {
        fflush(stdout);
        fflush(stderr);
    }
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
    passOn(stopPipe[1], "x", 1);
    reader.join();
    closeAll({streams[0].readEnd, streams[0].original, streams[1].readEnd, streams[1].original, stopPipe[0],
              stopPipe[1]});
    streams[0] = streams[1] = Stream();
    stopPipe[0] = stopPipe[1] = -1;
}
