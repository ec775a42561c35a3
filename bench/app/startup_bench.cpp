// This file contains the start-up benchmark of the panel program with the
// console front end: from the process's start to its panel shown, against the
// simulated crate. The console shows the panel on standard error at the first
// "show" line it reads, which it reads only once the panel is displayed and
// the event loop runs. Target: under 50 ms. The program and the crate run on
// one CPU and on two ("cpus:1", "cpus:2").
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <cstdlib>
#include <string>

#include "kovo_bench_support.h"
#include "kovo_test_support.h"

extern char** environ;

namespace {

const std::string programFolder = KOVO_BENCH_FOLDER;
const std::string program = programFolder + "/kovo_uir_bench";

// Starts the program in its folder with "show" as its whole input and its
// standard error on a pipe; returns its pid and the pipe's read end in *err.
pid_t startProgram(int* err)
{
    int input[2], errors[2];
    if (pipe(input) != 0 || pipe(errors) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    posix_spawn_file_actions_addclose(&actions, errors[0]);
    posix_spawn_file_actions_addchdir_np(&actions, programFolder.c_str());
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(errors[1]);
    if (write(input[1], "show\n", 5) != 5)
        pid = -1;
    close(input[1]);
    *err = errors[0];
    return pid;
}

// Reads err until the panel's heading has come; false at end of file first.
bool panelShown(int err)
{
    std::string seen;
    char buffer[4096];
    while (seen.find("panel PANEL") == std::string::npos) {
        ssize_t got = read(err, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        seen.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

void StartToPanelShown(benchmark::State& state)
{
    setenv("MIBDIRS", KOVO_BENCH_MIBDIRS, 1);
    kovo::test::Sim sim;
    try {
        sim = kovo::test::startSim("[crate]\nsysMainSwitch = 1\n", "udp:" KOVO_BENCH_ADDRESS,
                                   kovo::test::RequestLog::none);
    } catch (const std::exception& e) {
        return state.SkipWithError(e.what());
    }
    if (!kovo::bench::pin(state, static_cast<int>(state.range(0)), sim.pid))
        return;
    for (auto _ : state) {
        int err = -1;
        auto start = std::chrono::steady_clock::now();
        pid_t pid = startProgram(&err);
        bool shown = pid > 0 && panelShown(err);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        close(err);
        int status = 0;
        if (pid > 0)
            waitpid(pid, &status, 0);
        if (!shown || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
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
