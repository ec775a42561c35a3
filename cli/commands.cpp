// commands.cpp: This file contains the kovo tool's commands: the status table
// (the crate-wide objects in one get, the channel columns in bulk), gets and
// sets of selections of rows, set-and-wait, switching, and the refreshed
// status table; and how they print values, as text with units for an
// operator, or as JSON or CSV for a script.
#include "commands.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include <fmt/format.h>

#include "crate_text.h"
#include "output.h"
#include "ramp.h"

#ifdef _WIN32
#include <io.h>
#define KOVO_ISATTY _isatty
#define KOVO_FILENO _fileno
#else
#include <unistd.h>
#define KOVO_ISATTY isatty
#define KOVO_FILENO fileno
#endif

namespace kovo_cli {
namespace {

// The unit of an object as the MIB gives it; "" for counts, codes and texts.
std::string unitOf(const std::string& object)
{
    const char* unit = kovoObjectUnits(kovoObject(object.c_str()));
    return unit != nullptr ? unit : "";
}

// The columns of the status table: object, heading, and whether it is text
// (left-aligned) rather than a number (right-aligned).
const struct {
    const char* object;
    const char* heading;
    bool left;
} statusColumns[] = {
    {"outputName", "name", true},
    {"outputSwitch", "switch", true},
    {"outputVoltage", "set", false},
    {"outputCurrent", "limit", false},
    {"outputMeasurementSenseVoltage", "sense", false},
    {"outputMeasurementCurrent", "current", false},
    {"outputMeasurementTemperature", "temp", false},
    {"outputStatus", "status", true},
};

using kovo_rows::shortest;
using kovo_rows::statusBits;

// A value as text: a Float by the shortest text of its single-precision
// number (what the crate holds), with the object's unit; a status by the
// labels of its bits.
std::string text(const kovoValue& value, const std::string& object)
{
    const std::string unit = unitOf(object);
    const std::string suffix = unit.empty() ? "" : " " + unit;
    if (kovo_rows::isStatus(object) && value.type == KOVO_INTEGER) {
        const std::vector<std::string> bits = statusBits(value.integer, false, object);
        return bits.empty() ? "-" : fmt::format("{}", fmt::join(bits, ", "));
    }
    switch (value.type) {
    case KOVO_INTEGER: return fmt::format("{}{}", value.integer, suffix);
    case KOVO_FLOAT: return fmt::format("{}{}", static_cast<float>(value.number), suffix);
    case KOVO_TEXT: return torvan_text::shown(std::string_view(value.text, value.length));
    default: return "-";
    }
}

// A value in a status table cell: measured and set values with three decimals.
std::string cell(const kovoValue& value, const std::string& object)
{
    if (object == "outputSwitch" && value.type == KOVO_INTEGER)
        return value.integer == 1 ? "on" : value.integer == 0 ? "off" : fmt::format("{}", value.integer);
    if (value.type == KOVO_FLOAT)
        return fmt::format("{:.3f} {}", value.number, unitOf(object));
    return text(value, object);
}

// A value as JSON: a Float as the shortest decimal of its single-precision number.
json toJson(const kovoValue& value)
{
    switch (value.type) {
    case KOVO_INTEGER: return value.integer;
    case KOVO_FLOAT: return shortest(value.number);
    case KOVO_TEXT: return std::string(value.text, value.length);
    default: return nullptr;
    }
}

// Adds an object's value to a JSON row, and a status' bits by name beside its number.
void addJson(json& row, const std::string& object, const kovoValue& value)
{
    row[object] = toJson(value);
    if (kovo_rows::isStatus(object))
        row[object + "Bits"] =
            value.type == KOVO_INTEGER ? json(statusBits(value.integer, true, object)) : json(nullptr);
}

// The CSV heading of an object's column (two for a status: its number and its bits' names).
std::string csvHeading(const std::string& object)
{
    return kovo_rows::isStatus(object) ? object + "," + object + "Bits" : object;
}

// An object's value as CSV field(s), to match csvHeading.
std::string csvCells(const std::string& object, const kovoValue& value)
{
    std::string field;
    switch (value.type) {
    case KOVO_INTEGER: field = fmt::format("{}", value.integer); break;
    case KOVO_FLOAT: field = fmt::format("{}", static_cast<float>(value.number)); break;
    case KOVO_TEXT: field = csvField(torvan_text::shown(std::string_view(value.text, value.length))); break;
    default: break;
    }
    if (kovo_rows::isStatus(object))
        field += "," + (value.type == KOVO_INTEGER
                            ? fmt::format("{}", fmt::join(statusBits(value.integer, true, object), " "))
                            : std::string());
    return field;
}

// Frees a list of values when it goes out of scope.
struct Values {
    std::vector<kovoValue> values;
    explicit Values(size_t n) : values(n, kovoValue{}) {}
    ~Values()
    {
        for (kovoValue& v : values)
            kovoFreeValue(&v);
    }
};

// Parses a value for an object of the given type; throws UsageError.
kovoValue parseValue(const std::string& text, int type, const std::string& object)
{
    kovoValue value{};
    value.type = type;
    const char* end = text.data() + text.size();
    if (type == KOVO_INTEGER) {
        auto [ptr, error] = std::from_chars(text.data(), end, value.integer);
        if (error != std::errc() || ptr != end || text.empty())
            throw UsageError{fmt::format("{} takes an integer, not \"{}\"", object, text)};
        value.number = static_cast<double>(value.integer);
    } else if (type == KOVO_FLOAT) {
        auto [ptr, error] = std::from_chars(text.data(), end, value.number);
        if (error != std::errc() || ptr != end || text.empty())
            throw UsageError{fmt::format("{} takes a number, not \"{}\"", object, text)};
    } else {
        value.text = const_cast<char*>(text.c_str());  // read only by the checks and the writes
        value.length = text.size();
    }
    return value;
}

// One status reading: the crate-wide objects and the status table's columns
// of every present channel, with the crate's address and the time stamp.
struct StatusReading {
    std::vector<int> scalars = kovo_rows::crateWideObjects();
    Values scalarValues{scalars.size()};
    std::vector<int> columns;
    kovo_rows::Table table;
    std::string host, stamp;
};

std::string statusJson(const StatusReading& reading)
{
    json document = json::object();
    if (!reading.stamp.empty())
        document["time"] = reading.stamp;
    document["crate"] = reading.host;
    document["scalars"] = json::object();
    document["channels"] = json::array();
    for (size_t i = 0; i < reading.scalars.size(); ++i)
        addJson(document["scalars"], kovoObjectName(reading.scalars[i]), reading.scalarValues.values[i]);
    for (int r = 0; r < reading.table.rows(); ++r) {
        json row = {{"channel", reading.table.channel(r)}};
        for (int column : reading.columns)
            addJson(row, kovoObjectName(column), *reading.table.value(r, column));
        document["channels"].push_back(row);
    }
    return dumped(document);
}

// The CSV rows, after the heading when `first`.
std::string statusCsv(const StatusReading& reading, bool first)
{
    const bool stamped = !reading.stamp.empty();
    std::string s;
    if (first) {
        s = stamped ? "time,crate,channel" : "crate,channel";
        for (int column : reading.columns)
            s += "," + csvHeading(kovoObjectName(column));
        s += "\n";
    }
    for (int r = 0; r < reading.table.rows(); ++r) {
        s += fmt::format("{}{},{}", stamped ? reading.stamp + "," : "", csvField(reading.host), reading.table.channel(r));
        for (int column : reading.columns)
            s += "," + csvCells(kovoObjectName(column), *reading.table.value(r, column));
        s += "\n";
    }
    return s;
}

// The crate-wide values, then the channels' table, each column as wide as its widest cell.
std::string statusText(const StatusReading& reading)
{
    const kovo_rows::Table& table = reading.table;
    std::string s = fmt::format("crate {}{}\n", reading.host, reading.stamp.empty() ? "" : " at " + reading.stamp);
    for (size_t i = 0; i < reading.scalars.size(); ++i) {
        const char* name = kovoObjectName(reading.scalars[i]);
        s += fmt::format("  {:<20} {}\n", name, text(reading.scalarValues.values[i], name));
    }
    const size_t columnCount = reading.columns.size();
    std::vector<std::vector<std::string>> cells(static_cast<size_t>(table.rows()));
    std::vector<size_t> widths;
    for (size_t c = 0; c < columnCount; ++c) {
        size_t width = std::string(statusColumns[c].heading).size();
        for (int r = 0; r < table.rows(); ++r) {
            auto& row = cells[static_cast<size_t>(r)];
            row.push_back(cell(*table.value(r, reading.columns[c]), statusColumns[c].object));
            width = std::max(width, row.back().size());
        }
        widths.push_back(width);
    }
    // The last column, when left-aligned, is not padded: no line ends in blanks.
    auto aligned = [&](size_t c, const std::string& text) {
        return statusColumns[c].left ? fmt::format("  {:<{}}", text, c + 1 < columnCount ? widths[c] : 0)
                                     : fmt::format("  {:>{}}", text, widths[c]);
    };
    s += fmt::format("\n{:>7}", "channel");
    for (size_t c = 0; c < columnCount; ++c)
        s += aligned(c, statusColumns[c].heading);
    s += "\n";
    for (int r = 0; r < table.rows(); ++r) {
        s += fmt::format("{:>7}", table.channel(r));
        for (size_t c = 0; c < columnCount; ++c)
            s += aligned(c, cells[static_cast<size_t>(r)][c]);
        s += "\n";
    }
    return s + fmt::format("{} channels\n", table.rows());
}

// One status reading as text, JSON or CSV (the CSV heading when `first`),
// stamped with the time when `stamped`; false (reported) on a failure.
bool readStatus(const Context& context, bool stamped, bool first, std::string* out)
{
    StatusReading reading;
    if (!kovoReadScalars(context.crate, reading.scalars.data(), static_cast<int>(reading.scalars.size()),
                         reading.scalarValues.values.data()))
        return false;
    for (const auto& column : statusColumns)
        reading.columns.push_back(objectNamed(column.object));
    if (!reading.table.read(context.crate, reading.columns))
        return false;
    reading.host = kovoHost(context.crate);
    reading.stamp = stamped ? timeStamp() : "";
    *out = context.format == Format::json  ? statusJson(reading)
           : context.format == Format::csv ? statusCsv(reading, first)
                                           : statusText(reading);
    return true;
}

// One row of a get or a set as printed: its label and index (none for the
// crate-wide objects) and its objects' values.
struct Printed {
    int index;
    std::vector<std::pair<std::string, const kovoValue*>> values;
    json extra = json::object();  // a set's outcome, for JSON
};

// Prints rows of values as text, JSON or CSV.
void print(const Context& context, const char* label, bool crateWide, const std::vector<std::string>& objects,
           const std::vector<Printed>& rows)
{
    const std::string host = kovoHost(context.crate);
    std::string s;
    if (context.format == Format::csv) {
        s = crateWide ? "crate" : fmt::format("crate,{}", label);
        for (const std::string& object : objects)
            s += "," + csvHeading(object);
        s += "\n";
    }
    json document = crateWide ? json::object() : json::array();
    for (const Printed& row : rows) {
        json entry = crateWide ? json::object() : json{{label, row.index}};
        std::string line = crateWide ? "" : fmt::format("{} {}", label, row.index);
        std::string csv = crateWide ? csvField(host) : fmt::format("{},{}", csvField(host), row.index);
        for (const auto& [object, value] : row.values) {
            addJson(entry, object, *value);
            line += fmt::format("{}{} {}", line.empty() ? "" : "  ", object, text(*value, object));
            csv += "," + csvCells(object, *value);
        }
        entry.update(row.extra);
        s += context.format == Format::csv ? csv + "\n" : line + "\n";
        if (crateWide)
            document = entry;
        else
            document.push_back(entry);
    }
    put(context.format == Format::json ? dumped(document) : s);
}

// A row's write as JSON: whether it was written, and when not, whether it
// was sent and why it was not written.
json writeOutcome(const kovo_rows::RowWrite& write)
{
    if (write.written)
        return {{"written", true}};
    return {{"written", false}, {"sent", write.sent != 0}, {"reason", kovo_rows::reasonOf(write.outcome, true)}};
}

// Says on standard error which rows of a write were not written and why:
// one line for each run of rows that failed alike. The rows of a request the
// crate did not answer are not confirmed: the crate may have written them.
void reportUnwritten(const Context& context, const kovo_rows::Writes& writes)
{
    auto alike = [](const kovoOutcome& a, const kovoOutcome& b) {
        return std::string(a.object) == b.object && std::string(a.reason) == b.reason;
    };
    for (size_t i = 0; i < writes.rows.size();) {
        if (writes.rows[i].written) {
            ++i;
            continue;
        }
        const kovoOutcome& outcome = writes.rows[i].outcome;
        std::vector<int> rows;
        size_t j = i;
        for (; j < writes.rows.size() && !writes.rows[j].written && alike(writes.rows[j].outcome, outcome); ++j)
            rows.push_back(writes.rows[j].row);
        const std::string object = kovo_rows::describedObject(outcome.object);
        const std::string name = kovoObjectName(writes.object);
        const bool unanswered = writes.rows[i].sent && outcome.kind == KOVO_TIMEOUT;
        fmt::print(stderr, "kovo: {}: {}{}{}\n", kovoHost(context.crate), object.empty() ? "" : object + ": ",
                   kovo_rows::reasonOf(outcome, true),
                   kovoObjectRows(writes.object) == 0
                       ? ""
                       : fmt::format("; {}: {}{} {}", unanswered ? "not confirmed" : "not written",
                                     kovo_rows::rowLabel(name), rows.size() == 1 ? "" : "s",
                                     kovo_rows::channelList(rows)));
        i = j;
    }
}

}  // namespace

std::vector<int> parseRows(const std::string& text, int rows)
{
    if (text == "crate") {
        if (rows != 0)
            throw UsageError{"\"crate\" names the crate-wide objects; this object needs rows such as 0-7,12"};
        return {0};
    }
    if (rows == 0)
        throw UsageError{fmt::format("a crate-wide object takes \"crate\", not \"{}\"", text)};
    std::vector<int> list;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        const size_t dash = item.find('-', 1);
        int first = -1, last = -1;
        auto number = [&](const std::string& s, int* n) {
            auto [ptr, error] = std::from_chars(s.data(), s.data() + s.size(), *n);
            return error == std::errc() && ptr == s.data() + s.size() && !s.empty();
        };
        const bool ok = dash == std::string::npos ? number(item, &first) && (last = first, true)
                                                  : number(item.substr(0, dash), &first) &&
                                                        number(item.substr(dash + 1), &last);
        if (!ok || first > last)
            throw UsageError{fmt::format("\"{}\" is no row or range of rows (such as 0-7,12)", item)};
        if (first < 0 || last >= rows)
            throw UsageError{fmt::format("row {} is outside 0 to {}", first < 0 ? first : last, rows - 1)};
        for (int r = first; r <= last; ++r)
            if (std::find(list.begin(), list.end(), r) == list.end())
                list.push_back(r);
        at = comma + 1;
    }
    return list;
}

