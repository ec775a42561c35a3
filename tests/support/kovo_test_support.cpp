// kovo_test_support.cpp: This file contains the test support shared by the
// test suites: the simulated crate, started through the process layer and
// steered over its standard input and output, and Net-SNMP's tools run
// against it. It builds for Linux and for Windows, where the tests run under
// Wine and the crate is the Linux build's crate-sim, which Wine starts as it
// starts any Linux program.
#include "kovo_test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <tuple>

#ifndef _WIN32
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kovo::test {

namespace {

// The port of a listening address ("udp:HOST:PORT", "udp6:[::1]:PORT"); 0 when it has none.
int portOf(const std::string& listen)
{
    const auto colon = listen.rfind(':');
    return colon == std::string::npos || listen.back() == ']' ? 0 : std::atoi(listen.c_str() + colon + 1);
}

#ifndef _WIN32
bool writeTo(const char* path, const std::string& text)
{
    std::ofstream file(path);
    return static_cast<bool>(file << text << std::flush);
}

// Moves this test program, and the programs it starts from now on, into a
// network namespace of its own with its loopback up, so that a crate on a
// fixed address meets no other test run's, nor scripts/run.sh's. Without
// root a user namespace of its own brings the right to make one. Done once;
// false where the system allows neither.
bool privateNetwork()
{
    static const bool entered = [] {
        const uid_t uid = geteuid();
        const gid_t gid = getegid();
        if (unshare(CLONE_NEWNET) != 0) {
            if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
                return false;
            writeTo("/proc/self/setgroups", "deny");
            writeTo("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
            writeTo("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
        }
        const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq loopback{};
        std::snprintf(loopback.ifr_name, sizeof loopback.ifr_name, "lo");
        const bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &loopback) == 0 &&
                        (loopback.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &loopback) == 0);
        if (s >= 0)
            close(s);
        return up;
    }();
    return entered;
}

// The lock file of a fixed crate address, which scripts/run.sh takes for its
// crate too; held until the descriptor closes. -1 if it cannot be had.
int lockAddress(const std::string& listen)
{
    std::string name = listen.substr(listen.find(':') + 1);
    name[name.rfind(':')] = '-';
    const std::string path = "/tmp/kovo-crate-" + name + ".lock";
    // Opened for reading: in the sticky /tmp, another user's file can be read, not written.
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 && flock(fd, LOCK_EX) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}
#endif

bool machineNetwork = false;  // see keepMachineNetwork

// Ends the crate and returns its exit status. Under Wine no signal reaches a
// Linux program, so it is told to quit on its control channel.
int endCrate(Sim& sim)
{
#ifdef _WIN32
    sim.process.write("quit\n");
    sim.process.closeInput();
    return sim.process.wait(hangGuardMs);
#else
    return sim.process.stop();
#endif
}

void releaseSim(Sim& sim)
{
    if (!sim.process.started() && sim.dir.empty())
        return;
    endCrate(sim);
#ifndef _WIN32
    if (sim.lock >= 0)
        close(sim.lock);
#endif
    sim.lock = -1;
    if (::testing::Test::HasFailure() && !sim.dir.empty()) {
        std::fprintf(stderr, "crate-sim folder kept for inspection: %s\n", sim.dir.c_str());
    } else if (!sim.dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(sim.dir, ignored);
    }
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

void keepMachineNetwork()
{
    machineNetwork = true;
}

// A crate on a fixed address is made private to this test program.
int claimAddress(const std::string& listen)
{
#ifdef _WIN32
    (void)listen;
    return -1;
#else
    if (portOf(listen) == 0 || (!machineNetwork && privateNetwork()))
        return -1;
    return lockAddress(listen);
#endif
}

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
        process = std::move(other.process);
        lock = std::exchange(other.lock, -1);
    }
    return *this;
}

Sim startSim(const std::string& layoutToml, const std::string& listen, RequestLog log)
{
    return startSimProgram(KOVO_CRATE_SIM, {}, layoutToml, listen, log);
}

Sim startSimProgram(const std::string& program, const std::vector<std::string>& env, const std::string& layoutToml,
                    const std::string& listen, RequestLog log)
{
    Sim sim;
    const std::string where = listen.empty() ? "udp:127.0.0.1:0" : listen;
    sim.lock = claimAddress(where);
    sim.dir = makeTempDir("kovo-sim");
    sim.logged = log == RequestLog::kept;
    std::vector<std::string> argv{program, "--listen", where};
    if (sim.logged)
        argv.insert(argv.end(), {"--log", sim.dir + "/requests.jsonl"});
    if (!layoutToml.empty()) {
        std::ofstream(sim.dir + "/layout.toml", std::ios::binary) << layoutToml;
        argv.insert(argv.end(), {"--layout", sim.dir + "/layout.toml"});
    }
    const char* mibdirs = std::getenv("MIBDIRS");
    std::vector<std::string> environment{std::string("MIBDIRS=") + (mibdirs ? mibdirs : KOVO_TEST_MIBDIRS)};
    environment.insert(environment.end(), env.begin(), env.end());
    sim.process = Process({.argv = argv,
                           .cwd = sim.dir,
                           .env = environment,
                           .err = Output::file,
                           .errFile = sim.dir + "/stderr.txt"});
    const std::string readyText = "crate-sim ready on ";
    std::string ready;
    if (!sim.process.started())
        failStart(sim, sim.process.failure());
    if (!sim.process.readLine(ready) || ready.rfind(readyText, 0) != 0) {
        sim.process.wait(hangGuardMs);
        failStart(sim, readFile(sim.dir + "/stderr.txt"));
    }
    // A peer name for Net-SNMP: UDP over IPv4 is its default, IPv6 is named.
    sim.address = ready.substr(readyText.size());
    if (sim.address.rfind("udp:", 0) == 0)
        sim.address.erase(0, 4);
    sim.port = portOf(sim.address);
    sim.pid = sim.process.pid();
    return sim;
}

std::string simCommand(Sim& sim, const std::string& line)
{
    std::string reply;
    if (!sim.process.write(line + "\n") || !sim.process.readLine(reply)) {
        ADD_FAILURE() << "crate-sim gave no reply to \"" << line << "\": " << simStderr(sim);
        return "";
    }
    return reply;
}

std::vector<LogEntry> simLog(const Sim& sim)
{
    std::vector<LogEntry> entries;
    if (!sim.logged) {
        ADD_FAILURE() << "crate-sim was started without a request log";
        return entries;
    }
    std::istringstream text(readFile(sim.dir + "/requests.jsonl"));
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
    return readFile(sim.dir + "/stderr.txt");
}

int stopSim(Sim& sim)
{
    return endCrate(sim);
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

std::string transcript(const std::string& file, const std::vector<std::pair<std::string, std::string>>& fill)
{
    const std::string path = std::string(KOVO_TESTS_SOURCE_DIR) + "/" + file;
    std::string text = readFile(path);
    if (!std::filesystem::is_regular_file(path))
        ADD_FAILURE() << "no expected transcript " << path;
    for (const auto& [name, value] : fill)
        for (std::size_t at = 0; (at = text.find("{" + name + "}", at)) != std::string::npos; at += value.size())
            text.replace(at, name.size() + 2, value);
    return text;
}

std::string sessionTranscript(const std::string& crate, const std::string& output)
{
    return transcript("app/session.txt",
                      {{"startup", transcript("library/startup.txt")}, {"crate", crate}, {"output", output}});
}

::testing::AssertionResult sameText(const std::string& expected, const std::string& actual)
{
    if (expected == actual)
        return ::testing::AssertionSuccess();
    const std::string dir = makeTempDir("kovo-diff");
    std::ofstream(dir + "/expected", std::ios::binary) << expected;
    std::ofstream(dir + "/actual", std::ios::binary) << actual;
    const RunResult diff = runProgram({KOVO_DIFF, "-u", "--label", "expected", "--label", "actual", dir + "/expected",
                                       dir + "/actual"});
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return ::testing::AssertionFailure() << "the output differs from the expected transcript:\n" << diff.out;
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
