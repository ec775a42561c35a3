// ramp.cpp: This file contains set-and-wait: the state read before anything
// is written, the steps, and the readings that end each step.
#include "ramp.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include <fmt/format.h>

namespace kovo_rows {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One reading of what the ramp watches: the main switch and the channels'
// switch, status and sense voltage (and, before the first write, their set voltage).
struct Watched {
    long mainSwitch = 0;
    Table table;
};

bool readState(kovoCrate* crate, bool withSetVoltage, Watched* state)
{
    const int mainSwitch = kovoObject("sysMainSwitch");
    kovoValue value{};
    if (!kovoReadScalars(crate, &mainSwitch, 1, &value))
        return false;
    state->mainSwitch = value.type == KOVO_INTEGER ? value.integer : 0;
    std::vector<int> columns = stateColumns();
    columns.push_back(kovoObject("outputMeasurementSenseVoltage"));
    if (withSetVoltage)
        columns.push_back(kovoObject("outputVoltage"));
    return state->table.read(crate, columns);
}

// An integer or a number of a channel's row; `otherwise` when the crate gave none.
long integerOf(const Table& table, int row, const char* object, long otherwise)
{
    const kovoValue* v = row < 0 ? nullptr : table.value(row, kovoObject(object));
    return v && v->type == KOVO_INTEGER ? v->integer : otherwise;
}

double numberOf(const Table& table, int row, const char* object)
{
    const kovoValue* v = row < 0 ? nullptr : table.value(row, kovoObject(object));
    return v && v->type == KOVO_FLOAT ? v->number : NAN;
}

bool isOn(const Table& table, int row)
{
    return integerOf(table, row, "outputSwitch", 0) == 1 &&
           (integerOf(table, row, "outputStatus", 0) & statusBit("on")) != 0;
}

// Where a channel stands in the list the ramp was given, which its readings follow.
size_t indexOf(const std::vector<int>& channels, int channel)
{
    return static_cast<size_t>(std::find(channels.begin(), channels.end(), channel) - channels.begin());
}

const char* verb(const std::vector<int>& channels, const char* one, const char* many)
{
    return channels.size() == 1 ? one : many;
}

RampResult ended(RampResult result, RampEnd end, std::string message, std::vector<int> channels)
{
    result.end = end;
    result.message = std::move(message);
    result.channels = std::move(channels);
    return result;
}

}  // namespace

