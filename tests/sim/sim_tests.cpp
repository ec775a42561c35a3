// sim_tests.cpp: This file contains the tests of the simulated crate through
// Net-SNMP's command-line tools, a client nobody here wrote: walks, gets and
// sets of the built-in and described crates, communities, the ramp model on a
// test-advanced clock, every fault mode, malformed layouts and commands, and
// odd datagrams.
#include "kovo_test_support.h"

#include <algorithm>
#include <chrono>
#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace kovo::test;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::vector<std::string> quick = {"-t", "0.2", "-r", "0"};

RunResult get(const Sim& sim, const std::vector<std::string>& names, const std::string& community = "ovalis")
{
    return runSnmpTool("snmpget", sim, community, names, quick);
}

// A set with the write community; -Ir leaves range and type checks to the crate.
RunResult set(const Sim& sim, const std::vector<std::string>& assignments, const std::string& community = "kite")
{
    std::vector<std::string> options = quick;
    options.push_back("-Ir");
    return runSnmpTool("snmpset", sim, community, assignments, options);
}

int lineCount(const std::string& text)
{
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// The bytes of the packets that a tool run with -d received (its dump on
// standard error), in hex.
std::string receivedBytes(const std::string& dump)
{
    std::istringstream lines(dump);
    std::string line, bytes;
    bool receiving = false;
    while (std::getline(lines, line)) {
        if (line.rfind("Received", 0) == 0 || line.rfind("Sending", 0) == 0)
            receiving = line.rfind("Received", 0) == 0;
        else if (receiving && line.size() > 6 && line[4] == ':') {
            std::istringstream hex(line.substr(6, 52));
            std::string pair;
            while (hex >> pair)
                if (pair.size() == 2 && std::isxdigit(pair[0]) && std::isxdigit(pair[1]))
                    bytes += (bytes.empty() ? "" : " ") + pair;
        }
    }
    return bytes;
}

}  // namespace

// --- the built-in crate -----------------------------------------------------

TEST(SimDefaultCrate, WalkOfTheChannelTableListsSlotsZeroOneAndThree)
{
    Sim sim = startSim();
    const RunResult walk = runSnmpTool("snmpwalk", sim, "ovalis", {"outputName"});
    ASSERT_EQ(walk.status, 0) << walk.err;
    EXPECT_EQ(lineCount(walk.out), 24);
    for (int slot : {0, 1, 3})
        for (int channel : {0, 7}) {
            const int k = 100 * slot + channel;
            EXPECT_THAT(walk.out, HasSubstr("outputName." + std::to_string(k + 1) + " = STRING: U" + std::to_string(k)));
        }
    EXPECT_THAT(walk.out, Not(HasSubstr("outputName.201")));
    EXPECT_THAT(walk.out, Not(HasSubstr("outputName.9 ")));

    // GETBULK walks the same table.
    const RunResult bulk = runSnmpTool("snmpbulkwalk", sim, "ovalis", {"outputTable"});
    const RunResult table = runSnmpTool("snmpwalk", sim, "ovalis", {"outputTable"});
    EXPECT_EQ(bulk.out, table.out);
    EXPECT_EQ(lineCount(table.out), 24 * 20);
}

TEST(SimDefaultCrate, AnswersWithTheTypesOfACrateAndExceptionsForWhatItLacks)
{
    Sim sim = startSim();
    const RunResult r = get(sim, {"outputVoltage.1", "outputSwitch.108", "outputName.301", "outputNumber.0",
                                  "sensorNumber.0", "fanNumberOfFans.0", "snmpCommunityName.2",
                                  "outputVoltage.201", "outputVoltage.9", "sysMainSwitch.1",
                                  ".1.3.6.1.4.1.32473.1.9.1.0", ".1.3.6.1.2.1.2.1.0"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("outputVoltage.1 = Opaque: Float: 0.000000 V"));
    EXPECT_THAT(r.out, HasSubstr("outputSwitch.108 = INTEGER: 0"));
    EXPECT_THAT(r.out, HasSubstr("outputName.301 = STRING: U300"));
    EXPECT_THAT(r.out, HasSubstr("outputNumber.0 = INTEGER: 24"));
    EXPECT_THAT(r.out, HasSubstr("sensorNumber.0 = INTEGER: 8"));
    EXPECT_THAT(r.out, HasSubstr("fanNumberOfFans.0 = INTEGER: 6"));
    EXPECT_THAT(r.out, HasSubstr("snmpCommunityName.2 = STRING: \"kite\""));
    EXPECT_THAT(r.out, HasSubstr("outputVoltage.201 = No Such Instance"));
    EXPECT_THAT(r.out, HasSubstr("outputVoltage.9 = No Such Instance"));
    EXPECT_THAT(r.out, HasSubstr("sysMainSwitch.1 = No Such Instance"));
    EXPECT_THAT(r.out, HasSubstr("crateObjects.9.1.0 = No Such Object"));
    EXPECT_THAT(r.out, HasSubstr("mib-2.2.1.0 = No Such Object"));
}

// --- sets and communities ----------------------------------------------------

TEST(SimSet, VoltageWrittenWithTypeFIsStoredAsSingleAndLogged)
{
    Sim sim = startSim();
    const RunResult s = set(sim, {"outputVoltage.3", "F", "24.2"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_THAT(s.out, HasSubstr("outputVoltage.3 = Opaque: Float: 24.200001 V"));
    EXPECT_THAT(get(sim, {"outputVoltage.3"}).out, HasSubstr("Opaque: Float: 24.200001 V"));
    EXPECT_EQ(simCommand(sim, "get outputVoltage.3"), "ok 24.2");

    const std::vector<LogEntry> log = simLog(sim);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].pdu, "SET");
    EXPECT_EQ(log[0].community, "kite");
    EXPECT_EQ(log[0].oid, "1.3.6.1.4.1.32473.1.2.2.1.9.3");
    EXPECT_EQ(log[0].name, "outputVoltage.3");
    EXPECT_EQ(log[0].type, "OPAQUE FLOAT");
    EXPECT_EQ(log[0].value, "41 C1 99 9A");
    EXPECT_EQ(log[1].pdu, "GET");
    EXPECT_EQ(log[1].community, "ovalis");
    EXPECT_EQ(log[1].type, "NULL");
    EXPECT_EQ(log[1].value, "");
}

TEST(SimSet, IntegersAndTextsAreLoggedAsTheirContentBytes)
{
    Sim sim = startSim();
    ASSERT_EQ(set(sim, {"fanNominalSpeed.0", "i", "256", "outputName.1", "s", "Ab", "sysMainSwitch.0", "i", "1"}).status, 0);
    const std::vector<LogEntry> log = simLog(sim);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].type, "INTEGER");
    EXPECT_EQ(log[0].value, "01 00");
    EXPECT_EQ(log[1].type, "OCTET STRING");
    EXPECT_EQ(log[1].value, "41 62");
    EXPECT_EQ(log[2].value, "01");
}

