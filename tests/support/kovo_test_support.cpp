// kovo_test_support.cpp: This file contains the test support shared by the
// test suites: the simulated crate as a child process with its control
// channel and request log, and programs run to their end.
#include "kovo_test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kovo::test {

namespace {

// A guard against a child that hangs, not a timing assumption: every wait
// below normally ends as soon as the child writes or exits.
constexpr int hangGuardMs = 30000;

void ignoreSigpipe()
{
    static const bool once = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)once;
}

std::string makeTempDir(const char* stem)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + stem + ".XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error(std::string("cannot create a temp folder: ") + std::strerror(errno));
    return pattern;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
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
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

int waitFor(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return decodeStatus(status);
}

std::vector<char*> cStrings(const std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (const std::string& s : strings)
        pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// Reads one line from the sim's standard output; false at its end.
bool readReply(Sim& sim, std::string& line)
{
    while (true) {
        const auto newline = sim.replyBuffer.find('\n');
        if (newline != std::string::npos) {
            line = sim.replyBuffer.substr(0, newline);
            sim.replyBuffer.erase(0, newline + 1);
            return true;
        }
        pollfd p{sim.replyFd, POLLIN, 0};
        const int ready = poll(&p, 1, hangGuardMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char buffer[4096];
        const ssize_t count = read(sim.replyFd, buffer, sizeof buffer);
        if (count <= 0)
            return false;
        sim.replyBuffer.append(buffer, static_cast<std::size_t>(count));
    }
}

void releaseSim(Sim& sim)
{
    if (sim.pid > 0)
        stopSim(sim);
    closeFd(sim.controlFd);
    closeFd(sim.replyFd);
    if (sim.dir.empty())
        return;
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "crate-sim folder kept for inspection: %s\n", sim.dir.c_str());
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(sim.dir, ignored);
    }
    sim.dir.clear();
}

[[noreturn]] void failStart(Sim& sim, const std::string& why)
{
    const std::string message = "crate-sim did not start (" + why + "): " + simStderr(sim);
    ADD_FAILURE() << message;
    releaseSim(sim);
    throw std::runtime_error(message);
}

}  // namespace

Sim::~Sim()
{
    releaseSim(*this);
}

Sim::Sim(Sim&& other) noexcept
{
    *this = std::move(other);
}

Sim& Sim::operator=(Sim&& other) noexcept
{
    if (this != &other) {
        releaseSim(*this);
        pid = std::exchange(other.pid, -1);
        port = std::exchange(other.port, 0);
        address = std::move(other.address);
        dir = std::exchange(other.dir, "");
        logPath = std::move(other.logPath);
        controlFd = std::exchange(other.controlFd, -1);
        replyFd = std::exchange(other.replyFd, -1);
        replyBuffer = std::move(other.replyBuffer);
        stderrPath = std::move(other.stderrPath);
    }
    return *this;
}

Sim startSim(const std::string& layoutToml, const std::string& listen, RequestLog log)
{
    ignoreSigpipe();
    Sim sim;
    sim.dir = makeTempDir("kovo-sim");
    sim.stderrPath = sim.dir + "/stderr.txt";
    std::vector<std::string> args{std::string(KOVO_BINARY_DIR) + "/sim/crate-sim", "--listen",
                                  listen.empty() ? "udp:127.0.0.1:0" : listen};
    if (log == RequestLog::kept) {
        sim.logPath = sim.dir + "/requests.jsonl";
        args.insert(args.end(), {"--log", sim.logPath});
    }
    if (!layoutToml.empty()) {
        std::ofstream(sim.dir + "/layout.toml") << layoutToml;
        args.insert(args.end(), {"--layout", sim.dir + "/layout.toml"});
    }
    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
        failStart(sim, std::string("pipe: ") + std::strerror(errno));
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // The sim must not outlive a test process that dies.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int err = open(sim.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(input[0], 0);
        dup2(output[1], 1);
        dup2(err, 2);
        if (chdir(sim.dir.c_str()) != 0)
            _exit(127);
        setenv("MIBDIRS", KOVO_TEST_MIBDIRS, 0);
        execv(args[0].c_str(), cStrings(args).data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0].c_str(), std::strerror(errno));
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    sim.controlFd = input[1];
    sim.replyFd = output[0];
    if (pid < 0)
        failStart(sim, std::string("fork: ") + std::strerror(errno));
    sim.pid = pid;

    std::string line;
    const std::string ready = "crate-sim ready on udp:";
    if (!readReply(sim, line))
        failStart(sim, "no ready line");
    if (line.rfind(ready, 0) != 0)
        failStart(sim, "unexpected first line \"" + line + "\"");
    sim.address = line.substr(ready.size());
    sim.port = std::atoi(sim.address.substr(sim.address.rfind(':') + 1).c_str());
    return sim;
}

