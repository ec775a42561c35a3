// rows.cpp: This file contains the selections of channels, the bulk-read
// table they are resolved against, the writing of many rows, and the words a
// failed exchange is told in; shared by the kovo tool and the Python module.
#include "rows.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include <fmt/format.h>

#include "output_status.h"

namespace kovo_rows {
namespace {

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "N" or "N-M" within 0 to last; false when it is neither.
bool parseRange(const std::string& text, int last, int* first, int* second, bool* single)
{
    auto number = [](const std::string& s, int* n) {
        const std::string t = trimmed(s);
        auto [ptr, error] = std::from_chars(t.data(), t.data() + t.size(), *n);
        return !t.empty() && error == std::errc() && ptr == t.data() + t.size();
    };
    const size_t dash = text.find('-', 1);
    *single = dash == std::string::npos;
    const bool ok = *single ? number(text, first) && (*second = *first, true)
                            : number(text.substr(0, dash), first) && number(text.substr(dash + 1), second);
    return ok && *first >= 0 && *first <= *second && *second <= last;
}

const char* const stateNames[] = {"on", "off", "tripped"};

// The failure bits of outputStatus: those its supervision limits latch.
constexpr long failureBits = 0
#define KOVO_FAILURE_BIT(limit, name, bit) | (1L << (bit))
    TORVAN_SUPERVISION_LIMITS(KOVO_FAILURE_BIT)
#undef KOVO_FAILURE_BIT
    ;

std::string decimal(long number)
{
    return fmt::format("{}", number);
}

// The bits of the status objects, as output_status.h names them.
struct StatusBit {
    int bit;
    const char* name;
    const char* label;
};
#define KOVO_STATUS_BIT(bit, name, label) {bit, #name, label},
const StatusBit outputStatusBits[] = {TORVAN_OUTPUT_STATUS_BITS(KOVO_STATUS_BIT)};
const StatusBit systemStatusBits[] = {TORVAN_SYSTEM_STATUS_BITS(KOVO_STATUS_BIT)};
#undef KOVO_STATUS_BIT

template <size_t N>
std::vector<std::string> bitsOf(const StatusBit (&table)[N], long status, bool names)
{
    std::vector<std::string> bits;
    for (int bit = 0; bit < 32; ++bit) {
        if (((static_cast<unsigned long>(status) >> bit) & 1) == 0)
            continue;
        const auto known = std::find_if(std::begin(table), std::end(table), [&](const auto& b) { return b.bit == bit; });
        bits.push_back(known != std::end(table) ? (names ? known->name : known->label)
                                                : (names ? "bit" : "bit ") + decimal(bit));
    }
    return bits;
}

}  // namespace

Selection parseSelection(const std::string& text)
{
    Selection selection;
    if (trimmed(text).empty())
        throw SelectionError{"no channels named (such as 0-7,12, slot 1, all, on, off, tripped)"};
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = trimmed(text.substr(at, comma - at));
        at = comma + 1;
        const auto state = std::find(std::begin(stateNames), std::end(stateNames), item);
        if (state != std::end(stateNames)) {
            selection.states |= 1u << (state - std::begin(stateNames));
            continue;
        }
        if (item == "all") {
            selection.all = true;
            continue;
        }
        int first = 0, last = 0;
        bool single = false;
        if (item.rfind("slot", 0) == 0) {
            if (!parseRange(item.substr(4), channelRows / slotChannels - 1, &first, &last, &single))
                throw SelectionError{fmt::format("\"{}\" names no slot from 0 to {}", item,
                                                 channelRows / slotChannels - 1)};
            selection.ranges.push_back({first * slotChannels, last * slotChannels + slotChannels - 1, false});
            continue;
        }
        if (!parseRange(item, channelRows - 1, &first, &last, &single))
            throw SelectionError{fmt::format("\"{}\" is no channel from 0 to {}, range, slot or state "
                                             "(such as 0-7,12, slot 1, all, on, off, tripped)",
                                             item, channelRows - 1)};
        selection.ranges.push_back({first, last, single});
    }
    return selection;
}

bool needsTable(const Selection& selection)
{
    if (selection.all || selection.states != 0)
        return true;
    return std::any_of(selection.ranges.begin(), selection.ranges.end(), [](const auto& r) { return !r.single; });
}

