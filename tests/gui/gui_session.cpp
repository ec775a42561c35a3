// This file contains the helpers that run an X server and programs on a
// terminal for the GUI tests and the start-up benchmark.
#include "gui_session.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

namespace kovo::gui {

std::string startXvfb(Process* server)
{
    int ready[2];
    if (pipe(ready) != 0)
        return "";
    // Xvfb writes the display number it chose on descriptor 3 once it accepts clients.
    *server = Process({.argv = {"/usr/bin/Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1280x1024x24"},
                       .input = Input::null,
                       .out = kovo::test::Output::null,
                       .err = kovo::test::Output::null,
                       .passed = {ready[1]},
                       .ownSession = true});
    close(ready[1]);
    std::string number;
    const bool found = server->started() && readUntil(ready[0], "\n", &number, 30000);
    close(ready[0]);
    if (!found || number.size() < 2) {
        server->stop();
        return "";
    }
    number.pop_back();
    return ":" + number;
}

Process spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::vector<std::string>& env,
              Input input, int extraFd, const std::string& inputFile)
{
    std::vector<int> passed;
    if (extraFd >= 0)
        passed.push_back(extraFd);
    return Process({.argv = argv,
                    .cwd = cwd,
                    .env = env,
                    .ownEnvironment = true,
                    .input = input,
                    .inputFile = inputFile,
                    .passed = passed,
                    .ownSession = true});
}

bool readUntil(int fd, const std::string& needle, std::string* text, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (text->find(needle) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd wait = {fd, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(std::max<long long>(0, left.count()))) <= 0)
            return false;
        const ssize_t size = read(fd, buffer, sizeof buffer);
        if (size < 0 && errno == EINTR)
            continue;
        if (size <= 0)
            return false;
        text->append(buffer, static_cast<size_t>(size));
    }
    return true;
}

Finished finish(Process* child, int timeoutMs)
{
    Finished finished;
    finished.status = child->wait(timeoutMs);
    finished.timedOut = child->timedOut();
    finished.out = child->out();
    finished.err = child->err();
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