int objectNamed(const std::string& name)
{
    const int object = kovoObject(name.c_str());
    if (object < 0)
        throw UsageError{fmt::format("no object \"{}\"; see kovo HOST get --help", name)};
    return object;
}

int report(const Context& context, const kovoOutcome& outcome, bool write)
{
    const std::string object = kovo_rows::describedObject(outcome.object);
    fmt::print(stderr, "kovo: {}: {}: {}\n", kovoHost(context.crate), object.empty() ? "-" : object,
               kovo_rows::reasonOf(outcome, write));
    return exitFailed;
}

int failed(const Context& context, bool write)
{
    return report(context, *kovoLastOutcome(context.crate), write);
}

bool choose(const Context& context, const std::string& text, const std::vector<int>& columns, Chosen* chosen)
{
    try {
        const kovo_rows::Selection selection = kovo_rows::parseSelection(text);
        chosen->read = kovo_rows::needsTable(selection);
        if (chosen->read) {
            std::vector<int> read = columns;
            if (selection.states != 0)
                for (int column : kovo_rows::stateColumns())
                    if (std::find(read.begin(), read.end(), column) == read.end())
                        read.push_back(column);
            if (read.empty())
                read = {objectNamed("outputSwitch")};
            if (!chosen->table.read(context.crate, read))
                return failed(context), false;
        }
        const kovo_rows::Resolved resolved = kovo_rows::resolve(selection, chosen->read ? &chosen->table : nullptr);
        chosen->channels = resolved.channels;
        if (context.verbose && !resolved.skipped.empty())
            fmt::print(stderr, "kovo: not in the crate, skipped: {} {}\n",
                       resolved.skipped.size() == 1 ? "channel" : "channels", kovo_rows::channelList(resolved.skipped));
        return true;
    } catch (const kovo_rows::SelectionError& e) {
        throw UsageError{e.message};
    }
}

