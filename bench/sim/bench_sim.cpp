// bench_sim.cpp: This file contains the benchmark of the simulated crate:
// requests answered per second on loopback, one client, one variable per
// synchronous GET, for crate-sim and, in the same run, Debian's snmpd
// answering a scalar of its own (sysDescr.0), in alternating bursts so that a
// change of load falls on all alike. crate-sim runs twice: the built-in crate
// and a crate of 1000 channels, all ramping on the live model; the gets go
// round the measured voltages of every channel. The client and the agents run
// on one CPU and on two ("cpus:1", "cpus:2"). The agents are started here on
// free loopback ports in a temp folder and stopped at the end.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include "kovo_bench_support.h"
#include "kovo_test_support.h"

namespace {

// An agent of the benchmark: a crate-sim, or snmpd.
struct Agent {
    kovo::test::Sim crate;
    kovo::test::Process process;
    long pid = -1;
    int port = 0;
};

// The crates: the built-in one, and 1000 channels in ten full slots, the
// crate and every channel on, every channel ramping slowly toward 30 V for
// longer than any run.
const int fullCrateChannels = 1000;
const char* const fullCrateLayout = R"(
[crate]
sysMainSwitch = 1
)";
Agent builtInCrate, fullCrate, snmpd;
std::string workDir;

int freeUdpPort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

std::string layoutOfFullCrate()
{
    std::string layout = fullCrateLayout;
    for (int slot = 0; slot < fullCrateChannels / 100; ++slot)
        layout += "[[slot]]\nslot = " + std::to_string(slot) +
                  "\nchannels = 100\noutputSwitch = 1\noutputVoltage = 30.0\noutputVoltageRiseRate = 0.001\n";
    return layout;
}

bool startCrateSim(Agent& agent, const std::string& layout)
{
    try {
        agent.crate = kovo::test::startSim(layout, "", kovo::test::RequestLog::none);
    } catch (const std::exception&) {
        return false;
    }
    agent.pid = agent.crate.pid;
    agent.port = agent.crate.port;
    return true;
}

bool startAll()
{
    workDir = kovo::test::makeTempDir("bench-sim");
    if (!startCrateSim(builtInCrate, "") || !startCrateSim(fullCrate, layoutOfFullCrate())) {
        std::fprintf(stderr, "bench_sim: crate-sim did not start\n");
        return false;
    }

    // snmpd with a private configuration and state folder, on a free loopback
    // port; its log goes to a file, which it says its version in once it serves.
    snmpd.port = freeUdpPort();
    const std::string conf = workDir + "/snmpd.conf";
    std::ofstream(conf) << "rocommunity ovalis 127.0.0.1\n";
    snmpd.process = kovo::test::Process({.argv = {"/usr/sbin/snmpd", "-f", "-Lo", "-C", "-c", conf, "-I", "-smux",
                                                  "udp:127.0.0.1:" + std::to_string(snmpd.port)},
                                         .env = {"SNMP_PERSISTENT_DIR=" + workDir, "SNMPCONFPATH=" + workDir, "MIBS="},
                                         .input = kovo::test::Input::null,
                                         .out = kovo::test::Output::file,
                                         .outFile = workDir + "/snmpd.log"});
    snmpd.pid = snmpd.process.pid();
    if (kovo::test::waitForFile(workDir + "/snmpd.log", "NET-SNMP version", 60000).empty()) {
        std::fprintf(stderr, "bench_sim: snmpd did not start\n");
        return false;
    }
    return true;
}

// One client session (SNMPv2c, read community), as the library opens it.
void* openSession(int port)
{
    netsnmp_session session;
    snmp_sess_init(&session);
    const std::string peer = "udp:127.0.0.1:" + std::to_string(port);
    session.peername = const_cast<char*>(peer.c_str());
    session.version = SNMP_VERSION_2c;
    session.community = reinterpret_cast<u_char*>(const_cast<char*>("ovalis"));
    session.community_len = 6;
    session.timeout = 1000000;
    session.retries = 3;
    return snmp_sess_open(&session);
}

