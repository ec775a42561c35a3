// kovo_test_support.cpp: This file contains the test support shared by the
// test suites: the simulated crate, started by sim-launcher and steered over
// the connection to it, and programs run to their end. It builds for Linux
// and for Windows, where the tests run under Wine and the launcher and its
// crates on the Linux side.
#include "kovo_test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <set>
#include <stdexcept>
#include <tuple>

#ifdef _WIN32
#include <winsock2.h>  // before windows.h
#include <ws2tcpip.h>
#include <windows.h>
#include <thread>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kovo::test {

namespace {

// A guard against a peer that hangs, not a timing assumption: every wait
// below normally ends as soon as the peer writes or exits.
constexpr int hangGuardMs = 30000;

#ifdef _WIN32
using Socket = SOCKET;
const Socket noSocket = INVALID_SOCKET;
void closeSocket(Socket s) { closesocket(s); }
bool startSockets()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
#else
using Socket = int;
const Socket noSocket = -1;
void closeSocket(Socket s) { close(s); }
bool startSockets()
{
    static const bool once = [] {
        std::signal(SIGPIPE, SIG_IGN);  // a peer that went away is an error result, not a signal
        return true;
    }();
    return once;
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

void closeFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::vector<char*> cStrings(const std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (const std::string& s : strings)
        pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}
#endif

Socket socketOf(const Sim& sim)
{
    return static_cast<Socket>(sim.connection);
}

// A TCP connection to "127.0.0.1:PORT" that gives up a read after the hang guard.
Socket connectTo(const std::string& address)
{
    const auto colon = address.rfind(':');
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(std::atoi(address.c_str() + colon + 1)));
    if (!startSockets() || colon == std::string::npos ||
        inet_pton(AF_INET, address.substr(0, colon).c_str(), &at.sin_addr) != 1)
        return noSocket;
    const Socket s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == noSocket)
        return noSocket;
#ifdef _WIN32
    const DWORD guard = hangGuardMs;
#else
    const timeval guard{hangGuardMs / 1000, 0};
#endif
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&guard), sizeof guard);
    if (connect(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        closeSocket(s);
        return noSocket;
    }
    return s;
}

bool sendText(const Sim& sim, const std::string& text)
{
    for (std::size_t sent = 0; sent < text.size();) {
        const int count = send(socketOf(sim), text.data() + sent, static_cast<int>(text.size() - sent), 0);
        if (count <= 0)
            return false;
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

// Receives until the buffer holds `size` bytes; false when the launcher is gone or silent.
bool receive(const Sim& sim, std::size_t size)
{
    while (sim.replyBuffer.size() < size) {
        char buffer[65536];
        const int count = recv(socketOf(sim), buffer, sizeof buffer, 0);
        if (count <= 0)
            return false;
        sim.replyBuffer.append(buffer, static_cast<std::size_t>(count));
    }
    return true;
}

bool receiveLine(const Sim& sim, std::string& line)
{
    std::size_t newline;
    while ((newline = sim.replyBuffer.find('\n')) == std::string::npos)
        if (!receive(sim, sim.replyBuffer.size() + 1))
            return false;
    line = sim.replyBuffer.substr(0, newline);
    sim.replyBuffer.erase(0, newline + 1);
    return true;
}

bool receiveBytes(const Sim& sim, std::size_t size, std::string& bytes)
{
    if (!receive(sim, size))
        return false;
    bytes = sim.replyBuffer.substr(0, size);
    sim.replyBuffer.erase(0, size);
    return true;
}

// One request to the launcher about the sim, and its one-line reply ("" if none).
std::string request(const Sim& sim, const std::string& line)
{
    std::string reply;
    if (sim.connection == -1 || !sendText(sim, line + "\n") || !receiveLine(sim, reply))
        return "";
    return reply;
}

// A file of the sim's folder, fetched through the launcher.
std::string fetchFile(const Sim& sim, const char* which)
{
    const std::string reply = request(sim, std::string("file ") + which);
    std::string bytes;
    if (reply.rfind("data ", 0) != 0 || !receiveBytes(sim, std::stoul(reply.substr(5)), bytes))
        return "";
    return bytes;
}

#ifndef _WIN32
// A launcher of this test program's own, for runs without CTest's: it ends
// with the program. Its address and token, "127.0.0.1:PORT TOKEN".
std::string privateLauncher(std::string& why)
{
    static std::string address;
    if (!address.empty())
        return address;
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        why = std::string("pipe: ") + std::strerror(errno);
        return "";
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        dup2(output[1], 1);
        execl(KOVO_SIM_LAUNCHER_PATH, KOVO_SIM_LAUNCHER_PATH, "serve", static_cast<char*>(nullptr));
        std::fprintf(stderr, "cannot run %s: %s\n", KOVO_SIM_LAUNCHER_PATH, std::strerror(errno));
        _exit(127);
    }
    close(output[1]);
    char line[128] = "";
    const ssize_t count = pid > 0 ? read(output[0], line, sizeof line - 1) : -1;
    close(output[0]);
    if (count <= 0) {
        why = "the private sim-launcher did not start";
        return "";
    }
    line[count] = '\0';
    line[std::strcspn(line, "\n")] = '\0';
    address = line;
    return address;
}
#endif

// The address and token of the launcher ("127.0.0.1:PORT TOKEN"): from the
// file KOVO_SIM_LAUNCHER names, else of a private one.
std::string launcherAddress(std::string& why)
{
    const char* file = std::getenv("KOVO_SIM_LAUNCHER");
    if (file != nullptr && *file != '\0') {
        std::string line;
        std::getline(std::ifstream(file), line);
        if (line.find(' ') == std::string::npos)
            why = std::string("no launcher address in ") + file + " (is the crate_sim fixture running?)";
        return line;
    }
#ifdef _WIN32
    why = "KOVO_SIM_LAUNCHER does not name the address file of a sim-launcher";
    return "";
#else
    return privateLauncher(why);
#endif
}

void releaseSim(Sim& sim)
{
    if (sim.connection == -1)
        return;
    if (::testing::Test::HasFailure() && !sim.dir.empty()) {
        request(sim, "keep");
        std::fprintf(stderr, "crate-sim folder kept for inspection: %s\n", sim.dir.c_str());
    }
    // The launcher stops the crate and removes its folder when the connection ends.
    closeSocket(socketOf(sim));
    sim.connection = -1;
    sim.dir.clear();
}

[[noreturn]] void failStart(Sim& sim, const std::string& why)
{
    const std::string message = "crate-sim did not start (" + why + ")";
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
        port = std::exchange(other.port, 0);
        address = std::move(other.address);
        dir = std::exchange(other.dir, "");
        logged = other.logged;
        pid = std::exchange(other.pid, -1);
        connection = std::exchange(other.connection, -1);
        replyBuffer = std::move(other.replyBuffer);
    }
    return *this;
}