std::string simCommand(Sim& sim, const std::string& line)
{
    const std::string text = line + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = write(sim.controlFd, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            ADD_FAILURE() << "cannot send \"" << line << "\" to crate-sim: " << std::strerror(errno);
            return "";
        }
        written += static_cast<std::size_t>(count);
    }
    std::string reply;
    if (!readReply(sim, reply))
        ADD_FAILURE() << "crate-sim gave no reply to \"" << line << "\": " << simStderr(sim);
    return reply;
}

std::vector<LogEntry> simLog(const Sim& sim)
{
    std::vector<LogEntry> entries;
    if (sim.logPath.empty()) {
        ADD_FAILURE() << "crate-sim was started without a request log";
        return entries;
    }
    std::istringstream text(readFile(sim.logPath));
    std::string line;
    while (std::getline(text, line)) {
        if (text.eof())
            break;      // a line still being written
        const auto json = nlohmann::json::parse(line, nullptr, false);
        if (!json.is_object()) {
            ADD_FAILURE() << "malformed request log line: " << line;
            continue;
        }
        entries.push_back({json.value("time", 0.0), json.value("pdu", ""), json.value("community", ""),
                           json.value("oid", ""), json.value("name", ""), json.value("type", ""),
                           json.value("value", "")});
    }
    return entries;
}

std::string simStderr(const Sim& sim)
{
    return sim.stderrPath.empty() ? "" : readFile(sim.stderrPath);
}

int stopSim(Sim& sim)
{
    if (sim.pid <= 0)
        return -1;
    kill(sim.pid, SIGTERM);
    const int status = waitFor(sim.pid);
    sim.pid = -1;
    closeFd(sim.controlFd);
    closeFd(sim.replyFd);
    return status;
}

RunResult runProgram(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd,
                     const std::vector<std::string>& env)
{
    ignoreSigpipe();
    int in[2], out[2], err[2];
    if (argv.empty() || pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return {-1, "", "runProgram: no program or no pipes"};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
            std::fprintf(stderr, "cannot enter %s: %s\n", cwd.c_str(), std::strerror(errno));
            _exit(127);
        }
        for (const std::string& entry : env)
            putenv(const_cast<char*>(entry.c_str()));
        execvp(argv[0].c_str(), cStrings(argv).data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0].c_str(), std::strerror(errno));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    RunResult result{-1, "", ""};
    if (pid < 0) {
        for (int fd : {in[1], out[0], err[0]})
            close(fd);
        result.err = std::string("fork: ") + std::strerror(errno);
        return result;
    }
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    int writeFd = in[1];
    std::size_t written = 0;
    if (input.empty())
        closeFd(writeFd);
    int readFds[2] = {out[0], err[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    while (writeFd >= 0 || readFds[0] >= 0 || readFds[1] >= 0) {
        pollfd fds[3] = {{writeFd, POLLOUT, 0}, {readFds[0], POLLIN, 0}, {readFds[1], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (writeFd >= 0 && fds[0].revents) {
            const ssize_t count = write(writeFd, input.data() + written, input.size() - written);
            if (count > 0)
                written += static_cast<std::size_t>(count);
            if ((count < 0 && errno != EAGAIN && errno != EINTR) || written == input.size())
                closeFd(writeFd);
        }
        for (int i = 0; i < 2; ++i) {
            if (readFds[i] < 0 || !fds[i + 1].revents)
                continue;
            char buffer[65536];
            const ssize_t count = read(readFds[i], buffer, sizeof buffer);
            if (count > 0)
                sinks[i]->append(buffer, static_cast<std::size_t>(count));
            else if (count == 0 || errno != EINTR)
                closeFd(readFds[i]);
        }
    }
    closeFd(writeFd);
    closeFd(readFds[0]);
    closeFd(readFds[1]);
    result.status = waitFor(pid);
    return result;
}

RunResult runSnmpTool(const std::string& tool, const Sim& sim, const std::string& community,
                      const std::vector<std::string>& args, const std::vector<std::string>& options)
{
    std::vector<std::string> argv{tool, "-v2c", "-c", community, "-m", "TORVAN-CRATE-MIB"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(sim.address);
    argv.insert(argv.end(), args.begin(), args.end());
    const char* mibdirs = std::getenv("MIBDIRS");
    return runProgram(argv, "", "", {std::string("MIBDIRS=") + (mibdirs ? mibdirs : KOVO_TEST_MIBDIRS)});
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

}  // namespace kovo::test
