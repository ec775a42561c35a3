// check.cpp: This file contains kovo's health check, in the convention of the
// monitoring plugins that Nagios, Icinga and their kin run directly: one line
// "KOVO OK|WARNING|CRITICAL|UNKNOWN - summary | perfdata" on standard output
// and the exit status 0, 1, 2 or 3.
//
// CRITICAL: a latched failure bit; the crate switched off while channels are
// switched on; a channel switched on that is off all the same. WARNING: a
// channel current-limited, or ramping for longer than the ramp timeout (the
// check reads again while channels ramp, up to that long). UNKNOWN: no
// reading (no answer, an error answer) or a selection that cannot be.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include <fmt/format.h>

#include "commands.h"
#include "output.h"

namespace kovo_cli {
namespace {

enum Level { ok = 0, warning = 1, critical = 2, unknown = 3 };
const char* const levelNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

int finish(Level level, const std::string& summary, const std::string& perfdata = "")
{
    put(fmt::format("KOVO {} - {}{}\n", levelNames[level], summary, perfdata.empty() ? "" : " | " + perfdata));
    return level;
}

int unknownFrom(const Context& context)
{
    const kovoOutcome& outcome = *kovoLastOutcome(context.crate);
    const std::string object = kovo_rows::describedObject(outcome.object);
    return finish(unknown, fmt::format("{}: {}{}", kovoHost(context.crate), object.empty() ? "" : object + ": ",
                                       kovo_rows::reasonOf(outcome, false)));
}

// The channels of one reading, sorted by what a check says of them.
struct Findings {
    long mainSwitch = 0;
    int channels = 0, on = 0;
    std::vector<int> tripped, switchedOn, offAllTheSame, limited, ramping;
    std::vector<long> failures;  // the failure bits of each tripped channel
};

}  // namespace

int check(const Context& context, const std::string& rows, double rampTimeout)
{
    kovo_rows::Selection selection;
    try {
        selection = kovo_rows::parseSelection(rows);
    } catch (const kovo_rows::SelectionError& e) {
        return finish(unknown, e.message);
    }
    const auto start = std::chrono::steady_clock::now();
    const int mainSwitch = objectNamed("sysMainSwitch");
    const long onBit = kovo_rows::statusBit("on"), limitedBit = kovo_rows::statusBit("currentLimited"),
               rampingBits = kovo_rows::statusBit("rampingUp") | kovo_rows::statusBit("rampingDown");
    Findings f;
    double waited = 0;
    for (;;) {
        kovoValue value{};
        kovo_rows::Table table;
        if (!kovoReadScalars(context.crate, &mainSwitch, 1, &value) ||
            !table.read(context.crate, kovo_rows::stateColumns()))
            return unknownFrom(context);
        kovo_rows::Resolved resolved;
        try {
            resolved = kovo_rows::resolve(selection, &table);
        } catch (const kovo_rows::SelectionError& e) {
            return finish(unknown, e.message);
        }
        // Channels named that are all absent are a check of nothing: a module missing.
        bool named = false;
        for (const auto& range : selection.ranges)
            for (int channel = range.first; channel <= range.last && !named; ++channel)
                named = table.rowOf(channel) >= 0;
        if (!selection.ranges.empty() && !selection.all && !named)
            return finish(unknown, fmt::format("no channel of \"{}\" is in the crate", rows));
        f = Findings{};
        f.mainSwitch = value.type == KOVO_INTEGER ? value.integer : 0;
        f.channels = static_cast<int>(resolved.channels.size());
        for (int channel : resolved.channels) {
            const int row = table.rowOf(channel);
            const kovoValue* on = table.value(row, kovo_rows::stateColumns()[0]);
            const kovoValue* status = table.value(row, kovo_rows::stateColumns()[1]);
            const long switched = on->type == KOVO_INTEGER ? on->integer : 0;
            const long bits = status->type == KOVO_INTEGER ? status->integer : 0;
            f.on += (bits & onBit) != 0;
            if (kovo_rows::tripped(bits)) {
                f.tripped.push_back(channel);
                f.failures.push_back(kovo_rows::failureBitsOf(bits));
            }
            if (switched == 1 && (bits & onBit) == 0)
                (f.mainSwitch == 1 ? f.offAllTheSame : f.switchedOn).push_back(channel);
            if ((bits & limitedBit) != 0)
                f.limited.push_back(channel);
            if ((bits & rampingBits) != 0)
                f.ramping.push_back(channel);
        }
        const bool critical = !f.tripped.empty() || !f.switchedOn.empty() || !f.offAllTheSame.empty();
        waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (critical || f.ramping.empty() || waited >= rampTimeout)
            break;
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(1.0, rampTimeout - waited)));
    }

    std::vector<std::string> criticals, warnings;
    if (!f.tripped.empty())
        criticals.push_back(kovo_rows::namedChannels(f.tripped, [&](int channel) {
                                const auto i = std::find(f.tripped.begin(), f.tripped.end(), channel) - f.tripped.begin();
                                return " (" + kovo_rows::failuresOf(f.failures[static_cast<size_t>(i)]) + ")";
                            }) + " tripped");
    if (!f.switchedOn.empty())
        criticals.push_back(fmt::format("crate switched off while {} switched on", kovo_rows::namedChannels(f.switchedOn) +
                                                                                    (f.switchedOn.size() == 1 ? " is" : " are")));
    if (!f.offAllTheSame.empty())
        criticals.push_back(kovo_rows::namedChannels(f.offAllTheSame) +
                            (f.offAllTheSame.size() == 1 ? " is" : " are") + " switched on but off");
    if (!f.limited.empty())
        warnings.push_back(kovo_rows::namedChannels(f.limited) + " current limited");
    if (!f.ramping.empty() && waited >= rampTimeout)
        warnings.push_back(fmt::format("{} ramping for more than {} s", kovo_rows::namedChannels(f.ramping), rampTimeout));

    const std::string perfdata =
        fmt::format("channels={} on={} tripped={};;0 current_limited={};0 ramping={} crate_on={}", f.channels, f.on,
                    f.tripped.size(), f.limited.size(), f.ramping.size(), f.mainSwitch == 1 ? 1 : 0);
    if (!criticals.empty() || !warnings.empty()) {
        const Level level = criticals.empty() ? warning : critical;
        criticals.insert(criticals.end(), warnings.begin(), warnings.end());
        return finish(level, fmt::format("{}", fmt::join(criticals, "; ")), perfdata);
    }
    return finish(ok,
                  fmt::format("crate {}, {} channel{}, {} on", f.mainSwitch == 1 ? "on" : "off", f.channels,
                              f.channels == 1 ? "" : "s", f.on),
                  perfdata);
}

}  // namespace kovo_cli
