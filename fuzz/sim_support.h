// sim_support.h: This file contains what the simulator's fuzz targets share:
// bringing up Net-SNMP's agent library with the crate MIB once, and the
// comparison of two crate models instance by instance.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#include "sim.h"

namespace fuzz {

// Starts the agent library and takes the crate objects from the MIB module,
// found through MIBDIRS or, when that is unset, the build tree's copy.
inline void startAgentLibrary()
{
    setenv("MIBDIRS", KOVO_FUZZ_MIBDIRS, 0);
    const char* tmp = std::getenv("TMPDIR");
    std::string stateDir = std::string(tmp && *tmp ? tmp : "/tmp") + "/crate-sim-fuzz.XXXXXX";
    std::string error;
    require(mkdtemp(stateDir.data()) != nullptr, "a state folder can be made");
    const bool started = sim::initAgent(stateDir, error);
    std::error_code ignored;
    std::filesystem::remove_all(stateDir, ignored);
    if (!started)
        std::fprintf(stderr, "%s\n", error.c_str());
    require(started, "the agent library starts with the crate MIB");
}

inline bool sameValue(sim::Kind kind, const sim::Value& a, const sim::Value& b)
{
    switch (kind) {
    case sim::Kind::integer: return a.integer == b.integer;
    case sim::Kind::real: return std::memcmp(&a.real, &b.real, sizeof a.real) == 0;
    case sim::Kind::text: return a.text == b.text;
    }
    return false;
}

using Instances = std::vector<std::pair<sim::Object, int>>;

// The instances whose value differs between two crates; a row present in only
// one of them counts with every object of its record.
inline Instances changedInstances(sim::Crate& a, sim::Crate& b)
{
    Instances changed;
    for (int o = 0; o < sim::objectCount; ++o) {
        const auto object = static_cast<sim::Object>(o);
        const sim::ObjectInfo& info = sim::objects[o];
        std::vector<int> indices{0};
        if (auto* table = sim::tableOf(a, info.record)) {
            indices.clear();
            for (const auto& row : *table)
                indices.push_back(row.first);
            for (const auto& row : *sim::tableOf(b, info.record))
                if (!table->count(row.first))
                    indices.push_back(row.first);
        }
        for (int index : indices) {
            const sim::Value* va = sim::findValue(a, object, index);
            const sim::Value* vb = sim::findValue(b, object, index);
            if (!va || !vb || !sameValue(info.kind, *va, *vb))
                changed.emplace_back(object, index);
        }
    }
    return changed;
}

}  // namespace fuzz