Sim startSim(const std::string& layoutToml, const std::string& listen, RequestLog log)
{
    Sim sim;
    std::string why;
    std::istringstream launcher(launcherAddress(why));
    std::string address, token;
    if (!(launcher >> address >> token))
        failStart(sim, why);
    const Socket s = connectTo(address);
    if (s == noSocket)
        failStart(sim, "no sim-launcher answers on " + address);
    sim.connection = static_cast<std::intptr_t>(s);
    if (const std::string greeting = request(sim, "hello " + token); greeting != "ok")
        failStart(sim, "the sim-launcher on " + address + " refused this test: " +
                           (greeting.empty() ? "it closed the connection" : greeting));

    // The request line announces the layout's bytes, which follow it as they are.
    const std::string start = "start " + (listen.empty() ? "udp:127.0.0.1:0" : listen) + " " +
                              std::to_string(layoutToml.size()) + (log == RequestLog::none ? " nolog" : "") +
                              "\n" + layoutToml;
    std::string reply;
    if (!sendText(sim, start) || !receiveLine(sim, reply))
        failStart(sim, "no reply from the launcher");
    if (reply.rfind("failed ", 0) == 0) {
        std::string err;
        receiveBytes(sim, std::stoul(reply.substr(7)), err);
        failStart(sim, err.substr(0, err.find_last_not_of('\n') + 1));
    }
    std::istringstream words(reply);
    std::string ready;
    if (!(words >> ready >> sim.address >> sim.dir >> sim.pid) || ready != "ready")
        failStart(sim, "unexpected reply \"" + reply + "\" from the launcher");
    sim.port = std::atoi(sim.address.substr(sim.address.rfind(':') + 1).c_str());
    sim.logged = log == RequestLog::kept;
    return sim;
}

std::string simCommand(Sim& sim, const std::string& line)
{
    const std::string reply = request(sim, "sim " + line);
    if (reply.empty())
        ADD_FAILURE() << "crate-sim gave no reply to \"" << line << "\": " << simStderr(sim);
    return reply;
}

