// with_crate.cpp: This file contains with-crate, which gives a test written
// in another language (the Python module's) crates of its own, started
// through the process layer:
//
//   with-crate [--layout FILE] [--listen ADDRESS]... -- COMMAND [ARGUMENT]...
//
// starts the build's crate-sim with a request log, one on each ADDRESS given
// (one on a free loopback port when none is), runs COMMAND with
//   KOVO_TEST_CRATE          the first crate's address, a Net-SNMP peer name
//   KOVO_TEST_CRATE_LOG      its request log (JSON lines)
//   KOVO_TEST_CRATE_CONTROL  the descriptor of its control channel: a line
//                            written there gets the crate's one-line reply
//   KOVO_TEST_CRATES         every crate's address, in the order given,
//                            separated by blanks
// and its standard output and error as with-crate's own, then stops the
// crates, and exits with COMMAND's exit status (2 for a bad command line, 1
// when a crate did not start).
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

#include "kovo_test_support.h"

namespace {

// Answers the command's control lines, one reply line each, until it closes its end.
void relayControl(kovo::test::Sim& sim, int fd)
{
    std::string pending;
    char buffer[4096];
    for (ssize_t count; (count = read(fd, buffer, sizeof buffer)) > 0;) {
        pending.append(buffer, static_cast<std::size_t>(count));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            const std::string reply = kovo::test::simCommand(sim, pending.substr(0, end)) + "\n";
            if (write(fd, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
                return;
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string layout;
    std::vector<std::string> listen, command;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--") {
            command.assign(argv + i + 1, argv + argc);
            break;
        }
        if (i + 1 == argc || option.rfind("--", 0) != 0)
            break;
        const std::string value = argv[++i];
        if (option == "--layout")
            layout = value;
        else if (option == "--listen")
            listen.push_back(value);
        else
            break;  // an unknown option: the usage
    }
    if (command.empty()) {
        std::fputs("usage: with-crate [--layout FILE] [--listen ADDRESS]... -- COMMAND [ARGUMENT]...\n", stderr);
        return 2;
    }
    const std::string layoutText = layout.empty() ? "" : kovo::test::readFile(layout);
    if (listen.empty())
        listen.push_back("");
    std::vector<kovo::test::Sim> sims;
    std::string addresses;
    try {
        for (const std::string& where : listen) {
            sims.push_back(kovo::test::startSim(layoutText, where));
            addresses += (addresses.empty() ? "" : " ") + sims.back().address;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "with-crate: %s\n", e.what());
        return 1;
    }
    kovo::test::Sim& sim = sims.front();
    int control[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) != 0) {
        std::fprintf(stderr, "with-crate: no control channel: %s\n", std::strerror(errno));
        return 1;
    }
    kovo::test::Process test({.argv = command,
                              .env = {"KOVO_TEST_CRATE=" + sim.address, "KOVO_TEST_CRATE_LOG=" + sim.dir + "/requests.jsonl",
                                      "KOVO_TEST_CRATE_CONTROL=3", "KOVO_TEST_CRATES=" + addresses},
                              .input = kovo::test::Input::null,
                              .out = kovo::test::Output::inherited,
                              .err = kovo::test::Output::inherited,
                              .passed = {control[1]}});
    close(control[1]);
    std::thread relay(relayControl, std::ref(sim), control[0]);
    const int status = test.started() ? test.wait() : 127;
    if (!test.started())
        std::fprintf(stderr, "with-crate: %s\n", test.failure().c_str());
    shutdown(control[0], SHUT_RDWR);
    relay.join();
    close(control[0]);
    return status;
}
