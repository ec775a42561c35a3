// This file contains the start-up benchmark of the library: SnmpInit against
// the bare work it stands on, Net-SNMP's own load of the crate MIB followed by
// the same 20,049 get_node calls into one buffer. Net-SNMP initialises once
// per process, so every run of either side is a fresh process (this program
// executing itself), the two sides alternately, all on one CPU. Each child
// times its own work and counts its minor page faults and resident memory,
// which the benchmark reports beside the times; "huge_pages:0" runs both
// sides with transparent huge pages switched off for the process.
//
// The benchmark's time is SnmpInit's; --benchmark_min_time counts it.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue.h"
#include "kovo_process.h"


namespace {

// The names SnmpInit translates, in its order.
std::vector<std::string> catalogueNames()
{
    struct Row {
        const char* text;
        int rows, translated;
    };
#define SCALAR(name, Object, mib, message) {#mib ".0", 0, 1},
#define TABLE(name, Object, mib, rows, translated, ...) {#mib ".", rows, translated},
#define UNFILLED(...)
    const std::vector<Row> kept = {TORVAN_SNMP_CATALOGUE(SCALAR, TABLE, UNFILLED, UNFILLED)};
#undef SCALAR
#undef TABLE
#undef UNFILLED
    std::vector<std::string> names;
    for (size_t first = 0; first < kept.size();) {
        size_t last = first + 1;
        while (last < kept.size() && kept[last].rows == kept[first].rows)
            ++last;
        for (int entry = 0; entry < kept[first].translated; ++entry)
            for (size_t r = first; r < last; ++r)
                names.push_back(kept[r].rows == 0 ? kept[r].text : kept[r].text + std::to_string(entry + 1));
        first = last;
    }
    return names;
}

// --- the child: one run of one side ----------------------------------------

bool bareLoad(const std::vector<std::string>& names)
{
    init_snmp("VuzizEvir");
    init_mib();
    if (read_module("TORVAN-CRATE-MIB") == nullptr)
        return false;
    oid identifier[OID_CAPACITY];
    for (const std::string& name : names) {
        size_t length = OID_CAPACITY;
        if (get_node(name.c_str(), identifier, &length) == 0)
            return false;
    }
    return true;
}

double cpuSeconds(const rusage& usage)
{
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Runs one side and writes "wall-seconds cpu-seconds minor-faults
// max-resident-KiB" on descriptor 3; the library's own output goes wherever
// standard output does. The CPU time leaves out what other processes of a
// busy machine took meanwhile.
int runChild(const std::string& side, bool hugePages)
{
    if (!hugePages)
        prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
    const std::vector<std::string> names = side == "bare" ? catalogueNames() : std::vector<std::string>{};
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    const bool ok = side == "bare" ? bareLoad(names) : SnmpInit() == 1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    getrusage(RUSAGE_SELF, &after);
    fflush(stdout);
    dprintf(3, "%.9f %.9f %ld %ld\n", seconds, cpuSeconds(after) - cpuSeconds(before), after.ru_minflt - before.ru_minflt,
            after.ru_maxrss);
    return ok ? 0 : 1;
}

// --- the parent: alternate runs of both sides ------------------------------

struct Run {
    double seconds = 0, cpu = 0;
    long faults = 0, residentKiB = 0;
};

// Runs one side in a fresh process with standard output discarded; false
// when the child fails.
bool runSide(const char* side, bool hugePages, Run& run)
{
    int result[2];
    if (pipe(result) != 0)
        return false;
    kovo::test::Process child({.argv = {"/proc/self/exe", "--child", side, hugePages ? "huge" : "small"},
                               .input = kovo::test::Input::null,
                               .out = kovo::test::Output::null,
                               .passed = {result[1]}});
    close(result[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(result[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    close(result[0]);
    if (child.wait() != 0)
        return false;
    return std::sscanf(text.c_str(), "%lf %lf %ld %ld", &run.seconds, &run.cpu, &run.faults, &run.residentKiB) == 4;
}

// Pins this thread, and with it every child, to the first CPU it may use.
bool pinToOneCpu()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return false;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set)) {
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            return sched_setaffinity(0, sizeof set, &set) == 0;
        }
    return false;
}

void SnmpInitAgainstBareLoop(benchmark::State& state)
{
    const bool hugePages = state.range(0) != 0;
    if (!pinToOneCpu())
        return state.SkipWithError("cannot pin to one CPU");
    Run sum[2];     // SnmpInit, bare loop
    long iteration = 0;
    for (auto _ : state) {
        Run runs[2];
        const int first = iteration++ % 2;      // which side goes first alternates
        for (int k = 0; k < 2; ++k) {
            const int side = (first + k) % 2;
            if (!runSide(side == 0 ? "snmpinit" : "bare", hugePages, runs[side]))
                return state.SkipWithError(side == 0 ? "SnmpInit failed" : "the bare loop failed");
        }
        state.SetIterationTime(runs[0].seconds);
        for (int side = 0; side < 2; ++side) {
            sum[side].seconds += runs[side].seconds;
            sum[side].cpu += runs[side].cpu;
            sum[side].faults += runs[side].faults;
            sum[side].residentKiB += runs[side].residentKiB;
        }
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["bare_ms"] = 1e3 * sum[1].seconds / n;
    state.counters["ratio"] = sum[0].seconds / sum[1].seconds;
    state.counters["snmpinit_cpu_ms"] = 1e3 * sum[0].cpu / n;
    state.counters["bare_cpu_ms"] = 1e3 * sum[1].cpu / n;
    state.counters["cpu_ratio"] = sum[0].cpu / sum[1].cpu;
    state.counters["snmpinit_minor_faults"] = static_cast<double>(sum[0].faults) / n;
    state.counters["bare_minor_faults"] = static_cast<double>(sum[1].faults) / n;
    state.counters["snmpinit_max_rss_mib"] = static_cast<double>(sum[0].residentKiB) / n / 1024;
    state.counters["bare_max_rss_mib"] = static_cast<double>(sum[1].residentKiB) / n / 1024;
}

BENCHMARK(SnmpInitAgainstBareLoop)->ArgName("huge_pages")->Arg(1)->Arg(0)->UseManualTime()->Unit(
    benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    setenv("MIBDIRS", KOVO_BENCH_MIBDIRS, 0);
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
        return runChild(argv[2], std::strcmp(argv[3], "huge") == 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
