// This file contains the start-up benchmark of the panel program's two front
// ends, in the same run against the same simulated crate: from the process's
// start to its window exposed on a private X server (launched as from a
// desktop, with /dev/null as input), and to the console front end's panel and
// prompt on a terminal. The target for the window is 300 ms. The program and
// the crate run on one CPU and on two ("cpus:1", "cpus:2"); the X server is
// not pinned.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <cstdio>
#include <cstdlib>

#include "gui_session.h"
#include "kovo_bench_support.h"
#include "kovo_test_support.h"

using namespace kovo::gui;

namespace {

std::string display;
std::string runtimeFolder;
pid_t simulator = -1;

const std::string programFolder = KOVO_TEST_APP_DIR;
const std::string program = KOVO_TEST_APP;
const std::string mibDirs = "MIBDIRS=" KOVO_BINARY_DIR "/mib:/usr/share/snmp/mibs/ietf";

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The program at a desktop: the GUI hook says "shown" on descriptor 3 as soon
// as the window is exposed, then closes it, which ends the program.
void windowShown(benchmark::State& state)
{
    if (!kovo::bench::pin(state, static_cast<int>(state.range(0)), simulator))
        return;
    for (auto _ : state) {
        int shown[2];
        if (pipe(shown) != 0) {
            state.SkipWithError("no pipe");
            return;
        }
        auto start = std::chrono::steady_clock::now();
        Process child = spawn({program}, programFolder,
                              {"DISPLAY=" + display, mibDirs, "LANG=C.UTF-8", "XDG_RUNTIME_DIR=" + runtimeFolder,
                               "LD_PRELOAD=" KOVO_BINARY_DIR "/tests/gui/libkovo_gui_hook.so",
                               "KOVO_GUI_HOOK=tell 3; close"},
                              Input::null, shown[1]);
        close(shown[1]);
        std::string said;
        bool ok = readUntil(shown[0], "shown\n", &said, 60000);
        state.SetIterationTime(secondsSince(start));
        close(shown[0]);
        Finished run = finish(&child, 60000);
        if (!ok || run.status != 0) {
            state.SkipWithError(("the window did not show: " + run.err).c_str());
            return;
        }
    }
}

// The same program without a display: the console front end shows the panel
// and its prompt on standard error; "press QUIT" ends it.
void consoleShown(benchmark::State& state)
{
    if (!kovo::bench::pin(state, static_cast<int>(state.range(0)), simulator))
        return;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        Process child = spawn({program}, programFolder, {mibDirs, "LANG=C.UTF-8"}, Input::terminal);
        bool ok = child.readUntil("Type help for the commands.", 60000, true);
        state.SetIterationTime(secondsSince(start));
        ok = ok && child.write("press QUIT\n");
        Finished run = finish(&child, 60000);
        if (!ok || run.status != 0) {
            state.SkipWithError(("the console panel did not show: " + run.err).c_str());
            return;
        }
    }
}

void regimes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({kovo::bench::regimeName})
        ->ArgsProduct({kovo::bench::regimes()})
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

BENCHMARK(windowShown)->Apply(regimes);
BENCHMARK(consoleShown)->Apply(regimes);

}  // namespace

// The X server and the simulated crate (its own crate, on the program's
// compiled-in address) serve every run of both benchmarks.
int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Process server;
    display = startXvfb(&server);
    if (display.empty()) {
        fprintf(stderr, "gui_startup_bench: Xvfb did not start\n");
        return 1;
    }
    kovo::test::Sim sim;
    try {
        sim = kovo::test::startSim("", "udp:" KOVO_TEST_APP_ADDRESS, kovo::test::RequestLog::none);
    } catch (const std::exception& e) {
        fprintf(stderr, "gui_startup_bench: %s\n", e.what());
        return 1;
    }
    simulator = sim.pid;
    runtimeFolder = makeFolder();
    benchmark::RunSpecifiedBenchmarks();
    kovo::test::stopSim(sim);
    server.stop();
    removeFolder(runtimeFolder);
    benchmark::Shutdown();
    return 0;
}