// One synchronous GET of one variable; false when it was not answered with a value.
bool getOnce(void* session, const std::vector<oid>& name)
{
    netsnmp_pdu* request = snmp_pdu_create(SNMP_MSG_GET);
    snmp_add_null_var(request, name.data(), name.size());
    netsnmp_pdu* response = nullptr;
    const int status = snmp_sess_synch_response(session, request, &response);
    const bool answered = status == STAT_SUCCESS && response && response->errstat == SNMP_ERR_NOERROR &&
                          response->variables && response->variables->type != SNMP_NOSUCHOBJECT &&
                          response->variables->type != SNMP_NOSUCHINSTANCE;
    if (response)
        snmp_free_pdu(response);
    return answered;
}

// CPU seconds (user + system) that a process has used so far.
double cpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

const std::vector<oid> sysDescr0{1, 3, 6, 1, 2, 1, 1, 1, 0};
const std::vector<oid> outputMeasurementSenseVoltage{1, 3, 6, 1, 4, 1, 32473, 1, 2, 2, 1, 4};

// The instances the gets to a crate go round: the sense voltage of every
// channel, in the crate's MIB index order.
std::vector<std::vector<oid>> senseVoltagesOf(int channels)
{
    std::vector<std::vector<oid>> names;
    for (int i = 0; i < channels; ++i) {
        const int index = channels == fullCrateChannels ? i + 1 : 100 * (i / 8 == 2 ? 3 : i / 8) + i % 8 + 1;
        names.push_back(outputMeasurementSenseVoltage);
        names.back().push_back(static_cast<oid>(index));
    }
    return names;
}

// The three agents in alternating bursts of 100 gets each, so that a change
// of load falls on all alike: the built-in crate, the 1000-channel crate, and
// snmpd. Reports the three rates, each crate's rate against snmpd's, the
// large crate's against the built-in one's, and each crate's CPU time per
// request.
void CrateSimAgainstSnmpd(benchmark::State& state)
{
    const int cpus = static_cast<int>(state.range(0));
    const Agent* agents[3] = {&builtInCrate, &fullCrate, &snmpd};
    for (const Agent* agent : agents)
        if (!kovo::bench::pin(state, cpus, agent->pid))
            return;
    const std::vector<std::vector<oid>> names[3] = {senseVoltagesOf(24), senseVoltagesOf(fullCrateChannels),
                                                    {sysDescr0}};
    void* sessions[3];
    for (int agent = 0; agent < 3; ++agent)
        if (!(sessions[agent] = openSession(agents[agent]->port)))
            return state.SkipWithError("no session");
    double seconds[3] = {0, 0, 0}, cpu[2];
    long requests[3] = {0, 0, 0};
    std::size_t next[3] = {0, 0, 0};
    for (int agent = 0; agent < 2; ++agent)
        cpu[agent] = cpuSeconds(agents[agent]->pid);
    for (auto _ : state)
        for (int agent = 0; agent < 3; ++agent) {
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < 100; ++i)
                if (!getOnce(sessions[agent], names[agent][next[agent]++ % names[agent].size()]))
                    return state.SkipWithError("a request was not answered");
            seconds[agent] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            requests[agent] += 100;
        }
    for (int agent = 0; agent < 2; ++agent)
        cpu[agent] = cpuSeconds(agents[agent]->pid) - cpu[agent];
    for (void* session : sessions)
        snmp_sess_close(session);
    double rate[3];
    for (int agent = 0; agent < 3; ++agent)
        rate[agent] = static_cast<double>(requests[agent]) / seconds[agent];
    state.counters["built_in_per_second"] = rate[0];
    state.counters["full_per_second"] = rate[1];
    state.counters["snmpd_per_second"] = rate[2];
    state.counters["built_in_ratio"] = rate[0] / rate[2];
    state.counters["full_ratio"] = rate[1] / rate[2];
    state.counters["full_vs_built_in"] = rate[1] / rate[0];
    state.counters["built_in_cpu_us_per_request"] = 1e6 * cpu[0] / static_cast<double>(requests[0]);
    state.counters["full_cpu_us_per_request"] = 1e6 * cpu[1] / static_cast<double>(requests[1]);
}

BENCHMARK(CrateSimAgainstSnmpd)
    ->ArgNames({kovo::bench::regimeName})
    ->ArgsProduct({kovo::bench::regimes()})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    init_snmp("bench_sim");
    const bool started = startAll();
    if (started)
        benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (Agent* agent : {&builtInCrate, &fullCrate})
        kovo::test::stopSim(agent->crate);
    snmpd.process.stop();
    std::error_code ignored;
    std::filesystem::remove_all(workDir, ignored);
    return started ? 0 : 1;
}
