// This file contains the transfer benchmark: one getOutputVoltage call
// against, on the same session and in the same run, a bare Net-SNMP
// synchronous get of the same object, and against spawning Net-SNMP's snmpget
// for it. The simulated crate answers on loopback with its model held still
// and without a request log; each benchmark runs with client and simulator on
// one CPU and on two ("cpus:1", "cpus:2").
//
// On a shared machine compare the first two with
//   --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true
// so that a change of load hits both alike.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "catalogue.h"
#include "kovo_bench_support.h"
#include "kovo_test_support.h"

extern char** environ;

namespace {

HSNMP session = nullptr;
std::string address;
pid_t simulator = -1;
const int channel = 0;

void regimes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({kovo::bench::regimeName})->ArgsProduct({kovo::bench::regimes()})->UseRealTime();
}

void BM_getOutputVoltage(benchmark::State& state)
{
    if (!kovo::bench::pin(state, static_cast<int>(state.range(0)), simulator))
        return;
    for (auto _ : state)
        benchmark::DoNotOptimize(getOutputVoltage(session, channel));
}
BENCHMARK(BM_getOutputVoltage)->Apply(regimes);

// The same exchange written straight against Net-SNMP, as a client would
// without the library.
void BM_bareNetSnmpGet(benchmark::State& state)
{
    if (!kovo::bench::pin(state, static_cast<int>(state.range(0)), simulator))
        return;
    for (auto _ : state) {
        netsnmp_pdu* request = snmp_pdu_create(SNMP_MSG_GET);
        snmp_add_null_var(request, oidOutputVoltage[channel], lengthOutputVoltage[channel]);
        netsnmp_pdu* response = nullptr;
        double value = 0.0;
        if (snmp_sess_synch_response(session, request, &response) == STAT_SUCCESS &&
            response->errstat == SNMP_ERR_NOERROR && response->variables->type == ASN_OPAQUE_FLOAT)
            value = *response->variables->val.floatVal;
        if (response)
            snmp_free_pdu(response);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_bareNetSnmpGet)->Apply(regimes);

// A new snmpget process per read, its output read back through a pipe.
void BM_spawnSnmpget(benchmark::State& state)
{
    if (!kovo::bench::pin(state, static_cast<int>(state.range(0)), simulator))
        return;
    std::string oidText;
    for (size_t i = 0; i < lengthOutputVoltage[channel]; ++i)
        oidText += (i ? "." : "") + std::to_string(oidOutputVoltage[channel][i]);
    const char* argv[] = {"snmpget", "-v2c", "-c", "ovalis", "-Oqv", address.c_str(), oidText.c_str(), nullptr};
    for (auto _ : state) {
        int out[2];
        if (pipe(out) != 0) {
            state.SkipWithError("pipe failed");
            break;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        pid_t child = 0;
        const int failed = posix_spawnp(&child, "snmpget", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string text;
        char buffer[256];
        for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(n));
        close(out[0]);
        int status = 0;
        if (failed != 0 || waitpid(child, &status, 0) != child || status != 0 || text.empty()) {
            state.SkipWithError("snmpget failed");
            break;
        }
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_spawnSnmpget)->Apply(regimes)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    setenv("MIBDIRS", KOVO_BENCH_MIBDIRS, 0);
    benchmark::Initialize(&argc, argv);
    if (SnmpInit() != 1)
        return 1;
    kovo::test::Sim sim = kovo::test::startSim("model = \"frozen\"\n[[channel]]\nindex = 1\noutputVoltage = 12.5\n", "",
                                               kovo::test::RequestLog::none);
    address = sim.address;
    simulator = sim.pid;
    session = SnmpOpen(address.c_str());
    if (session == nullptr)
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    SnmpClose(session);
    kovo::test::stopSim(sim);
    benchmark::Shutdown();
    return 0;
}
