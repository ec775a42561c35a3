// monitoring_tests.cpp: This file contains the end-to-end test of monitoring:
// Debian's SNMP exporter, Prometheus and Alertmanager, run with the project's
// configuration on free loopback ports, scrape simulated crates; a table of
// scenarios acts on the crates and expects what Prometheus and Alertmanager
// then hold. The rules' "for" durations and the intervals are scaled down to
// seconds; the expressions are the committed ones.
#include "kovo_test_support.h"
#include "monitoring_support.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
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

// The committed text with each `from` replaced by `to`; each must be there.
std::string substituted(std::string text, const std::vector<std::pair<std::string, std::string>>& changes)
{
    for (const auto& [from, to] : changes) {
        EXPECT_NE(text.find(from), std::string::npos) << "the configuration no longer holds " << from;
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    }
    return text;
}

// The running chain: exporter, Alertmanager and Prometheus, scraping the
// crates at the given addresses every second.
struct Monitoring {
    fs::path dir;
    std::unique_ptr<Server> exporter, alertmanager, prometheus;

    explicit Monitoring(const std::vector<std::string>& crates) : dir(makeTempDir("kovo-monitoring"))
    {
        const fs::path config = source / "monitoring";
        exporter = std::make_unique<Server>(
            "exporter", dir,
            std::vector<std::string>{"prometheus-snmp-exporter", "--config.file=" + (config / "snmp.yml").string(),
                                     "--web.listen-address={address}"},
            "/");
        alertmanager = std::make_unique<Server>(
            "alertmanager", dir,
            std::vector<std::string>{"prometheus-alertmanager", "--config.file=" + (config / "alertmanager.yml").string(),
                                     "--storage.path=" + (dir / "alertmanager").string(),
                                     "--web.listen-address={address}", "--cluster.listen-address="},
            "/-/ready");
        fs::create_directories(dir / "rules");
        std::ofstream(dir / "rules" / "crates.yml")
            << std::regex_replace(readFile(config / "rules" / "crates.yml"), std::regex("for: [0-9]+m"), "for: 2s");
        std::ofstream targets(dir / "crates.yml");
        for (const std::string& crate : crates)     // with a label of the operators' own, as crates.yml shows
            targets << "- targets: ['" << crate << "']\n  labels: {hall: north}\n";
        targets.close();
        std::ofstream(dir / "prometheus.yml") << substituted(readFile(config / "prometheus.yml"),
                                                             {{"scrape_interval: 10s", "scrape_interval: 1s"},
                                                              {"scrape_timeout: 8s", "scrape_timeout: 1s"},
                                                              {"evaluation_interval: 10s", "evaluation_interval: 1s"},
                                                              {"127.0.0.1:9116", exporter->address},
                                                              {"127.0.0.1:9093", alertmanager->address}});
        prometheus = std::make_unique<Server>(
            "prometheus", dir,
            std::vector<std::string>{"prometheus", "--config.file=" + (dir / "prometheus.yml").string(),
                                     "--storage.tsdb.path=" + (dir / "data").string(),
                                     "--web.listen-address={address}"},
            "/-/ready");
    }
    ~Monitoring()
    {
        prometheus.reset();
        alertmanager.reset();
        exporter.reset();
        if (!::testing::Test::HasFailure())
            fs::remove_all(dir);
        else
            std::cerr << "monitoring folder kept for inspection: " << dir << "\n";
    }

    // The result vector of an instant query; fails the test if Prometheus refuses it.
    json query(const std::string& expression)
    {
        const json answer =
            json::parse(httpGet(prometheus->address, "/api/v1/query", {{"query", expression}}), nullptr, false);
        EXPECT_EQ(answer.value("status", ""), "success") << expression << "\n" << answer.dump();
        return answer.contains("data") ? answer["data"]["result"] : json::array();
    }

    // The alerts Prometheus holds as firing, or Alertmanager holds at all.
    json firing() { return query("ALERTS{alertstate=\"firing\"}"); }
    json received()
    {
        return json::parse(httpGet(alertmanager->address, "/api/v2/alerts"), nullptr, false);
    }
};

// Whether a series (or an Alertmanager alert) of the list carries the labels.
bool holds(const json& list, const std::map<std::string, std::string>& labels)
{
    for (const json& item : list.is_array() ? list : json::array()) {
        const json& have = item.contains("metric") ? item["metric"] : item.value("labels", json::object());
        bool all = true;
        for (const auto& [name, value] : labels)
            all = all && have.value(name, "") == value;
        if (all)
            return true;
    }
    return false;
}

double valueOf(const json& result)
{
    return result.size() == 1 ? std::stod(result[0]["value"][1].get<std::string>()) : -1.0;
}

struct Scenario {
    const char* what;
    std::string layout;                          // crate-sim layout text; "" the built-in crate
    std::function<void(Sim&)> act;               // done once Prometheus has scraped the crate
    std::string alert;                           // the alert that must fire for this crate, "" none
    std::function<void(Sim&, Monitoring&)> check;
};

const int failureMaxCurrent = 1 << 6;     // outputStatus bit 6, as the MIB documents it

// Lines of a file that start (after blanks) with `prefix`.
int countLines(const std::string& text, const std::string& prefix)
{
    int count = 0;
    for (const std::string& line : lines(text))
        count += line.find_first_not_of(' ') != std::string::npos &&
                 line.compare(line.find_first_not_of(' '), prefix.size(), prefix) == 0;
    return count;
}

}  // namespace

