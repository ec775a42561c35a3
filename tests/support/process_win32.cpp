// process_win32.cpp: This file contains the process layer on Windows, where
// the tests run under Wine: CreateProcess with the program's standard
// streams as pipes, files or the null device, a thread per output that
// collects it, and TerminateProcess to end it.
//
// A Linux program (an ELF file, such as the Linux build's crate-sim) is
// started by Wine as it starts any Linux program, but Wine hands it neither
// its pipes nor a process handle. So bash runs it with its
// standard input and output on a loopback TCP connection back to the test
// and its standard error to a file; when the test's side of the connection
// closes (also when the test dies), the program's input ends, and a program
// that runs on after that gets SIGTERM 2 s later. Its exit status comes back
// in a file.
#include "process_state.h"

#include <winsock2.h>  // before windows.h
#include <ws2tcpip.h>
#include <windows.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace kovo::test {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(int timeoutMs)
{
    return timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
}

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

// The environment with the changes applied, as CreateProcess takes it.
std::string environmentBlock(const Start& start)
{
    std::vector<std::string> entries;
    if (!start.ownEnvironment) {
        char* strings = GetEnvironmentStringsA();
        for (const char* entry = strings; *entry != '\0'; entry += std::strlen(entry) + 1)
            entries.emplace_back(entry);
        FreeEnvironmentStringsA(strings);
    }
    for (const std::string& change : start.env) {
        const std::string name = change.substr(0, change.find('='));
        std::erase_if(entries, [&](const std::string& e) {
            return e.size() > name.size() && e[name.size()] == '=' &&
                   _strnicmp(e.c_str(), name.c_str(), name.size()) == 0;
        });
        if (change.find('=') != std::string::npos)
            entries.push_back(change);
    }
    std::string block;
    for (const std::string& e : entries)
        block += e + '\0';
    return block + '\0';
}

// Line ends as on Linux, so that the tests compare the same text.
std::string withLinuxLineEnds(const std::string& text)
{
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            result += text[i];
    return result;
}


// Collects one output into its text until it ends; `read` gives the next bytes, 0 at the end.
template <typename Read>
void collect(Process::State& s, int which, Read read)
{
    char buffer[65536];
    for (;;) {
        const int count = read(buffer, static_cast<int>(sizeof buffer));
        std::lock_guard<std::mutex> hold(s.lock);
        if (count <= 0) {
            s.ended[which] = true;
            s.grew.notify_all();
            return;
        }
        (which == 0 ? s.outText : s.errText).append(buffer, static_cast<std::size_t>(count));
        s.grew.notify_all();
    }
}

void collectPipe(Process::State& s, int which, HANDLE pipe)
{
    s.ended[which] = false;
    s.readers[which] = std::thread([&s, which, pipe] {
        collect(s, which, [pipe](char* buffer, int size) {
            DWORD count = 0;
            return ReadFile(pipe, buffer, static_cast<DWORD>(size), &count, nullptr) ? static_cast<int>(count) : 0;
        });
        CloseHandle(pipe);
    });
}

bool startSockets()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// A listening loopback TCP socket on a free port.
SOCKET listenLoopback(int& port)
{
    if (!startSockets())
        return INVALID_SOCKET;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof at;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(s, 1) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    port = ntohs(at.sin_port);
    return s;
}

// A file name in the temp folder for a Linux program's status or standard error.
std::string scratchFile(const char* what)
{
    std::random_device random;
    return (std::filesystem::temp_directory_path() / ("kovo-" + std::string(what) + "." + std::to_string(random())))
        .string();
}

