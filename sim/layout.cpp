// layout.cpp: This file contains the reading of a layout file: a TOML
// description of the crate (its modules, channels, sensors, fans and
// communities with their values), the model mode, the answer delay and the
// faults to inject from the start.
#include "sim.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <toml++/toml.h>

namespace sim {

namespace {

// A fault in the layout, at a line of the file.
struct LayoutError : std::runtime_error {
    std::size_t line;
    LayoutError(const toml::node& node, const std::string& message)
        : std::runtime_error(message), line(node.source().begin.line) {}
};

int readInteger(const toml::node& node, const std::string& key, long low, long high)
{
    // Only an integer is converted: toml++ converts a float beyond int64's range with undefined behaviour.
    const auto value = node.is_integer() ? node.value<int64_t>() : std::nullopt;
    if (!value || *value < low || *value > high)
        throw LayoutError(node, "\"" + key + "\" must be a whole number from " + std::to_string(low) + " to " +
                                    std::to_string(high));
    return static_cast<int>(*value);
}

double readNumber(const toml::node& node, const std::string& key)
{
    if (!node.is_number())
        throw LayoutError(node, "\"" + key + "\" must be a number");
    return *node.value<double>();
}

std::string readText(const toml::node& node, const std::string& key)
{
    if (!node.is_string())
        throw LayoutError(node, "\"" + key + "\" must be a text in double quotes");
    return *node.value<std::string>();
}

// Sets one object of a row from a layout key named after the object.
void storeValue(Row& row, Object object, const toml::node& node)
{
    const std::string key = objects[object].name;
    switch (objects[object].kind) {
    case Kind::integer:
        row[object].integer = readInteger(node, key, INT32_MIN, INT32_MAX);
        break;
    case Kind::real: {
        const double value = readNumber(node, key);
        if (!std::isfinite(static_cast<float>(value)))
            throw LayoutError(node, "\"" + key + "\" is out of the range of a single-precision number");
        row[object].real = static_cast<float>(value);
        break;
    }
    case Kind::text:
        row[object].text = readText(node, key);
        break;
    }
}

// A channel's hardware as the layout gives it beside its objects: the load
// on its output and its module's temperature limit.
struct Hardware {
    double* load;
    int* maxTemperature;
};

// Applies the object keys of one entry to a row; `extra` lists the keys that
// the entry itself understands, which are skipped here.
void storeValues(Row& row, Record record, const toml::table& entry, std::initializer_list<std::string_view> extra,
                 const std::string& section, const Hardware* hardware = nullptr)
{
    for (auto&& [key, node] : entry) {
        if (std::find(extra.begin(), extra.end(), key.str()) != extra.end())
            continue;
        if (hardware && key.str() == "load") {
            *hardware->load = readNumber(node, "load");
            if (!std::isfinite(*hardware->load) || *hardware->load < 0)     // NaN would make every current NaN
                throw LayoutError(node, "\"load\" must be a finite number, not negative");
            continue;
        }
        if (hardware && key.str() == "maxTemperature") {
            *hardware->maxTemperature = readInteger(node, "maxTemperature", -128, 127);
            continue;
        }
        const Object object = objectNamed(key.str());
        if (object == none || objects[object].record != record || isDerived(object))
            throw LayoutError(node, "unknown key \"" + std::string(key.str()) + "\" in " + section);
    }
    for (auto&& [key, node] : entry) {
        const Object object = objectNamed(key.str());
        if (object != none && objects[object].record == record)
            storeValue(row, object, node);
    }
}

const toml::table& readTable(const toml::node& node, const std::string& section)
{
    if (!node.is_table())
        throw LayoutError(node, section + " must be a table");
    return *node.as_table();
}

const toml::array& readEntries(const toml::node& node, const std::string& section)
{
    if (!node.is_array_of_tables())
        throw LayoutError(node, section + " must be written as [[" + section + "]] entries");
    return *node.as_array();
}

const toml::node& required(const toml::table& entry, const char* key, const std::string& section)
{
    const toml::node* node = entry.get(key);
    if (!node)
        throw LayoutError(entry, section + " needs \"" + key + "\"");
    return *node;
}

int& maxTemperatureEntry(Crate& crate, int index)
{
    return crate.maxTemperatures.try_emplace(index, defaultMaxTemperature).first->second;
}

// [[slot]]: a module's channels, replacing whatever the slot held before.
void readSlot(Crate& crate, const toml::table& entry)
{
    const int slot = readInteger(required(entry, "slot", "[[slot]]"), "slot", 0, 9);
    const toml::array* names = entry.get_as<toml::array>("names");
    int count = names ? static_cast<int>(names->size()) : 0;
    if (const toml::node* channels = entry.get("channels"))
        count = readInteger(*channels, "channels", 0, 100);
    else if (!names)
        throw LayoutError(entry, "[[slot]] needs \"channels\" or \"names\"");
    if (names && static_cast<int>(names->size()) != count)
        throw LayoutError(*names, "\"names\" must name each of the slot's " + std::to_string(count) + " channels");
    std::erase_if(crate.channels, [&](const auto& c) { return (c.first - 1) / 100 == slot; });
    std::erase_if(crate.loads, [&](const auto& c) { return (c.first - 1) / 100 == slot; });
    std::erase_if(crate.maxTemperatures, [&](const auto& c) { return (c.first - 1) / 100 == slot; });
    for (int channel = 0; channel < count; ++channel) {
        const int index = 100 * slot + channel + 1;
        addChannel(crate, index, names ? readText((*names)[channel], "names") : "U" + std::to_string(index - 1));
        Row& row = crate.channels[index];
        const std::string name = row[outputName].text;
        const Hardware hardware{&crate.loads[index], &maxTemperatureEntry(crate, index)};
        storeValues(row, Record::channel, entry, {"slot", "channels", "names"}, "[[slot]]", &hardware);
        if (names)
            row[outputName].text = name;
    }
}

// [[channel]]: one channel by its MIB index or by slot and channel, added or
// changed.
void readChannel(Crate& crate, const toml::table& entry)
{
    int index = 0;
    if (const toml::node* node = entry.get("index"))
        index = readInteger(*node, "index", 1, 1000);
    else if (entry.get("slot") && entry.get("channel"))
        index = 100 * readInteger(*entry.get("slot"), "slot", 0, 9) +
                readInteger(*entry.get("channel"), "channel", 0, 99) + 1;
    else
        throw LayoutError(entry, "[[channel]] needs \"index\", or \"slot\" and \"channel\"");
    if (entry.get("index") && (entry.get("slot") || entry.get("channel")))
        throw LayoutError(entry, "[[channel]] takes \"index\" or \"slot\" and \"channel\", not both");
    if (!crate.channels.count(index))
        addChannel(crate, index, "U" + std::to_string(index - 1));
    const Hardware hardware{&crate.loads[index], &maxTemperatureEntry(crate, index)};
    storeValues(crate.channels[index], Record::channel, entry, {"index", "slot", "channel"}, "[[channel]]",
                &hardware);
}

// [[sensor]], [[fan]], [[community]]: one row by its index, added or changed.
void readRow(Crate& crate, Record record, const toml::table& entry, const std::string& section, int highest)
{
    const int index = readInteger(required(entry, "index", section), "index", 1, highest);
    auto& table = *tableOf(crate, record);
    if (!table.count(index))
        table[index] = newRow(record);
    storeValues(table[index], record, entry, {"index"}, section);
}

// [[community]]: a row of the community table. Its name becomes an access rule
// of the agent's configuration, so it must be a single word of printable
// characters that fits the table: a NUL would cut the rule's name short, a
// newline would start another configuration line.
void readCommunity(Crate& crate, const toml::table& entry)
{
    readRow(crate, Record::community, entry, "[[community]]", 4);
    const int index = readInteger(*entry.get("index"), "index", 1, 4);
    const std::string& name = crate.communities[index][snmpCommunityName].text;
    const bool word = std::none_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || std::strchr("\"'#\\", c) != nullptr;
    });
    if (name.size() <= 14 && word)
        return;
    const toml::node* node = entry.get("snmpCommunityName");
    const std::string quoted = nlohmann::json(name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    throw LayoutError(node ? *node : entry,
                      "community name " + quoted + " must be one word of at most 14 printable characters");
}

// [[fault]]: target, on, and one of error, type (with an optional value),
// exception, value, drop or about; turned into the words of the control command.
void readFault(const toml::table& entry)
{
    std::vector<std::string> words{readText(required(entry, "target", "[[fault]]"), "target")};
    if (const toml::node* on = entry.get("on"))
        words.push_back(readText(*on, "on"));
    auto valueText = [](const toml::node& node) {
        if (node.is_string())
            return *node.value<std::string>();
        if (node.is_integer())
            return std::to_string(*node.value<int64_t>());
        if (node.is_floating_point()) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%.17g", *node.value<double>());
            return std::string(buffer);
        }
        throw LayoutError(node, "\"value\" must be a number or a text");
    };
    int kinds = 0;
    for (auto&& [key, node] : entry) {
        const std::string_view k = key.str();
        if (k == "target" || k == "on")
            continue;
        if (k == "error" || k == "type" || k == "about") {
            words.push_back(std::string(k));
            words.push_back(readText(node, std::string(k)));
            ++kinds;
        } else if (k == "exception") {
            words.push_back(readText(node, "exception"));
            ++kinds;
        } else if (k == "drop") {
            if (!node.is_boolean() || !*node.value<bool>())
                throw LayoutError(node, "\"drop\" must be true");
            words.push_back("drop");
            ++kinds;
        } else if (k != "value") {
            throw LayoutError(node, "unknown key \"" + std::string(k) + "\" in [[fault]]");
        }
    }
    if (const toml::node* value = entry.get("value")) {
        if (!entry.get("type")) {
            words.push_back("value");
            ++kinds;
        }
        words.push_back(valueText(*value));
    }
    if (kinds != 1)
        throw LayoutError(entry, "[[fault]] needs exactly one of \"error\", \"type\", \"exception\", \"value\", "
                                 "\"drop\", \"about\"");
    if (simulation.faults.size() >= maxFaults)
        throw LayoutError(entry, "more than " + std::to_string(maxFaults) + " faults");
    Fault fault;
    if (const std::string problem = parseFault(words, fault); !problem.empty())
        throw LayoutError(entry, problem);
    simulation.faults.push_back(fault);
}

