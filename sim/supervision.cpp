// supervision.cpp: This file contains what a channel's supervision means: when
// each supervision limit is passed, by the values a channel shows or by the
// ramp it is on, which outputStatus bit that latches, and what the channel's
// outputSupervisionBehavior makes of it. The bits and codes are the crate's
// own table (output_status.h); the model (model.cpp) moves the channels and
// carries the behaviour out.
#include "sim.h"

#include "output_status.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sim {

namespace {

enum StatusBit {
#define XX(bit, name, label) name##Bit = bit,
    TORVAN_OUTPUT_STATUS_BITS(XX)
#undef XX
};

enum Behaviour {
#define XX(code, name, label) name##Behaviour = code,
    TORVAN_SUPERVISION_BEHAVIOURS(XX)
#undef XX
};

enum Limit {
#define XX(limit, name, bit) name##Limit = limit,
    TORVAN_SUPERVISION_LIMITS(XX)
#undef XX
};

struct LimitRow {
    int limit;
    int failureBit;
};
constexpr LimitRow limitRows[] = {
#define XX(limit, name, bit) {limit, bit},
    TORVAN_SUPERVISION_LIMITS(XX)
#undef XX
};
constexpr int limitCount = static_cast<int>(std::size(limitRows));

// Each limit's row sits at its own number, so that a limit's failure bit and
// its field of outputSupervisionBehavior are found by that number.
constexpr bool rowsInOrder()
{
    for (int i = 0; i < limitCount; ++i)
        if (limitRows[i].limit != i)
            return false;
    return true;
}
static_assert(rowsInOrder(), "supervision limits numbered in table order");
static_assert(2 * limitCount <= 16, "two bits per limit fit outputSupervisionBehavior's range");

constexpr int failureOf(Limit limit)
{
    return 1 << limitRows[limit].failureBit;
}

constexpr double never = std::numeric_limits<double>::infinity();

// The sense voltage at which the delivered power reaches `power`.
double voltageAtPower(const Drive& drive, double power)
{
    if (drive.load <= 0 || drive.currentLimit <= 0)
        return never;
    const double limited = drive.currentLimit * drive.currentLimit * drive.load;
    return power <= limited ? std::sqrt(power * drive.load) : power / drive.currentLimit;
}

}  // namespace

const int failureBits = [] {
    int bits = 0;
    for (const LimitRow& row : limitRows)
        bits |= 1 << row.failureBit;
    return bits;
}();

int statusBits(const Drive& drive, float sense, bool limited)
{
    const auto reach = static_cast<float>(drive.reach);
    return (drive.on ? 1 << onBit : 0) | (sense < reach ? 1 << rampingUpBit : 0) |
           (sense > reach ? 1 << rampingDownBit : 0) | (limited ? 1 << currentLimitedBit : 0);
}

// A channel is in its constant-current state once its voltage has
// come to where the load draws the whole current limit, short of the set voltage.
bool currentLimited(const Drive& drive, float sense)
{
    return drive.on && drive.reach < drive.target && sense >= static_cast<float>(drive.reach);
}

// The failure bits of the limits that the channel's values pass as they stand.
// The lowest sense voltage is only supervised while the channel is on and its
// ramp has ended: a channel ramping up from 0 passes it on its way.
int passedLimits(const Drive& drive, const Row& channel, int maxTemperature)
{
    const float sense = channel[outputMeasurementSenseVoltage].real;
    const float terminal = channel[outputMeasurementTerminalVoltage].real;
    const float current = channel[outputMeasurementCurrent].real;
    const bool settled = sense == static_cast<float>(drive.reach);
    int passed = 0;
    if (drive.on && settled && sense < channel[outputSupervisionMinSenseVoltage].real)
        passed |= failureOf(minSenseVoltageLimit);
    if (sense > channel[outputSupervisionMaxSenseVoltage].real)
        passed |= failureOf(maxSenseVoltageLimit);
    if (terminal > channel[outputSupervisionMaxTerminalVoltage].real)
        passed |= failureOf(maxTerminalVoltageLimit);
    const float maxCurrent = channel[outputSupervisionMaxCurrent].real;
    if (current > maxCurrent || (currentLimited(drive, sense) && current >= maxCurrent))
        passed |= failureOf(maxCurrentLimit);
    if (terminal * current > channel[outputSupervisionMaxPower].real)
        passed |= failureOf(maxPowerLimit);
    if (channel[outputMeasurementTemperature].integer > maxTemperature)
        passed |= failureOf(maxTemperatureLimit);
    return passed;
}

// The first moment, within `span` seconds of the ramp's start at `v` volts,
// at which the ramp passes a limit whose failure bit is not in `latched`.
// A rising ramp passes a maximum where it crosses the voltage at which the
// limit is reached; the lowest sense voltage and a current limit at the
// current supervision limit are passed where the ramp ends.
Crossing nextCrossing(const Drive& drive, const Row& channel, double v, double span, int latched)
{
    const double rate = std::max(0.0f, drive.on && v < drive.reach ? channel[outputVoltageRiseRate].real
                                                                    : channel[outputVoltageFallRate].real);
    Crossing first{never, 0};
    auto consider = [&](Limit limit, double after) {
        if ((latched & failureOf(limit)) || !(after <= span + 1e-9) || after > first.after)
            return;
        first.bits = after < first.after ? failureOf(limit) : first.bits | failureOf(limit);
        first.after = after;
    };
    if (rate <= 0 || v == drive.reach)
        return first;
    auto crossing = [&](Limit limit, double x) {
        if (v < drive.reach && v <= x && x < drive.reach)
            consider(limit, (x - v) / rate);
    };
    const double ends = std::abs(drive.reach - v) / rate;
    crossing(maxSenseVoltageLimit, channel[outputSupervisionMaxSenseVoltage].real);
    crossing(maxTerminalVoltageLimit, channel[outputSupervisionMaxTerminalVoltage].real);
    const double maxCurrent = channel[outputSupervisionMaxCurrent].real;
    if (drive.load > 0 && maxCurrent < drive.currentLimit)
        crossing(maxCurrentLimit, maxCurrent * drive.load);
    if (drive.on && drive.reach < drive.target && drive.currentLimit >= maxCurrent)
        consider(maxCurrentLimit, ends);
    crossing(maxPowerLimit, voltageAtPower(drive, channel[outputSupervisionMaxPower].real));
    if (drive.on && static_cast<float>(drive.reach) < channel[outputSupervisionMinSenseVoltage].real)
        consider(minSenseVoltageLimit, ends);
    return first;
}

namespace {

Behaviour behaviourOf(const Row& channel, int limit)
{
    return static_cast<Behaviour>((channel[outputSupervisionBehavior].integer >> (2 * limit)) & 3);
}

}  // namespace

// What the channel does for the limits whose failure bits are in `failures`.
Actions actionsFor(const Row& channel, int failures)
{
    Actions actions;
    for (const LimitRow& row : limitRows) {
        if (!(failures & (1 << row.failureBit)))
            continue;
        switch (behaviourOf(channel, row.limit)) {
        case ignoreBehaviour: break;
        case channelOffBehaviour: actions.channelOff = true; break;
        case moduleOffBehaviour: actions.moduleOff = true; break;
        case crateOffBehaviour: actions.crateOff = true; break;
        }
    }
    return actions;
}

// Whether the channel's behaviour can switch off more than the channel itself.
bool switchesOthers(const Row& channel)
{
    for (int limit = 0; limit < limitCount; ++limit)
        if (const Behaviour b = behaviourOf(channel, limit); b == moduleOffBehaviour || b == crateOffBehaviour)
            return true;
    return false;
}

}  // namespace sim
