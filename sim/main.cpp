// main.cpp: This file contains the entry of crate-sim, the simulated crate: it
// reads its options and layout, starts Net-SNMP's embedded master agent with
// the crate's objects, says when it is ready, and serves requests and control
// commands until SIGINT, SIGTERM or "quit".
#include "sim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <getopt.h>
#include <strings.h>
#include <unistd.h>

#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/fd_event_manager.h>

namespace {

struct Options {
    std::string listen = "udp:127.0.0.1:1161";
    std::string layout;
    std::string log;
};

const char* const usage = "usage: crate-sim [--listen ADDRESS] [--layout FILE] [--log FILE]\n";

const char* const optionHelp =
    "The simulated crate: an SNMPv2c agent serving TORVAN-CRATE-MIB and the system group.\n"
    "\n"
    "  --listen ADDRESS  UDP address to serve, udp:HOST:PORT or udp6:[HOST]:PORT\n"
    "                    (default udp:127.0.0.1:1161; port 0 picks a free port)\n"
    "  --layout FILE     the crate to simulate, a TOML layout (default: the built-in crate)\n"
    "  --log FILE        write the request log, one JSON line per requested variable\n"
    "  -h, --help        print this help and exit\n"
    "  --version         print the version and exit\n"
    "\n"
    "Control commands are read from standard input, one a line; \"help\" lists them.\n";

enum class Parsed { run, help, version, bad };

// Names the transport of a UDP address given bare ("HOST:PORT" becomes
// "udp:HOST:PORT", "[HOST]:PORT" "udp6:[HOST]:PORT"); false for any other
// address. Decided from the text alone: Net-SNMP's other transports act on an
// address as they open it (the Unix one removes the file it names), so they
// must never be handed one, and with its transport named Net-SNMP does not
// guess one.
// True for the names of Net-SNMP's other transports: "tcp:1161" names a TCP
// port, not a UDP host called "tcp", and is refused as such.
bool transportName(const std::string& host)
{
    static const char* const names[] = {"tcp", "tcp6", "tcpv6", "tcpipv6", "unix", "ssh", "tls", "tlstcp",
                                        "dtls", "dtlsudp", "ipx", "aal5pvc", "pvc", "callback", "alias", "std"};
    for (const char* name : names)
        if (strcasecmp(host.c_str(), name) == 0)
            return true;
    return false;
}

bool udpAddress(std::string& address)
{
    std::string rest = address;
    std::string transport;
    for (const char* prefix : {"udp:", "udp6:"})
        if (address.rfind(prefix, 0) == 0) {
            transport = prefix;
            rest = address.substr(transport.size());
        }
    if (rest.empty() || rest.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                               "0123456789.-_:[]%") != std::string::npos)
        return false;
    if (transport.empty()) {
        const auto colon = rest.rfind(':');
        const std::string host = colon == std::string::npos ? "" : rest.substr(0, colon);
        const std::string port = colon == std::string::npos ? "" : rest.substr(colon + 1);
        const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
        if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos || host.empty() ||
            (!bracketed && host.find_first_of(":[]") != std::string::npos) || transportName(host))
            return false;
        transport = bracketed ? "udp6:" : "udp:";
    }
    address = transport + rest;
    return true;
}

Parsed parseOptions(int argc, char** argv, Options& options, std::string& error)
{
    enum { listenOption = 256, layoutOption, logOption, versionOption };
    static const option longOptions[] = {
        {"listen", required_argument, nullptr, listenOption},
        {"layout", required_argument, nullptr, layoutOption},
        {"log", required_argument, nullptr, logOption},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, versionOption},
        {nullptr, 0, nullptr, 0},
    };
    auto nameOf = [](int code) {
        for (const option& o : longOptions)
            if (o.name && o.val == code)
                return std::string("--") + o.name;
        return std::string("-") + static_cast<char>(code);
    };
    opterr = 0;     // the messages below say what is wrong, on one line
    int code;
    while ((code = getopt_long(argc, argv, ":h", longOptions, nullptr)) != -1) {
        switch (code) {
        case listenOption: options.listen = optarg; break;
        case layoutOption: options.layout = optarg; break;
        case logOption: options.log = optarg; break;
        case 'h': return Parsed::help;
        case versionOption: return Parsed::version;
        case ':':
            error = nameOf(optopt) + " needs a value";
            return Parsed::bad;
        default:
            error = "unknown option \"" + std::string(argv[optind - 1]) + "\"";
            return Parsed::bad;
        }
        if (optarg[0] == '\0') {
            error = nameOf(code) + " needs a value";
            return Parsed::bad;
        }
    }
    if (optind < argc) {
        error = "unexpected argument \"" + std::string(argv[optind]) + "\"";
        return Parsed::bad;
    }
    if (options.listen.find(',') != std::string::npos) {
        error = "--listen takes one address";
        return Parsed::bad;
    }
    return Parsed::run;
}