void readSettings(const toml::table& layout)
{
    if (const toml::node* model = layout.get("model")) {
        const std::string mode = readText(*model, "model");
        if (mode != "live" && mode != "manual" && mode != "frozen")
            throw LayoutError(*model, "\"model\" must be \"live\", \"manual\" or \"frozen\"");
        simulation.mode = mode == "live" ? Mode::live : mode == "manual" ? Mode::manual : Mode::frozen;
    }
    if (const toml::node* delay = layout.get("delay")) {
        simulation.delay = readNumber(*delay, "delay");
        if (!(simulation.delay >= 0 && simulation.delay <= maxDelay))
            throw LayoutError(*delay, "\"delay\" must be from 0 to " + std::to_string(static_cast<int>(maxDelay)) +
                                          " seconds");
    }
}

Crate startingCrate(const toml::table& layout)
{
    const toml::node* base = layout.get("base");
    const std::string name = base ? readText(*base, "base") : "default";
    if (name != "default" && name != "empty")
        throw LayoutError(*base, "\"base\" must be \"default\" or \"empty\"");
    Crate crate = defaultCrate();
    if (name == "empty") {
        crate.channels.clear();
        crate.loads.clear();
        crate.maxTemperatures.clear();
        crate.sensors.clear();
        crate.fans.clear();
    }
    return crate;
}