std::vector<LogEntry> simLog(const Sim& sim)
{
    std::vector<LogEntry> entries;
    if (!sim.logged) {
        ADD_FAILURE() << "crate-sim was started without a request log";
        return entries;
    }
    std::istringstream text(fetchFile(sim, "log"));
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
                           json.value("value", ""), json.value("peer", ""), json.value("reqid", 0L),
                           json.value("request", 0L)});
    }
    return entries;
}

std::vector<LogEntry> firstTries(const std::vector<LogEntry>& log)
{
    std::set<std::tuple<std::string, long, std::string>> seen;  // peer, request-id and PDU of each request
    std::vector<LogEntry> kept;
    long current = 0;
    bool resent = false;
    for (const LogEntry& entry : log) {
        if (entry.request != current) {
            current = entry.request;
            resent = !seen.insert({entry.peer, entry.reqid, entry.pdu}).second;
        }
        if (!resent)
            kept.push_back(entry);
    }
    return kept;
}

std::string simStderr(const Sim& sim)
{
    return fetchFile(sim, "stderr");
}

int stopSim(Sim& sim)
{
    const std::string reply = request(sim, "stop");
    return reply.rfind("stopped ", 0) == 0 ? std::atoi(reply.c_str() + 8) : -1;
}

#ifdef _WIN32
namespace {

// One argument of a command line, quoted as the C run-time splits them.
std::string quoteArgument(const std::string& argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

// The current environment with the entries applied, as CreateProcess takes it.
std::string environmentBlock(const std::vector<std::string>& changes)
{
    std::vector<std::string> entries;
    char* strings = GetEnvironmentStringsA();
    for (const char* entry = strings; *entry != '\0'; entry += std::strlen(entry) + 1)
        entries.emplace_back(entry);
    FreeEnvironmentStringsA(strings);
    for (const std::string& change : changes) {
        const std::string name = change.substr(0, change.find('='));
        std::erase_if(entries, [&](const std::string& e) {
            return e.size() > name.size() && e[name.size()] == '=' && _strnicmp(e.c_str(), name.c_str(), name.size()) == 0;
        });
        if (change.find('=') != std::string::npos)
            entries.push_back(change);
    }
    std::string block;
    for (const std::string& e : entries)
        block += e + '\0';
    return block + '\0';
}

std::string readAll(HANDLE pipe)
{
    std::string text;
    char buffer[65536];
    DWORD count = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count > 0)
        text.append(buffer, count);
    return text;
}

// Line ends as on Linux, so that the tests compare the same text.
std::string withLinuxLineEnds(std::string text)
{
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            result += text[i];
    return result;
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd,
                     const std::vector<std::string>& env)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE in[2], out[2], err[2];  // read end, write end
    if (argv.empty() || !CreatePipe(&in[0], &in[1], &inherit, 0) || !CreatePipe(&out[0], &out[1], &inherit, 0) ||
        !CreatePipe(&err[0], &err[1], &inherit, 0))
        return {-1, "", "runProgram: no program or no pipes"};
    // The parent's ends stay with the parent.
    for (HANDLE own : {in[1], out[0], err[0]})
        SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in[0];
    startup.hStdOutput = out[1];
    startup.hStdError = err[1];
    std::string commandLine;
    for (const std::string& argument : argv)
        commandLine += (commandLine.empty() ? "" : " ") + quoteArgument(argument);
    std::string environment = environmentBlock(env);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, environment.data(),
                                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &process);
    for (HANDLE child : {in[0], out[1], err[1]})
        CloseHandle(child);
    RunResult result{-1, "", ""};
    if (started) {
        std::thread errReader([&] { result.err = readAll(err[0]); });
        std::thread outReader([&] { result.out = readAll(out[0]); });
        DWORD written = 0;
        if (!input.empty())
            WriteFile(in[1], input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
        CloseHandle(in[1]);
        outReader.join();
        errReader.join();
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result.status = static_cast<int>(code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    } else {
        CloseHandle(in[1]);
        result.err = "cannot run " + argv[0] + ": error " + std::to_string(GetLastError());
    }
    CloseHandle(out[0]);
    CloseHandle(err[0]);
    result.out = withLinuxLineEnds(result.out);
    result.err = withLinuxLineEnds(result.err);
    return result;
}
#else
RunResult runProgram(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd,
                     const std::vector<std::string>& env)
{
    startSockets();  // SIGPIPE ignored
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
#endif

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

std::string makeTempDir(const std::string& stem)
{
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path dir = std::filesystem::temp_directory_path() / (stem + "." + std::to_string(random()));
        std::error_code error;
        if (std::filesystem::create_directory(dir, error))
            return dir.string();
    }
    throw std::runtime_error("cannot create a temp folder for " + stem);
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
