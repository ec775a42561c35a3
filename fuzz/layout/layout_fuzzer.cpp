// layout_fuzzer.cpp: This file contains the fuzz target of crate-sim's layout
// reader: any bytes as the text of a layout file, read over the built-in
// crate. A refused layout must leave the simulation as it was and say where;
// an accepted one must give a crate the agent can serve.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "sim_support.h"

using fuzz::require;

namespace {

// The simulation before every input: the built-in crate, live, no faults.
sim::Simulation pristine;

void checkAccepted(sim::Simulation& s)
{
    sim::Crate derived = s.crate;
    sim::deriveValues(derived);
    require(fuzz::changedInstances(derived, s.crate).empty(), "computed objects follow the layout");
    for (const auto& [index, row] : s.crate.channels) {
        require(index >= 1 && index <= 1000, "channel index 1 to 1000");
        const auto load = s.crate.loads.find(index);
        require(load != s.crate.loads.end() && std::isfinite(load->second) && load->second >= 0,
                "every channel has a finite load that is not negative");
    }
    require(s.crate.loads.size() == s.crate.channels.size(), "loads only of channels");
    require(s.crate.sensors.empty() || (s.crate.sensors.begin()->first >= 1 && s.crate.sensors.rbegin()->first <= 12),
            "sensor index 1 to 12");
    require(s.crate.fans.empty() || (s.crate.fans.begin()->first >= 1 && s.crate.fans.rbegin()->first <= 6),
            "fan index 1 to 6");
    for (const auto& [index, row] : s.crate.communities) {
        const std::string& name = row[sim::snmpCommunityName].text;
        require(index >= 1 && index <= 4, "community index 1 to 4");
        require(name.size() <= 14 && name.find_first_of(" \t\"'#\\") == std::string::npos,
                "community names are one word of at most 14 characters");
    }
    for (int o = 0; o < sim::objectCount; ++o)
        if (sim::objects[o].kind == sim::Kind::real && sim::objects[o].record == sim::Record::channel)
            for (const auto& [index, row] : s.crate.channels)
                require(std::isfinite(row[o].real), "channel floats are finite");
    require(s.faults.size() <= sim::maxFaults, "at most maxFaults faults");
    require(s.delay >= 0 && s.delay <= sim::maxDelay, "delay within 0 to 60 s");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::startAgentLibrary();
    pristine.crate = sim::defaultCrate();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sim::simulation = pristine;
    std::string error;
    if (sim::loadLayoutText(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.toml", error)) {
        require(error.empty(), "no error for an accepted layout");
        checkAccepted(sim::simulation);
        return 0;
    }
    require(error.rfind("fuzz.toml:", 0) == 0, "a refusal names the file and line");
    require(fuzz::changedInstances(sim::simulation.crate, pristine.crate).empty() &&
                sim::simulation.crate.loads == pristine.crate.loads && sim::simulation.faults.empty() &&
                sim::simulation.mode == pristine.mode && sim::simulation.delay == pristine.delay,
            "a refused layout changes nothing");
    return 0;
}