int status(const Context& context)
{
    std::string out;
    if (!readStatus(context, false, true, &out))
        return failed(context);
    put(out);
    return 0;
}

int get(const Context& context, const std::string& rowsText, const std::vector<std::string>& objectNames)
{
    std::vector<int> objects;
    for (const std::string& name : objectNames) {
        objects.push_back(objectNamed(name));
        if (kovoObjectRows(objects.back()) != kovoObjectRows(objects.front()) ||
            std::string(kovo_rows::rowLabel(name)) != kovo_rows::rowLabel(objectNames.front()))
            throw UsageError{fmt::format("{} and {} lie in different tables: get them apart", objectNames.front(), name)};
    }
    const int tableRows = kovoObjectRows(objects.front());
    const bool crateWide = tableRows == 0;
    std::vector<Printed> printed;

    // Crate-wide objects in one get; channels named one by one, and the rows
    // of the other tables, by one get per value; other selections from the table.
    Chosen chosen;
    std::vector<int> rows;
    if (crateWide)
        rows = parseRows(rowsText, 0);
    else if (tableRows == kovo_rows::channelRows) {
        if (!choose(context, rowsText, objects, &chosen))
            return exitFailed;
        rows = chosen.channels;
    } else
        rows = parseRows(rowsText, tableRows);

    Values values(crateWide || chosen.read ? 0 : rows.size() * objects.size());
    Values scalars(crateWide ? objects.size() : 0);
    if (crateWide && !kovoReadScalars(context.crate, objects.data(), static_cast<int>(objects.size()),
                                      scalars.values.data()))
        return failed(context);
    for (size_t r = 0; r < values.values.size() / std::max<size_t>(objects.size(), 1); ++r)
        for (size_t o = 0; o < objects.size(); ++o)
            if (!kovoGet(context.crate, objects[o], rows[r], &values.values[r * objects.size() + o]))
                return failed(context);
    for (size_t r = 0; r < rows.size(); ++r) {
        Printed row{rows[r], {}};
        for (size_t o = 0; o < objects.size(); ++o) {
            const kovoValue* value = crateWide     ? &scalars.values[o]
                                     : chosen.read ? chosen.table.value(chosen.table.rowOf(rows[r]), objects[o])
                                                   : &values.values[r * objects.size() + o];
            row.values.emplace_back(objectNames[o], value);
        }
        printed.push_back(row);
    }
    print(context, kovo_rows::rowLabel(objectNames.front()), crateWide, objectNames, printed);
    return 0;
}

