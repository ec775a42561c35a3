// This file contains the scripting benchmark: `kovo --json status` on a
// simulated crate of 1000 channels, against the same values read with one get
// each (in one process, on one session) and against Net-SNMP's own tools
// (one snmpbulkwalk -Cr100 per column of the status table and one snmpget of
// the crate-wide objects), with the crate holding every answer back by 0 and
// by 2 ms (its delay). Model frozen, no request log; client and crate each on
// a CPU of its own, as a crate on the network is. The note's ratios are taken
// from the medians of one run.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kovo_bench_support.h"
#include "kovo_crate.h"
#include "kovo_test_support.h"
#include "netsnmplib.h"


namespace {

kovo::test::Sim* sim = nullptr;
kovoCrate* crate = nullptr;

// The columns of kovo's status table, and the crate-wide objects it reads.
const char* const statusColumns[] = {"outputName", "outputSwitch", "outputVoltage", "outputCurrent",
                                     "outputMeasurementSenseVoltage", "outputMeasurementCurrent",
                                     "outputMeasurementTemperature", "outputStatus"};

std::vector<int> crateWide()
{
    std::vector<int> objects;
    for (int i = 0; i < kovoObjectCount(); ++i)
        if (kovoObjectRows(i) == 0)
            objects.push_back(i);
    return objects;
}

// Runs a program to its end with its output read through a pipe; false when
// it cannot be started or fails.
bool spawn(const std::vector<std::string>& args)
{
    const kovo::test::RunResult run = kovo::test::runProgram(args);
    return run.status == 0 && !run.out.empty();
}

// Sets the crate's delay and pins client and crate; false (the benchmark
// skipped) when that cannot be done.
bool prepare(benchmark::State& state)
{
    const std::string delay = std::to_string(static_cast<double>(state.range(0)) / 1000.0);
    if (kovo::test::simCommand(*sim, "delay " + delay) != "ok") {
        state.SkipWithError("the crate took no delay");
        return false;
    }
    return kovo::bench::pin(state, 2, sim->pid);
}

void delays(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"delay_ms"})->Args({0})->Args({2})->UseRealTime()->Unit(benchmark::kMillisecond);
}

void BM_kovoStatus(benchmark::State& state)
{
    if (!prepare(state))
        return;
    for (auto _ : state)
        if (!spawn({KOVO_TOOL, sim->address, "--json", "status"})) {
            state.SkipWithError("kovo status failed");
            break;
        }
}
BENCHMARK(BM_kovoStatus)->Apply(delays);

// The same values, one get each, on one session in this process.
void BM_oneGetEach(benchmark::State& state)
{
    if (!prepare(state))
        return;
    const std::vector<int> scalars = crateWide();
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
    auto dotted = [](int object, bool instance) {
        oid name[MAX_OID_LEN];
        size_t length = MAX_OID_LEN;
        get_node(kovoObjectName(object), name, &length);
        std::string text;
        for (size_t i = 0; i < length; ++i)
            text += "." + std::to_string(name[i]);
        return instance ? text + ".0" : text;
    };
    const std::vector<std::string> tool = {"-v2c", "-c", "ovalis", "-m", "", "-On", sim->address};
    std::vector<std::vector<std::string>> commands;
    for (const char* column : statusColumns) {
        commands.push_back({"snmpbulkwalk", "-Cr100"});
        commands.back().insert(commands.back().end(), tool.begin(), tool.end());
        commands.back().push_back(dotted(kovoObject(column), false));
    }
    commands.push_back({"snmpget"});
    commands.back().insert(commands.back().end(), tool.begin(), tool.end());
    for (int object : crateWide())
        commands.back().push_back(dotted(object, true));
    for (auto _ : state)
        for (const auto& command : commands)
            if (!spawn(command)) {
                state.SkipWithError((command[0] + " failed").c_str());
                return;
            }
}
BENCHMARK(BM_snmpbulkwalk)->Apply(delays);

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
    char error[256];
    crate = kovoOpen(crateSim.address.c_str(), nullptr, nullptr, 10, 0, error, sizeof error);
    if (crate == nullptr)
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    kovoFree(crate);
    kovo::test::stopSim(crateSim);
    benchmark::Shutdown();
    return 0;
}
