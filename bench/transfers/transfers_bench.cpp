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

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "catalogue.h"
#include "kovo_bench_support.h"
#include "kovo_test_support.h"


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
    for (auto _ : state) {
        const kovo::test::RunResult get = kovo::test::runProgram({"snmpget", "-v2c", "-c", "ovalis", "-Oqv", address, oidText});
        if (get.status != 0 || get.out.empty()) {
            state.SkipWithError("snmpget failed");
            break;
        }
        benchmark::DoNotOptimize(get.out);
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
