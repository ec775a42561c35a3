// This file contains the tests of the scripting session and the kovo tool
// against the simulated crate: bulk reads against one get per value, every
// kind of failed exchange as a non-zero exit naming host and object, sets
// refused before anything is sent, and what a set puts on the wire.
#include <gtest/gtest.h>

#include <numeric>
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
    } crates[] = {
        {"absent slots", sparseLayout, {0, 1, 2, 3, 101, 999}},
        {"1000 channels", fullLayout(), {}},
    };
    for (const auto& c : crates) {
        SCOPED_TRACE(c.name);
        kovo::test::Sim sim = startSim(c.layout);
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

kovo::test::RunResult kovoTool(const kovo::test::Sim& sim, std::vector<std::string> args)
{
    args.insert(args.begin(), {KOVO_TOOL, sim.address, "-t", "0.3", "-r", "0"});
    return runProgram(args);
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
        {"fault outputVoltage.1 get drop", {"get", "0", "outputVoltage"}, "outputVoltage.1 (channel 0)", "no answer"},
        {"fault outputVoltage.1 get error genErr", {"get", "0", "outputVoltage"}, "outputVoltage.1 (channel 0)",
         "error status genErr"},
        {"fault outputVoltage.1 get about sysMainSwitch.0", {"get", "0", "outputVoltage"},
         "outputVoltage.1 (channel 0)", "is about sysMainSwitch.0"},
        {"fault outputVoltage.1 get type Counter32", {"get", "0", "outputVoltage"}, "outputVoltage.1 (channel 0)",
         "holds Counter32, not the object's Float"},
        {"fault outputVoltage.3 get type OctetString", {"--json", "status"}, "outputVoltage.3 (channel 2)",
         "holds OCTET STRING"},
        {"fault outputVoltage get error noAccess", {"status"}, "outputVoltage", "error status noAccess"},
        {"fault sysMainSwitch.0 set error notWritable", {"switch", "crate", "on"}, "sysMainSwitch.0",
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

// A value above a channel's reported limit, or outside the MIB's range, is
// refused before anything is sent: a list of channels is checked whole
// first, so a refusal of the last leaves the first unwritten too.
TEST(Scripting, RefusedSetsSendNothing)
{
    kovo::test::Sim sim = startSim(frozen + "[[channel]]\nindex = 2\noutputConfigMaxSenseVoltage = 10.0\n");
    const struct {
        std::vector<std::string> command;
        const char* message;
    } cases[] = {
        {{"set", "0-1", "outputVoltage", "12"}, "outputVoltage.2 (channel 1): 12 is above the channel's "
                                                  "outputConfigMaxSenseVoltage.2 of 10, nothing sent"},
        {{"set", "0", "outputCurrent", "5.5"}, "outputCurrent.1 (channel 0): 5.5 is above the channel's "
                                                 "outputConfigMaxCurrent.1 of 5, nothing sent"},
        {{"set", "0", "outputSwitch", "2"}, "outputSwitch.1 (channel 0): 2 is outside 0 to 1, nothing sent"},
        {{"set", "0", "outputMeasurementCurrent", "1"}, "outputMeasurementCurrent is read-only, nothing sent"},
        {{"set", "0-8", "outputSwitch", "1"}, "outputSwitch.9 (channel 8): the crate has no such instance"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const auto run = kovoTool(sim, c.command);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    EXPECT_EQ(setsReceived(sim), std::vector<std::string>{});
}

// A set is one object per exchange with the write community (the library's,
// or the one given), a Float as a single-precision opaque float; the tool
// prints the crate's echo, or the value sent where the crate's answer
// without an error status holds no value of the object's type.
TEST(Scripting, SetsGoOneObjectPerExchangeWithTheWriteCommunity)
{
    kovo::test::Sim sim = startSim(frozen + "[[community]]\nindex = 3\nsnmpCommunityName = \"other\"\n");
    auto run = kovoTool(sim, {"set", "0,3", "outputVoltage", "24.2"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "channel 0  outputVoltage 24.2 V\nchannel 3  outputVoltage 24.2 V\n");
    run = kovoTool(sim, {"-w", "other", "--json", "switch", "crate", "on"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "{\"sysMainSwitch\":1}\n");
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

}  // namespace