Table::Table(Table&& other) noexcept
    : table_(std::exchange(other.table_, nullptr)), objects_(std::move(other.objects_))
{
}

Table& Table::operator=(Table&& other) noexcept
{
    std::swap(table_, other.table_);
    std::swap(objects_, other.objects_);
    return *this;
}

Table::~Table()
{
    kovoFreeTable(table_);
}

bool Table::read(kovoCrate* crate, const std::vector<int>& objects)
{
    kovoFreeTable(table_);
    objects_ = objects;
    table_ = kovoReadColumns(crate, objects.data(), static_cast<int>(objects.size()));
    return table_ != nullptr;
}

const kovoValue* Table::value(int row, int object) const
{
    const auto column = std::find(objects_.begin(), objects_.end(), object);
    if (table_ == nullptr || column == objects_.end())
        return nullptr;
    return &table_->values[static_cast<size_t>(row) * objects_.size() + static_cast<size_t>(column - objects_.begin())];
}

int Table::rowOf(int channel) const
{
    if (table_ == nullptr)
        return -1;
    const int* end = table_->channels + table_->rows;
    const int* at = std::lower_bound(static_cast<const int*>(table_->channels), end, channel);
    return at != end && *at == channel ? static_cast<int>(at - table_->channels) : -1;
}

std::vector<int> stateColumns()
{
    return {kovoObject("outputSwitch"), kovoObject("outputStatus")};
}

Resolved resolve(const Selection& selection, const Table* table)
{
    Resolved resolved;
    if (table == nullptr) {
        for (const auto& range : selection.ranges)
            resolved.channels.push_back(range.first);
        std::sort(resolved.channels.begin(), resolved.channels.end());
        resolved.channels.erase(std::unique(resolved.channels.begin(), resolved.channels.end()),
                                resolved.channels.end());
        return resolved;
    }
    std::vector<bool> chosen(channelRows, selection.all || selection.ranges.empty());
    for (const auto& range : selection.ranges)
        for (int channel = range.first; channel <= range.last; ++channel) {
            if (table->rowOf(channel) >= 0)
                chosen[static_cast<size_t>(channel)] = true;
            else if (range.single)
                throw SelectionError{absentChannel(channel)};
            else
                resolved.skipped.push_back(channel);
        }
    const int switchColumn = kovoObject("outputSwitch"), statusColumn = kovoObject("outputStatus");
    for (int row = 0; row < table->rows(); ++row) {
        const int channel = table->channel(row);
        if (channel < 0 || channel >= channelRows || !chosen[static_cast<size_t>(channel)])
            continue;
        if (selection.states != 0) {
            const kovoValue* on = table->value(row, switchColumn);
            const kovoValue* status = table->value(row, statusColumn);
            const bool known = on && status && on->type == KOVO_INTEGER && status->type == KOVO_INTEGER;
            const unsigned states = !known ? 0u
                                           : (on->integer == 1 ? stateOn : stateOff) |
                                                 (tripped(status->integer) ? stateTripped : 0u);
            if ((states & selection.states) == 0)
                continue;
        }
        resolved.channels.push_back(channel);
    }
    std::sort(resolved.skipped.begin(), resolved.skipped.end());
    resolved.skipped.erase(std::unique(resolved.skipped.begin(), resolved.skipped.end()), resolved.skipped.end());
    return resolved;
}

std::string absentChannel(int channel)
{
    return fmt::format("channel {} (slot {}, channel {} of the slot) is not in the crate", channel,
                       channel / slotChannels, channel % slotChannels);
}

std::vector<int> crateWideObjects()
{
    std::vector<int> objects;
    for (int i = 0; i < kovoObjectCount(); ++i)
        if (kovoObjectRows(i) == 0)
            objects.push_back(i);
    return objects;
}

std::string channelList(const std::vector<int>& channels)
{
    std::string list;
    for (size_t i = 0; i < channels.size();) {
        size_t j = i;
        while (j + 1 < channels.size() && channels[j + 1] == channels[j] + 1)
            ++j;
        list += (list.empty() ? "" : ", ") +
                (j == i ? decimal(channels[i]) : decimal(channels[i]) + "-" + decimal(channels[j]));
        i = j + 1;
    }
    return list;
}

