// model.cpp: This file contains the crate model of the simulator: the object
// table, values and their text form, the built-in crate, the voltage ramps and
// the rules that a write must pass.
#include "sim.h"

#include "TORVAN_SNMP.h"  // the catalogue's table sizes

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

namespace sim {

namespace {

// Where an instance of a table's object lives, by the catalogue's table size.
constexpr Record recordOf(int rows)
{
    return rows == CHANNEL_ROWS ? Record::channel
           : rows == SENSOR_ROWS ? Record::sensor
           : rows == COMMUNITY_ROWS ? Record::community
                                    : Record::fan;
}

}  // namespace

std::array<ObjectInfo, objectCount> objects = {{
#define SIM_SCALAR(name, Object, mib, message) {#mib, Record::crate, none},
#define SIM_TABLE(name, Object, mib, rows, translated, message, limit, alias) {#mib, recordOf(rows), limit},
#define SIM_UNFILLED(...)
    TORVAN_SNMP_CATALOGUE(SIM_SCALAR, SIM_TABLE, SIM_UNFILLED, SIM_UNFILLED)
#undef SIM_SCALAR
#undef SIM_TABLE
#undef SIM_UNFILLED
}};

Simulation simulation;

namespace {

// The value of a new instance when the layout gives none, for the objects
// whose value does not start at 0 (or the empty text): the built-in crate's.
const struct {
    Object object;
    const char* value;
} initialValues[] = {
    {outputMeasurementTemperature, "25"},  {outputCurrent, "1"},
    {outputVoltageRiseRate, "10"},         {outputVoltageFallRate, "10"},
    {outputSupervisionMaxSenseVoltage, "30"}, {outputSupervisionMaxTerminalVoltage, "32"},
    {outputSupervisionMaxCurrent, "5"},    {outputConfigMaxSenseVoltage, "30"},
    {outputConfigMaxTerminalVoltage, "32"}, {outputConfigMaxCurrent, "5"},
    {outputSupervisionMaxPower, "150"},    {sensorTemperature, "25"},
    {sensorWarningThreshold, "50"},        {sensorFailureThreshold, "60"},
    {psSerialNumber, "PS-SIM-0001"},       {psOperatingTime, "3600"},
    {fanSerialNumber, "FT-SIM-0001"},      {fanOperatingTime, "3600"},
    {fanAirTemperature, "24"},             {fanSwitchOffDelay, "60"},
    {fanNominalSpeed, "3000"},             {fanSpeed, "3000"},
};

// Highest MIB index of each tabulated record, from the MIB's index ranges.
int highestIndex(Record record)
{
    switch (record) {
    case Record::crate: return 0;
    case Record::channel: return 1000;
    case Record::sensor: return 12;
    case Record::community: return 4;
    case Record::fan: return 6;
    }
    return 0;
}

double lastWall = 0;
double modelTime = 0;           // seconds the model has moved since the start
std::uint64_t moves = 0;        // times the model has moved, also by 0 seconds
double operatingCarry = 0;      // fraction of a second not yet added to the operating times

// What the channel drives toward now: the set voltage while it and the crate
// are on, else 0. Like a real supply, where its load would draw more than the
// current limit the voltage stops where the load draws the limit (its
// constant-current state).
Drive driveOf(const Crate& crate, int index, const Row& channel)
{
    Drive drive;
    drive.on = crate.rampsCrateOn && channel[outputSwitch].integer == 1;
    drive.target = drive.on ? channel[outputVoltage].real : 0.0;
    const auto load = crate.loads.find(index);
    drive.load = load != crate.loads.end() && load->second > 0 ? load->second : 0.0;
    drive.currentLimit = channel[outputCurrent].real;
    drive.reach = drive.load > 0 ? std::min(drive.target, drive.currentLimit * drive.load) : drive.target;
    return drive;
}

// The sense voltage `seconds` after it was `v`: toward where the channel
// drives at the rise rate, or at the fall rate when it comes down. The
// direction cannot change before that point is reached, so one step of any
// length is exact.
double rampedVoltage(const Row& channel, const Drive& drive, double v, double seconds)
{
    const double rate = std::max(0.0f, drive.on && v < drive.reach ? channel[outputVoltageRiseRate].real
                                                                    : channel[outputVoltageFallRate].real);
    return v < drive.reach ? std::min(drive.reach, v + rate * seconds) : std::max(drive.reach, v - rate * seconds);
}

Ramp& rampOf(Crate& crate, int index)
{
    if (crate.ramps.size() <= static_cast<std::size_t>(index))
        crate.ramps.resize(static_cast<std::size_t>(index) + 1, Ramp{0, modelTime, 0, moves});
    return crate.ramps[static_cast<std::size_t>(index)];
}

int maxTemperatureOf(const Crate& crate, int index)
{
    const auto limit = crate.maxTemperatures.find(index);
    return limit != crate.maxTemperatures.end() ? limit->second : defaultMaxTemperature;
}

// Moves a channel's ramp on to model time `to` and writes its measured values
// from it: the terminal voltage equals the sense voltage, the current is what
// the load draws, at most the current limit.
void moveRamp(Crate& crate, int index, Row& channel, double to)
{
    Ramp& ramp = rampOf(crate, index);
    const Drive drive = driveOf(crate, index, channel);
    ramp.start = rampedVoltage(channel, drive, ramp.start, to - ramp.since);
    ramp.since = to;
    const auto v = static_cast<float>(ramp.start);
    const double current = drive.load > 0 ? v / drive.load : 0.0;
    channel[outputMeasurementSenseVoltage].real = v;
    channel[outputMeasurementTerminalVoltage].real = v;
    channel[outputMeasurementCurrent].real = currentLimited(drive, v) ? channel[outputCurrent].real
                                             : static_cast<float>(std::min(current, drive.currentLimit));
    ramp.shown = v;
    ramp.moves = moves;
}

void settle(Crate& crate, int index, Row& channel, double until);

// Switches the crate off at model time `at`, as the supervision of channel
// `index` asks: every other channel is brought to that moment first, so that
// it has run with the crate on until then.
void switchCrateOff(Crate& crate, int index, double at)
{
    if (crate.scalars[sysMainSwitch].integer == 0)
        return;
    crate.scalars[sysMainSwitch].integer = 0;
    for (auto& [other, row] : crate.channels)
        if (other != index)
            settle(crate, other, row, at);
    crate.rampsCrateOn = false;
    crate.scalars[sysStatus].integer = 0;
}

// Switches off every channel of the module (slot) that holds channel `index`
// at model time `at`.
void switchModuleOff(Crate& crate, int index, double at)
{
    const int first = (index - 1) / 100 * 100 + 1;
    for (auto it = crate.channels.lower_bound(first); it != crate.channels.end() && it->first < first + 100; ++it) {
        if (it->first != index)
            settle(crate, it->first, it->second, at);
        it->second[outputSwitch].integer = 0;
    }
}

// Latches the failure bits of limits that channel `index` passed at model
// time `at`, and does what its behaviour says for them.
void trip(Crate& crate, int index, Row& channel, int failures, double at)
{
    rampOf(crate, index).failures |= failures;
    const Actions actions = actionsFor(channel, failures);
    if (actions.channelOff)
        channel[outputSwitch].integer = 0;
    if (actions.moduleOff)
        switchModuleOff(crate, index, at);
    if (actions.crateOff)
        switchCrateOff(crate, index, at);
}

// When channel `index` next passes a limit, as the model stands: at once if
// its values pass one now, else where its ramp crosses one before model time
// `until`; infinity if it passes none by then.
double nextTrip(Crate& crate, int index, const Row& channel, double until)
{
    const Ramp& ramp = rampOf(crate, index);
    const Drive drive = driveOf(crate, index, channel);
    if (passedLimits(drive, channel, maxTemperatureOf(crate, index)) & ~ramp.failures)
        return ramp.since;
    if (ramp.moves == moves && ramp.since >= until)
        return std::numeric_limits<double>::infinity();
    const Crossing c = nextCrossing(drive, channel, ramp.start, until - ramp.since, ramp.failures);
    return c.bits ? ramp.since + c.after : std::numeric_limits<double>::infinity();
}

// Brings one channel to model time `until` (not before where it stands).
// Its ramp restarts there, so that a write that follows (set voltage, switch,
// rates) takes effect from then on. The measured values are rewritten only if
// the model has moved since they were last written, so values that a frozen
// model or a direct set gave stay until then. On the way, each limit the
// channel passes latches its failure bit and its behaviour is carried out at
// that moment; every pass latches a bit not latched before, so the steps are
// few. The status bits follow.
void settle(Crate& crate, int index, Row& channel, double until)
{
    {
        Ramp& ramp = rampOf(crate, index);
        const float sense = channel[outputMeasurementSenseVoltage].real;
        if (sense != ramp.shown) {
            ramp.start = sense;
            ramp.shown = sense;
        }
    }
    for (;;) {
        Ramp& ramp = rampOf(crate, index);
        const Drive drive = driveOf(crate, index, channel);
        until = std::max(until, ramp.since);
        if (const int passed = passedLimits(drive, channel, maxTemperatureOf(crate, index)) & ~ramp.failures) {
            trip(crate, index, channel, passed, ramp.since);
            continue;
        }
        if (ramp.moves == moves && ramp.since >= until)
            break;
        const Crossing c = nextCrossing(drive, channel, ramp.start, until - ramp.since, ramp.failures);
        const double at = c.bits ? std::min(until, ramp.since + c.after) : until;
        moveRamp(crate, index, channel, at);
        if (c.bits)
            trip(crate, index, channel, c.bits, at);
    }
    const Drive drive = driveOf(crate, index, channel);
    const float sense = channel[outputMeasurementSenseVoltage].real;
    channel[outputStatus].integer = statusBits(drive, sense, currentLimited(drive, sense)) | rampOf(crate, index).failures;
}

// Carries out, in the order they happen up to the model's present, the trips
// of the channels whose supervision can switch other channels or the crate
// off: those cannot wait until the channel is next looked at, as the channels
// they switch off may be looked at first.
void superviseWide(Crate& crate)
{
    for (std::size_t step = 0; step <= 8 * crate.wide.size(); ++step) {
        double first = std::numeric_limits<double>::infinity();
        int who = 0;
        for (const int index : crate.wide) {
            const auto row = crate.channels.find(index);
            if (row == crate.channels.end())
                continue;
            const double at = nextTrip(crate, index, row->second, modelTime);
            if (at < first) {
                first = at;
                who = index;
            }
        }
        if (!(first <= modelTime))
            return;
        settle(crate, who, crate.channels[who], first);
    }
}

// Moves the model clock. Channels follow when they are next looked at, so a
// move costs the same whatever the size of the crate.
void moveModel(Crate& crate, double dt)
{
    modelTime += dt;
    ++moves;
    operatingCarry += dt;
    const double whole = std::floor(operatingCarry);
    operatingCarry -= whole;
    for (Object o : {psOperatingTime, fanOperatingTime}) {
        int32_t& t = crate.scalars[o].integer;
        t = static_cast<int32_t>(std::min(2147483647.0, t + whole));
    }
}

}  // namespace

// Seconds since the simulator started, on a clock that never jumps.
double wallSeconds()
{
    static const auto start = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Object objectNamed(std::string_view name)
{
    for (int o = 0; o < objectCount; ++o)
        if (name == objects[o].name)
            return static_cast<Object>(o);
    return none;
}

std::string instanceName(Object object, int index)
{
    return std::string(objects[object].name) + "." + std::to_string(index);
}

// Splits "outputVoltage.3" into its object and index; a scalar's index is 0,
// a table's lies within the table's index range.
std::optional<std::pair<Object, int>> parseInstanceName(std::string_view name)
{
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return std::nullopt;
    const Object object = objectNamed(name.substr(0, dot));
    const auto digits = name.substr(dot + 1);
    int index = -1;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (object == none || ec != std::errc() || end != digits.data() + digits.size() || digits.empty())
        return std::nullopt;
    const Record record = objects[object].record;
    const bool fits = record == Record::crate ? index == 0 : index >= 1 && index <= highestIndex(record);
    if (!fits)
        return std::nullopt;
    return std::make_pair(object, index);
}

std::optional<Value> parseValue(Kind kind, std::string_view text)
{
    Value value;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (kind == Kind::text) {
        value.text = std::string(text);
        return value;
    }
    if (kind == Kind::integer) {
        long long n = 0;
        const auto [end, ec] = std::from_chars(first, last, n);
        if (text.empty() || ec != std::errc() || end != last || n < INT32_MIN || n > INT32_MAX)
            return std::nullopt;
        value.integer = static_cast<int32_t>(n);
        return value;
    }
    float f = 0;
    const auto [end, ec] = std::from_chars(first, last, f);
    if (text.empty() || ec != std::errc() || end != last || !std::isfinite(f))
        return std::nullopt;
    value.real = f;
    return value;
}

std::string formatValue(Kind kind, const Value& value)
{
    if (kind == Kind::integer)
        return std::to_string(value.integer);
    if (kind == Kind::text)
        return value.text;
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value.real);
    return ec == std::errc() ? std::string(buffer, end) : std::string("nan");
}

double numberOf(Kind kind, const Value& value)
{
    switch (kind) {
    case Kind::integer: return value.integer;
    case Kind::real: return value.real;
    case Kind::text: return std::strtod(value.text.c_str(), nullptr);
    }
    return 0;
}

std::map<int, Row>* tableOf(Crate& crate, Record record)
{
    switch (record) {
    case Record::crate: return nullptr;
    case Record::channel: return &crate.channels;
    case Record::sensor: return &crate.sensors;
    case Record::community: return &crate.communities;
    case Record::fan: return &crate.fans;
    }
    return nullptr;
}

Value* findValue(Crate& crate, Object object, int index)
{
    auto* table = tableOf(crate, objects[object].record);
    if (!table)
        return index == 0 ? &crate.scalars[object] : nullptr;
    const auto row = table->find(index);
    if (row == table->end())
        return nullptr;
    if (table == &crate.channels)
        settle(crate, index, row->second, modelTime);
    return &row->second[object];
}

// A row of a record with every one of its objects at its initial value.
Row newRow(Record record)
{
    Row row;
    for (const auto& initial : initialValues)
        if (objects[initial.object].record == record)
            row[initial.object] = parseValue(objects[initial.object].kind, initial.value).value_or(Value{});
    return row;
}

void addChannel(Crate& crate, int index, std::string name)
{
    Row row = newRow(Record::channel);
    row[outputName].text = std::move(name);
    rampOf(crate, index) = Ramp{row[outputMeasurementSenseVoltage].real, modelTime,
                                row[outputMeasurementSenseVoltage].real, moves};
    crate.channels[index] = std::move(row);
    crate.loads[index] = 100.0;
}

// The built-in crate: 8-channel modules in slots 0, 1 and 3, crate off,
// channels off at 0 V, eight sensors, six fans, the two communities.
Crate defaultCrate()
{
    Crate crate;
    crate.scalars = newRow(Record::crate);
    for (int slot : {0, 1, 3})
        for (int channel = 0; channel < 8; ++channel)
            addChannel(crate, 100 * slot + channel + 1, "U" + std::to_string(100 * slot + channel));
    for (int s = 1; s <= 8; ++s)
        crate.sensors[s] = newRow(Record::sensor);
    for (int f = 1; f <= 6; ++f)
        crate.fans[f] = newRow(Record::fan);
    const char* names[] = {"ovalis", "kite", "", ""};
    for (int c = 1; c <= 4; ++c) {
        crate.communities[c] = newRow(Record::community);
        crate.communities[c][snmpCommunityName].text = names[c - 1];
    }
    deriveValues(crate);
    return crate;
}

// Brings the model up to the present: the wall clock moves it while the model
// is live; a manual model moves only through "advance", a frozen one never.
void updateModel()
{
    const double wall = wallSeconds();
    const double dt = wall - lastWall;
    lastWall = wall;
    if (simulation.mode == Mode::live && dt > 0)
        moveModel(simulation.crate, dt);
    deriveValues(simulation.crate);
}

// Moves the model clock by `seconds` on top of whatever the wall clock did.
void advanceModel(double seconds)
{
    updateModel();
    if (simulation.mode != Mode::frozen)
        moveModel(simulation.crate, seconds);
    deriveValues(simulation.crate);
}

// The objects deriveValues computes and the status bits settle writes.
bool isDerived(Object object)
{
    return object == sysStatus || object == outputNumber || object == outputStatus || object == sensorNumber ||
           object == fanNumberOfFans;
}

// Recomputes the objects that follow from others: the crate's status and
// counts; the channels' status bits follow when a channel is looked at. A
// change of the main switch restarts every ramp at the present, each from
// where the old switch state had brought it (a trip on the way may switch
// the crate off again). Trips that reach beyond their channel are carried out.
void deriveValues(Crate& crate)
{
    if ((crate.scalars[sysMainSwitch].integer == 1) != crate.rampsCrateOn) {
        for (auto& [index, channel] : crate.channels)
            settle(crate, index, channel, modelTime);
        crate.rampsCrateOn = crate.scalars[sysMainSwitch].integer == 1;
    }
    superviseWide(crate);
    const bool crateOn = crate.scalars[sysMainSwitch].integer == 1;
    crate.scalars[sysStatus].integer = crateOn ? 1 : 0;
    crate.scalars[outputNumber].integer = static_cast<int32_t>(crate.channels.size());
    crate.scalars[sensorNumber].integer = static_cast<int32_t>(crate.sensors.size());
    crate.scalars[fanNumberOfFans].integer = static_cast<int32_t>(crate.fans.size());
}

// The SNMP error status with which a write of `value` (already of the
// object's kind) is refused, or SNMP_ERR_NOERROR.
int checkWrite(Crate& crate, Object object, int index, const Value& value)
{
    const ObjectInfo& info = objects[object];
    if (!info.writable)
        return SNMP_ERR_NOTWRITABLE;
    if (!findValue(crate, object, index))
        return SNMP_ERR_NOCREATION;
    switch (info.kind) {
    case Kind::integer:
        return info.bounded && (value.integer < info.low || value.integer > info.high) ? SNMP_ERR_BADVALUE
                                                                                       : SNMP_ERR_NOERROR;
    case Kind::text: {
        const long size = static_cast<long>(value.text.size());
        return info.bounded && (size < info.low || size > info.high) ? SNMP_ERR_WRONGLENGTH : SNMP_ERR_NOERROR;
    }
    case Kind::real:
        if (!std::isfinite(value.real) || value.real < 0)
            return SNMP_ERR_BADVALUE;
        if (info.limit != none && value.real > findValue(crate, info.limit, index)->real)
            return SNMP_ERR_BADVALUE;
        return SNMP_ERR_NOERROR;
    }
    return SNMP_ERR_GENERR;
}

// Stores a write that checkWrite accepted. A VME system reset is carried out
// (reported on standard error) rather than stored: the object reads 0.
void applyWrite(Crate& crate, Object object, int index, const Value& value)
{
    if (object == sysVmeSysReset) {
        if (value.integer == 1)
            std::fprintf(stderr, "crate-sim: VME system reset\n");
        return;
    }
    *findValue(crate, object, index) = value;
    noteWrite(crate, object, index);
}

// What a value stored into the model (by a set or a control command) brings
// about beyond itself: switching a channel on clears its latched failure
// bits, so that it trips again if the cause persists; a behaviour that can
// switch other channels off puts the channel among those supervised at every
// move. Derived values follow.
void noteWrite(Crate& crate, Object object, int index)
{
    if (object == outputSwitch && crate.channels.count(index) && crate.channels[index][outputSwitch].integer == 1)
        rampOf(crate, index).failures = 0;
    if (object == outputSupervisionBehavior && crate.channels.count(index)) {
        if (switchesOthers(crate.channels[index]))
            crate.wide.insert(index);
        else
            crate.wide.erase(index);
    }
    deriveValues(crate);
}

// Finds the channels supervised at every move anew, after a layout has set
// the behaviours.
void noteSupervision(Crate& crate)
{
    crate.wide.clear();
    for (const auto& [index, channel] : crate.channels)
        if (switchesOthers(channel))
            crate.wide.insert(index);
}

}  // namespace sim
