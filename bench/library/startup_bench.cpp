// This file contains the start-up benchmark: SnmpInit end to end against
// Net-SNMP's own load of the crate MIB followed by a bare loop of the same
// 20,049 get_node calls. Net-SNMP initialises once per process, so every
// iteration of either side runs in a child process of its own.
//
// Run with MIBDIRS pointing at the crate MIB and the base modules.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "catalogue.h"

namespace {

#define NOT_TRANSLATED nullptr

// The names SnmpInit translates, in its order, made once before timing.
std::vector<std::string> catalogueNames()
{
    struct Row {
        const char* text;
        int rows, translated;
        const char* message;
    };
#define SCALAR(name, Object, text, message) {text, 0, 1, message},
#define TABLE(name, Object, text, rows, translated, message) {text, rows, translated, message},
    const Row rows[] = {
#include "catalogue.def"
    };
    std::vector<Row> kept;
    for (const Row& row : rows)
        if (row.message != NOT_TRANSLATED)
            kept.push_back(row);
    std::vector<std::string> names;
    for (size_t first = 0; first < kept.size();) {
        size_t last = first + 1;
        while (last < kept.size() && kept[last].rows == kept[first].rows)
            ++last;
        for (int entry = 0; entry < kept[first].translated; ++entry)
            for (size_t r = first; r < last; ++r)
                names.push_back(kept[r].rows == 0 ? kept[r].text
                                                  : kept[r].text + std::to_string(entry + 1));
        first = last;
    }
    return names;
}

const std::vector<std::string> names = catalogueNames();

// Runs work in a child process with standard output discarded; fails the
// benchmark when the child does not exit with 0.
void inChild(benchmark::State& state, int (*work)())
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        _exit(work());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        state.SkipWithError("child failed");
}

int snmpInit()
{
    return SnmpInit() == 1 ? 0 : 1;
}

int bareLoad()
{
    init_snmp("VuzizEvir");
    init_mib();
    if (read_module("TORVAN-CRATE-MIB") == nullptr)
        return 1;
    oid identifier[OID_CAPACITY];
    for (const std::string& name : names) {
        size_t length = OID_CAPACITY;
        if (get_node(name.c_str(), identifier, &length) == 0)
            return 1;
    }
    return 0;
}

// The same loop, storing every identifier in storage shaped like the
// catalogue's (128 sub-identifiers per entry), so that the first touch of that
// much memory weighs on both sides alike.
oid stored[20049][OID_CAPACITY];

int bareLoadIntoStorage()
{
    init_snmp("VuzizEvir");
    init_mib();
    if (read_module("TORVAN-CRATE-MIB") == nullptr)
        return 1;
    for (size_t i = 0; i < names.size() && i < 20049; ++i) {
        size_t length = OID_CAPACITY;
        if (get_node(names[i].c_str(), stored[i], &length) == 0)
            return 1;
    }
    return 0;
}

void BM_SnmpInit(benchmark::State& state)
{
    for (auto _ : state)
        inChild(state, snmpInit);
}

void BM_BareLoadAndGetNodeLoop(benchmark::State& state)
{
    state.counters["names"] = static_cast<double>(names.size());
    for (auto _ : state)
        inChild(state, bareLoad);
}

void BM_BareLoadIntoCatalogueSizedStorage(benchmark::State& state)
{
    for (auto _ : state)
        inChild(state, bareLoadIntoStorage);
}

}  // namespace

BENCHMARK(BM_SnmpInit)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BareLoadAndGetNodeLoop)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BareLoadIntoCatalogueSizedStorage)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
