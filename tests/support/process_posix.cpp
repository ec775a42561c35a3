// process_posix.cpp: This file contains the process layer on Linux: fork and
// exec, with the program's standard streams as pipes, files, the null device
// or a pseudo-terminal, and one poll loop that writes its input and reads
// both outputs without deadlock. A started program gets SIGTERM when the
// test program that started it dies, so that no crate outlives a crash.
#include "process_state.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <sstream>
#include <utility>

extern char** environ;

namespace kovo::test {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds until the deadline, as poll takes them: -1 for none.
int msLeft(Clock::time_point deadline)
{
    if (deadline == Clock::time_point::max())
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

Clock::time_point deadlineAfter(int timeoutMs)
{
    return timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
}

void closeFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

int decodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// The environment the program gets: the test's (or none) with the changes applied.
std::vector<std::string> environmentOf(const Start& start)
{
    std::vector<std::string> entries;
    if (!start.ownEnvironment)
        for (char** e = environ; *e != nullptr; ++e)
            entries.emplace_back(*e);
    for (const std::string& change : start.env) {
        const std::string name = change.substr(0, change.find('=')) + "=";
        std::erase_if(entries, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        if (change.find('=') != std::string::npos)
            entries.push_back(change);
    }
    return entries;
}

// argv[0] as a path: as given when it holds a slash, else found in PATH.
std::string programPath(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return name;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> list;
    for (std::string& s : strings)
        list.push_back(s.data());
    list.push_back(nullptr);
    return list;
}

// Opens where an output goes: ends[1] for the program, ends[0] for the test
// when it reads it; neither when the program keeps the test's own.
bool openOutput(Output output, const std::string& file, int ends[2])
{
    switch (output) {
    case Output::pipe: return pipe2(ends, O_CLOEXEC) == 0;
    case Output::brokenPipe: return pipe2(ends, O_CLOEXEC) == 0 && close(std::exchange(ends[0], -1)) == 0;
    case Output::merged:
    case Output::inherited: return true;
    case Output::file: return (ends[1] = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) >= 0;
    case Output::null: break;
    }
    return (ends[1] = open("/dev/null", O_WRONLY | O_CLOEXEC)) >= 0;
}

// Reads what one of the program's outputs holds now; false at its end.
bool drain(int& fd, std::string& text)
{
    char buffer[65536];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count > 0) {
        text.append(buffer, static_cast<std::size_t>(count));
        return true;
    }
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    closeFd(fd);
    return false;
}

// Reads both outputs until `done` says so, both have ended, or the deadline
// passes; also writes `pending` to the input meanwhile. True when done.
bool pump(Process::State& s, Clock::time_point deadline, const std::function<bool()>& done,
          std::string_view* pending = nullptr)
{
    while (!done()) {
        const bool writing = pending && !pending->empty() && s.input >= 0;
        if (!writing && s.out < 0 && s.err < 0)
            return false;
        pollfd fds[3] = {{writing ? s.input : -1, POLLOUT, 0}, {s.out, POLLIN, 0}, {s.err, POLLIN, 0}};
        const int ready = poll(fds, 3, msLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        if (writing && fds[0].revents) {
            const ssize_t count = ::write(s.input, pending->data(), pending->size());
            if (count > 0)
                pending->remove_prefix(static_cast<std::size_t>(count));
            else if (errno != EINTR && errno != EAGAIN)
                return false;
        }
        if (fds[1].revents)
            drain(s.out, s.outText);
        if (fds[2].revents)
            drain(s.err, s.errText);
    }
    return true;
}

// Reads what is left in an output of a program that has exited, and closes it.
void drainLeft(int& fd, std::string& text)
{
    if (fd < 0)
        return;
    fcntl(fd, F_SETFL, O_NONBLOCK);
    char buffer[65536];
    for (ssize_t count; (count = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(count));
    closeFd(fd);
}

// Reads both outputs until they end or the program exits, then what it left
// in them: once it has exited its own output is all there, and a child it
// left behind may hold them open for long. False at the deadline.
bool collectToExit(Process::State& s, Clock::time_point deadline)
{
    while (s.out >= 0 || s.err >= 0) {
        pollfd fds[3] = {{s.out, POLLIN, 0}, {s.err, POLLIN, 0}, {s.exited, POLLIN, 0}};
        const int ready = poll(fds, 3, msLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        if (fds[0].revents)
            drain(s.out, s.outText);
        if (fds[1].revents)
            drain(s.err, s.errText);
        if (fds[2].revents) {
            drainLeft(s.out, s.outText);
            drainLeft(s.err, s.errText);
        }
    }
    return true;
}

// Waits for the exit until the deadline, without reading; true once reaped.
bool reap(Process::State& s, Clock::time_point deadline)
{
    while (!s.reaped && s.pid > 0) {
        int status = 0;
        const pid_t done = waitpid(static_cast<pid_t>(s.pid), &status, WNOHANG);
        if (done == s.pid || (done < 0 && errno != EINTR)) {
            s.status = done == s.pid ? decodeStatus(status) : -1;
            s.reaped = true;
            break;
        }
        if (Clock::now() >= deadline)
            return false;
        // Without a pidfd (an old kernel) the exit is looked for every 10 ms.
        pollfd exit{s.exited, POLLIN, 0};
        const int left = msLeft(deadline);
        poll(&exit, s.exited >= 0 ? 1 : 0, s.exited >= 0 ? left : (left < 0 ? 10 : std::min(left, 10)));
    }
    closeFd(s.exited);
    return true;
}

void closeAll(Process::State& s)
{
    closeFd(s.input);
    closeFd(s.out);
    closeFd(s.err);
}

// The ends of a program's standard streams: [0] read, [1] write; -1 where it has none.
struct Streams {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
};

// Opens the streams the program is to have; false if one cannot be had.
bool openStreams(const Start& start, Streams& st)
{
    bool opened = true;
    switch (start.input) {
    case Input::pipe: opened = pipe2(st.in, O_CLOEXEC) == 0; break;
    case Input::terminal:
        opened = openpty(&st.in[1], &st.in[0], nullptr, nullptr, nullptr) == 0 &&
                 fcntl(st.in[0], F_SETFD, FD_CLOEXEC) == 0 && fcntl(st.in[1], F_SETFD, FD_CLOEXEC) == 0;
        break;
    case Input::null: opened = (st.in[0] = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0; break;
    case Input::file: opened = (st.in[0] = open(start.inputFile.c_str(), O_RDONLY | O_CLOEXEC)) >= 0; break;
    }
    return opened && openOutput(start.out, start.outFile, st.out) && openOutput(start.err, start.errFile, st.err);
}

// What the forked child does: takes its streams and folder, and becomes the
// program. Only async-signal-safe calls: the test program may have threads.
[[noreturn]] void becomeProgram(const Start& start, const Streams& st, pid_t parent, const std::string& path,
                                char* const* argv, char* const* envp, const std::string& cannot)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(127);
    // SIGPIPE as a shell leaves it, not ignored as in the test program.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &byDefault, nullptr);
    if (start.ownSession)
        setsid();
    dup2(st.in[0], 0);
    if (st.out[1] >= 0)
        dup2(st.out[1], 1);
    if (start.err == Output::merged)
        dup2(1, 2);
    else if (st.err[1] >= 0)
        dup2(st.err[1], 2);
    for (std::size_t i = 0; i < start.passed.size(); ++i) {
        const int at = static_cast<int>(3 + i);
        if (start.passed[i] == at || dup2(start.passed[i], at) == at)
            fcntl(at, F_SETFD, 0);
    }
    // Nothing else of the test's: a pipe or socket left open would keep its reader waiting.
    close_range(static_cast<unsigned>(3 + start.passed.size()), ~0U, 0);
    if (!start.cwd.empty() && chdir(start.cwd.c_str()) != 0)
        _exit(127);
    execve(path.c_str(), argv, envp);
    const char* why = std::strerror(errno);
    [[maybe_unused]] ssize_t ignored = ::write(2, cannot.data(), cannot.size());
    ignored = ::write(2, why, std::strlen(why));
    ignored = ::write(2, "\n", 1);
    _exit(127);
}

}  // namespace

Process::Process(const Start& start) : state(std::make_unique<State>())
{
    static const bool ignoringSigpipe = [] {
        std::signal(SIGPIPE, SIG_IGN);  // a program that stopped reading is an error result, not a signal
        return true;
    }();
    (void)ignoringSigpipe;
    State& s = *state;
    if (start.argv.empty()) {
        s.failure = "no program to start";
        return;
    }
    // Everything the child needs is made before the fork.
    Streams st;
    const bool opened = openStreams(start, st);
    std::vector<std::string> args = start.argv, env = environmentOf(start);
    const std::string path = programPath(args[0]), cannot = "cannot run " + args[0] + ": ";
    std::vector<char*> argv = pointers(args), envp = pointers(env);
    const pid_t parent = getpid();
    const pid_t pid = opened ? fork() : -1;
    if (pid == 0)
        becomeProgram(start, st, parent, path, argv.data(), envp.data(), cannot);
    if (pid < 0)
        s.failure = std::string(opened ? "fork: " : "no pipes or files for its streams: ") + std::strerror(errno);
    for (int fd : {st.in[0], st.out[1], st.err[1]})
        if (fd >= 0)
            close(fd);
    s.input = st.in[1];
    s.out = st.out[0];
    s.err = st.err[0];
    s.terminal = start.input == Input::terminal;
    if (pid < 0) {
        closeAll(s);
        return;
    }
    s.pid = pid;
    s.exited = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (s.input >= 0)
        fcntl(s.input, F_SETFL, O_NONBLOCK);
}

bool Process::write(const std::string& text)
{
    if (!started() || state->input < 0)
        return false;
    std::string_view pending(text);
    return pump(*state, deadlineAfter(hangGuardMs), [&] { return pending.empty(); }, &pending);
}

void Process::closeInput()
{
    if (!state)
        return;
    if (state->terminal && state->input >= 0)
        write("\x04");  // end of input as typed: the terminal stays, as a user's would
    else
        closeFd(state->input);
}

bool Process::readLine(std::string& line, int timeoutMs)
{
    if (!state)
        return false;
    State& s = *state;
    const auto whole = [&] { return s.outText.find('\n', s.lineStart) != std::string::npos; };
    if (!pump(s, deadlineAfter(timeoutMs), whole))
        return false;
    const std::size_t end = s.outText.find('\n', s.lineStart);
    line = s.outText.substr(s.lineStart, end - s.lineStart);
    s.lineStart = end + 1;
    return true;
}

bool Process::readBytes(std::size_t count, std::string& bytes, int timeoutMs)
{
    if (!state)
        return false;
    State& s = *state;
    if (!pump(s, deadlineAfter(timeoutMs), [&] { return s.outText.size() >= s.lineStart + count; }))
        return false;
    bytes = s.outText.substr(s.lineStart, count);
    s.lineStart += count;
    return true;
}

bool Process::readUntil(const std::string& needle, int timeoutMs, bool fromErr)
{
    if (!state)
        return false;
    const std::string& text = fromErr ? state->errText : state->outText;
    return pump(*state, deadlineAfter(timeoutMs), [&] { return text.find(needle) != std::string::npos; });
}

int Process::wait(int timeoutMs)
{
    if (!started())
        return -1;
    State& s = *state;
    const auto deadline = deadlineAfter(timeoutMs);
    if (!s.reaped) {
        collectToExit(s, deadline);
        if (!reap(s, deadline)) {
            s.timedOut = true;
            kill(static_cast<pid_t>(s.pid), SIGKILL);
            reap(s, Clock::time_point::max());
        }
    }
    closeAll(s);
    return s.status;
}

int Process::stop()
{
    if (!started())
        return -1;
    State& s = *state;
    if (!s.reaped) {
        kill(static_cast<pid_t>(s.pid), SIGTERM);
        const auto deadline = deadlineAfter(hangGuardMs);
        collectToExit(s, deadline);
        if (!reap(s, deadline)) {
            kill(static_cast<pid_t>(s.pid), SIGKILL);
            reap(s, Clock::time_point::max());
        }
    }
    closeAll(s);
    return s.status;
}

}  // namespace kovo::test
