// sim_launcher.cpp: This file contains sim-launcher, which starts simulated
// crates (crate-sim) for test programs that ask over a loopback TCP
// connection, so that a test gets its own crate in the same way whether it
// runs here or as a Windows program under Wine (which can start a Linux
// program but cannot talk to it through pipes).
//
//   sim-launcher serve               serves on a free loopback port, in the
//                                    foreground; the first line of standard
//                                    output is its address, 127.0.0.1:PORT
//   sim-launcher serve ADDRESS_FILE  the same in the background, its address
//                                    written to ADDRESS_FILE once it accepts
//   sim-launcher stop ADDRESS_FILE   stops that launcher and every crate it runs
//
// One connection is one crate. Requests and replies are lines:
//   start LISTEN BYTES [nolog], then BYTES of layout text (0: the built-in
//                        crate); nolog: the crate keeps no request log
//                        -> "ready ADDRESS FOLDER PID", or "failed BYTES" and
//                           the crate's standard error
//   sim COMMAND          -> the crate's one-line reply to its control command
//   file log|stderr      -> "data BYTES" and the request log or standard error
//   stop                 -> "stopped STATUS" (exit status, 128+signal if killed)
//   keep                 -> "ok": the crate's folder outlives the connection
//   quit                 -> stops the launcher (first and only request)
// When the connection ends, its crate is stopped and its folder removed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t stopping = 0;

void onTerm(int)
{
    stopping = 1;
}

// Signals interrupt blocking calls (no SA_RESTART), so loops see the flag.
void catchTerm()
{
    struct sigaction action {};
    action.sa_handler = onTerm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// Buffered line and byte reads from one descriptor; false at its end or on a signal.
struct Reader {
    int fd;
    std::string buffer;

    bool fill()
    {
        char chunk[4096];
        const ssize_t count = read(fd, chunk, sizeof chunk);
        if (count <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(count));
        return true;
    }
    bool line(std::string& out)
    {
        std::size_t newline;
        while ((newline = buffer.find('\n')) == std::string::npos)
            if (!fill())
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

// One crate, run for one connection.
struct Crate {
    pid_t pid = -1;
    int control = -1;          // its standard input
    Reader replies{-1, ""};    // its standard output
    std::string dir;
    bool keep = false;
};

int stopCrate(Crate& crate)
{
    if (crate.pid <= 0)
        return -1;
    kill(crate.pid, SIGTERM);
    int status = 0;
    while (waitpid(crate.pid, &status, 0) < 0 && errno == EINTR) {
    }
    crate.pid = -1;
    close(crate.control);
    close(crate.replies.fd);
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Starts crate-sim in a fresh folder and returns the reply line to "start";
// on failure the crate's standard error goes into `payload`.
std::string startCrate(Crate& crate, const std::string& listen, const std::string& layout, bool logged,
                       std::string& payload)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kovo-sim.XXXXXX";
    if (!mkdtemp(pattern.data()))
        return "failed 0";
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
        return "failed 0";
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
    if (pid < 0 || !crate.replies.line(ready) || ready.rfind(readyText, 0) != 0) {
        stopCrate(crate);
        payload = readFile(crate.dir + "/stderr.txt");
        return "failed " + std::to_string(payload.size());
    }
    return "ready " + ready.substr(readyText.size() + std::strlen("udp:")) + " " + crate.dir + " " +
           std::to_string(crate.pid);
}

// Serves one connection until it ends: one crate and the requests about it.
void serveConnection(int fd)
{
    Reader client{fd, ""};
    Crate crate;
    std::string line;
    while (!stopping && client.line(line)) {
        std::string reply, payload;  // a reply line, and the bytes it announces
        if (line == "quit") {
            kill(getppid(), SIGTERM);
            reply = "ok";
        } else if (line.rfind("start ", 0) == 0 && crate.dir.empty()) {
            std::istringstream words(line.substr(6));
            std::string listen;
            std::size_t size = 0;
            std::string layout, option;
            if (!(words >> listen >> size) || !client.bytes(size, layout))
                break;
            words >> option;
            reply = startCrate(crate, listen, layout, option != "nolog", payload);
        } else if (line.rfind("sim ", 0) == 0 && crate.pid > 0) {
            if (!sendAll(crate.control, line.substr(4) + "\n") || !crate.replies.line(reply))
                reply = "error: crate-sim gave no reply";
        } else if (line == "file log" || line == "file stderr") {
            if (!crate.dir.empty())
                payload = readFile(crate.dir + (line == "file log" ? "/requests.jsonl" : "/stderr.txt"));
            reply = "data " + std::to_string(payload.size());
        } else if (line == "stop") {
            reply = "stopped " + std::to_string(stopCrate(crate));
        } else if (line == "keep") {
            crate.keep = true;
            reply = "ok";
        } else {
            reply = "error: unknown request \"" + line + "\"";
        }
        if (!sendAll(fd, reply + "\n" + payload))
            break;
    }
    stopCrate(crate);
    if (!crate.dir.empty() && !crate.keep) {
        std::error_code ignored;
        std::filesystem::remove_all(crate.dir, ignored);
    }
    close(fd);
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

// Accepts connections until SIGTERM (or "quit"), each served by a child of
// its own; then stops them all, and with them their crates.
int serve(int listener)
{
    setpgid(0, 0);  // the group that is stopped at the end: this launcher and its children only
    catchTerm();
    std::signal(SIGCHLD, SIG_IGN);  // connection keepers are reaped by the system
    std::signal(SIGPIPE, SIG_IGN);
    while (!stopping) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        if (fork() == 0) {
            close(listener);
            std::signal(SIGCHLD, SIG_DFL);  // the keeper waits for its crate itself
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            serveConnection(fd);
            _exit(0);
        }
        close(fd);
    }
    close(listener);
    std::signal(SIGTERM, SIG_IGN);
    kill(0, SIGTERM);
    while (wait(nullptr) > 0 || errno == EINTR) {
    }
    return 0;
}

int connectTo(const std::string& address)
{
    const auto colon = address.rfind(':');
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(std::atoi(address.c_str() + colon + 1)));
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (colon == std::string::npos || inet_pton(AF_INET, address.substr(0, colon).c_str(), &at.sin_addr) != 1 ||
        connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Stops the launcher named in the file, if one runs, and waits until it has.
int stop(const std::string& addressFile)
{
    std::string address;
    std::ifstream(addressFile) >> address;
    const int fd = address.empty() ? -1 : connectTo(address);
    if (fd >= 0) {
        sendAll(fd, "quit\n");
        char ignored[256];
        while (read(fd, ignored, sizeof ignored) > 0) {
        }
        close(fd);
    }
    std::remove(addressFile.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "stop" && argc == 3)
        return stop(argv[2]);
    if (verb != "serve" || argc > 3) {
        std::fputs("usage: sim-launcher serve [ADDRESS_FILE] | sim-launcher stop ADDRESS_FILE\n", stderr);
        return 2;
    }
    std::string address;
    const int listener = listenLoopback(address);
    if (listener < 0)
        return 1;
    if (argc == 2) {
        std::printf("%s\n", address.c_str());
        std::fflush(stdout);
        return serve(listener);
    }

    // In the background: a launcher left from an earlier run goes first, and
    // the new one's address is in place before this process returns.
    const std::string addressFile = argv[2];
    stop(addressFile);
    const std::string partial = addressFile + ".partial";
    std::ofstream(partial) << address << "\n";
    std::rename(partial.c_str(), addressFile.c_str());
    const pid_t pid = fork();
    if (pid != 0)
        return pid > 0 ? 0 : 1;
    setsid();
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    return serve(listener);
}
