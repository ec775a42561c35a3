// This file contains the scripting benchmark, on simulated crates of 1000
// channels holding every answer back by 0 and by 2 ms (their delay):
// `kovo --json status` against the same values read with one get each (in
// one process, on one session) and against Net-SNMP's own tools (one
// snmpbulkwalk -Cr100 per column of the status table and one snmpget of the
// crate-wide objects); `kovo set 0-999 outputVoltage 12` against snmpset with
// 50 values per request and against one kovoSet per channel (in one process);
// and `kovo set ... --wait` on a crate whose channels ramp, against the ramp
// itself. Model frozen (live for the ramp), no request log; client and crate
// each on a CPU of its own, as a crate on the network is. The note's ratios
// are taken from the medians of one run.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "kovo_bench_support.h"
#include "kovo_crate.h"
#include "kovo_test_support.h"
#include "rows.h"
#include "netsnmplib.h"

namespace {

kovo::test::Sim* sim = nullptr;      // frozen
kovo::test::Sim* rampSim = nullptr;  // live, every channel on
kovoCrate* crate = nullptr;

// The ramp crate's rates: a step of rampStep volts takes rampStep / rampRate seconds.
constexpr double rampRate = 10, rampStep = 2;

// The columns of kovo's status table.
const char* const statusColumns[] = {"outputName", "outputSwitch", "outputVoltage", "outputCurrent",
                                     "outputMeasurementSenseVoltage", "outputMeasurementCurrent",
                                     "outputMeasurementTemperature", "outputStatus"};

// Runs a program to its end with its output read through a pipe; false when
// it cannot be started or fails.
bool spawn(const std::vector<std::string>& args)
{
    const kovo::test::RunResult run = kovo::test::runProgram(args);
    return run.status == 0 && !run.out.empty();
}

// Runs the commands one after the other in each iteration; the benchmark
// skipped at the first that fails.
void spawnEach(benchmark::State& state, const std::vector<std::vector<std::string>>& commands)
{
    for (auto _ : state)
        for (const auto& command : commands)
            if (!spawn(command)) {
                state.SkipWithError((command[0] + " failed").c_str());
                return;
            }
}

// Sets the crate's delay and pins client and crate; false (the benchmark
// skipped) when that cannot be done.
bool prepare(benchmark::State& state, kovo::test::Sim& crateSim = *sim)
{
    const std::string delay = std::to_string(static_cast<double>(state.range(0)) / 1000.0);
    if (kovo::test::simCommand(crateSim, "delay " + delay) != "ok") {
        state.SkipWithError("the crate took no delay");
        return false;
    }
    return kovo::bench::pin(state, 2, crateSim.pid);
}

// An object's identifier as Net-SNMP's tools take it, numeric.
std::string dotted(int object, const std::string& instance)
{
    oid name[MAX_OID_LEN];
    size_t length = MAX_OID_LEN;
    get_node(kovoObjectName(object), name, &length);
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += "." + std::to_string(name[i]);
    return text + instance;
}

// A command line of one of Net-SNMP's tools (with its own options) for the
// crate: SNMPv2c, the community, no MIB loaded.
std::vector<std::string> toolCommand(std::vector<std::string> tool, const char* community)
{
    tool.insert(tool.end(), {"-v2c", "-c", community, "-m", "", "-On", sim->address});
    return tool;
}

void delays(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"delay_ms"})->Args({0})->Args({2})->UseRealTime()->Unit(benchmark::kMillisecond);
}

void BM_kovoStatus(benchmark::State& state)
{
    if (prepare(state))
        spawnEach(state, {{KOVO_TOOL, sim->address, "--json", "status"}});
}
BENCHMARK(BM_kovoStatus)->Apply(delays);

// The same values, one get each, on one session in this process.
void BM_oneGetEach(benchmark::State& state)
{
    if (!prepare(state))
        return;
    const std::vector<int> scalars = kovo_rows::crateWideObjects();
    for (auto _ : state) {
        kovoValue value{};
        bool ok = true;
        for (int object : scalars) {
            ok = ok && kovoGet(crate, object, 0, &value);
            kovoFreeValue(&value);
        }
        for (int channel = 0; channel < 1000 && ok; ++channel)
            for (const char* column : statusColumns) {
                ok = ok && kovoGet(crate, kovoObject(column), channel, &value);
                kovoFreeValue(&value);
            }
        if (!ok) {
            state.SkipWithError(kovoLastOutcome(crate)->reason);
            break;
        }
    }
}
BENCHMARK(BM_oneGetEach)->Apply(delays);

// Net-SNMP's tools on the same values, by numeric identifier (no MIB to load).
void BM_snmpbulkwalk(benchmark::State& state)
{
    if (!prepare(state))
        return;
    std::vector<std::vector<std::string>> commands;
    for (const char* column : statusColumns) {
        commands.push_back(toolCommand({"snmpbulkwalk", "-Cr100"}, "ovalis"));
        commands.back().push_back(dotted(kovoObject(column), ""));
    }
    commands.push_back(toolCommand({"snmpget"}, "ovalis"));
    for (int object : kovo_rows::crateWideObjects())
        commands.back().push_back(dotted(object, ".0"));
    spawnEach(state, commands);
}
BENCHMARK(BM_snmpbulkwalk)->Apply(delays);