long failureBitsOf(long status)
{
    return status & failureBits;
}

std::string namedChannels(const std::vector<int>& channels, const std::function<std::string(int)>& detail)
{
    constexpr size_t namedAtMost = 10;
    std::string text = channels.size() == 1 ? "channel " : "channels ";
    for (size_t i = 0; i < channels.size() && i < namedAtMost; ++i)
        text += fmt::format("{}{}{}", i > 0 ? ", " : "", channels[i], detail ? detail(channels[i]) : "");
    if (channels.size() > namedAtMost)
        text += fmt::format(" and {} more", channels.size() - namedAtMost);
    return text;
}

bool tripped(long status)
{
    return failureBitsOf(status) != 0;
}

std::string failuresOf(long status)
{
    return fmt::format("{}", fmt::join(statusBits(failureBitsOf(status), false), ", "));
}

long statusBit(const std::string& name)
{
    for (const StatusBit& b : outputStatusBits)
        if (name == b.name)
            return 1L << b.bit;
    return 0;
}

bool isStatus(const std::string& object)
{
    return object == "outputStatus" || object == "sysStatus";
}

std::vector<std::string> statusBits(long status, bool names, const std::string& object)
{
    return object == "sysStatus" ? bitsOf(systemStatusBits, status, names) : bitsOf(outputStatusBits, status, names);
}

double shortest(double number)
{
    const auto single = static_cast<float>(number);
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, single);
    double result = number;
    if (std::isfinite(single) && written.ec == std::errc())
        std::from_chars(text, written.ptr, result);
    return result;
}

// ---- Writing many rows ----

Writes::Writes(Writes&& other) noexcept
    : object(other.object), rows(std::move(other.rows)), refused(other.refused), refusal(other.refusal)
{
    other.rows.clear();
}

Writes& Writes::operator=(Writes&& other) noexcept
{
    object = other.object;
    std::swap(rows, other.rows);
    refused = other.refused;
    refusal = other.refusal;
    return *this;
}

Writes::~Writes()
{
    for (RowWrite& row : rows)
        kovoFreeValue(&row.echo);
}

bool Writes::allWritten() const
{
    return !refused && std::all_of(rows.begin(), rows.end(), [](const RowWrite& r) { return r.written; });
}

Writes writeRows(kovoCrate* crate, int object, const std::vector<int>& rows, const std::vector<kovoValue>& values)
{
    Writes writes;
    writes.object = object;
    if (rows.empty())
        return writes;
    for (size_t i = 0; i < rows.size(); ++i)
        writes.rows.push_back({rows[i], values[i], 0, 0, {}, {}});
    if (!kovoSetRows(crate, object, writes.rows.data(), static_cast<int>(writes.rows.size())) &&
        std::none_of(writes.rows.begin(), writes.rows.end(), [](const RowWrite& r) { return r.sent; })) {
        writes.refused = true;
        writes.refusal = *kovoLastOutcome(crate);
    }
    return writes;
}

// ---- Failures told to a person ----

const char* rowLabel(const std::string& object)
{
    if (object.rfind("sensor", 0) == 0)
        return "sensor";
    if (object.rfind("fan", 0) == 0)
        return "fan";
    if (object.rfind("snmpCommunity", 0) == 0)
        return "community";
    return "channel";
}

std::string describedObject(const std::string& instance)
{
    const size_t dot = instance.find('.');
    const std::string name = instance.substr(0, dot);
    const int object = kovoObject(name.c_str());
    if (object < 0 || dot == std::string::npos)
        return instance;
    if (kovoObjectRows(object) == 0)
        return name;
    const long index = std::strtol(instance.c_str() + dot + 1, nullptr, 10);
    return fmt::format("{} {} {} (SNMP instance {})", rowLabel(name), index - 1, name, instance);
}

std::string reasonOf(const kovoOutcome& outcome, bool write)
{
    if (outcome.kind != KOVO_TIMEOUT)
        return outcome.reason;
    return fmt::format("{}: is the crate on and the {} community right?", outcome.reason, write ? "write" : "read");
}

}  // namespace kovo_rows
