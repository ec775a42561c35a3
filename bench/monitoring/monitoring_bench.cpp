// monitoring_bench.cpp: This file contains the monitoring benchmarks, on the
// 1000-channel crate of monitoring/crates/hall-1000.toml (live model, no
// request log): one scrape through Debian's SNMP exporter (GETBULK walks of
// the module "crate") against the library reading the same values with one
// get each, in the same run; and the fleet of such crates that one exporter
// and one Prometheus keep scraped every 10 s on this machine, with every
// scrape done within the interval.
//
// The exporter, Alertmanager and Prometheus are the chain of
// scripts/monitor.sh with the project's configuration, rules included. The
// fleet grows by doubling from 4 crates until a step fails, then halves the
// gap between the last step kept and the first failed down to 4 crates; each
// step is judged on the 3 scrape intervals after every crate was up: no
// scrape may fail or take the interval, and each crate is scraped on.
// KOVO_BENCH_FLEET_MAX caps it (default 128).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "catalogue.h"
#include "kovo_test_support.h"
#include "monitoring_support.h"

using namespace kovo::monitoring;
namespace fs = std::filesystem;

namespace {

const fs::path source = KOVO_SOURCE_DIR;
const std::string hallLayout = kovo::test::readFile(source / "monitoring/crates/hall-1000.toml");

std::string address;        // the benchmarked crate
HSNMP session = nullptr;
fs::path cratesFile;        // the crates the chain scrapes
Chain* chain = nullptr;

// The exposition's samples: lines that are no comment.
int samples(const std::string& text)
{
    int count = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        count += end > at && text[at] != '#';
        at = end + 1;
    }
    return count;
}

void BM_exporterScrape(benchmark::State& state)
{
    int values = 0;
    for (auto _ : state)
        values = samples(httpGet(chain->exporter, "/snmp", {{"module", "crate"}, {"target", address}}));
    if (values < 19000)     // 19 metrics of each of the 1000 channels (their names are labels), and the rest
        state.SkipWithError("the exporter's scrape came short");
    state.counters["samples"] = values;
}
BENCHMARK(BM_exporterScrape)->Unit(benchmark::kMillisecond)->UseRealTime();

// Every value the exporter's module reads, as the library reads it: one
// synchronous get of each, by the catalogue's identifiers.
struct Column {
    oid (*ids)[OID_CAPACITY];
    size_t* lengths;
    char kind;      // 'd' float, 'i' integer, 's' text
};
const Column channelColumns[] = {
    {oidOutputName, lengthOutputName, 's'},
    {oidOutputStatus, lengthOutputStatus, 'i'},
    {oidOutputMeasurementSenseVoltage, lengthOutputMeasurementSenseVoltage, 'd'},
    {oidOutputMeasurementTerminalVoltage, lengthOutputMeasurementTerminalVoltage, 'd'},
    {oidOutputMeasurementCurrent, lengthOutputMeasurementCurrent, 'd'},
    {oidOutputMeasurementTemperature, lengthOutputMeasurementTemperature, 'i'},
    {oidChannelSwitch, lengthChannelSwitch, 'i'},
    {oidOutputVoltage, lengthOutputVoltage, 'd'},
    {oidOutputCurrent, lengthOutputCurrent, 'd'},
    {oidOutputRiseRate, lengthOutputRiseRate, 'd'},
    {oidOutputFallRate, lengthOutputFallRate, 'd'},
    {oidOutputSupervisionBehavior, lengthOutputSupervisionBehavior, 'i'},
    {oidOutputSupervisionMinSenseVoltage, lengthOutputSupervisionMinSenseVoltage, 'd'},
    {oidOutputSupervisionMaxSenseVoltage, lengthOutputSupervisionMaxSenseVoltage, 'd'},
    {oidOutputSupervisionMaxTerminalVoltage, lengthOutputSupervisionMaxTerminalVoltage, 'd'},
    {oidOutputSupervisionMaxCurrent, lengthOutputSupervisionMaxCurrent, 'd'},
    {oidOutputConfigMaxSenseVoltage, lengthOutputConfigMaxSenseVoltage, 'd'},
    {oidOutputConfigMaxTerminalVoltage, lengthOutputConfigMaxTerminalVoltage, 'd'},
    {oidOutputConfigMaxCurrent, lengthOutputConfigMaxCurrent, 'd'},
    {oidOutputConfigMaxPower, lengthOutputConfigMaxPower, 'd'},
};
const Column tableColumns[] = {   // sensors and fans
    {oidSensorTemperature, lengthSensorTemperature, 'i'},
    {oidSensorWarningThreshold, lengthSensorWarningThreshold, 'i'},
    {oidSensorFailureThreshold, lengthSensorFailureThreshold, 'i'},
    {oidFanSpeed, lengthFanSpeed, 'i'},
};
const int tableRows[] = {8, 8, 8, 6};

int getEach(const Column& c, int row)
{
    switch (c.kind) {
    case 'd': benchmark::DoNotOptimize(snmpGetDouble(session, c.ids[row], c.lengths[row])); break;
    case 'i': benchmark::DoNotOptimize(snmpGetInt(session, c.ids[row], c.lengths[row])); break;
    default: std::free(snmpGetString(session, c.ids[row], c.lengths[row])); break;
    }
    return 1;
}