// A pipe the signal handler writes to and the agent's wait watches: a signal
// that comes after the loop looked at the flag, but before the wait began,
// still ends the wait, which has no time limit.
int wakeUp[2] = {-1, -1};

void stop(int)
{
    sim::keepRunning = 0;
    const int saved = errno;
    [[maybe_unused]] const ssize_t ignored = write(wakeUp[1], "", 1);
    errno = saved;
}

void drainWakeUp(int fd, void*)
{
    char bytes[64];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

// SIGINT and SIGTERM end the agent's wait, so the loop sees the flag.
bool catchSignals()
{
    if (pipe2(wakeUp, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

// A private folder for Net-SNMP's state, so that no two simulators and no
// system agent share any.
std::string makeStateDir()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/crate-sim.XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : "";
}

int fail(const std::string& message, const std::string& stateDir)
{
    std::fprintf(stderr, "crate-sim: %s\n", message.c_str());
    if (!stateDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(stateDir, ignored);
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    switch (parseOptions(argc, argv, options, error)) {
    case Parsed::help:
        std::printf("%s\n%s", usage, optionHelp);
        return 0;
    case Parsed::version:
        std::printf("crate-sim %s\n", KOVO_VERSION);
        return 0;
    case Parsed::bad:
        std::fputs(usage, stderr);
        return fail(error, "");
    case Parsed::run:
        break;
    }
    if (!udpAddress(options.listen))
        return fail("--listen " + options.listen + ": only UDP is served, give udp:HOST:PORT or udp6:[HOST]:PORT", "");
    if (!catchSignals())
        return fail(std::string("cannot make a pipe: ") + std::strerror(errno), "");
    sim::wallSeconds();     // the clock of the model and the log starts now

    // Net-SNMP's state and configuration live in a private folder.
    const std::string stateDir = makeStateDir();
    if (stateDir.empty())
        return fail(std::string("cannot create a state folder: ") + std::strerror(errno), "");

    // The agent library and the crate MIB module.
    if (!sim::initAgent(stateDir, error))
        return fail(error, stateDir);

    // The crate: built in, or described by the layout file.
    sim::simulation.crate = sim::defaultCrate();
    if (!options.layout.empty() && !sim::loadLayout(options.layout, error))
        return fail(error, stateDir);

    // The request log, then the agent on its address.
    if (!options.log.empty() && !sim::openRequestLog(options.log, error))
        return fail(error, stateDir);
    std::string bound;
    if (!sim::startAgent(options.listen, options.layout, bound, error)) {
        sim::stopAgent();       // closes whatever was opened, a socket file too
        return fail(error, stateDir);
    }
    sim::startControl();
    register_readfd(wakeUp[0], drainWakeUp, nullptr);
    // Net-SNMP needs its folder only while starting; gone now, it cannot be
    // left behind even if the simulator is killed.
    std::error_code ignored;
    std::filesystem::remove_all(stateDir, ignored);
    std::printf("crate-sim ready on %s\n", bound.c_str());
    std::fflush(stdout);

    // Serve until a signal or "quit".
    while (sim::keepRunning)
        agent_check_and_process(1);

    sim::stopAgent();
    std::filesystem::remove_all(stateDir, ignored);     // should the agent have made it anew
    return 0;
}
