// monitoring_support.h: This file contains what the monitoring test and
// benchmark share: the monitoring chain (Debian's SNMP exporter, Alertmanager
// and Prometheus) started by scripts/monitor.sh through the process layer,
// plain HTTP gets of its servers, and waits that poll.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kovo_process.h"

namespace kovo::monitoring {

// The chain that `scripts/monitor.sh --crates FILE` runs, each server on a
// free loopback port with the project's configuration; stopped with the
// object, and with the test program should that die first.
struct Chain {
    std::string exporter, alertmanager, prometheus;  // their addresses, HOST:PORT
    std::filesystem::path scratch;   // the script's folder: NAME.log is each server's log
    kovo::test::Process script;
};

// Starts the chain on the crates that `crates` lists (in the form of
// monitoring/crates.yml; Prometheus re-reads it when it changes), scraped
// and evaluated every `interval` seconds (0: every 10 s, as configured), and
// waits until every server answers. Throws with the script's output when
// the chain does not start.
Chain startChain(const std::filesystem::path& crates, int interval = 0);

// The body of an HTTP GET of http://ADDRESS/PATH ("" when it cannot be had);
// `query` pairs are URL-encoded onto the path.
std::string httpGet(const std::string& address, const std::string& path,
                    const std::vector<std::pair<std::string, std::string>>& query = {});

// Polls until `done` holds, for at most `seconds`; false if it never did.
bool waitUntil(const std::function<bool()>& done, double seconds);

}  // namespace kovo::monitoring
