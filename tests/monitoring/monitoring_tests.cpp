// monitoring_tests.cpp: This file contains the smoke test of monitoring:
// Debian's SNMP exporter, Prometheus and Alertmanager, run with the project's
// configuration on free loopback ports, scrape the detector crate of
// crate-sim; a real scrape, a real trip through the live model and its alert
// in Alertmanager, every rule and dashboard query run on the real series. The
// rules' own logic is unit-tested by promtool (monitoring/rules-test.yml).
// Here also: the failure records name the library's status bits.
#include "kovo_test_support.h"
#include "monitoring_support.h"
#include "output_status.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace kovo::test;
using namespace kovo::monitoring;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const fs::path source = KOVO_SOURCE_DIR;

// The running chain of scripts/monitor.sh, scraping the crates at the given
// addresses, labelled hall "north" and no crate name (the crate goes by its
// address), every second.
struct Monitoring {
    fs::path dir;
    Chain chain;

    explicit Monitoring(const std::vector<std::string>& crates) : dir(makeTempDir("kovo-monitoring"))
    {
        std::ofstream targets(dir / "crates.yml");
        for (const std::string& crate : crates)
            targets << "- targets: ['" << crate << "']\n  labels: {hall: north}\n";
        targets.close();
        chain = startChain(dir / "crates.yml", 1);
    }
    ~Monitoring()
    {
        if (::testing::Test::HasFailure())
            for (const char* server : {"exporter", "alertmanager", "prometheus"})
                std::cerr << "-- " << server << ".log\n" << readFile(chain.scratch / (std::string(server) + ".log"));
        chain.script.stop();
        fs::remove_all(dir);
    }

    // The result vector of an instant query; fails the test if Prometheus refuses it.
    json query(const std::string& expression)
    {
        const json answer =
            json::parse(httpGet(chain.prometheus, "/api/v1/query", {{"query", expression}}), nullptr, false);
        EXPECT_EQ(answer.value("status", ""), "success") << expression << "\n" << answer.dump();
        return answer.contains("data") ? answer["data"]["result"] : json::array();
    }

    // The alerts Alertmanager holds.
    json received() { return json::parse(httpGet(chain.alertmanager, "/api/v2/alerts"), nullptr, false); }
};

// The first series (or Alertmanager alert) of the list that carries the labels, or null.
json find(const json& list, const std::map<std::string, std::string>& labels)
{
    for (const json& item : list.is_array() ? list : json::array()) {
        const json& have = item.contains("metric") ? item["metric"] : item.value("labels", json::object());
        bool all = true;
        for (const auto& [name, value] : labels)
            all = all && have.value(name, "") == value;
        if (all)
            return item;
    }
    return nullptr;
}

double valueOf(const json& result)
{
    return result.size() == 1 ? std::stod(result[0]["value"][1].get<std::string>()) : -1.0;
}

// Lines of a text that start (after blanks) with `prefix`.
int countLines(const std::string& text, const std::string& prefix)
{
    int count = 0;
    for (const std::string& line : lines(text))
        count += line.find_first_not_of(' ') != std::string::npos &&
                 line.compare(line.find_first_not_of(' '), prefix.size(), prefix) == 0;
    return count;
}

// The dashboard's expression with its variables as Grafana fills them in
// with every hall, crate and channel chosen; a variable left unfilled makes
// the query fail.
std::string filledIn(std::string expression)
{
    for (const auto& [name, value] : {std::pair{"hall", ".*"}, {"crate", ".*"}, {"channel", ".*"}, {"k", "5"}})
        expression = std::regex_replace(expression, std::regex("\\$" + std::string(name) + "\\b"), value);
    return expression;
}

}  // namespace

// Each failure bit of the library's status table has its record, with the
// bit's divisor and its words, and there are no others.
TEST(Monitoring, FailureRecordsNameTheStatusBits)
{
    const std::string rules = readFile(source / "monitoring/rules/crates.yml");
    const std::string prefix = "failure: ";
    int failures = 0;
#define XX(bit, name, label)                                                                               \
    if (std::string(label).rfind(prefix, 0) == 0) {                                                        \
        ++failures;                                                                                        \
        EXPECT_NE(rules.find("expr: floor(outputStatus / " + std::to_string(1 << bit) +                   \
                             ") % 2 == 1\n        labels:\n          failure: " + (label + prefix.size())), \
                  std::string::npos)                                                                       \
            << #name;                                                                                      \
    }
    TORVAN_OUTPUT_STATUS_BITS(XX)
#undef XX
    EXPECT_EQ(failures, 6);
    EXPECT_EQ(countLines(rules, "- record: outputIndex:crate_output_failure:latched"), failures);
}