// The Unix path of a Windows path, as Wine maps it.
std::string unixPath(const std::string& path)
{
    using ToUnix = char*(CDECL*)(const WCHAR*);
    static const auto toUnix =
        reinterpret_cast<ToUnix>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    std::wstring wide(path.begin(), path.end());
    char* unix = toUnix ? toUnix(wide.c_str()) : nullptr;
    if (!unix)
        return path;
    std::string result = unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

// Whether the program is a Linux one (an ELF file), which Wine runs its own way.
bool isLinuxProgram(const std::string& path)
{
    char magic[4] = {};
    std::ifstream(path, std::ios::binary).read(magic, sizeof magic);
    return std::string(magic, sizeof magic) == "\x7f" "ELF";
}

// The relay bash runs for a Linux program: $0 the port, then the program and its arguments.
const char* const relayScript =
    "exec 3<>/dev/tcp/127.0.0.1/$0 2>/dev/null || exit 127\n"
    "exec 2>/dev/null; set -m\n"
    "fifo=$(mktemp -u) && mkfifo \"$fifo\" || exit 127\n"
    "\"$@\" <\"$fifo\" >&3 2>>\"$KOVO_RELAY_ERR\" 3>&- & program=$!\n"
    "{ cat <&3 >\"$fifo\"; sleep 2; kill -TERM $program; } & feeder=$!\n"
    "wait $program; status=$?\n"
    "kill -TERM -- -$feeder 2>/dev/null; rm -f \"$fifo\"\n"
    "echo $status >\"$KOVO_RELAY_STATUS\"\n";

void startLinux(Process::State& s, const Start& start)
{
    int port = 0;
    SOCKET listener = listenLoopback(port);
    if (listener == INVALID_SOCKET) {
        s.failure = "no loopback socket for a Linux program";
        return;
    }
    s.statusFile = scratchFile("status");
    s.errFile = start.err == Output::file ? start.errFile : scratchFile("stderr");
    // Arguments that are Windows paths (such as a temp folder's) reach it as the Unix paths they are.
    Start relay = start;
    relay.argv = {"Z:\\bin\\bash", "-c", relayScript, std::to_string(port)};
    for (const std::string& argument : start.argv) {
        const bool windowsPath = argument.size() > 2 && std::isalpha(static_cast<unsigned char>(argument[0])) &&
                                 argument[1] == ':' && (argument[2] == '\\' || argument[2] == '/');
        relay.argv.push_back(windowsPath ? unixPath(argument) : argument);
    }
    relay.env.push_back("KOVO_RELAY_STATUS=" + unixPath(s.statusFile));
    relay.env.push_back("KOVO_RELAY_ERR=" + (start.err == Output::null ? "/dev/null" : unixPath(s.errFile)));
    std::string commandLine;
    for (const std::string& argument : relay.argv)
        commandLine += (commandLine.empty() ? "" : " ") + quoteArgument(argument);
    std::string environment = environmentBlock(relay);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // Wine reports a Linux program as no Windows image even when it started it:
    // the connection back tells whether it runs.
    if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, environment.data(),
                       start.cwd.empty() ? nullptr : start.cwd.c_str(), &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener, &ready);
    timeval guard{hangGuardMs / 1000, 0};
    if (select(0, &ready, nullptr, nullptr, &guard) == 1)
        s.relay = accept(listener, nullptr, nullptr);
    closesocket(listener);
    if (s.relay == INVALID_SOCKET) {
        s.failure = "bash did not start " + start.argv[0] + ": " + readFile(s.errFile);
        return;
    }
    s.pid = 0;
    SOCKET relaySocket = s.relay;
    s.ended[0] = false;
    s.readers[0] = std::thread([&s, relaySocket] {
        collect(s, 0, [relaySocket](char* buffer, int size) { return recv(relaySocket, buffer, size, 0); });
    });
}

