// This file contains the start-up benchmark of the panel program with the
// console front end: from the process's start to its panel shown, against the
// simulated crate. The console shows the panel on standard error at the first
// "show" line it reads, which it reads only once the panel is displayed and
// the event loop runs. Target: under 50 ms. The program and the crate run on
// one CPU and on two ("cpus:1", "cpus:2").
#include <benchmark/benchmark.h>

#include <chrono>
#include <exception>
#include <cstdlib>
#include <string>

#include "kovo_bench_support.h"
#include "kovo_test_support.h"

namespace {

const std::string programFolder = KOVO_TEST_APP_DIR;
const std::string program = KOVO_TEST_APP;

void StartToPanelShown(benchmark::State& state)
{
    setenv("MIBDIRS", KOVO_BENCH_MIBDIRS, 1);
    kovo::test::Sim sim;
    try {
        sim = kovo::test::startSim("[crate]\nsysMainSwitch = 1\n", "udp:" KOVO_TEST_APP_ADDRESS,
                                   kovo::test::RequestLog::none);
    } catch (const std::exception& e) {
        return state.SkipWithError(e.what());
    }
    if (!kovo::bench::pin(state, static_cast<int>(state.range(0)), sim.pid))
        return;
    for (auto _ : state) {
        // The program in its folder with "show" as its whole input, until its panel's heading.
        auto start = std::chrono::steady_clock::now();
        kovo::test::Process app({.argv = {program}, .cwd = programFolder, .out = kovo::test::Output::null});
        const bool shown = app.write("show\n") && (app.closeInput(), app.readUntil("panel PANEL", 60000, true));
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!shown || app.wait(60000) != 0) {
            state.SkipWithError("the program did not show its panel and end normally");
            return;
        }
    }
}
BENCHMARK(StartToPanelShown)
    ->ArgNames({kovo::bench::regimeName})
    ->ArgsProduct({kovo::bench::regimes()})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
