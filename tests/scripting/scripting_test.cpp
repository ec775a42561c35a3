// This file contains the tests of the scripting session and the kovo tool
// against the simulated crate: bulk reads against one get per value, every
// kind of failed exchange as a non-zero exit naming host and object, sets
// refused before anything is sent, what a set puts on the wire, writes of
// many rows against what the crate holds, selections over absent channels,
// set-and-wait, the health check, the formats, and output that cannot be
// written.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <regex>
#include <string>
#include <vector>

#include "kovo_crate.h"
#include "kovo_test_support.h"

namespace {

using kovo::test::runProgram;
using kovo::test::simCommand;
using kovo::test::simLog;
using kovo::test::startSim;

const std::string frozen = "model = \"frozen\"\n";

// A crate with absent slots and channels: slot 0 half filled, single channels
// in slots 1 and 9 (the last MIB index, 1000), values that differ per channel.
const std::string sparseLayout = frozen +
    "base = \"empty\"\n"
    "[[slot]]\nslot = 0\nchannels = 4\noutputVoltage = 5.5\n"
    "[[channel]]\nindex = 102\noutputName = \"HV\"\noutputSwitch = 1\noutputVoltage = 24.2\n"
    "[[channel]]\nindex = 1000\noutputMeasurementSenseVoltage = 3.25\n";

std::string fullLayout()
{
    std::string layout = frozen + "base = \"empty\"\n";
    for (int slot = 0; slot < 10; ++slot)
        layout += "[[slot]]\nslot = " + std::to_string(slot) + "\nchannels = 100\n";
    return layout;
}

kovoCrate* open(const kovo::test::Sim& sim, double timeout = 10)
{
    char error[256] = "";
    kovoCrate* crate = kovoOpen(sim.address.c_str(), nullptr, nullptr, timeout, 0, error, sizeof error);
    EXPECT_NE(crate, nullptr) << error;
    return crate;
}

bool same(const kovoValue& a, const kovoValue& b)
{
    return a.type == b.type && a.integer == b.integer && a.number == b.number &&
           std::string(a.text ? a.text : "") == std::string(b.text ? b.text : "");
}

kovo::test::RunResult kovoTool(const kovo::test::Sim& sim, std::vector<std::string> args)
{
    args.insert(args.begin(), {KOVO_TOOL, sim.address, "-t", "0.3", "-r", "0"});
    return runProgram(args);
}

// Every channel column in bulk gives, channel for channel, what one get per
// value gives, and no row for an absent channel; the crate-wide objects in
// one GET give what their gets give. The session, its start-up included,
// prints nothing on standard output.
TEST(Scripting, BulkReadsMatchOneGetPerValue)
{
    testing::internal::CaptureStdout();
    const struct {
        const char* name;
        std::string layout;
        std::vector<int> channels;
        const char* listen;
    } crates[] = {
        {"absent slots", sparseLayout, {0, 1, 2, 3, 101, 999}, ""},
        {"1000 channels", fullLayout(), {}, ""},
        {"on IPv6", sparseLayout, {0, 1, 2, 3, 101, 999}, "udp6:[::1]:0"},
    };
    for (const auto& c : crates) {
        SCOPED_TRACE(c.name);
        kovo::test::Sim sim = startSim(c.layout, c.listen);
        const auto tool = kovoTool(sim, {"--json", "get", "crate", "sysMainSwitch"});
        EXPECT_EQ(tool.out, "{\"sysMainSwitch\":0}\n") << tool.err;
        kovoCrate* crate = open(sim);
        std::vector<int> columns, scalars;
        for (int i = 0; i < kovoObjectCount(); ++i)
            if (kovoObjectRows(i) == 1000)
                columns.push_back(i);
            else if (kovoObjectRows(i) == 0)
                scalars.push_back(i);

        kovoTable* table = kovoReadColumns(crate, columns.data(), static_cast<int>(columns.size()));
        ASSERT_NE(table, nullptr) << kovoLastOutcome(crate)->reason;
        std::vector<int> expected = c.channels;
        if (expected.empty()) {  // the full crate: every channel
            expected.resize(1000);
            std::iota(expected.begin(), expected.end(), 0);
        }
        EXPECT_EQ(std::vector<int>(table->channels, table->channels + table->rows), expected);
        for (int r = 0; r < table->rows; ++r)
            for (int col = 0; col < table->columns; ++col) {
                kovoValue one{};
                ASSERT_TRUE(kovoGet(crate, columns[col], table->channels[r], &one)) << kovoLastOutcome(crate)->reason;
                EXPECT_TRUE(same(one, table->values[r * table->columns + col]))
                    << kovoObjectName(columns[col]) << " of channel " << table->channels[r];
                kovoFreeValue(&one);
            }
        kovoFreeTable(table);

        std::vector<kovoValue> values(scalars.size());
        ASSERT_TRUE(kovoReadScalars(crate, scalars.data(), static_cast<int>(scalars.size()), values.data()));
        for (size_t i = 0; i < scalars.size(); ++i) {
            kovoValue one{};
            ASSERT_TRUE(kovoGet(crate, scalars[i], 0, &one)) << kovoLastOutcome(crate)->reason;
            EXPECT_TRUE(same(one, values[i])) << kovoObjectName(scalars[i]);
            kovoFreeValue(&one);
            kovoFreeValue(&values[i]);
        }
        kovoFree(crate);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// The sets the crate received, as "name community value" lines.
std::vector<std::string> setsReceived(const kovo::test::Sim& sim)
{
    std::vector<std::string> sets;
    for (const auto& entry : simLog(sim))
        if (entry.pdu == "SET")
            sets.push_back(entry.name + " " + entry.community + " " + entry.value);
    return sets;
}

// Each kind of failed exchange ends kovo with exit status 1 and one line on
// standard error naming the host, the object (and its channel) and the reason;
// standard output stays empty, so a pipe never takes a failure for a value.
TEST(Scripting, FailedExchangesEndKovoNamingHostAndObject)
{
    kovo::test::Sim sim = startSim(frozen);
    const struct {
        const char* fault;
        std::vector<std::string> command;
        const char* object;
        const char* reason;
    } cases[] = {
        {"fault outputVoltage.1 get drop", {"get", "0", "outputVoltage"},
         "channel 0 outputVoltage (SNMP instance outputVoltage.1)",
         "no answer (timeout 0.3 s, 0 retries): is the crate on and the read community right?"},
        {"fault outputVoltage.1 get error genErr", {"get", "0", "outputVoltage"}, "channel 0 outputVoltage (SNMP instance outputVoltage.1)",
         "error status genErr"},
        {"fault outputVoltage.1 get about sysMainSwitch.0", {"get", "0", "outputVoltage"},
         "channel 0 outputVoltage (SNMP instance outputVoltage.1)", "is about sysMainSwitch.0"},
        {"fault outputVoltage.1 get type Counter32", {"get", "0", "outputVoltage"}, "channel 0 outputVoltage (SNMP instance outputVoltage.1)",
         "holds Counter32, not the object's Float"},
        {"fault outputVoltage.3 get type OctetString", {"--json", "status"}, "channel 2 outputVoltage (SNMP instance outputVoltage.3)",
         "holds OCTET STRING"},
        {"fault outputVoltage get error noAccess", {"status"}, "outputVoltage", "error status noAccess"},
        {"fault sysMainSwitch.0 set error notWritable", {"switch", "crate", "on"}, "sysMainSwitch",
         "error status notWritable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        simCommand(sim, "clear");
        ASSERT_EQ(simCommand(sim, c.fault), "ok");
        const auto run = kovoTool(sim, c.command);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("kovo: " + sim.address + ": " + c.object + ": ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    }
}

// A value above a channel's reported limit, or outside the MIB's range, a
// negative or non-finite Float, and any value while the limit reads not
// finite or negative, are refused before anything is sent: a list of
// channels is checked whole first, so a refusal of the last leaves the first
// unwritten too.
TEST(Scripting, RefusedSetsSendNothing)
{
    kovo::test::Sim sim = startSim(frozen + "[[channel]]\nindex = 2\noutputConfigMaxSenseVoltage = 10.0\n");
    for (const char* limit : {"outputConfigMaxSenseVoltage.4 get type OpaqueFloat nan",
                              "outputConfigMaxSenseVoltage.5 get type OpaqueFloat inf",
                              "outputConfigMaxCurrent.6 get type OpaqueFloat -1"})
        ASSERT_EQ(simCommand(sim, std::string("fault ") + limit), "ok");
    const struct {
        std::vector<std::string> command;
        const char* message;
    } cases[] = {
        {{"set", "0-1", "outputVoltage", "12"}, "channel 1 outputVoltage (SNMP instance outputVoltage.2): 12 is "
                                                  "above the channel's outputConfigMaxSenseVoltage.2 of 10, nothing sent"},
        {{"set", "0", "outputCurrent", "5.5"}, "channel 0 outputCurrent (SNMP instance outputCurrent.1): 5.5 is "
                                                 "above the channel's outputConfigMaxCurrent.1 of 5, nothing sent"},
        {{"set", "0", "outputSwitch", "2"}, "(SNMP instance outputSwitch.1): 2 is outside 0 to 1, nothing sent"},
        {{"set", "0", "outputMeasurementCurrent", "1"}, "outputMeasurementCurrent is read-only, nothing sent"},
        {{"set", "0,8", "outputSwitch", "1"}, "channel 8 outputSwitch (SNMP instance outputSwitch.9): the crate has "
                                                "no such instance"},
        {{"set", "3", "outputVoltage", "1"}, "the channel's outputConfigMaxSenseVoltage.4 reads nan, which bounds no write"},
        {{"set", "4", "outputVoltage", "1"}, "the channel's outputConfigMaxSenseVoltage.5 reads inf, which bounds no write"},
        {{"set", "5", "outputCurrent", "0.5"}, "the channel's outputConfigMaxCurrent.6 reads -1, which bounds no write"},
        {{"set", "0", "outputVoltage", "-5"}, "channel 0 outputVoltage (SNMP instance outputVoltage.1): -5 is negative"},
        {{"set", "0", "outputVoltageRiseRate", "inf"}, "inf cannot be sent as a single-precision float, nothing sent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const auto run = kovoTool(sim, c.command);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    EXPECT_EQ(setsReceived(sim), std::vector<std::string>{});
}

// A set goes with the write community (the library's, or the one given), a
// Float as a single-precision opaque float; the tool prints the crate's
// echo, or the value sent where the crate's answer without an error status
// holds no value of the object's type.
TEST(Scripting, SetsGoWithTheWriteCommunity)
{
    kovo::test::Sim sim = startSim(frozen + "[[community]]\nindex = 3\nsnmpCommunityName = \"other\"\n");
    auto run = kovoTool(sim, {"set", "0,3", "outputVoltage", "24.2"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "channel 0  outputVoltage 24.2 V\nchannel 3  outputVoltage 24.2 V\n");
    run = kovoTool(sim, {"-w", "other", "--json", "switch", "crate", "on"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "{\"sysMainSwitch\":1,\"written\":true}\n");
    ASSERT_EQ(simCommand(sim, "fault sysMainSwitch.0 set type Counter32"), "ok");
    run = kovoTool(sim, {"switch", "crate", "off"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "sysMainSwitch 0\n");
    EXPECT_EQ(setsReceived(sim), (std::vector<std::string>{"outputVoltage.1 kite 41 C1 99 9A",
                                                           "outputVoltage.4 kite 41 C1 99 9A",
                                                           "sysMainSwitch.0 other 01", "sysMainSwitch.0 kite 00"}));
}

// The status table spells out the status bits and gives units. A name that
// would retitle the terminal shows escaped, and in JSON its byte that is no
// UTF-8 becomes U+FFFD instead of ending kovo.
TEST(Scripting, StatusTableSpellsOutStatusBits)
{
    kovo::test::Sim sim = startSim(sparseLayout + "[crate]\nsysMainSwitch = 1\n");
    auto run = kovoTool(sim, {"status"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\n    101  HV    on      24.200 V  1.000 A  0.000 V  0.000 A  25 C  on, ramping up\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\n6 channels\n"), std::string::npos) << run.out;
    EXPECT_EQ(simCommand(sim, "set outputName.1 A\x1B]0;x\x07\xFF"), "ok");
    run = kovoTool(sim, {"status"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\n      0  A\\x1B]0;x\\x07\\xFF  off "), std::string::npos) << run.out;
    run = kovoTool(sim, {"--json", "status"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"outputName\":\"A\\u001b]0;x\\u0007\xEF\xBF\xBD\""), std::string::npos) << run.out;
}

// The channels a kovo get printed, from its lines "channel N ...".
std::vector<int> channelsPrinted(const std::string& out)
{
    std::vector<int> channels;
    for (const std::string& line : kovo::test::lines(out))
        if (line.rfind("channel ", 0) == 0)
            channels.push_back(std::stoi(line.substr(8)));
    return channels;
}

// Ranges, slots and "all" name the channels the crate has and skip the
// others (said with --verbose); states narrow them; a single channel named
// that is absent is an error, and so is a slot that cannot be.
TEST(Scripting, SelectionsSkipAbsentChannels)
{
    kovo::test::Sim sim = startSim(sparseLayout);
    const struct {
        std::vector<std::string> command;
        int status;
        std::vector<int> channels;
        const char* err;
    } cases[] = {
        {{"get", "0-15", "outputVoltage"}, 0, {0, 1, 2, 3}, ""},
        {{"-v", "get", "0-5,999", "outputVoltage"}, 0, {0, 1, 2, 3, 999}, "skipped: channels 4-5\n"},
        {{"get", "slot 1", "outputName"}, 0, {101}, ""},
        {{"get", "slot", "9", "outputName"}, 0, {999}, ""},
        {{"get", "all", "outputName"}, 0, {0, 1, 2, 3, 101, 999}, ""},
        {{"get", "on", "outputName"}, 0, {101}, ""},
        {{"get", "slot 0,off", "outputName"}, 0, {0, 1, 2, 3}, ""},
        {{"get", "slot 5", "outputName"}, 0, {}, ""},
        {{"get", "5", "outputName"}, 1, {}, "channel 5 outputName (SNMP instance outputName.6): the crate has no such"},
        {{"get", "slot 10", "outputName"}, 2, {}, "\"slot 10\" names no slot from 0 to 9"},
        {{"get", "0-3,12-", "outputName"}, 2, {}, "\"12-\" is no channel"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.command));
        const auto run = kovoTool(sim, c.command);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(channelsPrinted(run.out), c.channels);
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
}

// A write of many rows says, per row, whether it was written, and each row
// holds afterwards what the output says of it: with requests of at most ten
// variables (the crate answers tooBig to more), the request holding channel
// 600, which the crate refuses, is named whole, and only it.
TEST(Scripting, WritesOfManyRowsSayWhatTheCrateHolds)
{
    kovo::test::Sim sim = startSim(fullLayout(), "", kovo::test::RequestLog::none);
    ASSERT_EQ(simCommand(sim, "toobig 10"), "ok");
    ASSERT_EQ(simCommand(sim, "fault outputVoltage.601 set error badValue"), "ok");
    const auto run = kovoTool(sim, {"--json", "set", "0-999", "outputVoltage", "12"});
    EXPECT_EQ(run.status, 1);
    const auto rows = nlohmann::json::parse(run.out);
    ASSERT_EQ(rows.size(), 1000u);
    kovoCrate* crate = open(sim);
    const int voltage = kovoObject("outputVoltage");
    kovoTable* table = kovoReadColumns(crate, &voltage, 1);
    ASSERT_NE(table, nullptr);
    std::vector<int> notWritten;
    for (int r = 0; r < 1000; ++r) {
        SCOPED_TRACE(r);
        EXPECT_EQ(rows[r]["channel"], r);
        EXPECT_EQ(rows[r]["written"], table->values[r].number == 12.0);
        if (rows[r]["written"] == false) {
            EXPECT_EQ(rows[r]["sent"], true);
            notWritten.push_back(r);
        }
    }
    ASSERT_FALSE(notWritten.empty());
    EXPECT_LE(notWritten.size(), 10u);
    EXPECT_EQ(notWritten.back() - notWritten.front() + 1, static_cast<int>(notWritten.size()));
    EXPECT_TRUE(notWritten.front() <= 600 && 600 <= notWritten.back());
    EXPECT_EQ(run.err, "kovo: " + sim.address + ": channel 600 outputVoltage (SNMP instance outputVoltage.601): the "
                       "crate answered with the error status badValue; not written: channels " +
                           std::to_string(notWritten.front()) + "-" + std::to_string(notWritten.back()) + "\n");
    kovoFreeTable(table);
    kovoFree(crate);
}

// A set of many rows leaves the crate as one set per row of the rows it
// reports written would, value for value and echo for echo. The limits are
// read first in GETs of many variables; the rows go out in order in requests
// as large as fit, halved while the crate answers tooBig. A request the crate
// refuses leaves exactly its own rows unwritten; after one it does not
// answer, no further request goes out.
TEST(Scripting, SetsOfManyRowsMatchOneSetPerRow)
{
    const struct {
        const char* name;
        const char* command;  // to the crate before the set, or none
        size_t tooBig;        // variables beyond which the crate answers tooBig (0: none)
        int kind;             // of the rows not written
    } cases[] = {
        {"requests as large as fit", nullptr, 0, KOVO_SUCCESS},
        {"split by tooBig", "toobig 7", 7, KOVO_SUCCESS},
        {"a request refused", "fault outputVoltage.601 set error badValue", 0, KOVO_ERROR_STATUS},
        {"a request unanswered", "fault outputVoltage.601 set drop", 0, KOVO_TIMEOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kovo::test::Sim sim = startSim(fullLayout());
        kovo::test::Sim reference = startSim(fullLayout(), "", kovo::test::RequestLog::none);
        if (c.command != nullptr) {
            ASSERT_EQ(simCommand(sim, c.command), "ok");
        }
        kovoCrate* crate = open(sim, 0.3);
        const int voltage = kovoObject("outputVoltage");
        std::vector<kovoRowSet> rows;
        for (int r = 0; r < 1000; ++r)
            rows.push_back({r, {KOVO_FLOAT, 0, 0.1 * (r % 250), nullptr, 0}, 0, 0, {}, {}});
        EXPECT_EQ(kovoSetRows(crate, voltage, rows.data(), 1000), c.kind == KOVO_SUCCESS ? 1 : 0)
            << kovoLastOutcome(crate)->reason;

        // The requests as the crate took them in: the rows each carried.
        std::map<long, std::vector<int>> sets;
        long lastGet = 0;
        for (const auto& entry : simLog(sim))
            if (entry.pdu == "SET")
                sets[entry.request].push_back(std::stoi(entry.name.substr(entry.name.find('.') + 1)) - 1);
            else
                lastGet = std::max(lastGet, entry.request);
        std::vector<int> carried, refused;
        size_t largest = 0;
        for (const auto& [request, carrying] : sets) {
            if (c.tooBig > 0 && carrying.size() > c.tooBig)
                continue;
            largest = std::max(largest, carrying.size());
            carried.insert(carried.end(), carrying.begin(), carrying.end());
            if (std::find(carrying.begin(), carrying.end(), 600) != carrying.end())
                refused = carrying;
        }
        EXPECT_LT(lastGet, sets.begin()->first);
        EXPECT_LE(lastGet, c.tooBig > 0 ? 1000 : 25);  // 1000 limits in 22 GETs, as large as fit
        EXPECT_EQ(largest, c.tooBig > 0 ? c.tooBig - 1 : 48u);
        ASSERT_FALSE(carried.empty());
        EXPECT_EQ(carried.back() - carried.front() + 1, static_cast<int>(carried.size()));  // 0 on, in order
        EXPECT_EQ(carried.size(), c.kind == KOVO_TIMEOUT ? static_cast<size_t>(refused.back() + 1) : 1000u);

        kovoCrate* one = open(reference);
        for (int r = 0; r < 1000; ++r) {
            SCOPED_TRACE(r);
            const bool inRefused = std::find(refused.begin(), refused.end(), r) != refused.end();
            const bool written = c.kind == KOVO_SUCCESS || (!inRefused && (c.kind != KOVO_TIMEOUT || r < 600));
            EXPECT_EQ(rows[r].written, written ? 1 : 0) << rows[r].outcome.reason;
            EXPECT_EQ(rows[r].sent, r < static_cast<int>(carried.size()) ? 1 : 0);
            if (written) {
                kovoValue echo{};
                ASSERT_TRUE(kovoSet(one, voltage, r, &rows[r].value, &echo)) << kovoLastOutcome(one)->reason;
                EXPECT_TRUE(same(echo, rows[r].echo));
                kovoFreeValue(&echo);
            } else {
                EXPECT_EQ(rows[r].outcome.kind, inRefused ? c.kind : KOVO_REFUSED);
                // The instance the crate named, or the first of a request it did not answer.
                const int named = c.kind == KOVO_TIMEOUT ? refused.front() : 600;
                EXPECT_EQ(std::string(rows[r].outcome.object),
                          inRefused ? "outputVoltage." + std::to_string(named + 1) : "");
            }
            kovoFreeValue(&rows[r].echo);
        }
        kovoTable* held = kovoReadColumns(crate, &voltage, 1);
        kovoTable* expected = kovoReadColumns(one, &voltage, 1);
        ASSERT_TRUE(held != nullptr && expected != nullptr);
        for (int r = 0; r < 1000; ++r)
            EXPECT_TRUE(same(held->values[r], expected->values[r])) << "channel " << r;
        kovoFreeTable(held);
        kovoFreeTable(expected);
        kovoFree(one);
        kovoFree(crate);
    }
}

// Set-and-wait on the live model: the channels reach their voltage (in steps
// when asked); a trip stops the wait at once and names the channels, and the
// health check then reports them; a channel that does not arrive in time, or
// is switched off, is named too.
TEST(Scripting, SetAndWaitReachesItsTargetOrStopsNamingTheChannels)
{
    kovo::test::Sim sim = startSim("[crate]\nsysMainSwitch = 1\n"
                                   "[[slot]]\nslot = 0\nchannels = 4\noutputSwitch = 1\noutputCurrent = 1.0\n"
                                   "outputSupervisionMaxCurrent = 1.0\noutputSupervisionBehavior = 64\nload = 24.0\n");
    const struct {
        std::vector<std::string> command;
        int status;
        const char* out;
        const char* err;
        double reading = NAN, within = 0;  // the number printed after `out`, to within the wait's tolerance
    } cases[] = {
        {{"set", "slot 0", "outputVoltage", "5", "--wait", "--tolerance", "0.05"}, 0,
         "channel 0  outputVoltage 5 V  outputMeasurementSenseVoltage ", "", 5, 0.05},
        {{"-v", "set", "2-3", "outputVoltage", "7", "--step", "1"}, 0,
         "channel 3  outputVoltage 7 V  outputMeasurementSenseVoltage ", "step 2 of 2 reached", 7, 0.1},
        {{"set", "0-1", "outputVoltage", "30", "--wait"}, 1, "channel 1  outputVoltage 30 V",
         "channels 0 (failure: current too high), 1 (failure: current too high) tripped while ramping: stopped"},
        {{"check", "slot 0"}, 2, "KOVO CRITICAL - channels 0 (failure: current too high), 1 (failure: current too high) "
                       "tripped | channels=4 on=2 tripped=2;;0 current_limited=0;0 ramping=",
         ""},
        {{"set", "1-2", "outputVoltage", "5", "--wait"}, 1, "",
         "channel 1 is switched off: nothing would ramp there, nothing written"},
        {{"set", "2", "outputVoltage", "20", "--wait", "--timeout", "0.3"}, 1, "channel 2  outputVoltage 20 V",
         "channel 2 at "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.command));
        const auto run = kovoTool(sim, c.command);
        EXPECT_EQ(run.status, c.status) << run.err;
        const auto at = run.out.find(c.out);
        EXPECT_NE(at, std::string::npos) << run.out;
        // The wait ends within its tolerance, not necessarily at the end of the ramp.
        if (!std::isnan(c.reading) && at != std::string::npos) {
            EXPECT_NEAR(std::strtod(run.out.c_str() + at + std::strlen(c.out), nullptr), c.reading, c.within) << run.out;
        }
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
    std::vector<std::string> steps;
    for (const auto& entry : simLog(sim))
        if (entry.pdu == "SET" && entry.name == "outputVoltage.4")
            steps.push_back(entry.value);
    EXPECT_EQ(steps, (std::vector<std::string>{"40 A0 00 00", "40 C0 00 00", "40 E0 00 00"}));  // 5, then 6 and 7
}

// The health check's outcomes, one line in the monitoring plugins' form each.
TEST(Scripting, CheckTellsOkWarningCriticalAndUnknown)
{
    const struct {
        std::string layout;
        const char* fault;
        std::vector<std::string> command;
        int status;
        const char* line;
    } cases[] = {
        {frozen, nullptr, {"check"}, 0,
         "KOVO OK - crate off, 24 channels, 0 on | channels=24 on=0 tripped=0;;0 current_limited=0;0 ramping=0 "
         "crate_on=0\n"},
        {"model = \"manual\"\n[crate]\nsysMainSwitch = 1\n[[channel]]\nindex = 1\noutputSwitch = 1\n"
         "outputVoltage = 20.0\n[[channel]]\nindex = 2\noutputSwitch = 1\noutputVoltage = 20.0\nload = 10.0\n"
         "outputMeasurementSenseVoltage = 10.0\n",
         nullptr, {"check", "--ramp-timeout", "0"}, 1,
         "KOVO WARNING - channel 1 current limited; channel 0 ramping for more than 0 s | channels=24 on=2 "},
        {frozen + "[[channel]]\nindex = 4\noutputSwitch = 1\n", nullptr, {"check", "slot 0"}, 2,
         "KOVO CRITICAL - crate switched off while channel 3 is switched on | channels=8 "},
        {frozen, "fault sysMainSwitch.0 get drop", {"check"}, 3, ": sysMainSwitch: no answer (timeout 0.3 s"},
        {frozen, nullptr, {"check", "slot 7"}, 3, "KOVO UNKNOWN - no channel of \"slot 7\" is in the crate\n"},
        {frozen, nullptr, {"check", "--ramp-timeout", "nan"}, 3, "KOVO UNKNOWN - --ramp-timeout: \"nan\" is no number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        kovo::test::Sim sim = startSim(c.layout);
        if (c.fault != nullptr) {
            ASSERT_EQ(simCommand(sim, c.fault), "ok");
        }
        const auto run = kovoTool(sim, c.command);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(kovo::test::lines(run.out).size(), 1u) << run.out;
        EXPECT_NE(run.out.find(c.line), std::string::npos) << run.out;
    }
}

// Status bits decoded wherever they are printed (with the number beside the
// names in JSON), Floats as their shortest decimal, CSV with a header, C1 and
// bidi controls escaped in JSON; numbers that are not finite and sane, and an
// empty community, refused before anything is sent.
TEST(Scripting, FormatsAndRefusedOptions)
{
    kovo::test::Sim sim = startSim(sparseLayout + "[crate]\nsysMainSwitch = 1\n");
    EXPECT_EQ(simCommand(sim, "set outputName.1 \"A\\u0085B\\u202eC\\u2066\""), "ok");
    const struct {
        std::vector<std::string> command;
        int status;
        std::string out;
    } cases[] = {
        {{"get", "101", "outputStatus", "outputVoltage"}, 0,
         "channel 101  outputStatus on, ramping up  outputVoltage 24.2 V\n"},
        {{"--json", "get", "101", "outputStatus", "outputVoltage"}, 0,
         "[{\"channel\":101,\"outputStatus\":3,\"outputStatusBits\":[\"on\",\"rampingUp\"],"
         "\"outputVoltage\":24.2}]\n"},
        {{"--csv", "get", "101", "outputName", "outputStatus"}, 0,
         "crate,channel,outputName,outputStatus,outputStatusBits\n" + sim.address + ",101,HV,3,on rampingUp\n"},
        {{"--json", "get", "0", "outputName"}, 0, "[{\"channel\":0,\"outputName\":\"A\\u0085B\\u202eC\\u2066\"}]\n"},
        {{"get", "crate", "sysStatus"}, 0, "sysStatus main switch on\n"},
        {{"--json", "get", "crate", "sysStatus"}, 0, "{\"sysStatus\":1,\"sysStatusBits\":[\"mainOn\"]}\n"},
        {{"watch", "-n", "nan"}, 2, ""},
        {{"watch", "-n", "1e300"}, 2, ""},
        {{"watch", "-n", "0.01"}, 2, ""},
        {{"-c", "", "status"}, 2, ""},
        {{"--csv", "set", "0", "outputVoltage", "1"}, 2, ""},
        {{"set", "0", "outputVoltage", "1", "--tolerance", "1"}, 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.command));
        const auto run = kovoTool(sim, c.command);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out, c.out);
    }
    auto run = kovoTool(sim, {"watch", "-n", "0.1", "--count", "2", "--csv"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("^time,crate,channel,outputName,[^\n]*\n"
                                                      "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z,")))
        << run.out;
    EXPECT_EQ(kovo::test::lines(run.out).size(), 13u);  // one header, six channels twice
    EXPECT_EQ(setsReceived(sim), std::vector<std::string>{});
}

#ifndef _WIN32
// kovo ends with exit status 1, saying why, when its output cannot be
// written: onto a full device, into a pipe that nobody reads (with SIGPIPE
// as a shell leaves it).
TEST(Scripting, KovoEndsWithExit1WhenItsOutputCannotBeWritten)
{
    kovo::test::Sim sim = startSim(frozen);
    const struct {
        kovo::test::Output out;
        const char* why;
    } cases[] = {
        {kovo::test::Output::file, "No space left on device"},
        {kovo::test::Output::brokenPipe, "Broken pipe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        const auto run = kovo::test::run({.argv = {KOVO_TOOL, sim.address, "status"}, .out = c.out, .outFile = "/dev/full"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, std::string("kovo: cannot write standard output: ") + c.why + "\n");
    }
}
#endif

// Misuse of the C interface fails, or does nothing where documented, and
// never crashes or throws: NULL crates and lists, counts and rows out of
// range, unknown objects, a closed session. Only the text set is sent, and
// its bytes go out whole, the zero byte included.
TEST(Scripting, MisuseOfTheCInterfaceFailsWithoutHarm)
{
    kovo::test::Sim sim = startSim(frozen);
    kovoCrate* crate = open(sim);
    kovoCrate* closed = open(sim);
    kovoClose(closed);
    const int voltage = kovoObject("outputVoltage"), main = kovoObject("sysMainSwitch");
    const int objects[] = {voltage};
    kovoValue value{}, values[2]{};
    const kovoValue number{KOVO_FLOAT, 0, 1.0, nullptr, 0};
    kovoRowSet twice[2] = {{3, number, 0, 0, {}, {}}, {3, number, 0, 0, {}, {}}};
    const struct {
        const char* call;
        std::function<bool()> harmless;
        kovoCrate* refuses;  // whose outcome must say KOVO_REFUSED, if any
    } cases[] = {
        {"kovoGet(NULL)", [&] { return kovoGet(nullptr, voltage, 0, &value) == 0; }, nullptr},
        {"kovoSet(NULL)", [&] { return kovoSet(nullptr, voltage, 0, &number, &value) == 0; }, nullptr},
        {"kovoCheckSet(NULL)", [&] { return kovoCheckSet(nullptr, voltage, 0, &number) == 0; }, nullptr},
        {"kovoReadScalars(NULL)", [&] { return kovoReadScalars(nullptr, &main, 1, values) == 0; }, nullptr},
        {"kovoReadColumns(NULL)", [&] { return kovoReadColumns(nullptr, objects, 1) == nullptr; }, nullptr},
        {"kovoSetRows(NULL)", [&] { return kovoSetRows(nullptr, voltage, twice, 1) == 0; }, nullptr},
        {"kovoSetInterruptCheck(NULL)", [&] { return kovoSetInterruptCheck(nullptr, nullptr, nullptr), true; }, nullptr},
        {"kovoHost(NULL)", [&] { return std::string(kovoHost(nullptr)).empty(); }, nullptr},
        {"kovoLastOutcome(NULL)", [&] { return kovoLastOutcome(nullptr)->kind == KOVO_REFUSED; }, nullptr},
        {"kovoClose(NULL), kovoFree(NULL)", [&] { return kovoClose(nullptr), kovoFree(nullptr), true; }, nullptr},
        {"unknown objects", [&] { return kovoGet(crate, -1, 0, &value) == 0 && kovoGet(crate, 9999, 0, &value) == 0; },
         crate},
        {"rows out of range",
         [&] { return kovoGet(crate, voltage, -1, &value) == 0 && kovoGet(crate, voltage, INT_MAX, &value) == 0; },
         crate},
        {"kovoSet without a value", [&] { return kovoSet(crate, voltage, 0, nullptr, &value) == 0; }, crate},
        {"kovoReadScalars without a list", [&] { return kovoReadScalars(crate, nullptr, 1, values) == 0; }, crate},
        {"kovoReadScalars without values", [&] { return kovoReadScalars(crate, &main, 1, nullptr) == 0; }, crate},
        {"kovoReadScalars counts", [&] {
             return kovoReadScalars(crate, &main, 0, values) == 0 && kovoReadScalars(crate, &main, -1, values) == 0 &&
                    kovoReadScalars(crate, &main, INT_MAX, values) == 0;
         }, crate},
        {"kovoReadColumns without a list", [&] { return kovoReadColumns(crate, nullptr, 1) == nullptr; }, crate},
        {"kovoReadColumns counts", [&] {
             return kovoReadColumns(crate, objects, INT_MAX) == nullptr && kovoReadColumns(crate, objects, -1) == nullptr;
         }, crate},
        {"kovoSetRows without rows", [&] { return kovoSetRows(crate, voltage, nullptr, 1) == 0; }, crate},
        {"kovoSetRows counts", [&] {
             return kovoSetRows(crate, voltage, twice, 0) == 0 && kovoSetRows(crate, voltage, twice, -1) == 0 &&
                    kovoSetRows(crate, voltage, twice, INT_MAX) == 0 && kovoSetRows(crate, main, twice, 2) == 0;
         }, crate},
        {"kovoSetRows of an unknown object", [&] { return kovoSetRows(crate, -1, twice, 1) == 0; }, crate},
        {"kovoSetRows naming a row twice", [&] {
             return kovoSetRows(crate, voltage, twice, 2) == 0 && twice[0].sent == 0 && twice[1].written == 0 &&
                    twice[1].outcome.kind == KOVO_REFUSED;
         }, crate},
        {"kovoGet when closed", [&] { return kovoGet(closed, voltage, 0, &value) == 0; }, closed},
        {"kovoSetRows when closed", [&] { return kovoSetRows(closed, voltage, twice, 1) == 0; }, closed},
        {"kovoSet when closed", [&] { return kovoSet(closed, voltage, 0, &number, &value) == 0; }, closed},
        {"kovoReadColumns when closed", [&] { return kovoReadColumns(closed, objects, 1) == nullptr; }, closed},
        {"kovoClose twice", [&] { return kovoClose(closed), std::string(kovoHost(closed)) == sim.address; }, nullptr},
        {"unknown objects' properties", [&] {
             return kovoObjectName(-1) == nullptr && kovoObjectUnits(9999) == nullptr && kovoObject(nullptr) == -1 &&
                    kovoObjectType(-1) == KOVO_NONE;
         }, nullptr},
        {"kovoFreeValue(NULL), kovoFreeTable(NULL)", [&] { return kovoFreeValue(nullptr), kovoFreeTable(nullptr), true; },
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        EXPECT_TRUE(c.harmless());
        if (c.refuses != nullptr) {
            EXPECT_EQ(kovoLastOutcome(c.refuses)->kind, KOVO_REFUSED) << kovoLastOutcome(c.refuses)->reason;
        }
    }
    char error[64];
    EXPECT_EQ(kovoOpen(nullptr, nullptr, nullptr, 1, 0, error, sizeof error), nullptr);
    EXPECT_EQ(kovoOpen("", nullptr, nullptr, 1, 0, nullptr, 0), nullptr);
    EXPECT_EQ(setsReceived(sim), std::vector<std::string>{});

    const char bytes[] = {'a', '\0', 'b'};
    const kovoValue text{KOVO_TEXT, 0, 0, const_cast<char*>(bytes), sizeof bytes};
    kovoValue echo{};
    ASSERT_TRUE(kovoSet(crate, kovoObject("psDirectAccess"), 0, &text, &echo)) << kovoLastOutcome(crate)->reason;
    EXPECT_EQ(std::string(echo.text, echo.length), std::string(bytes, sizeof bytes));
    EXPECT_EQ(setsReceived(sim), std::vector<std::string>{"psDirectAccess.0 kite 61 00 62"});
    kovoFreeValue(&echo);
    kovoFree(closed);
    kovoFree(crate);
}

}  // namespace