TEST(Monitoring, ScenariosReachPrometheusAndAlertmanager)
{
    const Scenario scenarios[] = {
        {"a channel's voltage in Prometheus equals snmpget's", "",
         [](Sim& sim) { ASSERT_EQ(runSnmpTool("snmpset", sim, "kite", {"outputVoltage.3", "F", "27.37"}).status, 0); },
         "",
         [](Sim& sim, Monitoring& m) {
             const std::string shown = runSnmpTool("snmpget", sim, "ovalis", {"-Ov", "outputVoltage.3"}).out;
             const float snmp = std::stof(shown.substr(shown.find("Float: ") + 7));
             const std::string series = "outputVoltage{instance=\"" + sim.address + "\",outputIndex=\"3\"}";
             EXPECT_TRUE(waitUntil([&] { return static_cast<float>(valueOf(m.query(series))) == snmp; }, 10))
                 << shown << " against " << valueOf(m.query(series));
             EXPECT_EQ(snmp, 27.37f);
         }},
        {"a channel tripped by raising its voltage past its current limit", readFile(source / "monitoring/crates/detector.toml"),
         [](Sim& sim) { ASSERT_EQ(runSnmpTool("snmpset", sim, "kite", {"outputVoltage.4", "F", "7"}).status, 0); },
         "CrateChannelTripped",
         [](Sim& sim, Monitoring& m) {
             const std::string status = simCommand(sim, "get outputStatus.4");
             ASSERT_EQ(status.rfind("ok ", 0), 0u) << status;
             EXPECT_EQ(std::stoi(status.substr(3)) & (failureMaxCurrent | 1), failureMaxCurrent);   // tripped, off
             EXPECT_TRUE(holds(m.firing(), {{"alertname", "CrateChannelTripped"}, {"instance", sim.address},
                                            {"outputIndex", "4"}, {"outputName", "FE3"}}));
             EXPECT_EQ(m.query("ALERTS{alertname=\"CrateChannelTripped\",instance=\"" + sim.address + "\"}").size(), 1u);
         }},
        {"a crate that stops answering", "", [](Sim& sim) { stopSim(sim); }, "CrateNotAnswering", nullptr},
        {"a walk cut short by an error answer, the scrape still up", "",
         [](Sim& sim) { ASSERT_EQ(simCommand(sim, "fault outputMeasurementCurrent.5 get error genErr"), "ok"); },
         "CrateWalkCutShort",
         [](Sim& sim, Monitoring& m) { EXPECT_EQ(valueOf(m.query("up{instance=\"" + sim.address + "\"}")), 1.0); }},
    };
    std::vector<Sim> sims;
    std::vector<std::string> addresses;
    for (const Scenario& s : scenarios) {
        sims.push_back(startSim(s.layout));
        addresses.push_back(sims.back().address);
    }
    Monitoring m(addresses);
    ASSERT_TRUE(waitUntil([&] { return m.query("up{job=\"crate\"} == 1").size() == std::size(scenarios); }, 30))
        << readFile(m.dir / "prometheus.log");

    for (std::size_t i = 0; i < std::size(scenarios); ++i)
        scenarios[i].act(sims[i]);
    for (std::size_t i = 0; i < std::size(scenarios); ++i) {
        const Scenario& s = scenarios[i];
        SCOPED_TRACE(s.what);
        const std::map<std::string, std::string> alert{{"alertname", s.alert}, {"instance", sims[i].address}};
        if (!s.alert.empty()) {
            EXPECT_TRUE(waitUntil([&] { return holds(m.firing(), alert); }, 30)) << m.firing().dump(1);
            EXPECT_TRUE(waitUntil([&] { return holds(m.received(), alert); }, 30)) << m.received().dump(1);
        }
        if (s.check)
            s.check(sims[i], m);
    }
    // Nothing fires for a crate that nothing happened to.
    EXPECT_FALSE(holds(m.firing(), {{"instance", sims[0].address}})) << m.firing().dump(1);

    // Every rule evaluates, and every query of the dashboard runs.
    const json rules = json::parse(httpGet(m.prometheus->address, "/api/v1/rules"), nullptr, false);
    int evaluated = 0;
    for (const json& group : rules["data"]["groups"])
        for (const json& rule : group["rules"]) {
            EXPECT_EQ(rule.value("health", ""), "ok") << rule.dump();
            ++evaluated;
        }
    const std::string ruleFile = readFile(source / "monitoring/rules/crates.yml");
    EXPECT_EQ(evaluated, countLines(ruleFile, "- alert:") + countLines(ruleFile, "- record:"));
    // Each query has data here, but for a state none of these crates is in.
    const std::set<std::string> mayBeEmpty{"Channels at their current limit"};
    const json dashboard = json::parse(readFile(source / "monitoring/dashboard.json"));
    int queries = 0;
    for (const json& panel : dashboard["panels"])
        for (const json& target : panel["targets"]) {
            const std::string expression =
                std::regex_replace(target["expr"].get<std::string>(), std::regex("\\$crate"), ".*");
            const json result = m.query(expression);
            EXPECT_TRUE(!result.empty() || mayBeEmpty.count(panel["title"])) << panel["title"] << ": " << expression;
            ++queries;
        }
    EXPECT_GT(queries, 0);
}