void readLayout(const toml::table& layout)
{
    for (auto&& [key, node] : layout) {
        static const std::string_view known[] = {"base", "model", "delay", "crate", "slot",
                                                 "channel", "sensor", "fan", "community", "fault"};
        if (std::find(std::begin(known), std::end(known), key.str()) == std::end(known))
            throw LayoutError(node, "unknown key \"" + std::string(key.str()) + "\"");
    }
    readSettings(layout);
    Crate crate = startingCrate(layout);
    if (const toml::node* node = layout.get("crate"))
        storeValues(crate.scalars, Record::crate, readTable(*node, "[crate]"), {}, "[crate]");
    auto each = [&](const char* section, auto read) {
        if (const toml::node* node = layout.get(section))
            for (const toml::node& entry : readEntries(*node, section))
                read(readTable(entry, std::string("[[") + section + "]]"));
    };
    each("slot", [&](const toml::table& e) { readSlot(crate, e); });
    each("channel", [&](const toml::table& e) { readChannel(crate, e); });
    each("sensor", [&](const toml::table& e) { readRow(crate, Record::sensor, e, "[[sensor]]", 12); });
    each("fan", [&](const toml::table& e) { readRow(crate, Record::fan, e, "[[fan]]", 6); });
    each("community", [&](const toml::table& e) { readCommunity(crate, e); });
    each("fault", readFault);
    noteSupervision(crate);
    deriveValues(crate);
    simulation.crate = std::move(crate);
}

}  // namespace

// Reads the layout file into the simulation; on failure `error` names the
// file and line ("FILE:LINE: what is wrong") and the simulation is unchanged.
bool loadLayout(const std::string& path, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    std::string text;
    char buffer[4096];
    for (std::size_t n; file && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    if (!file || std::ferror(file)) {
        error = "cannot read the layout file " + path + ": " + std::strerror(errno);
        if (file)
            std::fclose(file);
        return false;
    }
    std::fclose(file);
    return loadLayoutText(text, path, error);
}

// As loadLayout, from the file's text already read; `path` names it in messages.
bool loadLayoutText(std::string_view text, const std::string& path, std::string& error)
{
    try {
        const toml::table layout = toml::parse(text, path);
        const Simulation before = simulation;
        try {
            readLayout(layout);
        } catch (...) {
            simulation = before;
            throw;
        }
        return true;
    } catch (const toml::parse_error& e) {
        error = path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
    } catch (const LayoutError& e) {
        error = path + ":" + std::to_string(e.line) + ": " + e.what();
    }
    return false;
}

}  // namespace sim