RampResult ramp(kovoCrate* crate, const std::vector<int>& channels, double voltage, const RampOptions& options)
{
    RampResult result;
    Watched state;
    if (!readState(crate, true, &state)) {
        result.outcome = *kovoLastOutcome(crate);
        return ended(std::move(result), RampEnd::readFailed, "", {});
    }
    std::vector<int> absent, off;
    std::vector<long> before;       // the status bits latched before: they do not stop the ramp
    std::vector<double> from;       // the set voltages the steps start from
    for (int channel : channels) {
        const int row = state.table.rowOf(channel);
        if (row < 0)
            absent.push_back(channel);
        else if (!isOn(state.table, row) && state.mainSwitch == 1)
            off.push_back(channel);
        before.push_back(integerOf(state.table, row, "outputStatus", 0));
        const double set = numberOf(state.table, row, "outputVoltage");
        from.push_back(std::isnan(set) ? voltage : set);
        result.readings.push_back({channel, voltage, numberOf(state.table, row, "outputMeasurementSenseVoltage"),
                                   before.back()});
    }
    if (!absent.empty())
        return ended(std::move(result), RampEnd::absent, namedChannels(absent) + verb(absent, " is", " are") + " not in the crate: nothing written",
                     absent);
    if (state.mainSwitch != 1)
        return ended(std::move(result), RampEnd::notOn,
                     "the crate is switched off: nothing would ramp, nothing written", {});
    if (!off.empty())
        return ended(std::move(result), RampEnd::notOn,
                     namedChannels(off) + verb(off, " is", " are") + " switched off: nothing would ramp there, nothing written", off);

    int steps = 1;
    if (options.step > 0)
        for (double start : from)
            steps = std::max(steps, static_cast<int>(std::ceil(std::fabs(voltage - start) / options.step - 1e-9)));
    const auto start = Clock::now();
    for (int step = 1; step <= steps; ++step) {
        std::vector<kovoValue> values;
        for (size_t i = 0; i < channels.size(); ++i) {
            const double span = voltage - from[i];
            const double reach = options.step > 0 ? std::min(std::fabs(span), step * options.step) : std::fabs(span);
            kovoValue value{};
            value.type = KOVO_FLOAT;
            value.number = step == steps ? voltage : from[i] + std::copysign(reach, span);
            values.push_back(value);
            result.readings[i].target = value.number;
        }
        result.writes = writeRows(crate, kovoObject("outputVoltage"), channels, values);
        if (result.writes.refused)
            return ended(std::move(result), RampEnd::refused, "", {});
        if (!result.writes.allWritten())
            return ended(std::move(result), RampEnd::writeFailed, "", {});

        const auto stepStart = Clock::now();
        for (;;) {
            const auto readingStart = Clock::now();
            if (!readState(crate, false, &state)) {
                result.outcome = *kovoLastOutcome(crate);
                result.seconds = secondsSince(start);
                return ended(std::move(result), RampEnd::readFailed, "", {});
            }
            result.seconds = secondsSince(start);
            std::vector<int> gone, trips, switchedOff, outside;
            for (size_t i = 0; i < channels.size(); ++i) {
                RampReading& reading = result.readings[i];
                const int row = state.table.rowOf(reading.channel);
                reading.sense = numberOf(state.table, row, "outputMeasurementSenseVoltage");
                reading.status = integerOf(state.table, row, "outputStatus", 0);
                if (row < 0)
                    gone.push_back(reading.channel);
                else if (tripped(reading.status & ~before[i]))
                    trips.push_back(reading.channel);
                else if (!isOn(state.table, row))
                    switchedOff.push_back(reading.channel);
                else if (!(std::fabs(reading.sense - static_cast<float>(reading.target)) <= options.tolerance))
                    outside.push_back(reading.channel);
            }
            auto failures = [&](int channel) {
                const size_t i = indexOf(channels, channel);
                return " (" + failuresOf(result.readings[i].status & ~before[i]) + ")";
            };
            if (!trips.empty())
                return ended(std::move(result), RampEnd::tripped,
                             namedChannels(trips, failures) + " tripped while ramping: stopped", trips);
            if (state.mainSwitch != 1)
                return ended(std::move(result), RampEnd::crateOff,
                             "the crate was switched off while ramping: stopped", {});
            if (!gone.empty())
                return ended(std::move(result), RampEnd::absent,
                             namedChannels(gone) + verb(gone, " is", " are") + " no longer in the crate: stopped", gone);
            if (!switchedOff.empty())
                return ended(std::move(result), RampEnd::switchedOff,
                             namedChannels(switchedOff) + verb(switchedOff, " was", " were") + " switched off while ramping: stopped", switchedOff);
            if (outside.empty())
                break;
            if (secondsSince(stepStart) > options.timeout) {
                auto where = [&](int channel) {
                    const RampReading& r = result.readings[indexOf(channels, channel)];
                    return fmt::format(" at {} V of {} V{}", static_cast<float>(r.sense), static_cast<float>(r.target),
                                       (r.status & statusBit("currentLimited")) != 0 ? " (current limited)" : "");
                };
                return ended(std::move(result), RampEnd::timedOut,
                             fmt::format("{}{} not within {} V after {} s: stopped waiting", namedChannels(outside, where),
                                         verb(outside, " is", " are"),
                                         options.tolerance, options.timeout),
                             outside);
            }
            if (options.between)
                options.between();
            const double left = options.interval - secondsSince(readingStart);
            if (left > 0)
                std::this_thread::sleep_for(std::chrono::duration<double>(left));
        }
        if (options.progress)
            options.progress(fmt::format("step {} of {} reached after {:.1f} s", step, steps, result.seconds));
    }
    return result;
}

}  // namespace kovo_rows
