// This file contains the helpers that run an X server and programs on a
// terminal for the GUI tests and the start-up benchmark.
#include "gui_session.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#ifndef KOVO_BINARY_DIR
#error "KOVO_BINARY_DIR, the build folder, must be defined by the build"
#endif

extern char** environ;

namespace kovo::gui {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::vector<char*> pointers(std::vector<std::string>& words)
{
    std::vector<char*> list;
    for (std::string& word : words)
        list.push_back(word.data());
    list.push_back(nullptr);
    return list;
}

void closeFd(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// Starts argv with descriptors 0, 1 and 2 (and 3 when not -1) as given, in the
// given environment (the caller's when env is NULL).
pid_t start(std::vector<std::string> argv, const std::string& cwd, const std::vector<std::string>* env,
            int in, int out, int err, int fd3)
{
    std::vector<char*> args = pointers(argv);
    std::vector<std::string> envCopy = env != nullptr ? *env : std::vector<std::string>();
    std::vector<char*> envp = pointers(envCopy);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    setsid();
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (fd3 >= 0) {
        if (fd3 != 3)
            dup2(fd3, 3);
        fcntl(3, F_SETFD, 0);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
        _exit(126);
    execve(args[0], args.data(), env != nullptr ? envp.data() : environ);
    _exit(127);
}

}  // namespace

std::string startXvfb(Child* server)
{
    int ready[2];
    if (pipe(ready) != 0)
        return "";
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    // Xvfb writes the display number it chose on the descriptor once it accepts clients.
    server->pid = start({"/usr/bin/Xvfb", "-displayfd", std::to_string(ready[1]), "-nolisten", "tcp", "-screen", "0",
                         "1280x1024x24"},
                        "", nullptr, null, null, null, -1);
    close(null);
    close(ready[1]);
    std::string number;
    bool found = readUntil(ready[0], "\n", &number, 30000);
    close(ready[0]);
    if (!found || number.size() < 2) {
        stopChild(server);
        return "";
    }
    number.pop_back();
    return ":" + number;
}

void stopChild(Child* child)
{
    if (child->pid > 0) {
        kill(child->pid, SIGTERM);
        waitpid(child->pid, nullptr, 0);
    }
    child->pid = -1;
    closeFd(&child->terminal);
    closeFd(&child->out);
    closeFd(&child->err);
}

Child spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::vector<std::string>& env,
            Input input, int extraFd, const std::string& inputFile)
{
    Child child;
    int in[2] = {-1, -1}, out[2], err[2];
    if (input == Input::terminal) {
        if (openpty(&in[1], &in[0], nullptr, nullptr, nullptr) != 0)
            return child;
        fcntl(in[0], F_SETFD, FD_CLOEXEC);
        fcntl(in[1], F_SETFD, FD_CLOEXEC);
    } else if (input == Input::pipe) {
        if (pipe2(in, O_CLOEXEC) != 0)
            return child;
    } else if ((in[0] = open(input == Input::null ? "/dev/null" : inputFile.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
        return child;
    }
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return child;
    child.pid = start(argv, cwd, &env, in[0], out[1], err[1], extraFd);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    child.terminal = in[1];
    child.out = out[0];
    child.err = err[0];
    return child;
}

bool readUntil(int fd, const std::string& needle, std::string* text, int timeoutMs)
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (text->find(needle) == std::string::npos) {
        pollfd wait = {fd, POLLIN, 0};
        if (poll(&wait, 1, msLeft(deadline)) <= 0)
            return false;
        ssize_t size = read(fd, buffer, sizeof buffer);
        if (size < 0 && errno == EINTR)
            continue;
        if (size <= 0)
            return false;
        text->append(buffer, static_cast<size_t>(size));
    }
    return true;
}

Finished finish(Child* child, int timeoutMs)
{
    Finished finished;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string* into[2] = {&finished.out, &finished.err};
    int* fds[2] = {&child->out, &child->err};
    char buffer[65536];
    while ((*fds[0] >= 0 || *fds[1] >= 0) && !finished.timedOut) {
        pollfd wait[2] = {{*fds[0], POLLIN, 0}, {*fds[1], POLLIN, 0}};
        int ready = poll(wait, 2, msLeft(deadline));
        if (ready == 0)
            finished.timedOut = true;
        for (int i = 0; i < 2 && ready > 0; ++i) {
            if (wait[i].revents == 0)
                continue;
            ssize_t size = read(*fds[i], buffer, sizeof buffer);
            if (size > 0)
                into[i]->append(buffer, static_cast<size_t>(size));
            else if (size == 0 || errno != EINTR)
                closeFd(fds[i]);
        }
    }
    if (finished.timedOut)
        kill(child->pid, SIGKILL);
    int status = 0;
    waitpid(child->pid, &status, 0);
    finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    child->pid = -1;
    closeFd(&child->terminal);
    closeFd(&child->out);
    closeFd(&child->err);
    return finished;
}

std::string makeFolder()
{
    char name[] = "/tmp/kovo-gui-XXXXXX";
    return mkdtemp(name) != nullptr ? name : "";
}

void removeFolder(const std::string& path)
{
    std::error_code ignored;
    if (!path.empty())
        std::filesystem::remove_all(path, ignored);
}

}  // namespace kovo::gui
