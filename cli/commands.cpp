// commands.cpp: This file contains the kovo tool's commands: the status table
// (the crate-wide objects in one get, the channel columns in bulk), gets and
// sets of row lists, switching, and the refreshed status table; and how they
// print values, as text with units for an operator or as JSON for a script.
#include "commands.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "crate_text.h"
#include "output_status.h"

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

using json = nlohmann::ordered_json;

// The unit of an object as the MIB gives it; "" for counts, codes and texts.
std::string unitOf(const std::string& object)
{
    const char* unit = kovoObjectUnits(kovoObject(object.c_str()));
    return unit != nullptr ? unit : "";
}

// The columns of the status table: name, heading, and its width as text.
const struct {
    const char* object;
    const char* heading;
} statusColumns[] = {
    {"outputName", "name"},
    {"outputSwitch", "switch"},
    {"outputVoltage", "set"},
    {"outputCurrent", "limit"},
    {"outputMeasurementSenseVoltage", "sense"},
    {"outputMeasurementCurrent", "current"},
    {"outputMeasurementTemperature", "temp"},
    {"outputStatus", "status"},
};

// The status bits that are set, by their labels or their names.
std::vector<std::string> statusBits(long status, bool names)
{
    std::vector<std::string> bits;
#define KOVO_CLI_STATUS_BIT(bit, name, label) \
    if (status & (1L << (bit)))              \
        bits.push_back(names ? #name : label);
    TORVAN_OUTPUT_STATUS_BITS(KOVO_CLI_STATUS_BIT)
#undef KOVO_CLI_STATUS_BIT
    return bits;
}

// A value as text: a Float by the shortest text of its single-precision
// number (what the crate holds), with the object's unit.
std::string text(const kovoValue& value, const std::string& object)
{
    const std::string unit = unitOf(object);
    const std::string suffix = unit.empty() ? "" : " " + unit;
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
    if (object == "outputStatus" && value.type == KOVO_INTEGER) {
        const std::vector<std::string> bits = statusBits(value.integer, false);
        return bits.empty() ? "-" : fmt::format("{}", fmt::join(bits, ", "));
    }
    if (value.type == KOVO_FLOAT)
        return fmt::format("{:.3f} {}", value.number, unitOf(object));
    return text(value, object);
}

// A document as one line of JSON. JSON text is UTF-8: a crate's byte that is
// no UTF-8 becomes U+FFFD rather than ending the program with an exception.
std::string dumped(const json& document)
{
    return document.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// A value as JSON: a Float as the double the crate's single-precision number is.
json toJson(const kovoValue& value)
{
    switch (value.type) {
    case KOVO_INTEGER: return value.integer;
    case KOVO_FLOAT: return value.number;
    case KOVO_TEXT: return std::string(value.text, value.length);
    default: return nullptr;
    }
}

// Reports the session's last failure: host, object (with the channel it
// stands for) and reason, on standard error.
int failed(const Context& context)
{
    const kovoOutcome* outcome = kovoLastOutcome(context.crate);
    std::string object = outcome->object;
    const size_t dot = object.find('.');
    const int id = kovoObject(object.substr(0, dot).c_str());
    if (dot != std::string::npos && kovoObjectRows(id) > 0) {
        const long index = std::strtol(object.c_str() + dot + 1, nullptr, 10);
        object += fmt::format(" ({} {})", kovoObjectRows(id) == 1000 ? "channel" : "row", index - 1);
    }
    fmt::print(stderr, "kovo: {}: {}: {}\n", kovoHost(context.crate), object.empty() ? "-" : object,
               outcome->reason);
    return exitFailed;
}

// What a row stands for, by the object's table.
std::string rowLabel(const std::string& object)
{
    if (object.rfind("sensor", 0) == 0)
        return "sensor";
    if (object.rfind("fan", 0) == 0)
        return "fan";
    if (object.rfind("snmpCommunity", 0) == 0)
        return "community";
    return "channel";
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
struct Table {
    kovoTable* table;
    ~Table() { kovoFreeTable(table); }
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
        value.text = const_cast<char*>(text.c_str());  // read only by kovoCheckSet and kovoSet
        value.length = text.size();
    }
    return value;
}

// The scalar objects, in catalogue order.
std::vector<int> crateWideObjects()
{
    std::vector<int> objects;
    for (int i = 0; i < kovoObjectCount(); ++i)
        if (kovoObjectRows(i) == 0)
            objects.push_back(i);
    return objects;
}

// One status reading: its text or JSON; false (reported) on a failure.
bool readStatus(const Context& context, std::string* out)
{
    const std::vector<int> scalars = crateWideObjects();
    Values scalarValues(scalars.size());
    if (!kovoReadScalars(context.crate, scalars.data(), static_cast<int>(scalars.size()), scalarValues.values.data()))
        return false;
    std::vector<int> columns;
    for (const auto& column : statusColumns)
        columns.push_back(objectNamed(column.object));
    Table table{kovoReadColumns(context.crate, columns.data(), static_cast<int>(columns.size()))};
    if (table.table == nullptr)
        return false;
    const kovoTable& t = *table.table;

    if (context.json) {
        json document = {{"crate", kovoHost(context.crate)}, {"scalars", json::object()}, {"channels", json::array()}};
        for (size_t i = 0; i < scalars.size(); ++i)
            document["scalars"][kovoObjectName(scalars[i])] = toJson(scalarValues.values[i]);
        for (int r = 0; r < t.rows; ++r) {
            json row = {{"channel", t.channels[r]}};
            for (int c = 0; c < t.columns; ++c) {
                const kovoValue& v = t.values[r * t.columns + c];
                row[statusColumns[c].object] = toJson(v);
                if (std::string(statusColumns[c].object) == "outputStatus" && v.type == KOVO_INTEGER)
                    row["outputStatusBits"] = statusBits(v.integer, true);
            }
            document["channels"].push_back(row);
        }
        *out = dumped(document);
        return true;
    }
    std::string s = fmt::format("crate {}\n", kovoHost(context.crate));
    for (size_t i = 0; i < scalars.size(); ++i)
        s += fmt::format("  {:<20} {}\n", kovoObjectName(scalars[i]), text(scalarValues.values[i], kovoObjectName(scalars[i])));
    s += fmt::format("\n{:>7}", "channel");
    std::vector<std::vector<std::string>> cells(static_cast<size_t>(t.rows));
    std::vector<size_t> widths;
    for (int c = 0; c < t.columns; ++c) {
        size_t width = std::string(statusColumns[c].heading).size();
        for (int r = 0; r < t.rows; ++r) {
            cells[static_cast<size_t>(r)].push_back(cell(t.values[r * t.columns + c], statusColumns[c].object));
            width = std::max(width, cells[static_cast<size_t>(r)].back().size());
        }
        widths.push_back(width);
    }
    // Texts and the status bits are left-aligned, numbers right-aligned.
    auto left = [](int c) { return c == 0 || c == 1 || c == 7; };
    for (int c = 0; c < t.columns; ++c)
        s += left(c) ? fmt::format("  {:<{}}", statusColumns[c].heading, c + 1 < t.columns ? widths[static_cast<size_t>(c)] : 0)
                     : fmt::format("  {:>{}}", statusColumns[c].heading, widths[static_cast<size_t>(c)]);
    s += "\n";
    for (int r = 0; r < t.rows; ++r) {
        s += fmt::format("{:>7}", t.channels[r]);
        for (int c = 0; c < t.columns; ++c) {
            const std::string& v = cells[static_cast<size_t>(r)][static_cast<size_t>(c)];
            s += left(c) ? fmt::format("  {:<{}}", v, c + 1 < t.columns ? widths[static_cast<size_t>(c)] : 0)
                         : fmt::format("  {:>{}}", v, widths[static_cast<size_t>(c)]);
        }
        s += "\n";
    }
    s += fmt::format("{} channels\n", t.rows);
    *out = s;
    return true;
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

int status(const Context& context)
{
    std::string out;
    if (!readStatus(context, &out))
        return failed(context);
    fmt::print("{}", out);
    return 0;
}

int get(const Context& context, const std::string& rowsText, const std::vector<std::string>& objectNames)
{
    std::vector<int> objects;
    for (const std::string& name : objectNames) {
        objects.push_back(objectNamed(name));
        if (kovoObjectRows(objects.back()) != kovoObjectRows(objects.front()) ||
            rowLabel(name) != rowLabel(objectNames.front()))
            throw UsageError{fmt::format("{} and {} lie in different tables: get them apart", objectNames.front(), name)};
    }
    const std::vector<int> rows = parseRows(rowsText, kovoObjectRows(objects.front()));
    const bool crateWide = kovoObjectRows(objects.front()) == 0;
    Values values(rows.size() * objects.size());
    for (size_t r = 0; r < rows.size(); ++r)
        for (size_t o = 0; o < objects.size(); ++o)
            if (!kovoGet(context.crate, objects[o], rows[r], &values.values[r * objects.size() + o]))
                return failed(context);

    const std::string label = rowLabel(objectNames.front());
    json document = crateWide ? json::object() : json::array();
    std::string s;
    for (size_t r = 0; r < rows.size(); ++r) {
        json row = crateWide ? json::object() : json{{label, rows[r]}};
        std::string line = crateWide ? "" : fmt::format("{} {}", label, rows[r]);
        for (size_t o = 0; o < objects.size(); ++o) {
            const kovoValue& v = values.values[r * objects.size() + o];
            row[objectNames[o]] = toJson(v);
            line += fmt::format("{}{} {}", line.empty() ? "" : "  ", objectNames[o], text(v, objectNames[o]));
        }
        s += line + "\n";
        if (crateWide)
            document = row;
        else
            document.push_back(row);
    }
    fmt::print("{}", context.json ? dumped(document) : s);
    return 0;
}

int set(const Context& context, const std::string& rowsText, const std::string& objectName, const std::string& valueText)
{
    const int object = objectNamed(objectName);
    const std::vector<int> rows = parseRows(rowsText, kovoObjectRows(object));
    const kovoValue value = parseValue(valueText, kovoObjectType(object), objectName);
    // Every row is checked before any is written: a refusal leaves nothing half-written.
    for (int row : rows)
        if (!kovoCheckSet(context.crate, object, row, &value))
            return failed(context);
    const bool crateWide = kovoObjectRows(object) == 0;
    const std::string label = rowLabel(objectName);
    json document = crateWide ? json::object() : json::array();
    for (int row : rows) {
        kovoValue echo{};
        if (!kovoSet(context.crate, object, row, &value, &echo))
            return failed(context);
        json entry = crateWide ? json::object() : json{{label, row}};
        entry[objectName] = toJson(echo);
        if (!context.json)
            fmt::print("{}{} {}\n", crateWide ? "" : fmt::format("{} {}  ", label, row), objectName, text(echo, objectName));
        kovoFreeValue(&echo);
        if (crateWide)
            document = entry;
        else
            document.push_back(entry);
    }
    if (context.json)
        fmt::print("{}", dumped(document));
    return 0;
}

int switchOnOff(const Context& context, const std::string& rows, const std::string& state)
{
    if (state != "on" && state != "off")
        throw UsageError{fmt::format("switch takes on or off, not \"{}\"", state)};
    const std::string value = state == "on" ? "1" : "0";
    return set(context, rows, rows == "crate" ? "sysMainSwitch" : "outputSwitch", value);
}

int watch(const Context& context, double interval, int count)
{
    const bool terminal = !context.json && KOVO_ISATTY(KOVO_FILENO(stdout));
    for (int shown = 0; count <= 0 || shown < count; ++shown) {
        if (shown > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(interval));
        std::string out;
        if (!readStatus(context, &out))
            return failed(context);
        // A terminal shows the latest table in place; a pipe or file gets each in turn.
        fmt::print("{}{}", terminal ? "\x1b[H\x1b[2J" : shown > 0 && !context.json ? "\n" : "", out);
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace kovo_cli