void BM_libraryGets(benchmark::State& state)
{
    int values = 0;
    for (auto _ : state) {
        values = 0;
        for (int row = 0; row < 1000; ++row)
            for (const Column& c : channelColumns)
                values += getEach(c, row);
        for (std::size_t t = 0; t < std::size(tableColumns); ++t)
            for (int row = 0; row < tableRows[t]; ++row)
                values += getEach(tableColumns[t], row);
        for (int (*get)(HSNMP) : {getMainSwitch, getMainStatus, getOutputNumber, getOutputGroups, getSensorNumber,
                                  getPsOperatingTime, getFanOperatingTime, getFanAirTemperature, getFanSwitchOffDelay,
                                  getFanNominalSpeed, getFanNumberOfFans})
            values += (benchmark::DoNotOptimize(get(session)), 1);
    }
    state.counters["gets"] = values;
}
BENCHMARK(BM_libraryGets)->Unit(benchmark::kMillisecond)->UseRealTime();

// One step of the fleet: `crates` crates scraped every 10 s; whether every
// scrape of the last 3 intervals came back within the interval, and the
// longest of them.
struct Step {
    bool kept;
    double longest;
};

Step judgeFleet(std::vector<kovo::test::Sim>& sims, int crates)
{
    while (static_cast<int>(sims.size()) < crates)
        sims.push_back(kovo::test::startSim(hallLayout, "", kovo::test::RequestLog::none));
    std::ofstream targets(cratesFile);
    for (int i = 0; i < crates; ++i)
        targets << "- targets: ['" << sims[i].address << "']\n";
    targets.close();
    auto query = [&](const std::string& expression) {
        const auto answer = nlohmann::json::parse(
            httpGet(chain->prometheus, "/api/v1/query", {{"query", expression}}), nullptr, false);
        const auto& result = answer.contains("data") ? answer["data"]["result"] : nlohmann::json::array();
        return result.size() == 1 ? std::stod(result[0]["value"][1].get<std::string>()) : -1.0;
    };
    const auto allUp = "count(up{job=\"crate\"} == 1) == " + std::to_string(crates);
    if (!waitUntil([&] { return query(allUp) == crates; }, 120)) {
        std::fprintf(stderr, "fleet of %d crates: not every crate was scraped within 120 s\n", crates);
        return {false, -1};
    }
    std::this_thread::sleep_for(std::chrono::seconds(31));
    const double longest = query("max(max_over_time(scrape_duration_seconds{job=\"crate\"}[30s]))");
    const double failed = query("count(min_over_time(up{job=\"crate\"}[30s]) == 0) or vector(0)");
    const double fewest = query("min(count_over_time(up{job=\"crate\"}[30s]))");
    std::fprintf(stderr, "fleet of %d crates: longest scrape %.2f s, %g crates with a failed scrape, "
                         "fewest scrapes of a crate %g\n", crates, longest, failed, fewest);
    return {longest >= 0 && longest < 10 && failed == 0 && fewest >= 2, longest};
}

void BM_fleet(benchmark::State& state)
{
    const char* cap = std::getenv("KOVO_BENCH_FLEET_MAX");
    const int most = cap ? std::atoi(cap) : 128;
    for (auto _ : state) {
        std::vector<kovo::test::Sim> sims;
        int kept = 0, failedAt = 0;
        double keptLongest = 0, failedLongest = 0;
        for (int crates = 4; crates <= most && (failedAt == 0 || failedAt - kept > 4);) {
            const Step step = judgeFleet(sims, crates);
            if (step.kept) {
                kept = crates;
                keptLongest = step.longest;
            } else {
                failedAt = crates;
                failedLongest = step.longest;
            }
            crates = failedAt == 0 ? 2 * crates : (kept + failedAt) / 2 / 4 * 4;
            if (crates <= kept)
                break;
        }
        state.counters["crates"] = kept;
        state.counters["longest_scrape_s"] = keptLongest;
        state.counters["failed_at_crates"] = failedAt;
        state.counters["failed_longest_scrape_s"] = failedLongest;
        std::ofstream(cratesFile) << "[]\n";
    }
}
BENCHMARK(BM_fleet)->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    setenv("MIBDIRS", KOVO_BENCH_MIBDIRS, 0);
    benchmark::Initialize(&argc, argv);
    if (SnmpInit() != 1)
        return 1;
    kovo::test::Sim sim = kovo::test::startSim(hallLayout, "", kovo::test::RequestLog::none);
    address = sim.address;
    session = SnmpOpen(address.c_str());
    const fs::path dir = kovo::test::makeTempDir("kovo-monitoring-bench");
    cratesFile = dir / "crates.yml";
    std::ofstream(cratesFile) << "[]\n";
    Chain started = startChain(cratesFile);
    chain = &started;
    if (session == nullptr)
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    started.script.stop();
    fs::remove_all(dir);
    SnmpClose(session);
    kovo::test::stopSim(sim);
    benchmark::Shutdown();
    return 0;
}