// The communities rule over IPv4 and IPv6 alike.
TEST(SimSet, ReadCommunityIsRefusedAndWrongCommunityGetsNoAnswer)
{
    for (const char* listen : {"", "udp6:[::1]:0"}) {
        SCOPED_TRACE(listen);
        Sim sim = startSim("", listen);
        const RunResult refused = set(sim, {"outputVoltage.1", "F", "5"}, "ovalis");
        EXPECT_NE(refused.status, 0);
        EXPECT_THAT(refused.err, HasSubstr("Reason: noAccess"));
        EXPECT_EQ(simCommand(sim, "get outputVoltage.1"), "ok 0");
        EXPECT_EQ(set(sim, {"outputVoltage.1", "F", "5"}).status, 0);
        EXPECT_EQ(simCommand(sim, "get outputVoltage.1"), "ok 5");

        const RunResult unknown = get(sim, {"sysMainSwitch.0"}, "public");
        EXPECT_NE(unknown.status, 0);
        EXPECT_THAT(unknown.err, HasSubstr("Timeout: No Response"));
        EXPECT_EQ(simLog(sim).back().community, "public");   // it arrived, and was not answered
    }
}

TEST(SimSet, WritesOutsideTheRulesAreRefusedAndNothingIsStored)
{
    Sim sim = startSim();
    struct Case {
        std::vector<std::string> assignment;
        const char* reason;
    } const cases[] = {
        {{"outputVoltage.1", "F", "30.5"}, "badValue"},          // above outputConfigMaxSenseVoltage 30
        {{"outputVoltage.1", "F", "-1"}, "badValue"},
        {{"outputCurrent.1", "F", "5.01"}, "badValue"},          // above outputConfigMaxCurrent 5
        {{"outputSupervisionMaxTerminalVoltage.1", "F", "33"}, "badValue"},
        {{"sysMainSwitch.0", "i", "2"}, "badValue"},             // MIB range 0..1
        {{"fanNominalSpeed.0", "i", "6001"}, "badValue"},
        {{"outputVoltage.1", "i", "5"}, "wrongType"},
        {{"outputVoltage.1", "d", "5"}, "wrongType"},
        {{"outputSwitch.1", "F", "1"}, "wrongType"},
        {{"outputName.1", "s", std::string(33, 'x')}, "wrongLength"},
        {{"outputStatus.1", "i", "1"}, "notWritable"},
        {{"outputConfigMaxSenseVoltage.1", "F", "40"}, "notWritable"},
        {{"outputVoltage.9", "F", "1"}, "noCreation"},
    };
    for (const Case& c : cases) {
        const RunResult r = set(sim, c.assignment);
        EXPECT_NE(r.status, 0) << c.assignment[0];
        EXPECT_THAT(r.err, ContainsRegex(std::string("Reason: \\(?") + c.reason)) << c.assignment[0];
    }
    EXPECT_EQ(simCommand(sim, "get outputVoltage.1"), "ok 0");
    EXPECT_EQ(simCommand(sim, "get outputName.1"), "ok \"U0\"");
    EXPECT_EQ(simCommand(sim, "get fanNominalSpeed.0"), "ok 3000");

    // The limits themselves are accepted.
    EXPECT_EQ(set(sim, {"outputVoltage.1", "F", "30", "outputCurrent.1", "F", "5"}).status, 0);
}

TEST(SimSet, MainSwitchTurnsChannelOutputsOffAndBackAndVmeResetReadsZero)
{
    Sim sim = startSim("model = \"manual\"\n");
    ASSERT_EQ(set(sim, {"sysMainSwitch.0", "i", "1", "outputSwitch.1", "i", "1", "outputSwitch.2", "i", "1"}).status, 0);
    EXPECT_THAT(get(sim, {"sysStatus.0", "outputStatus.1", "outputStatus.2", "outputStatus.3"}).out,
                ContainsRegex("sysStatus.0 = INTEGER: 1.*\n.*outputStatus.1 = INTEGER: 1.*\n.*outputStatus.2 = "
                              "INTEGER: 1.*\n.*outputStatus.3 = INTEGER: 0"));
    ASSERT_EQ(set(sim, {"sysMainSwitch.0", "i", "0"}).status, 0);
    EXPECT_THAT(get(sim, {"sysStatus.0", "outputStatus.1", "outputSwitch.1"}).out,
                ContainsRegex("sysStatus.0 = INTEGER: 0.*\n.*outputStatus.1 = INTEGER: 0.*\n.*outputSwitch.1 = INTEGER: 1"));
    ASSERT_EQ(set(sim, {"sysMainSwitch.0", "i", "1"}).status, 0);
    EXPECT_THAT(get(sim, {"outputStatus.1", "outputStatus.2"}).out,
                ContainsRegex("outputStatus.1 = INTEGER: 1.*\n.*outputStatus.2 = INTEGER: 1"));

    const RunResult reset = set(sim, {"sysVmeSysReset.0", "i", "1"});
    EXPECT_THAT(reset.out, HasSubstr("sysVmeSysReset.0 = INTEGER: 1"));
    EXPECT_THAT(get(sim, {"sysVmeSysReset.0"}).out, HasSubstr("sysVmeSysReset.0 = INTEGER: 0"));
    EXPECT_THAT(simStderr(sim), HasSubstr("VME system reset"));
}

// --- the model on a test-advanced clock --------------------------------------

TEST(SimModel, MeasuredVoltageRampsAtTheRatesOnTheManualClock)
{
    Sim sim = startSim(R"(
model = "manual"
[crate]
sysMainSwitch = 1
[[channel]]
index = 1
outputVoltage = 24.0
outputVoltageRiseRate = 10.0
outputVoltageFallRate = 4.0
load = 12.0
)");
    auto sense = [&] { return simCommand(sim, "get outputMeasurementSenseVoltage.1"); };
    ASSERT_EQ(set(sim, {"outputSwitch.1", "i", "1"}).status, 0);
    EXPECT_EQ(sense(), "ok 0");
    EXPECT_EQ(simCommand(sim, "get outputStatus.1"), "ok 3");               // on, ramping up

    // Two reads a second apart see the voltage move.
    const RunResult before = get(sim, {"outputMeasurementSenseVoltage.1"});
    ASSERT_EQ(simCommand(sim, "advance 1"), "ok");
    const RunResult after = get(sim, {"outputMeasurementSenseVoltage.1", "outputMeasurementCurrent.1",
                                      "outputMeasurementTerminalVoltage.1"});
    EXPECT_THAT(before.out, HasSubstr("Float: 0.000000 V"));
    EXPECT_THAT(after.out, HasSubstr("outputMeasurementSenseVoltage.1 = Opaque: Float: 10.000000 V"));
    EXPECT_THAT(after.out, HasSubstr("outputMeasurementCurrent.1 = Opaque: Float: 0.833333 A"));
    EXPECT_THAT(after.out, HasSubstr("outputMeasurementTerminalVoltage.1 = Opaque: Float: 10.000000 V"));

    ASSERT_EQ(simCommand(sim, "advance 1.5"), "ok");
    // 24 V would drive 2 A through 12 ohm: the 1 A limit holds it at 12 V.
    EXPECT_EQ(sense(), "ok 12");
    EXPECT_EQ(simCommand(sim, "get outputStatus.1"), "ok 513");             // on, current limited
    EXPECT_EQ(simCommand(sim, "get outputMeasurementCurrent.1"), "ok 1");

    // The main switch off brings it down at the fall rate.
    ASSERT_EQ(set(sim, {"sysMainSwitch.0", "i", "0"}).status, 0);
    ASSERT_EQ(simCommand(sim, "advance 2"), "ok");
    EXPECT_EQ(sense(), "ok 4");
    EXPECT_EQ(simCommand(sim, "get outputStatus.1"), "ok 4");                // off, ramping down
    ASSERT_EQ(simCommand(sim, "advance 10"), "ok");
    EXPECT_EQ(sense(), "ok 0");
    EXPECT_EQ(simCommand(sim, "get outputStatus.1"), "ok 0");
    EXPECT_EQ(simCommand(sim, "get psOperatingTime.0"), "ok 3614");          // 3600 + 14.5 model seconds
}