namespace {

// Set and wait: the ramp, then one row per channel with its set voltage and
// its last sense voltage, and on standard error what ended it if it did not
// reach its target.
int setAndWait(const Context& context, const std::vector<int>& channels, double voltage, const WaitOptions& wait)
{
    kovo_rows::RampOptions options;
    options.tolerance = wait.tolerance;
    options.timeout = wait.timeout;
    options.step = wait.step;
    if (context.verbose)
        options.progress = [&](const std::string& line) { fmt::print(stderr, "kovo: {}\n", line); };
    const kovo_rows::RampResult result = kovo_rows::ramp(context.crate, channels, voltage, options);
    if (result.writes.rows.empty()) {  // nothing written
        if (result.end == kovo_rows::RampEnd::readFailed)
            return report(context, result.outcome, false);
        if (result.writes.refused)
            return report(context, result.writes.refusal, false);
        fmt::print(stderr, "kovo: {}: {}\n", kovoHost(context.crate), result.message);
        return exitFailed;
    }
    std::vector<Printed> printed;
    std::vector<kovoValue> senses(result.readings.size(), kovoValue{});
    for (size_t i = 0; i < result.readings.size(); ++i) {
        const kovo_rows::RowWrite& write = result.writes.rows[i];
        if (!write.written && context.format != Format::json)
            continue;
        Printed row{write.row, {}};
        if (write.written)
            row.values.emplace_back("outputVoltage", &write.echo);
        senses[i].type = std::isnan(result.readings[i].sense) ? KOVO_NONE : KOVO_FLOAT;
        senses[i].number = result.readings[i].sense;
        row.values.emplace_back("outputMeasurementSenseVoltage", &senses[i]);
        row.extra = writeOutcome(write);
        row.extra["reached"] = result.end == kovo_rows::RampEnd::reached;
        printed.push_back(row);
    }
    print(context, "channel", false, {}, printed);
    reportUnwritten(context, result.writes);
    if (result.end == kovo_rows::RampEnd::reached) {
        if (context.verbose)
            fmt::print(stderr, "kovo: {} {} within {} V of {} V after {:.1f} s\n",
                       channels.size() == 1 ? "channel" : "channels", kovo_rows::channelList(channels),
                       wait.tolerance, static_cast<float>(voltage), result.seconds);
        return 0;
    }
    if (result.end == kovo_rows::RampEnd::readFailed)
        return report(context, result.outcome, false);
    if (!result.message.empty())
        fmt::print(stderr, "kovo: {}: {}\n", kovoHost(context.crate), result.message);
    return exitFailed;
}

}  // namespace