HANDLE openFor(Output output, const std::string& file, SECURITY_ATTRIBUTES* inherit)
{
    if (output == Output::brokenPipe)
        return INVALID_HANDLE_VALUE;  // only on POSIX
    return CreateFileA(output == Output::file ? file.c_str() : "NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void startWindows(Process::State& s, const Start& start)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE in[2] = {nullptr, nullptr}, out[2] = {nullptr, nullptr}, err[2] = {nullptr, nullptr};  // read, write end
    bool opened = true;
    if (start.input == Input::pipe)
        opened = CreatePipe(&in[0], &in[1], &inherit, 0);
    else
        opened = (in[0] = CreateFileA(start.input == Input::file ? start.inputFile.c_str() : "NUL", GENERIC_READ,
                                      FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr)) != INVALID_HANDLE_VALUE;
    if (start.out == Output::pipe)
        opened = opened && CreatePipe(&out[0], &out[1], &inherit, 0);
    else if (start.out == Output::inherited)
        out[1] = GetStdHandle(STD_OUTPUT_HANDLE);
    else
        opened = opened && (out[1] = openFor(start.out, start.outFile, &inherit)) != INVALID_HANDLE_VALUE;
    if (start.err == Output::pipe)
        opened = opened && CreatePipe(&err[0], &err[1], &inherit, 0);
    else if (start.err == Output::merged)
        err[1] = out[1];
    else if (start.err == Output::inherited)
        err[1] = GetStdHandle(STD_ERROR_HANDLE);
    else
        opened = opened && (err[1] = openFor(start.err, start.errFile, &inherit)) != INVALID_HANDLE_VALUE;
    // The test's ends stay with the test.
    for (HANDLE own : {in[1], out[0], err[0]})
        if (own)
            SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in[0];
    startup.hStdOutput = out[1];
    startup.hStdError = err[1];
    std::string commandLine;
    for (const std::string& argument : start.argv)
        commandLine += (commandLine.empty() ? "" : " ") + quoteArgument(argument);
    std::string environment = environmentBlock(start);
    PROCESS_INFORMATION process{};
    const bool started = opened && CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                                  environment.data(), start.cwd.empty() ? nullptr : start.cwd.c_str(),
                                                  &startup, &process);
    if (!started)
        s.failure = "cannot run " + start.argv[0] + ": error " + std::to_string(GetLastError());
    const bool ownOut = start.out != Output::inherited;
    const bool ownErr = start.err != Output::merged && start.err != Output::inherited;
    for (HANDLE child : {in[0], ownOut ? out[1] : nullptr, ownErr ? err[1] : nullptr})
        if (child && child != INVALID_HANDLE_VALUE)
            CloseHandle(child);
    s.input = in[1];
    if (!started) {
        for (HANDLE own : {in[1], out[0], err[0]})
            if (own)
                CloseHandle(own);
        s.input = nullptr;
        return;
    }
    CloseHandle(process.hThread);
    s.process = process.hProcess;
    s.pid = static_cast<long>(process.dwProcessId);
    if (out[0])
        collectPipe(s, 0, out[0]);
    if (err[0])
        collectPipe(s, 1, err[0]);
}

// Waits until `done` holds, both outputs ended, or the deadline; true when done.
template <typename Done>
bool waitFor(Process::State& s, Clock::time_point deadline, Done done)
{
    std::unique_lock<std::mutex> hold(s.lock);
    for (;;) {
        if (done())
            return true;
        if (s.ended[0] && s.ended[1])
            return false;
        if (deadline == Clock::time_point::max())
            s.grew.wait(hold);
        else if (s.grew.wait_until(hold, deadline) == std::cv_status::timeout)
            return done();
    }
}

void closeInputOf(Process::State& s)
{
    if (s.input) {
        CloseHandle(s.input);
        s.input = nullptr;
    }
    if (s.relay != INVALID_SOCKET)
        shutdown(s.relay, SD_SEND);   // the relay then ends the program
}