void BM_kovoSet(benchmark::State& state)
{
    if (prepare(state))
        spawnEach(state, {{KOVO_TOOL, sim->address, "set", "0-999", "outputVoltage", "12"}});
}
BENCHMARK(BM_kovoSet)->Apply(delays);

// The same writes by snmpset, 50 values per request, one process per request.
void BM_snmpset50(benchmark::State& state)
{
    if (!prepare(state))
        return;
    std::vector<std::vector<std::string>> commands;
    for (int channel = 0; channel < 1000; ++channel) {
        if (channel % 50 == 0)
            commands.push_back(toolCommand({"snmpset"}, "kite"));
        commands.back().insert(commands.back().end(),
                               {dotted(kovoObject("outputVoltage"), "." + std::to_string(channel + 1)), "F", "12"});
    }
    spawnEach(state, commands);
}
BENCHMARK(BM_snmpset50)->Apply(delays);

// The same writes one channel at a time (the limit read, then the set), on
// one session in this process: how kovo wrote before it wrote many rows at once.
void BM_oneSetEach(benchmark::State& state)
{
    if (!prepare(state))
        return;
    const int voltage = kovoObject("outputVoltage");
    const kovoValue twelve{KOVO_FLOAT, 0, 12.0, nullptr, 0};
    for (auto _ : state)
        for (int channel = 0; channel < 1000; ++channel)
            if (!kovoSet(crate, voltage, channel, &twelve, nullptr)) {
                state.SkipWithError(kovoLastOutcome(crate)->reason);
                return;
            }
}
BENCHMARK(BM_oneSetEach)->Apply(delays);

// kovo set --wait of every channel by one step (rampStep volts up, then
// down) on the live crate, against the ramp itself: the counter ramp_ms is
// the step's duration at the crate's rates, overhead_ms what one set --wait
// takes beyond it (start-up, the writes, the readings, the last interval).
void BM_kovoSetAndWait(benchmark::State& state)
{
    // Every channel at 10 V first, so that each step starts from rest.
    if (!prepare(state, *rampSim) ||
        !spawn({KOVO_TOOL, rampSim->address, "set", "0-999", "outputVoltage", "10", "--wait", "--tolerance", "0.05"}))
        return state.SkipWithError("the ramp crate did not settle at 10 V");
    bool up = true;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const std::string target = up ? "12" : "10";
        up = !up;
        if (!spawn({KOVO_TOOL, rampSim->address, "set", "0-999", "outputVoltage", target, "--wait", "--tolerance",
                    "0.05"})) {
            state.SkipWithError("kovo set --wait failed");
            return;
        }
    }
    const double each = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
                        static_cast<double>(state.iterations());
    state.counters["ramp_ms"] = rampStep / rampRate * 1000;
    state.counters["overhead_ms"] = each - rampStep / rampRate * 1000;
}
BENCHMARK(BM_kovoSetAndWait)->Apply(delays);

}  // namespace

int main(int argc, char** argv)
{
    setenv("MIBDIRS", KOVO_BENCH_MIBDIRS, 0);
    benchmark::Initialize(&argc, argv);
    std::string layout = "model = \"frozen\"\nbase = \"empty\"\n";
    for (int slot = 0; slot < 10; ++slot)
        layout += "[[slot]]\nslot = " + std::to_string(slot) + "\nchannels = 100\n";
    kovo::test::Sim crateSim = kovo::test::startSim(layout, "", kovo::test::RequestLog::none);
    sim = &crateSim;
    // The ramp crate: on, every channel on at 10 V, ramping at rampRate.
    std::string live = "model = \"live\"\nbase = \"empty\"\n[crate]\nsysMainSwitch = 1\n";
    for (int slot = 0; slot < 10; ++slot)
        live += "[[slot]]\nslot = " + std::to_string(slot) + "\nchannels = 100\noutputSwitch = 1\n"
                "outputVoltage = 10.0\noutputVoltageRiseRate = " + std::to_string(rampRate) +
                "\noutputVoltageFallRate = " + std::to_string(rampRate) + "\n";
    kovo::test::Sim rampCrateSim = kovo::test::startSim(live, "", kovo::test::RequestLog::none);
    rampSim = &rampCrateSim;
    char error[256];
    crate = kovoOpen(crateSim.address.c_str(), nullptr, nullptr, 10, 0, error, sizeof error);
    if (crate == nullptr)
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    kovoFree(crate);
    kovo::test::stopSim(crateSim);
    kovo::test::stopSim(rampCrateSim);
    benchmark::Shutdown();
    return 0;
}
