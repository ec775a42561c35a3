// kovo_bench_support.h: This file contains what the benchmarks share: the CPU
// placement of a client and the agent it talks to. On a virtual machine the
// two placements differ by a factor of about five per exchange, so every
// benchmark of a client and an agent is run pinned in both and says which.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace kovo::bench {

// The benchmark argument that names the placement: "cpus:1", client and
// agent on one CPU; "cpus:2", each on a CPU of its own.
constexpr const char* regimeName = "cpus";

// The placements this machine allows: 1, and 2 where it has two CPUs; for
// ArgsProduct, as the values of the argument `regimeName`.
std::vector<int64_t> regimes();

// Pins the calling thread, which runs the client, to the first CPU this
// process may use, and `agent` to the same CPU (cpus 1) or to the second
// (cpus 2); the children started afterwards inherit the client's CPU.
// Fails the benchmark and returns false when that cannot be done.
bool pin(benchmark::State& state, int cpus, pid_t agent);

}  // namespace kovo::bench
