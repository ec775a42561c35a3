// main.cpp: This file contains the entry of crate-sim, the simulated crate: it
// reads its options and layout, starts Net-SNMP's embedded master agent with
// the crate's objects, says when it is ready, and serves requests and control
// commands until SIGINT, SIGTERM or "quit".
#include "sim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <net-snmp/agent/net-snmp-agent-includes.h>

namespace {

struct Options {
    std::string listen = "udp:127.0.0.1:1161";
    std::string layout;
    std::string log;
};

const char* const usage = "usage: crate-sim [--listen ADDRESS] [--layout FILE] [--log FILE]\n";

bool parseOptions(int argc, char** argv, Options& options, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        std::string* target = option == "--listen" ? &options.listen
                              : option == "--layout" ? &options.layout
                              : option == "--log"    ? &options.log
                                                     : nullptr;
        if (!target) {
            error = "unknown option \"" + option + "\"";
            return false;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            error = option + " needs a value";
            return false;
        }
        *target = argv[++i];
    }
    if (options.listen.find(',') != std::string::npos) {
        error = "--listen takes one address";
        return false;
    }
    return true;
}

void stop(int)
{
    sim::keepRunning = 0;
}

// SIGINT and SIGTERM interrupt the agent's wait, so the loop sees the flag.
void catchSignals()
{
    struct sigaction action {};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
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
    if (!parseOptions(argc, argv, options, error)) {
        std::fputs(usage, stderr);
        return fail(error, "");
    }
    catchSignals();
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
    if (!sim::startAgent(options.listen, bound, error))
        return fail(error, stateDir);
    sim::startControl();
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