int set(const Context& context, const std::string& rowsText, const std::string& objectName,
        const std::string& valueText, const WaitOptions& wait)
{
    if (context.format == Format::csv)
        throw UsageError{"--csv is for what is read (status, get, watch); a set prints its rows as text or --json"};
    const int object = objectNamed(objectName);
    const int tableRows = kovoObjectRows(object);
    const kovoValue value = parseValue(valueText, kovoObjectType(object), objectName);
    if (wait.wait && objectName != "outputVoltage")
        throw UsageError{"--wait waits for the sense voltage: it goes with outputVoltage only"};
    std::vector<int> rows;
    if (tableRows == kovo_rows::channelRows) {
        Chosen chosen;
        if (!choose(context, rowsText, {}, &chosen))
            return exitFailed;
        rows = chosen.channels;
        if (rows.empty()) {
            fmt::print(stderr, "kovo: no channel of \"{}\" is in the crate: nothing written\n", rowsText);
            return 0;
        }
    } else
        rows = parseRows(rowsText, tableRows);
    if (wait.wait)
        return setAndWait(context, rows, value.number, wait);

    const kovo_rows::Writes writes =
        kovo_rows::writeRows(context.crate, object, rows, std::vector<kovoValue>(rows.size(), value));
    if (writes.refused)
        return report(context, writes.refusal, false);
    // Text names the rows written; JSON every row with its outcome.
    std::vector<Printed> printed;
    for (const kovo_rows::RowWrite& write : writes.rows) {
        Printed row{write.row, {}};
        if (write.written)
            row.values.emplace_back(objectName, &write.echo);
        row.extra = writeOutcome(write);
        if (write.written || context.format == Format::json)
            printed.push_back(row);
    }
    print(context, kovo_rows::rowLabel(objectName), tableRows == 0, {objectName}, printed);
    reportUnwritten(context, writes);
    return writes.allWritten() ? 0 : exitFailed;
}

