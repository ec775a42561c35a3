// kovo_bench_support.cpp: This file contains the CPU placements shared by the
// benchmarks of a client and an agent.
#include "kovo_bench_support.h"

#include <sched.h>

#include <string>

namespace kovo::bench {

namespace {

// The CPUs this process was allowed when it started, in order; taken once,
// before any pinning narrows the calling thread's own set.
const std::vector<int>& allowedCpus()
{
    static const std::vector<int> cpus = [] {
        std::vector<int> found;
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) == 0)
            for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
                if (CPU_ISSET(cpu, &set))
                    found.push_back(cpu);
        return found;
    }();
    return cpus;
}

bool pinTo(pid_t pid, int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(pid, sizeof set, &set) == 0;
}

}  // namespace

std::vector<int64_t> regimes()
{
    return allowedCpus().size() >= 2 ? std::vector<int64_t>{1, 2} : std::vector<int64_t>{1};
}

bool pin(benchmark::State& state, int cpus, pid_t agent)
{
    const std::vector<int>& allowed = allowedCpus();
    if (cpus < 1 || cpus > 2 || static_cast<int>(allowed.size()) < cpus) {
        state.SkipWithError(("this machine offers fewer than " + std::to_string(cpus) + " CPUs").c_str());
        return false;
    }
    if (!pinTo(0, allowed[0]) || (agent > 0 && !pinTo(agent, allowed[cpus - 1]))) {
        state.SkipWithError("cannot pin the client or the agent to its CPU");
        return false;
    }
    return true;
}

}  // namespace kovo::bench