TEST(SimModel, FrozenModelKeepsTheMeasuredValuesOfTheLayout)
{
    Sim sim = startSim(R"(
model = "frozen"
[crate]
sysMainSwitch = 1
[[channel]]
index = 1
outputSwitch = 1
outputVoltage = 5.0
outputMeasurementSenseVoltage = 4.75
outputMeasurementCurrent = 0.25
outputMeasurementTemperature = 31
)");
    ASSERT_EQ(simCommand(sim, "advance 100"), "ok");
    const RunResult r = get(sim, {"outputMeasurementSenseVoltage.1", "outputMeasurementCurrent.1",
                                  "outputMeasurementTemperature.1", "outputStatus.1"});
    EXPECT_THAT(r.out, HasSubstr("outputMeasurementSenseVoltage.1 = Opaque: Float: 4.750000 V"));
    EXPECT_THAT(r.out, HasSubstr("outputMeasurementCurrent.1 = Opaque: Float: 0.250000 A"));
    EXPECT_THAT(r.out, HasSubstr("outputMeasurementTemperature.1 = INTEGER: 31"));
    EXPECT_THAT(r.out, HasSubstr("outputStatus.1 = INTEGER: 3"));
    EXPECT_EQ(simCommand(sim, "set outputMeasurementSenseVoltage.1 5"), "ok");
    EXPECT_EQ(simCommand(sim, "get outputStatus.1"), "ok 1");
}

