// sim_launcher.cpp: This file contains sim-launcher, which starts simulated
// crates (crate-sim) for test programs that ask over a loopback TCP
// connection, so that a test gets its own crate in the same way whether it
// runs here or as a Windows program under Wine (which can start a Linux
// program but cannot talk to it through pipes).
//
//   sim-launcher serve               serves on a free loopback port, in the
//                                    foreground; the first line of standard
//                                    output is "127.0.0.1:PORT TOKEN"
//   sim-launcher serve ADDRESS_FILE  the same in the background, that line
//                                    written to ADDRESS_FILE (mode 0600) once
//                                    it accepts
//   sim-launcher stop ADDRESS_FILE   stops that launcher and every crate it
//                                    runs, and removes the file
//
// A launcher ends with the process that started it (in the background: the
// parent of the command, such as the CTest run), on SIGTERM or SIGINT, or on
// "quit"; its crates end with it.
//
// One connection is one crate. Requests and replies are lines; a request line
// holds at most 8 KiB. The first line must be "hello TOKEN", with the token of
// the address file (-> "ok"). A wrong token, or any line the launcher does not
// take, gets "error: ..." and the connection is closed: nothing that follows
// is read. A connection that has not said hello within 10 s is closed, and at
// most 256 connections are served at once.
//   start LISTEN BYTES [nolog], then BYTES of layout text (0: the built-in
//                        crate; at most 1 MiB); nolog: the crate keeps no
//                        request log. LISTEN is udp:127.X.Y.Z:PORT or
//                        udp6:[::1]:PORT; port 0 picks a free port. A crate on
//                        a fixed port holds the lock file
//                        /tmp/kovo-crate-HOST-PORT.lock while it lives (every
//                        launcher, so every test run, takes it), waiting up to
//                        20 s for it.
//                        -> "ready ADDRESS FOLDER PID", ADDRESS a Net-SNMP peer
//                           name (127.0.0.1:PORT, udp6:[::1]:PORT), or
//                           "failed BYTES" and BYTES telling why (for a crate
//                           that did not start, its standard error)
//   sim COMMAND          -> the crate's one-line reply to its control command
//   file log|stderr      -> "data BYTES" and the request log or standard error
//   stop                 -> "stopped STATUS" (exit status, 128+signal if killed)
//   keep                 -> "ok": the crate's folder outlives the connection
//   quit                 -> "ok", then the launcher stops every crate and ends;
//                           the connection closes once it has. Taken only as
//                           the request after hello, from a process of the
//                           launcher's own user.
// When the connection ends, its crate is stopped and its folder removed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t maxLine = 8 * 1024;
constexpr std::size_t maxLayout = 1024 * 1024;
constexpr std::size_t maxConnections = 256;  // a benchmark keeps a fleet of over a hundred crates
constexpr int helloTimeoutMs = 10000;
constexpr int lockWaitMs = 20000;
// How long "stop" waits for an answer, and then for the launcher to end.
constexpr int stopAnswerMs = 3000;
constexpr int stopEndMs = 60000;

volatile std::sig_atomic_t stopping = 0;

void onTerm(int)
{
    stopping = 1;
}

void onChild(int) {}