TEST(Monitoring, ATripReachesAlertmanager)
{
    Sim sim = startSim(readFile(source / "monitoring/crates/detector.toml"));
    Monitoring m({sim.address});
    ASSERT_TRUE(waitUntil([&] { return valueOf(m.query("up{job=\"crate\"}")) == 1.0; }, 30))
        << readFile(m.chain.scratch / "prometheus.log");

    // A real scrape: channel 0's set voltage in Prometheus is what snmpget reads.
    ASSERT_EQ(runSnmpTool("snmpset", sim, "kite", {"outputVoltage.1", "F", "5.37"}).status, 0);
    const std::string shown = runSnmpTool("snmpget", sim, "ovalis", {"-Ov", "outputVoltage.1"}).out;
    const float snmp = std::stof(shown.substr(shown.find("Float: ") + 7));
    EXPECT_EQ(snmp, 5.37f);
    const std::string series = "outputVoltage{outputIndex=\"1\"}";
    EXPECT_TRUE(waitUntil([&] { return static_cast<float>(valueOf(m.query(series))) == snmp; }, 10))
        << shown << " against " << valueOf(m.query(series));

    // A real trip: channel 3 (FE3, SNMP instance 4) asked for more current than its limit.
    ASSERT_EQ(runSnmpTool("snmpset", sim, "kite", {"outputVoltage.4", "F", "7"}).status, 0);
    const std::map<std::string, std::string> alert{
        {"alertname", "CrateChannelTripped"}, {"instance", sim.address}, {"crate", sim.address}, {"hall", "north"},
        {"outputIndex", "4"}, {"outputName", "FE3"}, {"failure", "current too high"}};
    ASSERT_TRUE(waitUntil([&] { return !find(m.query("ALERTS{alertstate=\"firing\"}"), alert).is_null(); }, 30))
        << m.query("ALERTS").dump(1);
    const std::string status = simCommand(sim, "get outputStatus.4");
    ASSERT_EQ(status.rfind("ok ", 0), 0u) << status;
    EXPECT_EQ(std::stoi(status.substr(3)) & (1 << 6 | 1), 1 << 6);     // current too high, and off
    // That alert, and no other, pending or firing, for the crate.
    EXPECT_TRUE(waitUntil([&] { return m.query("ALERTS").size() == 1; }, 30)) << m.query("ALERTS").dump(1);
    // In Alertmanager, with the channel named as kovo numbers it.
    json received;
    ASSERT_TRUE(waitUntil([&] { return !(received = find(m.received(), alert)).is_null(); }, 30))
        << m.received().dump(1);
    EXPECT_EQ(received.value("annotations", json::object()).value("summary", ""),
              "Channel 3 (FE3) of crate " + sim.address + " has tripped: current too high");

    // Every rule evaluates on the real series.
    const json rules = json::parse(httpGet(m.chain.prometheus, "/api/v1/rules"), nullptr, false);
    int evaluated = 0;
    for (const json& group : rules["data"]["groups"])
        for (const json& rule : group["rules"]) {
            EXPECT_EQ(rule.value("health", ""), "ok") << rule.dump();
            ++evaluated;
        }
    const std::string ruleFile = readFile(source / "monitoring/rules/crates.yml");
    EXPECT_EQ(evaluated, countLines(ruleFile, "- alert:") + countLines(ruleFile, "- record:"));

    // Every query of the dashboard has data, and every variable has values.
    const json dashboard = json::parse(readFile(source / "monitoring/dashboard.json"));
    int queries = 0;
    for (const json& panel : dashboard["panels"])
        for (const json& target : panel["targets"]) {
            const std::string expression = filledIn(target["expr"]);
            EXPECT_FALSE(m.query(expression).empty()) << panel["title"] << ": " << expression;
            ++queries;
        }
    EXPECT_GT(queries, 10);
    for (const json& variable : dashboard["templating"]["list"]) {
        std::smatch match;
        const std::string text = variable.value("query", "");
        if (variable["type"] != "query" || !std::regex_match(text, match, std::regex("label_values\\((.*), (\\w+)\\)")))
            continue;
        const json result = m.query(filledIn(match[1]));
        EXPECT_FALSE(result.empty()) << text;
        for (const json& item : result)
            EXPECT_NE(item["metric"].value(match[2].str(), ""), "") << text << ": " << item.dump();
    }

    // A walk cut short by an error answer: the exporter still answers (the
    // scrape is up) with fewer channel rows than the crate counts, which is
    // what CrateWalkCutShort looks for.
    ASSERT_EQ(simCommand(sim, "fault outputMeasurementCurrent.5 get error genErr"), "ok");
    const std::string page = httpGet(m.chain.exporter, "/snmp", {{"module", "crate"}, {"target", sim.address}});
    EXPECT_NE(page.find("\noutputNumber 12\n"), std::string::npos) << page;
    EXPECT_LT(countLines(page, "outputSupervisionMaxPower{"), 12) << page;
}
