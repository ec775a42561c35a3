// This file contains the status report benchmark: GetStatus, as the status
// button runs it, against the same gets written as bare Net-SNMP synchronous
// exchanges on the same session in the same run, and against spawning
// Net-SNMP's snmpget once per value; on simulated crates (loopback, model held
// still) with 0 to 32 of the 32 candidate channels present. Every pairing runs
// with client and simulator on one CPU and on two ("cpus:1", "cpus:2").
//
// The timed runs go to simulators without a request log, which would cost
// every exchange a few microseconds; the exchanges of one report (or one pass
// of bare gets or spawns) are counted apart, once, against a simulator with a
// log.
//
// The report's lines go to /dev/null; the benchmark's own table goes to
// standard error. --benchmark_out=FILE.json keeps the figures for
// scripts/plot-report-time.py.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "catalogue.h"
#include "kovo_bench_support.h"
#include "kovo_test_support.h"


// The status button's callback with the session it uses (status_button.cpp).
void useSession(HSNMP session);
void pressStatusButton();

namespace {

// One simulated crate with its first `present` candidates (in walk order),
// the session to it, and the identifiers GetStatus asks it for, in order.
struct Crate {
    kovo::test::Sim sim;
    HSNMP session = nullptr;
    std::vector<std::pair<const oid*, size_t>> reads;
};

int candidate(int i)
{
    return 100 * (i / 8) + i % 8;
}

std::string layoutWith(int present)
{
    std::string layout = "base = \"empty\"\nmodel = \"frozen\"\n";
    for (int i = 0; i < present; ++i)
        layout += "[[channel]]\nindex = " + std::to_string(candidate(i) + 1) + "\n";
    return layout;
}

// The name of every candidate, and the eight values of each present one.
std::vector<std::pair<const oid*, size_t>> readsOf(int present)
{
    std::vector<std::pair<const oid*, size_t>> reads;
    for (int i = 0; i < 32; ++i) {
        int c = candidate(i);
        reads.push_back({oidOutputName[c], lengthOutputName[c]});
        if (i >= present)
            continue;
        for (auto [id, length] : {std::pair{oidChannelSwitch[c], lengthChannelSwitch[c]},
                                  {oidOutputVoltage[c], lengthOutputVoltage[c]},
                                  {oidOutputCurrent[c], lengthOutputCurrent[c]},
                                  {oidOutputMeasurementTerminalVoltage[c], lengthOutputMeasurementTerminalVoltage[c]},
                                  {oidOutputMeasurementSenseVoltage[c], lengthOutputMeasurementSenseVoltage[c]},
                                  {oidOutputMeasurementCurrent[c], lengthOutputMeasurementCurrent[c]},
                                  {oidOutputRiseRate[c], lengthOutputRiseRate[c]},
                                  {oidOutputFallRate[c], lengthOutputFallRate[c]}})
            reads.push_back({id, length});
    }
    return reads;
}

// Crates are started on first use, without a request log, and shared by the
// benchmarks of the same number of present channels, so that both sides use
// one session.
Crate& crateWith(int present)
{
    static std::map<int, std::unique_ptr<Crate>> crates;
    std::unique_ptr<Crate>& crate = crates[present];
    if (!crate) {
        crate = std::make_unique<Crate>();
        crate->sim = kovo::test::startSim(layoutWith(present), "", kovo::test::RequestLog::none);
        crate->session = SnmpOpen(crate->sim.address.c_str());
        crate->reads = readsOf(present);
    }
    return *crate;
}

// One report, as the status button makes it.
void reportOnce(Crate& crate)
{
    useSession(crate.session);
    pressStatusButton();
    fflush(stdout);
}

// The same gets as the report, straight against Net-SNMP: no conversion, no
// printing, the response only released.
void bareGetsOnce(Crate& crate)
{
    for (auto [id, length] : crate.reads) {
        netsnmp_pdu* request = snmp_pdu_create(SNMP_MSG_GET);
        snmp_add_null_var(request, id, length);
        netsnmp_pdu* response = nullptr;
        int status = snmp_sess_synch_response(crate.session, request, &response);
        benchmark::DoNotOptimize(status);
        if (response != nullptr)
            snmp_free_pdu(response);
    }
}

// Fails the benchmark unless its crate's simulator exists and the client and
// the simulator are pinned to the placement the benchmark names.
Crate* prepared(benchmark::State& state)
{
    Crate& crate = crateWith(static_cast<int>(state.range(0)));
    if (crate.session == nullptr) {
        state.SkipWithError("no session");
        return nullptr;
    }
    if (!kovo::bench::pin(state, static_cast<int>(state.range(1)), crate.sim.pid))
        return nullptr;
    state.counters["present"] = static_cast<double>(state.range(0));
    return &crate;
}

// The exchanges that one pass of `once` makes, counted once per family and
// number of present channels on a crate of its own that keeps a request log.
// Its session is opened the way the timed crate's was.
template <typename Once>
void countExchanges(benchmark::State& state, const char* family, Once once)
{
    static std::map<std::pair<std::string, int64_t>, double> counted;
    const auto key = std::make_pair(std::string(family), state.range(0));
    if (!counted.count(key)) {
        Crate logged;
        logged.sim = kovo::test::startSim(layoutWith(static_cast<int>(state.range(0))));
        logged.session = SnmpOpen(logged.sim.address.c_str());
        logged.reads = readsOf(static_cast<int>(state.range(0)));
        if (logged.session == nullptr)
            return state.SkipWithError("no session to the counting crate");
        once(logged);
        counted[key] = static_cast<double>(kovo::test::simLog(logged.sim).size());
        SnmpClose(logged.session);
    }
    state.counters["exchanges"] = counted[key];
}

void StatusReport(benchmark::State& state)
{
    Crate* crate = prepared(state);
    if (!crate)
        return;
    countExchanges(state, "StatusReport", reportOnce);
    for (auto _ : state)
        reportOnce(*crate);
}

void BareGets(benchmark::State& state)
{
    Crate* crate = prepared(state);
    if (!crate)
        return;
    countExchanges(state, "BareGets", bareGetsOnce);
    for (auto _ : state)
        bareGetsOnce(*crate);
}

std::string dotted(const oid* id, size_t length)
{
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += (i ? "." : "") + std::to_string(id[i]);
    return text;
}

// One snmpget process per value, its output discarded; an absent channel's
// name makes snmpget exit with 0 too ("No Such Instance"). False when one
// failed.
bool spawnedOnce(Crate& crate)
{
    for (auto [id, length] : crate.reads) {
        const kovo::test::RunResult get = kovo::test::run(
            {.argv = {"snmpget", "-v2c", "-c", "ovalis", "-Oqv", crate.sim.address, dotted(id, length)},
             .out = kovo::test::Output::null});
        if (get.status != 0)
            return false;
    }
    return true;
}

void SpawnedSnmpget(benchmark::State& state)
{
    Crate* crate = prepared(state);
    if (!crate)
        return;
    countExchanges(state, "SpawnedSnmpget", spawnedOnce);
    for (auto _ : state)
        if (!spawnedOnce(*crate))
            return state.SkipWithError("snmpget failed");
}

void presentCounts(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"present", kovo::bench::regimeName})
        ->ArgsProduct({{0, 4, 8, 16, 24, 32}, kovo::bench::regimes()})
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

BENCHMARK(StatusReport)->Apply(presentCounts);
BENCHMARK(BareGets)->Apply(presentCounts);
BENCHMARK(SpawnedSnmpget)
    ->ArgNames({"present", kovo::bench::regimeName})
    ->ArgsProduct({{32}, kovo::bench::regimes()})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

int main(int argc, char** argv)
{
    setenv("MIBDIRS", KOVO_BENCH_MIBDIRS, 0);
    benchmark::Initialize(&argc, argv);
    // The library's log and the report's lines are not the benchmark's output.
    if (freopen("/dev/null", "w", stdout) == nullptr || SnmpInit() != 1)
        return 1;
    benchmark::ConsoleReporter console;
    console.SetOutputStream(&std::cerr);
    console.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&console);
    benchmark::Shutdown();
    return 0;
}