// Waits for the end of the program and of its outputs, then takes its status.
bool finish(Process::State& s, Clock::time_point deadline)
{
    if (s.process) {
        const DWORD ms = deadline == Clock::time_point::max()
                             ? INFINITE
                             : static_cast<DWORD>(std::max<long long>(
                                   0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                                          .count()));
        if (WaitForSingleObject(s.process, ms) != WAIT_OBJECT_0)
            return false;
    }
    if (!waitFor(s, deadline, [] { return false; }) && !(s.ended[0] && s.ended[1]))
        return false;
    for (std::thread& reader : s.readers)
        if (reader.joinable())
            reader.join();
    if (s.process) {
        DWORD code = 0;
        GetExitCodeProcess(s.process, &code);
        s.status = static_cast<int>(code);
        CloseHandle(s.process);
        s.process = nullptr;
    } else {
        closesocket(s.relay);
        s.relay = INVALID_SOCKET;
        const std::string status = readFile(s.statusFile);
        s.status = status.empty() ? -1 : std::atoi(status.c_str());
        std::remove(s.statusFile.c_str());
        s.errText = readFile(s.errFile);
    }
    s.outText = withLinuxLineEnds(s.outText);
    s.errText = withLinuxLineEnds(s.errText);
    s.done = true;
    return true;
}

void forceEnd(Process::State& s)
{
    if (s.process)
        TerminateProcess(s.process, 128 + 9);
    if (s.input) {
        CloseHandle(s.input);
        s.input = nullptr;
    }
    if (s.relay != INVALID_SOCKET)
        shutdown(s.relay, SD_BOTH);
    finish(s, Clock::time_point::max());
}

}  // namespace


Process::Process(const Start& start) : state(std::make_unique<State>())
{
    if (start.argv.empty())
        state->failure = "no program to start";
    else if (isLinuxProgram(start.argv[0]))
        startLinux(*state, start);
    else
        startWindows(*state, start);
}

bool Process::write(const std::string& text)
{
    if (!started() || state->done)
        return false;
    if (state->relay != INVALID_SOCKET) {
        for (std::size_t sent = 0; sent < text.size();) {
            const int count = send(state->relay, text.data() + sent, static_cast<int>(text.size() - sent), 0);
            if (count <= 0)
                return false;
            sent += static_cast<std::size_t>(count);
        }
        return true;
    }
    DWORD written = 0;
    return state->input && WriteFile(state->input, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

void Process::closeInput()
{
    if (state)
        closeInputOf(*state);
}

bool Process::readLine(std::string& line, int timeoutMs)
{
    if (!started())
        return false;
    State& s = *state;
    std::string& out = s.outText;
    if (!waitFor(s, deadlineAfter(timeoutMs), [&] { return out.find('\n', s.lineStart) != std::string::npos; }))
        return false;
    std::lock_guard<std::mutex> hold(s.lock);
    const std::size_t end = out.find('\n', s.lineStart);
    line = out.substr(s.lineStart, end - s.lineStart);
    s.lineStart = end + 1;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

bool Process::readBytes(std::size_t count, std::string& bytes, int timeoutMs)
{
    if (!started())
        return false;
    State& s = *state;
    if (!waitFor(s, deadlineAfter(timeoutMs), [&] { return s.outText.size() >= s.lineStart + count; }))
        return false;
    std::lock_guard<std::mutex> hold(s.lock);
    bytes = s.outText.substr(s.lineStart, count);
    s.lineStart += count;
    return true;
}

bool Process::readUntil(const std::string& needle, int timeoutMs, bool fromErr)
{
    if (!started())
        return false;
    const std::string& text = (fromErr ? state->errText : state->outText);
    return waitFor(*state, deadlineAfter(timeoutMs), [&] { return text.find(needle) != std::string::npos; });
}

int Process::wait(int timeoutMs)
{
    if (!started())
        return -1;
    State& s = *state;
    if (!s.done && !finish(s, deadlineAfter(timeoutMs))) {
        s.timedOut = true;
        forceEnd(s);
    }
    return s.status;
}

int Process::stop()
{
    if (!started())
        return -1;
    State& s = *state;
    if (!s.done) {
        closeInputOf(s);
        if (s.process)
            TerminateProcess(s.process, 128 + 15);
        if (!finish(s, deadlineAfter(hangGuardMs)))
            forceEnd(s);
    }
    return s.status;
}

}  // namespace kovo::test