// A channel is brought up to the model's time only when it is looked at:
// whatever happened while nobody read it, it shows where its ramp has gone.
TEST(SimModel, ChannelsLeftUnreadFollowTheirRamps)
{
    struct Step {
        std::string command, reply;
    };
    const std::string rampingChannel = R"(
model = "manual"
[crate]
sysMainSwitch = 1
[[channel]]
index = 1
outputSwitch = 1
outputVoltage = 20.0
outputVoltageRiseRate = 10.0
outputVoltageFallRate = 5.0
)";
    const struct {
        const char* what;
        std::string layout;
        std::vector<Step> steps;
    } cases[] = {
        {"the main switch goes off while the channel is unread: it falls from 15 V",
         rampingChannel,
         {{"advance 1.5", "ok"}, {"set sysMainSwitch.0 0", "ok"}, {"advance 1", "ok"},
          {"get outputMeasurementSenseVoltage.1", "ok 10"}, {"get outputStatus.1", "ok 4"}}},
        {"a rise rate written mid-ramp applies from then on",
         rampingChannel,
         {{"advance 1", "ok"}, {"set outputVoltageRiseRate.1 2", "ok"}, {"advance 2", "ok"},
          {"get outputMeasurementSenseVoltage.1", "ok 14"}, {"get outputStatus.1", "ok 3"}}},
        {"a sense voltage set directly ramps on from there",
         rampingChannel,
         {{"set outputMeasurementSenseVoltage.1 30", "ok"}, {"get outputStatus.1", "ok 5"}, {"advance 1", "ok"},
          {"get outputMeasurementSenseVoltage.1", "ok 25"}, {"get outputMeasurementTerminalVoltage.1", "ok 25"}}},
        {"the main switch off and on again before the channel is read",
         rampingChannel,
         {{"advance 1", "ok"}, {"set sysMainSwitch.0 0", "ok"}, {"advance 1", "ok"}, {"set sysMainSwitch.0 1", "ok"},
          {"advance 0.5", "ok"}, {"get outputMeasurementSenseVoltage.1", "ok 10"}}},
        {"the last channel of a full slot 9 (MIB index 1000)",
         "model = \"manual\"\n[crate]\nsysMainSwitch = 1\n[[slot]]\nslot = 9\nchannels = 100\noutputSwitch = 1\n"
         "outputVoltage = 3.0\nload = 3.0\n",
         {{"advance 0.2", "ok"}, {"get outputMeasurementSenseVoltage.1000", "ok 2"},
          {"get outputStatus.1000", "ok 3"}, {"advance 1", "ok"}, {"get outputMeasurementCurrent.1000", "ok 1"},
          {"get outputMeasurementSenseVoltage.901", "ok 3"}, {"get outputStatus.901", "ok 1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sim sim = startSim(c.layout);
        for (const Step& step : c.steps)
            EXPECT_EQ(simCommand(sim, step.command), step.reply) << step.command;
    }
}

// Reading a channel often does not hold its ramp back or move it on: read
// after every one of many small steps, it stays on the straight line.
TEST(SimModel, RampReadAtManySmallStepsStaysOnItsLine)
{
    Sim sim = startSim(R"(
model = "manual"
[crate]
sysMainSwitch = 1
[[channel]]
index = 1
outputSwitch = 1
outputVoltage = 24.0
outputVoltageRiseRate = 0.7
)");
    double t = 0;
    for (int step = 0; step < 120; ++step) {
        ASSERT_EQ(simCommand(sim, "advance 0.37"), "ok");
        t += 0.37;
        const std::string reply = simCommand(sim, "get outputMeasurementSenseVoltage.1");
        ASSERT_EQ(reply.rfind("ok ", 0), 0u) << reply;
        const double expected = std::min(24.0, 0.7 * t);
        EXPECT_NEAR(std::stod(reply.substr(3)), expected, 1e-5 * expected) << "after " << t << " s";
    }
}

// --- supervision -------------------------------------------------------------

// Each limit with each behaviour: channel 1 passes its limit 1 s after the
// start, at 10 V on the way to 20 V, while channel 2 (same module) and 101
// (another module) ramp along. At 3 s the switched-off ones have fallen 2 s
// at 4 V/s. The failure bit latches whatever the behaviour did, and after a
// write of 1 to outputSwitch it latches again while the cause persists.
TEST(SimSupervision, EachLimitWithEachBehaviour)
{
    struct Limit {
        const char* name;
        int number, bit;
        std::string channel;    // layout lines of channel 1
        std::string at1s;       // control command at 1 s, if any
        const char* reached;    // channel 1's voltage at 3 s when nothing switched it off
    } const limits[] = {
        {"min sense voltage", 0, 8, "outputVoltage = 10.0\noutputSupervisionMinSenseVoltage = 15.0\n", "", "ok 10"},
        {"max sense voltage", 1, 16, "outputSupervisionMaxSenseVoltage = 10.0\n", "", "ok 20"},
        {"max terminal voltage", 2, 32, "outputSupervisionMaxTerminalVoltage = 10.0\n", "", "ok 20"},
        {"max current", 3, 64, "outputSupervisionMaxCurrent = 0.125\nload = 80.0\n", "", "ok 20"},
        {"max power", 4, 128, "outputSupervisionMaxPower = 1.0\n", "", "ok 20"},
        {"max temperature", 5, 256, "maxTemperature = 40\n", "set outputMeasurementTemperature.1 41", "ok 20"},
    };
    struct Behaviour {
        int code;
        bool ownOff, moduleOff, crateOff;     // whose outputs go off: channel 1, channel 2, channel 101
    } const behaviours[] = {{0, false, false, false}, {1, true, false, false}, {2, true, true, false},
                            {3, true, true, true}};
    for (const Limit& limit : limits)
        for (const Behaviour& b : behaviours) {
            SCOPED_TRACE(std::string(limit.name) + ", behaviour " + std::to_string(b.code));
            std::string layout = "model = \"manual\"\n[crate]\nsysMainSwitch = 1\n";
            for (int index : {1, 2, 101})
                layout += "[[channel]]\nindex = " + std::to_string(index) +
                          "\noutputSwitch = 1\noutputVoltage = 20.0\noutputVoltageRiseRate = 10.0\n"
                          "outputVoltageFallRate = 4.0\nload = 100.0\n";
            layout += "[[channel]]\nindex = 1\n" + limit.channel + "outputSupervisionBehavior = " +
                      std::to_string(b.code << 2 * limit.number) + "\n";
            Sim sim = startSim(layout);
            EXPECT_EQ(simCommand(sim, "advance 1"), "ok");
            if (!limit.at1s.empty()) {
                EXPECT_EQ(simCommand(sim, limit.at1s), "ok");
            }
            EXPECT_EQ(simCommand(sim, "advance 2"), "ok");
            // The others first: they must not wait for channel 1 to be looked at.
            EXPECT_EQ(simCommand(sim, "get outputMeasurementSenseVoltage.101"), b.crateOff ? "ok 2" : "ok 20");
            EXPECT_EQ(simCommand(sim, "get outputMeasurementSenseVoltage.2"), b.moduleOff ? "ok 2" : "ok 20");
            EXPECT_EQ(simCommand(sim, "get outputStatus.1"), "ok " + std::to_string(limit.bit | (b.code ? 4 : 1)));
            EXPECT_EQ(simCommand(sim, "get outputMeasurementSenseVoltage.1"), b.ownOff ? "ok 2" : limit.reached);
            EXPECT_EQ(simCommand(sim, "get outputSwitch.1"), b.code == 1 || b.code == 2 ? "ok 0" : "ok 1");
            EXPECT_EQ(simCommand(sim, "get outputSwitch.2"), b.code == 2 ? "ok 0" : "ok 1");
            EXPECT_EQ(simCommand(sim, "get sysMainSwitch.0"), b.crateOff ? "ok 0" : "ok 1");

            ASSERT_EQ(set(sim, {"sysMainSwitch.0", "i", "1", "outputSwitch.1", "i", "1"}).status, 0);
            EXPECT_EQ(simCommand(sim, "advance 3"), "ok");
            const std::string again = simCommand(sim, "get outputStatus.1");
            ASSERT_EQ(again.rfind("ok ", 0), 0u) << again;
            EXPECT_EQ(std::stoi(again.substr(3)) & (limit.bit | 1), b.code == 0 ? limit.bit | 1 : limit.bit);
        }
}

// A channel whose load would draw more than its current limit holds the
// current at the limit and its voltage below the set voltage (bit 9),
// supervised or not.
// With the current supervised at the limit, raising the set voltage past
// what the load draws within the limit trips the channel where it gets there.
TEST(SimSupervision, RaisingTheVoltagePastTheCurrentLimit)
{
    struct Case {
        const char* what;
        const char* supervision;
        std::vector<std::pair<std::string, std::string>> after;   // command, reply
    } const cases[] = {
        {"unsupervised", "", {{"advance 5", "ok"}, {"get outputMeasurementSenseVoltage.1", "ok 24"},
                              {"get outputMeasurementCurrent.1", "ok 1"}, {"get outputStatus.1", "ok 513"}}},
        {"supervised, current ignored", "outputSupervisionBehavior = 4\n",
         {{"advance 5", "ok"}, {"get outputMeasurementSenseVoltage.1", "ok 24"},
          {"get outputMeasurementCurrent.1", "ok 1"}, {"get outputStatus.1", "ok 513"}}},
        {"current limit switches the channel off", "outputSupervisionBehavior = 64\noutputSupervisionMaxCurrent = 1.0\n",
         {{"advance 0.3", "ok"}, {"get outputStatus.1", "ok 3"}, {"advance 0.1", "ok"},
          {"get outputMeasurementSenseVoltage.1", "ok 24"}, {"get outputStatus.1", "ok 68"},
          {"get outputSwitch.1", "ok 0"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sim sim = startSim(std::string("model = \"manual\"\n[crate]\nsysMainSwitch = 1\n[[channel]]\nindex = 1\n"
                                       "outputSwitch = 1\noutputVoltage = 20.0\noutputCurrent = 1.0\nload = 24.0\n") +
                           c.supervision);
        EXPECT_EQ(simCommand(sim, "advance 2"), "ok");
        EXPECT_EQ(simCommand(sim, "get outputStatus.1"), "ok 1");
        ASSERT_EQ(set(sim, {"outputVoltage.1", "F", "30"}).status, 0);
        for (const auto& [command, reply] : c.after)
            EXPECT_EQ(simCommand(sim, command), reply) << command;
    }
}

// --- faults ------------------------------------------------------------------

TEST(SimFaults, ErrorStatusesAnswerGetsAndRefuseSets)
{
    Sim sim = startSim();
    for (const char* status :
         {"noSuchName", "badValue", "notWritable", "noAccess", "wrongType", "authorizationError", "genErr"}) {
        ASSERT_EQ(simCommand(sim, std::string("fault outputVoltage.2 error ") + status), "ok");
        const RunResult g = get(sim, {"outputVoltage.2"});
        EXPECT_THAT(g.err, ContainsRegex(std::string("Reason: \\(?") + status)) << status;
        const RunResult s = set(sim, {"outputVoltage.2", "F", "7"});
        EXPECT_THAT(s.err, ContainsRegex(std::string("Reason: \\(?") + status)) << status;
    }
    EXPECT_EQ(simCommand(sim, "get outputVoltage.2"), "ok 0");
    EXPECT_THAT(get(sim, {"outputVoltage.1"}).out, HasSubstr("Float: 0.000000"));   // others untouched

    // A fault only for sets leaves gets alone.
    ASSERT_EQ(simCommand(sim, "clear"), "ok");
    ASSERT_EQ(simCommand(sim, "fault outputVoltage set error genErr"), "ok");
    EXPECT_EQ(get(sim, {"outputVoltage.2"}).status, 0);
    EXPECT_THAT(set(sim, {"outputVoltage.5", "F", "1"}).err, HasSubstr("genErr"));
}

TEST(SimFaults, ValuesOfOtherTypesAsTheClientSeesThem)
{
    Sim sim = startSim("[[channel]]\nindex = 1\noutputCurrent = 2.5\n");
    struct Case {
        const char* type;
        const char* shown;
    } const cases[] = {
        {"Counter32", "Counter32: 2"},     {"Gauge32", "Gauge32: 2"},          {"TimeTicks", "Timeticks: (2)"},
        {"IpAddress", "IpAddress: 0.0.0.2"}, {"Counter64", "Counter64: 2"},    {"Opaque", "OPAQUE: 40 20 00 00"},
        {"OctetString", "STRING: \"2.5\""}, {"Integer", "INTEGER: 2"},         {"OpaqueFloat", "Float: 2.500000"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(simCommand(sim, std::string("fault outputCurrent.1 get type ") + c.type), "ok");
        EXPECT_THAT(get(sim, {"outputCurrent.1"}).out, HasSubstr(c.shown)) << c.type;
    }
    // An opaque double shows as a float in snmpget's text; its tag 9F 79 shows in the packet.
    ASSERT_EQ(simCommand(sim, "fault outputCurrent.1 get type OpaqueDouble 1.5"), "ok");
    const RunResult dump = runSnmpTool("snmpget", sim, "ovalis", {"outputCurrent.1"}, {"-d"});
    EXPECT_THAT(receivedBytes(dump.err), HasSubstr("44 0B 9F 79 08 3F F8 00 00 00 00 00 00"));
    // An integer object can answer with an opaque float, and a set echo can change type.
    ASSERT_EQ(simCommand(sim, "fault outputSwitch.1 type OpaqueFloat"), "ok");
    EXPECT_THAT(get(sim, {"outputSwitch.1"}).out, HasSubstr("outputSwitch.1 = Wrong Type (should be INTEGER): Opaque: Float: 0.000000"));
    ASSERT_EQ(simCommand(sim, "fault outputVoltage.1 set type Counter32"), "ok");
    const RunResult s = set(sim, {"outputVoltage.1", "F", "24.2"});
    EXPECT_THAT(s.out, HasSubstr("Counter32: 24"));
    EXPECT_EQ(simCommand(sim, "get outputVoltage.1"), "ok 24.2");
}

TEST(SimFaults, ExceptionsAndOtherValues)
{
    Sim sim = startSim();
    ASSERT_EQ(simCommand(sim, "fault outputVoltage.1 noSuchObject"), "ok");
    ASSERT_EQ(simCommand(sim, "fault outputVoltage.2 get noSuchInstance"), "ok");
    ASSERT_EQ(simCommand(sim, "fault outputName.3 get value \"not U2\""), "ok");
    const RunResult r = get(sim, {"outputVoltage.1", "outputVoltage.2", "outputName.3", "outputVoltage.3"});
    EXPECT_THAT(r.out, HasSubstr("outputVoltage.1 = No Such Object"));
    EXPECT_THAT(r.out, HasSubstr("outputVoltage.2 = No Such Instance"));
    EXPECT_THAT(r.out, HasSubstr("outputName.3 = STRING: not U2"));
    EXPECT_THAT(r.out, HasSubstr("outputVoltage.3 = Opaque: Float: 0.000000"));

    // A set is stored and echoed otherwise.
    const RunResult exception = set(sim, {"outputVoltage.1", "F", "3"});
    EXPECT_THAT(exception.out, HasSubstr("outputVoltage.1 = No Such Object"));
    EXPECT_EQ(simCommand(sim, "get outputVoltage.1"), "ok 3");
    ASSERT_EQ(simCommand(sim, "fault outputVoltage.4 set value 12.5"), "ok");
    EXPECT_THAT(set(sim, {"outputVoltage.4", "F", "24.2"}).out, HasSubstr("outputVoltage.4 = Opaque: Float: 12.500000"));
    EXPECT_EQ(simCommand(sim, "get outputVoltage.4"), "ok 24.2");

    // A walk passes over exception faults instead of ending early.
    const RunResult walk = runSnmpTool("snmpwalk", sim, "ovalis", {"outputVoltage"});
    EXPECT_EQ(lineCount(walk.out), 24);
}

TEST(SimFaults, DroppedRequestsAndDelayedAnswers)
{
    Sim sim = startSim();
    ASSERT_EQ(simCommand(sim, "fault outputVoltage.1 drop"), "ok");
    EXPECT_THAT(get(sim, {"outputVoltage.1"}).err, HasSubstr("Timeout: No Response"));
    EXPECT_THAT(set(sim, {"outputVoltage.1", "F", "5"}).err, HasSubstr("Timeout: No Response"));
    EXPECT_EQ(simCommand(sim, "get outputVoltage.1"), "ok 0");       // a dropped set is not stored
    EXPECT_EQ(get(sim, {"outputVoltage.2"}).status, 0);
    ASSERT_EQ(simCommand(sim, "clear outputVoltage.1"), "ok");
    EXPECT_EQ(get(sim, {"outputVoltage.1"}).status, 0);

    // Held back for far longer than the client waits, the answer misses it;
    // a patient client gets it.
    ASSERT_EQ(simCommand(sim, "delay 3"), "ok");
    EXPECT_THAT(get(sim, {"sysMainSwitch.0"}).err, HasSubstr("Timeout: No Response"));
    ASSERT_EQ(simCommand(sim, "delay 0.3"), "ok");
    const RunResult patient = runSnmpTool("snmpget", sim, "ovalis", {"sysMainSwitch.0"}, {"-t", "30", "-r", "0"});
    EXPECT_THAT(patient.out, HasSubstr("sysMainSwitch.0 = INTEGER: 0"));
}

TEST(SimFaults, FaultsFromTheLayout)
{
    Sim sim = startSim(R"(
[[fault]]
target = "outputVoltage.1"
on = "get"
error = "authorizationError"
[[fault]]
target = "outputCurrent"
type = "Gauge32"
value = 7
[[fault]]
target = "fanSpeed.2"
exception = "noSuchInstance"
[[fault]]
target = "psSerialNumber.0"
value = "SN-FAULT"
[[fault]]
target = "outputName.2"
drop = true
)");
    const RunResult r = get(sim, {"outputCurrent.101", "fanSpeed.2", "psSerialNumber.0"});
    EXPECT_THAT(r.out, HasSubstr("outputCurrent.101 = Wrong Type (should be Opaque): Gauge32: 7"));
    EXPECT_THAT(r.out, HasSubstr("fanSpeed.2 = No Such Instance"));
    EXPECT_THAT(r.out, HasSubstr("psSerialNumber.0 = STRING: SN-FAULT"));
    EXPECT_THAT(get(sim, {"outputVoltage.1"}).err, HasSubstr("authorizationError"));
    EXPECT_THAT(get(sim, {"outputName.2"}).err, HasSubstr("Timeout"));
}

// --- layouts -------------------------------------------------------------------

TEST(SimLayout, DescribesAnyCrate)
{
    Sim sim = startSim(R"(
base = "empty"
[crate]
psSerialNumber = "PS-0042"
[[channel]]
index = 1
outputName = "first"
[[channel]]
slot = 0
channel = 1
[[channel]]
index = 101
outputName = "HV"
outputVoltage = 12.5
[[sensor]]
index = 3
sensorTemperature = 41
)");
    const RunResult walk = runSnmpTool("snmpwalk", sim, "ovalis", {"outputName"});
    EXPECT_THAT(walk.out, HasSubstr("outputName.1 = STRING: first"));
    EXPECT_THAT(walk.out, HasSubstr("outputName.2 = STRING: U1"));
    EXPECT_THAT(walk.out, HasSubstr("outputName.101 = STRING: HV"));
    EXPECT_EQ(lineCount(walk.out), 3);
    const RunResult r = get(sim, {"outputNumber.0", "outputVoltage.101", "sensorNumber.0", "sensorTemperature.3",
                                  "fanNumberOfFans.0", "psSerialNumber.0", "sensorTemperature.1"});
    EXPECT_THAT(r.out, HasSubstr("outputNumber.0 = INTEGER: 3"));
    EXPECT_THAT(r.out, HasSubstr("outputVoltage.101 = Opaque: Float: 12.500000"));
    EXPECT_THAT(r.out, HasSubstr("sensorNumber.0 = INTEGER: 1"));
    EXPECT_THAT(r.out, HasSubstr("sensorTemperature.3 = INTEGER: 41"));
    EXPECT_THAT(r.out, HasSubstr("fanNumberOfFans.0 = INTEGER: 0"));
    EXPECT_THAT(r.out, HasSubstr("psSerialNumber.0 = STRING: PS-0042"));
    EXPECT_THAT(r.out, HasSubstr("sensorTemperature.1 = No Such Instance"));

    Sim none = startSim("base = \"empty\"\n");
    EXPECT_THAT(get(none, {"outputNumber.0"}).out, HasSubstr("INTEGER: 0"));
    EXPECT_EQ(lineCount(runSnmpTool("snmpwalk", none, "ovalis", {"outputTable"}).out), 1);   // end of view only
}

TEST(SimLayout, SlotsAndCommunities)
{
    Sim sim = startSim(R"(
[[slot]]
slot = 1
names = ["A", "B"]
outputVoltage = 6.0
[[slot]]
slot = 3
channels = 0
[[community]]
index = 1
snmpCommunityName = "reader"
)");
    const RunResult walk = runSnmpTool("snmpwalk", sim, "reader", {"outputName"});
    EXPECT_EQ(lineCount(walk.out), 10);
    EXPECT_THAT(walk.out, HasSubstr("outputName.102 = STRING: B"));
    EXPECT_THAT(get(sim, {"outputVoltage.101"}, "reader").out, HasSubstr("Float: 6.000000"));
    EXPECT_THAT(get(sim, {"outputNumber.0"}, "ovalis").err, HasSubstr("Timeout"));
    EXPECT_EQ(set(sim, {"outputVoltage.1", "F", "1"}, "kite").status, 0);
}

TEST(SimLayout, MalformedLayoutsAreRefusedWithFileAndLine)
{
    const std::string dir = makeTempDir("kovo-layouts");  // a folder of its own: two test runs may meet in /tmp
    struct Case {
        const char* text;
        const char* message;
    } const cases[] = {
        {"model = \"manual\"\n[crate\nsysMainSwitch = 1\n", ":2:"},
        {"[crate]\nsysMainSwitch = 1\nsysStatus = 1\n", ":3: unknown key \"sysStatus\" in [crate]"},
        {"\n[[channel]]\nindex = 1\noutputVoltage = \"high\"\n", ":4: \"outputVoltage\" must be a number"},
        {"[[channel]]\nindex = 1001\n", ":2: \"index\" must be a whole number from 1 to 1000"},
        {"[[channel]]\nindex = 1\nload = nan\n", ":3: \"load\" must be a finite number, not negative"},
        {"[[slot]]\nslot = 1\nchannels = 2\nnames = [\"A\"]\n", ":4: \"names\" must name each"},
        {"[[fault]]\ntarget = \"outputVoltage.1\"\nerror = \"badValues\"\n", ":1: unknown error status \"badValues\""},
        {"[[fault]]\ntarget = \"nothing.1\"\ndrop = true\n", ":1: unknown target \"nothing.1\""},
        {"delay = 600\n", ":1: \"delay\" must be from 0 to 60 seconds"},
        {"colour = \"blue\"\n", ":1: unknown key \"colour\""},
        // A NUL would cut the agent's access rule short, a newline start another.
        {"[[community]]\nindex = 2\nsnmpCommunityName = \"ki\\u0000te\"\n",
         ":3: community name \"ki\\u0000te\" must be one word of at most 14 printable characters"},
        {"\n[[community]]\nindex = 3\nsnmpCommunityName = \"k\\nx\"\n", ":4: community name \"k\\nx\" must be one word"},
        {"[[community]]\nindex = 1\nsnmpCommunityName = \"k\\u001bx\"\n", ":3: community name \"k\\u001bx\" must be"},
    };
    for (const Case& c : cases) {
        const std::string path = dir + "/bad-layout.toml";
        std::ofstream(path) << c.text;
        const RunResult r = runProgram({std::string(KOVO_BINARY_DIR) + "/sim/crate-sim", "--listen",
                                        "udp:127.0.0.1:0", "--layout", path});
        EXPECT_EQ(r.status, 1) << c.text;
        EXPECT_EQ(r.out, "") << c.text;
        EXPECT_THAT(r.err, HasSubstr("crate-sim: " + path + c.message)) << c.text;
    }
    const RunResult missing = runProgram({std::string(KOVO_BINARY_DIR) + "/sim/crate-sim", "--layout", dir + "/none.toml"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_THAT(missing.err, HasSubstr("cannot read the layout file"));
    const RunResult option = runProgram({std::string(KOVO_BINARY_DIR) + "/sim/crate-sim", "--port", "1"});
    EXPECT_EQ(option.status, 1);
    EXPECT_THAT(option.err, HasSubstr("unknown option \"--port\""));
    std::filesystem::remove_all(dir);
}

// --- control channel and odd input ---------------------------------------------

TEST(SimControl, MalformedCommandsAreRefusedWithTheirLineAndTheSimRunsOn)
{
    Sim sim = startSim();
    EXPECT_EQ(simCommand(sim, "bogus"), "error: line 1: unknown command \"bogus\"");
    EXPECT_EQ(simCommand(sim, "set outputVoltage.1 high"), "error: line 2: \"high\" is no value for outputVoltage.1");
    EXPECT_EQ(simCommand(sim, "set outputStatus.1 1"),
              "error: line 3: outputStatus is computed by the crate and cannot be set");
    EXPECT_EQ(simCommand(sim, "get outputVoltage.201"), "error: line 4: the crate has no outputVoltage.201");
    EXPECT_EQ(simCommand(sim, "fault outputVoltage.1 type Float"),
              "error: line 5: unknown value type \"Float\" (Integer, OctetString, IpAddress, Counter32, Gauge32, "
              "TimeTicks, Opaque, Counter64, OpaqueFloat, OpaqueDouble)");
    EXPECT_EQ(simCommand(sim, "fault outputVoltage.1 drop now"), "error: line 6: unexpected \"now\" after the fault");
    EXPECT_EQ(simCommand(sim, "delay -1"), "error: line 7: usage: delay SECONDS, from 0 to 60");
    EXPECT_EQ(simCommand(sim, "set outputName.1 \"open"), "error: line 8: unterminated text");
    EXPECT_EQ(simCommand(sim, ""), "error: line 9: empty command");
    EXPECT_THAT(simCommand(sim, std::string(5000, 'x')), HasSubstr("error: line 10: longer than 4096"));
    EXPECT_EQ(simCommand(sim, "set outputName.1 \"two words\""), "ok");
    EXPECT_THAT(get(sim, {"outputName.1"}).out, HasSubstr("STRING: two words"));
    EXPECT_EQ(simCommand(sim, "quit"), "ok");
    EXPECT_EQ(stopSim(sim), 0);
}

namespace {

std::string ber(unsigned char tag, const std::string& content)
{
    std::string out(1, static_cast<char>(tag));
    const std::size_t n = content.size();
    if (n < 128)
        out += static_cast<char>(n);
    else
        out += {'\x82', static_cast<char>(n >> 8), static_cast<char>(n & 255)};
    return out + content;
}

std::string berInteger(int value)
{
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes += static_cast<char>((value >> shift) & 255);
    while (bytes.size() > 1 && ((bytes[0] == 0 && !(bytes[1] & 0x80)) || (bytes[0] == '\xff' && (bytes[1] & 0x80))))
        bytes.erase(0, 1);
    return ber(0x02, bytes);
}

std::string berOid(const std::vector<unsigned>& ids)
{
    std::string content;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        unsigned id = i == 0 && ids.size() > 1 ? 40 * ids[0] + ids[1] : ids[i];
        if (i == 0 && ids.size() > 1)
            ++i;
        std::string septets(1, static_cast<char>(id & 127));
        for (id >>= 7; id; id >>= 7)
            septets.insert(septets.begin(), static_cast<char>(0x80 | (id & 127)));
        content += septets;
    }
    return ber(0x06, content);
}

// A v2c request with one variable bound to NULL; for GETBULK the two error
// fields are non-repeaters and max-repetitions.
std::string request(unsigned char pdu, const std::string& name, int second = 0, int third = 0)
{
    const std::string varbind = ber(0x30, name + std::string("\x05\x00", 2));
    const std::string body = berInteger(7) + berInteger(second) + berInteger(third) + ber(0x30, varbind);
    return ber(0x30, berInteger(1) + ber(0x04, "ovalis") + ber(pdu, body));
}

void sendDatagram(int port, const std::string& bytes)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
}

}  // namespace

TEST(SimRobustness, OddDatagramsNeitherCrashNorStopTheSim)
{
    Sim sim = startSim();
    std::vector<unsigned> longName{1, 3, 6, 1, 4, 1, 32473, 1, 2, 2, 1, 9};
    longName.resize(128, 4294967295u);
    const std::vector<unsigned> crate{1, 3, 6, 1, 4, 1, 32473, 1};
    const std::string datagrams[] = {
        "",
        "garbage",
        std::string("\x30\x82\xff\xff\x02\x01", 6),                      // a length far beyond the datagram
        request(0xA0, ber(0x06, "")),                                       // GET of an empty identifier
        request(0xA1, ber(0x06, "")),                                       // GETNEXT of it
        request(0xA3, ber(0x06, "")),                                       // SET of it
        request(0xA0, berOid(longName)),                                    // 128 sub-identifiers
        request(0xA1, berOid(longName)),
        request(0xA0, berOid(std::vector<unsigned>(200, 1))),              // more than an identifier holds
        request(0xA5, berOid(crate), 0, 100000),                            // GETBULK asking for everything
        request(0xA5, berOid(crate), 5, -1),
    };
    for (const std::string& d : datagrams)
        sendDatagram(sim.port, d);
    // The agent reads datagrams in order, so this get comes after all of them.
    const RunResult r = get(sim, {"sysMainSwitch.0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(simLog(sim).back().name, "sysMainSwitch.0");
    const RunResult v3 = runSnmpTool("snmpget", sim, "ovalis", {"sysMainSwitch.0"},
                                     {"-v3", "-u", "nobody", "-l", "noAuthNoPriv", "-t", "0.2", "-r", "0"});
    EXPECT_NE(v3.status, 0);
    EXPECT_EQ(get(sim, {"sysMainSwitch.0"}).status, 0);
    EXPECT_EQ(stopSim(sim), 0);
}

// What a delay holds back is bounded in variables too, as one datagram can
// carry a thousand: a flood of such requests is dropped beyond the bound,
// said once, and the crate goes on answering.
TEST(SimRobustness, DelayedFloodIsBounded)
{
    Sim sim = startSim("", "", RequestLog::none);
    std::string variables;
    for (int i = 0; i < 1000; ++i)
        variables += ber(0x30, berOid({1, 3, 6, 1, 4, 1, 32473, 1}) + std::string("\x05\x00", 2));
    const std::string large = ber(0x30, berInteger(1) + ber(0x04, "ovalis") +
                                            ber(0xA0, berInteger(8) + berInteger(0) + berInteger(0) + ber(0x30, variables)));
    ASSERT_EQ(simCommand(sim, "delay 60"), "ok");
    const std::string dropped = "(20000 variables) already held back, requests dropped\n";
    // Sent until the crate says so: a datagram it has no time to read is lost on the way.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (simStderr(sim).find(dropped) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        sendDatagram(sim.port, large);
    EXPECT_THAT(simStderr(sim), HasSubstr(dropped));
    ASSERT_EQ(simCommand(sim, "delay 0"), "ok");
    // The flood's datagrams still queued are read and dropped first: the crate
    // answers after them, later than a quick get waits on a loaded machine.
    EXPECT_EQ(runSnmpTool("snmpget", sim, "ovalis", {"sysMainSwitch.0"}, {"-t", "10", "-r", "0"}).status, 0);
    EXPECT_EQ(stopSim(sim), 0);
}

// --- the command line, the system group, control replies, the answered log ----

TEST(SimCommandLine, HelpAndVersionOnStandardOutputBadOptionsAndOtherTransportsRefused)
{
    const std::string simPath = KOVO_BINARY_DIR "/sim/crate-sim";
    char folder[] = "/tmp/kovo-sim-options-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string socket = std::string(folder) + "/socket";
    std::ofstream(socket) << "kept";  // a file that other transports would remove before binding
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;     // regular expressions the whole streams must match
    };
    const Case cases[] = {
        {{"--help"}, 0, "^usage: crate-sim [^\n]*\n(.*\n)*  --listen ADDRESS [^\n]*\n(.*\n)*  -h, --help [^\n]*\n", "^$"},
        {{"-h"}, 0, "^usage: crate-sim ", "^$"},
        {{"--version"}, 0, "^crate-sim [0-9]+\\.[0-9]+\\.[0-9]+\n$", "^$"},
        {{"--bogus"}, 1, "^$", "^usage: crate-sim [^\n]*\ncrate-sim: unknown option \"--bogus\"\n$"},
        {{"--log"}, 1, "^$", "^usage: [^\n]*\ncrate-sim: --log needs a value\n$"},
        {{"--layout="}, 1, "^$", "crate-sim: --layout needs a value\n$"},
        {{"--listen", "tcp:127.0.0.1:0"}, 1, "^$", "^crate-sim: --listen tcp:127.0.0.1:0: only UDP is served"},
        {{"--listen", "unix:" + socket}, 1, "^$", "^crate-sim: --listen unix:[^ ]*: only UDP is served"},
        {{"--listen", socket}, 1, "^$", "^crate-sim: --listen /[^ ]*: only UDP is served"},
        {{"--listen", "tcp:1161"}, 1, "^$", "^crate-sim: --listen tcp:1161: only UDP is served"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        std::vector<std::string> argv{simPath};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const RunResult run = runProgram(argv);
        EXPECT_EQ(run.status, c.status);
        EXPECT_THAT(run.out, ContainsRegex(c.out));
        EXPECT_THAT(run.err, ContainsRegex(c.err));
    }
    std::string kept;
    std::ifstream(socket) >> kept;
    EXPECT_EQ(kept, "kept") << "the file a refused address names was removed or replaced";
    std::filesystem::remove_all(folder);
}

TEST(SimSystemGroup, WalkWithoutObjectAndStatusFindItReadOnlyToEveryCommunity)
{
    Sim sim = startSim("[[slot]]\nslot = 5\nchannels = 2\n");
    for (const char* community : {"ovalis", "kite"}) {
        SCOPED_TRACE(community);
        const RunResult walk = runSnmpTool("snmpwalk", sim, community, {}, {"-On"});
        ASSERT_EQ(walk.status, 0) << walk.err;
        EXPECT_THAT(walk.out, ContainsRegex("^\\.1\\.3\\.6\\.1\\.2\\.1\\.1\\.1\\.0 = STRING: \"crate-sim [^\"]*"
                                            "layout [^\"]*, 26 channels in 4 slots"));
        EXPECT_THAT(walk.out, HasSubstr("\n.1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.32473\n"));
        EXPECT_THAT(walk.out, ContainsRegex("\n\\.1\\.3\\.6\\.1\\.2\\.1\\.1\\.3\\.0 = Timeticks: \\([0-9]+\\)"));
        for (const char* object : {"4.0 = STRING: \"", "5.0 = STRING: \"crate-sim\"", "6.0 = STRING: \"", "7.0 = INTEGER: 72"})
            EXPECT_THAT(walk.out, HasSubstr("\n.1.3.6.1.2.1.1." + std::string(object))) << walk.out;
    }
    const RunResult status = runSnmpTool("snmpstatus", sim, "ovalis", {}, quick);
    EXPECT_THAT(status.out, ContainsRegex("=>\\[crate-sim [^]]*\\] Up: ")) << status.err;
    const RunResult rename = set(sim, {"1.3.6.1.2.1.1.5.0", "s", "other"});
    EXPECT_NE(rename.status, 0);
    EXPECT_THAT(rename.err, HasSubstr("notWritable"));
}

TEST(SimControl, EveryCommandGetsOneReplyLineWhateverBytesItHolds)
{
    Sim sim = startSim();
    const std::pair<std::string, std::string> cases[] = {
        {std::string("get \0x", 6), "error: line 1: unknown instance \"\\x00x\""},
        {"get sysMainSwitch.0", "ok 0"},     // still in step with its own line
        {"get \"a\\nb\\u001b[2J\"", "error: line 3: unknown instance \"a\\x0Ab\\x1B[2J\""},
        {"bogus\x7f\r", "error: line 4: unknown command \"bogus\\x7F\""},
        {"help", "ok get NAME; set NAME VALUE; fault TARGET [get|set|any] KIND [ARGUMENT] [VALUE]; clear [TARGET]; "
                 "delay SECONDS; toobig VARIABLES; advance SECONDS; model live|manual|frozen; help; quit"},
    };
    for (const auto& [command, reply] : cases)
        EXPECT_EQ(simCommand(sim, command), reply);
}

TEST(SimLog, RequestsCarryTheirPeerAndOnceAnsweredTheStatusIndexAndValues)
{
    Sim sim = startSim();
    ASSERT_EQ(set(sim, {"outputVoltage.1", "F", "24.2"}).status, 0);
    set(sim, {"outputVoltage.1", "F", "20", "sysStatus.0", "i", "1"});      // refused at its second variable
    runSnmpTool("snmpbulkget", sim, "ovalis", {"sysMainSwitch.0", "outputName.1"}, {"-Cn1", "-Cr2"});
    get(sim, {"sysMainSwitch.0"}, "wrong");                                // no answer
    std::vector<nlohmann::json> log;
    std::ifstream text(sim.dir + "/requests.jsonl");
    for (std::string line; std::getline(text, line);)
        log.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(log.size(), 6u);
    for (const auto& line : log)
        EXPECT_THAT(line.value("peer", ""), ContainsRegex("^udp:127\\.0\\.0\\.1:[0-9]+$"));
    struct Expected {
        int errstat, errindex;
        std::vector<std::string> answers;   // "OID VALUE"
    };
    const std::string voltage = "1.3.6.1.4.1.32473.1.2.2.1.9.", name = "1.3.6.1.4.1.32473.1.2.2.1.2.";
    const Expected expected[] = {
        {0, 0, {voltage + "1 Opaque: Float: 24.200001 V"}},
        {0, 0, {}},     // filled below: a refused set echoes what it was sent
        {17, 2, {"1.3.6.1.4.1.32473.1.1.2.0 INTEGER: 1"}},
        {0, 0, {"1.3.6.1.4.1.32473.1.1.2.0 INTEGER: 0"}},
        {0, 0, {name + "2 STRING: U1", name + "3 STRING: U2"}},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        if (i == 1)
            continue;
        EXPECT_EQ(log[i]["errstat"], expected[i].errstat);
        EXPECT_EQ(log[i]["errindex"], expected[i].errindex);
        std::vector<std::string> answers;
        for (const auto& answer : log[i]["answer"])
            answers.push_back(answer["oid"].get<std::string>() + " " + answer["value"].get<std::string>());
        EXPECT_EQ(answers, expected[i].answers);
    }
    EXPECT_EQ(log[1]["errstat"], 17);
    EXPECT_EQ(log[1]["answer"][0]["value"], "Opaque: Float: 20.000000 V");
    EXPECT_EQ(log[5]["community"], "wrong");
    EXPECT_FALSE(log[5].contains("answer")) << log[5];
}