// Signals interrupt blocking calls (no SA_RESTART), so loops see the flag.
void catchSignal(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// Milliseconds left until a deadline (at least 0); -1 without one.
using Clock = std::chrono::steady_clock;
int msLeft(const Clock::time_point* deadline)
{
    if (!deadline)
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Buffered line and byte reads from one descriptor, each bounded in size and,
// while a deadline is set, in time; false at its end, on a signal, on a line
// longer than the bound, or past the deadline.
struct Reader {
    int fd;
    std::string buffer;
    const Clock::time_point* deadline = nullptr;

    bool fill()
    {
        pollfd wait{fd, POLLIN, 0};
        if (deadline && poll(&wait, 1, msLeft(deadline)) <= 0)
            return false;
        char chunk[4096];
        const ssize_t count = read(fd, chunk, sizeof chunk);
        if (count <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(count));
        return true;
    }
    bool line(std::string& out, std::size_t limit = maxLine)
    {
        std::size_t newline;
        while ((newline = buffer.find('\n')) == std::string::npos)
            if (buffer.size() > limit || !fill())
                return false;
        if (newline > limit)
            return false;
        out = buffer.substr(0, newline);
        buffer.erase(0, newline + 1);
        return true;
    }
    bool bytes(std::size_t size, std::string& out)
    {
        while (buffer.size() < size)
            if (!fill())
                return false;
        out = buffer.substr(0, size);
        buffer.erase(0, size);
        return true;
    }
};

bool sendAll(int fd, const std::string& text)
{
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t count = write(fd, text.data() + sent, text.size() - sent);
        if (count < 0 && errno == EINTR && !stopping)
            continue;
        if (count <= 0)
            return false;
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A secret of 128 random bits in hexadecimal.
std::string newToken()
{
    unsigned char bits[16];
    if (getrandom(bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits))
        return "";
    char text[2 * sizeof bits + 1];
    for (std::size_t i = 0; i < sizeof bits; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", bits[i]);
    return text;
}

// Compares in a time that does not depend on where the texts first differ.
bool sameSecret(const std::string& given, const std::string& token)
{
    unsigned char difference = given.size() != token.size();
    for (std::size_t i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(i < given.size() ? given[i] ^ token[i] : 1);
    return difference == 0;
}

// The user id of the process that opened the peer's end of a loopback TCP
// connection, from the kernel's table of TCP sockets; -1 if not found.
long peerUser(int fd)
{
    sockaddr_in peer{}, self{};
    socklen_t size = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0 || peer.sin_family != AF_INET)
        return -1;
    size = sizeof self;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &size) != 0)
        return -1;
    // The table prints an address as the hexadecimal of its 32 bits as they lie in memory.
    char theirs[32], ours[32];
    std::snprintf(theirs, sizeof theirs, "%08X:%04X", peer.sin_addr.s_addr, ntohs(peer.sin_port));
    std::snprintf(ours, sizeof ours, "%08X:%04X", self.sin_addr.s_addr, ntohs(self.sin_port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        long uid = -1;
        if (fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid && local == theirs &&
            remote == ours)
            return uid;
    }
    return -1;
}

// A crate's listening address, if it is loopback UDP: its host and port.
bool loopbackUdp(const std::string& listen, std::string& host, int& port)
{
    const auto colon = listen.rfind(':');
    const std::string digits = colon == std::string::npos ? "" : listen.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::atoi(digits.c_str());
    if (port > 65535)
        return false;
    if (listen.rfind("udp6:", 0) == 0) {
        host = listen.substr(5, colon - 5);
        return host == "[::1]";
    }
    in_addr address{};
    host = listen.rfind("udp:", 0) == 0 ? listen.substr(4, colon - 4) : "";
    return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

// Takes the lock file of a fixed crate address, waiting a while for another
// holder to let go; the descriptor, or -1 with the reason in `why`.
int lockAddress(const std::string& host, int port, std::string& why)
{
    const std::string path = "/tmp/kovo-crate-" + host + "-" + std::to_string(port) + ".lock";
    // Opened without O_CREAT first: in the sticky /tmp, creating over a file
    // of another user is refused, and reading it is all flock needs.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0 && errno == EEXIST)
            fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
        why = "cannot open the lock file " + path + ": " + std::strerror(errno) + "\n";
        return -1;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(lockWaitMs);
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (Clock::now() >= deadline || stopping) {
            why = "udp:" + host + ":" + std::to_string(port) +
                  " is held by another test run or by scripts/run.sh (lock file " + path +
                  "), still after " + std::to_string(lockWaitMs / 1000) + " s\n";
            close(fd);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return fd;
}

// Why a crate could not bind its fixed address, if a process that is no
// test's holds it: every test run's crate would have held the lock.
std::string takenBySomeoneElse(const std::string& host, int port)
{
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool taken = port != 0 && inet_pton(AF_INET, host.c_str(), &at.sin_addr) == 1 && fd >= 0 &&
                       bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 && errno == EADDRINUSE;
    close(fd);
    return taken ? "udp:" + host + ":" + std::to_string(port) +
                       " is taken by a process that no test started (such as the crate of scripts/run.sh)\n"
                 : "";
}

// One crate, run for one connection.
struct Crate {
    pid_t pid = -1;
    int control = -1;          // its standard input
    Reader replies{-1, ""};    // its standard output
    std::string dir;
    int lock = -1;             // the lock file of its fixed address
    bool keep = false;
};

int stopCrate(Crate& crate)
{
    int status = 0;
    if (crate.pid > 0) {
        kill(crate.pid, SIGTERM);
        while (waitpid(crate.pid, &status, 0) < 0 && errno == EINTR) {
        }
        close(crate.control);
        close(crate.replies.fd);
    }
    // Only once the crate is gone may another run take its address.
    if (crate.lock >= 0)
        close(crate.lock);
    crate.lock = -1;
    if (crate.pid <= 0)
        return -1;
    crate.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Starts crate-sim in a fresh folder and returns the reply line to "start";
// on failure the reason goes into `payload`.
std::string startCrate(Crate& crate, const std::string& listen, const std::string& layout, bool logged,
                       std::string& payload)
{
    auto failed = [&](const std::string& why) {
        stopCrate(crate);
        payload = why;
        return "failed " + std::to_string(payload.size());
    };
    std::string host;
    int port = 0;
    if (!loopbackUdp(listen, host, port))
        return failed("\"" + listen + "\" is no loopback UDP address: give udp:127.X.Y.Z:PORT or udp6:[::1]:PORT\n");
    if (port != 0 && (crate.lock = lockAddress(host, port, payload)) < 0)
        return failed(payload);
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kovo-sim.XXXXXX";
    if (!mkdtemp(pattern.data()))
        return failed(std::string("cannot make the crate's folder: ") + std::strerror(errno) + "\n");
    crate.dir = pattern;
    std::vector<std::string> args{KOVO_CRATE_SIM, "--listen", listen};
    if (logged)
        args.insert(args.end(), {"--log", crate.dir + "/requests.jsonl"});
    if (!layout.empty()) {
        std::ofstream(crate.dir + "/layout.toml", std::ios::binary) << layout;
        args.insert(args.end(), {"--layout", crate.dir + "/layout.toml"});
    }
    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
        return failed(std::string("pipe: ") + std::strerror(errno) + "\n");
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // a crate never outlives its connection's keeper
        const int err = open((crate.dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(input[0], 0);
        dup2(output[1], 1);
        dup2(err, 2);
        if (chdir(crate.dir.c_str()) != 0)
            _exit(127);
        setenv("MIBDIRS", KOVO_TEST_MIBDIRS, 1);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    crate.pid = pid;
    crate.control = input[1];
    crate.replies.fd = output[0];
    std::string ready;
    const std::string readyText = "crate-sim ready on ";
    if (pid < 0 || !crate.replies.line(ready) || ready.rfind(readyText, 0) != 0)
        return failed(readFile(crate.dir + "/stderr.txt") + takenBySomeoneElse(host, port));
    // A peer name for Net-SNMP: UDP over IPv4 is its default, IPv6 is named.
    std::string address = ready.substr(readyText.size());
    if (address.rfind("udp:", 0) == 0)
        address.erase(0, 4);
    return "ready " + address + " " + crate.dir + " " + std::to_string(crate.pid);
}

// The reply to one request about the connection's crate, with the bytes it
// announces in `payload`; "" for a request that is not taken.
std::string answer(Crate& crate, Reader& client, const std::string& line, std::string& payload)
{
    if (line.rfind("start ", 0) == 0 && crate.dir.empty() && crate.lock < 0) {
        std::istringstream words(line.substr(6));
        std::string listen, option, layout;
        std::size_t size = 0;
        if (!(words >> listen >> size) || size > maxLayout || ((words >> option) && option != "nolog") ||
            !client.bytes(size, layout))
            return "";
        return startCrate(crate, listen, layout, option != "nolog", payload);
    }
    if (line.rfind("sim ", 0) == 0 && crate.pid > 0) {
        std::string reply;
        if (!sendAll(crate.control, line.substr(4) + "\n") || !crate.replies.line(reply, std::string::npos))
            reply = "error: crate-sim gave no reply";
        return reply;
    }
    if (line == "file log" || line == "file stderr") {
        if (!crate.dir.empty())
            payload = readFile(crate.dir + (line == "file log" ? "/requests.jsonl" : "/stderr.txt"));
        return "data " + std::to_string(payload.size());
    }
    if (line == "stop")
        return "stopped " + std::to_string(stopCrate(crate));
    if (line == "keep") {
        crate.keep = true;
        return "ok";
    }
    return "";
}

// Serves one connection until it ends or sends what is not taken: one crate
// and the requests about it.
void serveConnection(int fd, const std::string& token)
{
    const auto helloBy = Clock::now() + std::chrono::milliseconds(helloTimeoutMs);
    Reader client{fd, "", &helloBy};
    Crate crate;
    std::string line;
    if (!client.line(line))
        return;
    if (line.rfind("hello ", 0) != 0 || !sameSecret(line.substr(6), token)) {
        sendAll(fd, line.rfind("hello ", 0) == 0 ? "error: wrong token\n" : "error: say hello with the token first\n");
        return;
    }
    client.deadline = nullptr;
    if (!sendAll(fd, "ok\n"))
        return;
    bool first = true;
    while (!stopping && client.line(line)) {
        std::string payload;
        std::string reply;
        if (line == "quit" && first && peerUser(fd) == static_cast<long>(getuid())) {
            kill(getppid(), SIGTERM);
            reply = "ok";
        } else if (line == "quit") {
            reply = "error: quit is taken only as the first request, from the launcher's own user";
        } else {
            reply = answer(crate, client, line, payload);
        }
        first = false;
        if (reply.empty()) {
            sendAll(fd, "error: request not taken: \"" + line.substr(0, 200) + "\"\n");
            break;
        }
        if (!sendAll(fd, reply + "\n" + payload) || reply.rfind("error: quit", 0) == 0)
            break;
    }
    stopCrate(crate);
    if (!crate.dir.empty() && !crate.keep) {
        std::error_code ignored;
        std::filesystem::remove_all(crate.dir, ignored);
    }
}

int listenLoopback(std::string& address)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        std::fprintf(stderr, "sim-launcher: cannot listen: %s\n", std::strerror(errno));
        return -1;
    }
    address = "127.0.0.1:" + std::to_string(ntohs(at.sin_port));
    return fd;
}

// A descriptor that becomes readable when the process ends; -1 if the
// kernel offers none (the launcher then ends only when told).
int watchProcess(pid_t pid)
{
    return pid > 1 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
}

// Accepts connections, each served by a child of its own, until SIGTERM,
// "quit" or the end of the starter (`starter`, a pidfd); then stops them all,
// and with them their crates.
int serve(int listener, const std::string& token, int starter)
{
    catchSignal(SIGTERM, onTerm);
    catchSignal(SIGINT, onTerm);
    catchSignal(SIGCHLD, onChild);
    std::signal(SIGPIPE, SIG_IGN);
    std::map<pid_t, int> keepers;  // each child, and its connection, kept open until it is reaped
    while (!stopping) {
        pollfd waits[2] = {{listener, POLLIN, 0}, {starter, POLLIN, 0}};
        // SIGCHLD interrupts the wait; the timeout covers one that came just before it.
        const int ready = poll(waits, starter >= 0 ? 2 : 1, 250);
        for (pid_t pid; (pid = waitpid(-1, nullptr, WNOHANG)) > 0;)
            if (keepers.count(pid)) {
                close(keepers[pid]);
                keepers.erase(pid);
            }
        if (ready > 0 && starter >= 0 && waits[1].revents)
            break;
        if (ready <= 0 || !waits[0].revents)
            continue;
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        if (keepers.size() >= maxConnections) {
            sendAll(fd, "error: too many connections\n");
            close(fd);
            continue;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            close(listener);
            std::signal(SIGCHLD, SIG_DFL);  // the keeper waits for its crate itself
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            serveConnection(fd, token);
            _exit(0);
        }
        if (pid > 0)
            keepers[pid] = fd;
        else
            close(fd);
    }
    close(listener);
    for (const auto& [pid, fd] : keepers)
        kill(pid, SIGTERM);
    // The connections close as the launcher ends, after every crate: "stop" waits for that.
    while (wait(nullptr) > 0 || errno == EINTR) {
    }
    return 0;
}

// A TCP connection to "127.0.0.1:PORT", its reads bounded by `timeoutMs`.
int connectTo(const std::string& address, int timeoutMs)
{
    const auto colon = address.rfind(':');
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(std::atoi(address.c_str() + colon + 1)));
    if (colon == std::string::npos || inet_pton(AF_INET, address.substr(0, colon).c_str(), &at.sin_addr) != 1)
        return -1;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval guard{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Stops the launcher named in the file, if one runs there, waits until it
// has, and removes the file. What answers otherwise at that address (another
// service, another run's launcher with its own token) is left alone at once.
int stop(const std::string& addressFile)
{
    std::string address, token;
    std::ifstream(addressFile) >> address >> token;
    const int fd = address.empty() ? -1 : connectTo(address, stopAnswerMs);
    if (fd >= 0) {
        Reader reply{fd, ""};
        std::string hello, quit;
        if (sendAll(fd, "hello " + token + "\nquit\n") && reply.line(hello) && hello == "ok" && reply.line(quit) &&
            quit == "ok") {
            const timeval guard{stopEndMs / 1000, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
            char ignored[256];
            while (read(fd, ignored, sizeof ignored) > 0) {
            }
        }
        close(fd);
    }
    std::remove(addressFile.c_str());
    return 0;
}

// Writes the address line to the file, readable by its owner only, in one step.
bool writeAddressFile(const std::string& path, const std::string& text)
{
    std::string partial = path + ".XXXXXX";
    const int fd = mkstemp(partial.data());  // mode 0600
    if (fd < 0)
        return false;
    const bool written = sendAll(fd, text) && close(fd) == 0;
    if (!written || std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "stop" && argc == 3)
        return stop(argv[2]);
    if (verb != "serve" || argc > 3) {
        std::fputs("usage: sim-launcher serve [ADDRESS_FILE] | sim-launcher stop ADDRESS_FILE\n", stderr);
        return 2;
    }
    const int starter = watchProcess(getppid());
    const std::string token = newToken();
    std::string address;
    const int listener = token.empty() ? -1 : listenLoopback(address);
    if (listener < 0)
        return 1;
    const std::string line = address + " " + token + "\n";
    if (argc == 2) {
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
        return serve(listener, token, starter);
    }

    // In the background: a launcher left from an earlier run goes first, and
    // the new one's address is in place before this process returns.
    const std::string addressFile = argv[2];
    stop(addressFile);
    if (!writeAddressFile(addressFile, line)) {
        std::fprintf(stderr, "sim-launcher: cannot write %s: %s\n", addressFile.c_str(), std::strerror(errno));
        return 1;
    }
    const pid_t pid = fork();
    if (pid != 0)
        return pid > 0 ? 0 : 1;
    // It stays in its starter's process group, so that what ends the run's
    // group (a terminal's ^C, timeout) ends it too.
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    return serve(listener, token, starter);
}
