// This file contains the tests of the scripting session and the kovo tool
// against the simulated crate: bulk reads against one get per value, every
// kind of failed exchange as a non-zero exit naming host and object, sets
// refused before anything is sent, and what a set puts on the wire.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
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
        {{"set", "0-1", "outputVoltage", "12"}, "outputVoltage.2 (channel 1): 12 is above the channel's "
                                                  "outputConfigMaxSenseVoltage.2 of 10, nothing sent"},
        {{"set", "0", "outputCurrent", "5.5"}, "outputCurrent.1 (channel 0): 5.5 is above the channel's "
                                                 "outputConfigMaxCurrent.1 of 5, nothing sent"},
        {{"set", "0", "outputSwitch", "2"}, "outputSwitch.1 (channel 0): 2 is outside 0 to 1, nothing sent"},
        {{"set", "0", "outputMeasurementCurrent", "1"}, "outputMeasurementCurrent is read-only, nothing sent"},
        {{"set", "0-8", "outputSwitch", "1"}, "outputSwitch.9 (channel 8): the crate has no such instance"},
        {{"set", "3", "outputVoltage", "1"}, "the channel's outputConfigMaxSenseVoltage.4 reads nan, which bounds no write"},
        {{"set", "4", "outputVoltage", "1"}, "the channel's outputConfigMaxSenseVoltage.5 reads inf, which bounds no write"},
        {{"set", "5", "outputCurrent", "0.5"}, "the channel's outputConfigMaxCurrent.6 reads -1, which bounds no write"},
        {{"set", "0", "outputVoltage", "-5"}, "outputVoltage.1 (channel 0): -5 is negative"},
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
        {"kovoGet when closed", [&] { return kovoGet(closed, voltage, 0, &value) == 0; }, closed},
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