int switchOnOff(const Context& context, const std::string& rows, const std::string& state)
{
    if (state != "on" && state != "off")
        throw UsageError{fmt::format("switch takes on or off, not \"{}\"", state)};
    const bool channels = rows != "crate";
    long mainSwitch = 1;
    if (channels && state == "on") {
        const int object = objectNamed("sysMainSwitch");
        kovoValue value{};
        if (!kovoReadScalars(context.crate, &object, 1, &value))
            return failed(context);
        mainSwitch = value.type == KOVO_INTEGER ? value.integer : 1;
    }
    const int result = set(context, rows, channels ? "outputSwitch" : "sysMainSwitch", state == "on" ? "1" : "0", {});
    if (mainSwitch != 1)
        fmt::print(stderr, "kovo: {}: the crate's main switch is off: nothing will ramp until the crate is switched "
                           "on (kovo {} switch crate on)\n",
                   kovoHost(context.crate), kovoHost(context.crate));
    return result;
}

int watch(const Context& context, double interval, int count)
{
    const bool terminal = context.format == Format::text && KOVO_ISATTY(KOVO_FILENO(stdout));
    for (int shown = 0; count <= 0 || shown < count; ++shown) {
        if (shown > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(interval));
        std::string out;
        if (!readStatus(context, true, shown == 0, &out))
            return failed(context);
        // A terminal shows the latest table in place; a pipe or file gets each in turn.
        put(fmt::format("{}{}", terminal ? "\x1b[H\x1b[2J" : shown > 0 && context.format == Format::text ? "\n" : "", out));
        flush();
    }
    return 0;
}

}  // namespace kovo_cli
