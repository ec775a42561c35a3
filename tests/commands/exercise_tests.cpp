// exercise_tests.cpp: This file contains the end-to-end tests of the scripted
// exercise and its start and stop buttons: the whole transcript, what reached
// the crate, and the exercise without a session. A run takes four seconds of
// pauses, so each test runs as few as its cases need.
#include <gtest/gtest.h>

#include "app_driver.h"

using namespace kovo::test;
using Lines = std::vector<std::string>;

namespace {

// The transcript of one run, with the values the crate gives in it.
struct Readings {
    std::string channelStatus, outputNumber, outputGroups;
    std::string voltages[3], sense, current, riseRates[3];
    bool crateOff;
};

std::string transcriptOf(const Readings& r)
{
    return transcript("commands/exercise.txt",
                      {{"channelStatus", r.channelStatus}, {"outputNumber", r.outputNumber},
                       {"outputGroups", r.outputGroups}, {"voltage1", r.voltages[0]}, {"voltage2", r.voltages[1]},
                       {"voltage3", r.voltages[2]}, {"sense", r.sense}, {"current", r.current},
                       {"riseRate1", r.riseRates[0]}, {"riseRate2", r.riseRates[1]}, {"riseRate3", r.riseRates[2]},
                       {"crateOff", r.crateOff ? "Crate is now Off\n" : ""}});
}

// The 20 requests of one run on channel index 2 (MIB index 3), in order.
const Lines exerciseRequests = {
    "SET sysMainSwitch.0 INTEGER 01",
    "SET outputSwitch.3 INTEGER 01",
    "GET outputSwitch.3",
    "GET outputNumber.0",
    "GET groupsNumber.0",
    "GET outputVoltage.3",
    "SET outputVoltage.3 OPAQUE FLOAT 41 C1 99 9A",    // 24.2
    "GET outputVoltage.3",
    "SET outputVoltage.3 OPAQUE FLOAT 41 44 CC CD",    // 12.3
    "GET outputVoltage.3",
    "GET outputMeasurementSenseVoltage.3",
    "GET outputMeasurementSenseVoltage.3",
    "GET outputMeasurementCurrent.3",
    "GET outputVoltageRiseRate.3",
    "SET outputVoltageRiseRate.3 OPAQUE FLOAT 42 38 00 00",   // 46
    "GET outputVoltageRiseRate.3",
    "SET outputVoltageRiseRate.3 OPAQUE FLOAT 42 C8 00 00",   // 100
    "GET outputVoltageRiseRate.3",
    "GET outputSwitch.3",
    "GET sysMainSwitch.0",
};

Lines concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace

TEST(Exercise, TwoRunsPrintTheWholeTranscriptAndStopSendsNothing)
{
    // An off crate with four channels; the exercise channel at 5 V, 7.5 V
    // measured, 30 mA, rise rate 10 V/s.
    Sim sim = startSim(R"(
base = "empty"
model = "frozen"
[crate]
groupsNumber = 2
[[channel]]
index = 1
[[channel]]
index = 3
outputVoltage = 5
outputMeasurementSenseVoltage = 7.5
outputMeasurementCurrent = 0.03
[[channel]]
index = 102
[[channel]]
index = 205
)",
                       crateListen);
    ASSERT_EQ(simCommand(sim, "get sysMainSwitch.0"), "ok 0");

    RunResult run = runApp("press STOP\npress START\npress STOP\npress START\npress STOP\n");
    EXPECT_EQ(run.status, 0) << run.err;

    // The second run reads the set voltage and rise rate the first one left.
    Readings first{"1", "4", "2", {"5.000000", "24.200001", "12.300000"}, "7.500000", "0.030000",
                   {"10.000000", "46.000000", "100.000000"}, false};
    Readings second = first;
    second.voltages[0] = "12.300000";
    second.riseRates[0] = "100.000000";
    EXPECT_TRUE(sameText(sessionTranscript(KOVO_TEST_APP_ADDRESS, transcriptOf(first) + transcriptOf(second)), run.out));

    // The crate is switched on before the channel; the stop button, before,
    // between and after the runs, sends nothing.
    EXPECT_EQ(requests(sim), concat({{"GET sysMainSwitch.0"}, exerciseRequests, exerciseRequests}));
    EXPECT_EQ(simCommand(sim, "get sysMainSwitch.0"), "ok 1");
    EXPECT_EQ(simCommand(sim, "get outputSwitch.3"), "ok 1");
    EXPECT_EQ(simCommand(sim, "get outputVoltage.3"), "ok 12.3");
    EXPECT_EQ(simCommand(sim, "get outputVoltageRiseRate.3"), "ok 100");
}

TEST(Exercise, FailedReadsAndWritesShowAsFailureValuesAndTheExerciseGoesOn)
{
    // A crate that will not switch on and has no channel at index 2.
    Sim sim = startSim(R"(
base = "empty"
model = "frozen"
[crate]
groupsNumber = 3
[[channel]]
index = 1
[[fault]]
target = "sysMainSwitch.0"
on = "set"
error = "notWritable"
)",
                       crateListen);
    RunResult run = runApp("press START\n");
    EXPECT_EQ(run.status, 0) << run.err;

    Readings failed{"0", "1", "3", {"0.000000", "0.000000", "0.000000"}, "0.000000", "0.000000",
                    {"0.000000", "0.000000", "0.000000"}, true};
    EXPECT_TRUE(sameText(sessionTranscript(KOVO_TEST_APP_ADDRESS, transcriptOf(failed)), run.out));
    EXPECT_EQ(requests(sim), concat({{"GET sysMainSwitch.0"}, exerciseRequests}));
}

TEST(Exercise, WithoutSessionStartPrintsNothingAndSendsNothing)
{
    // A build whose compiled-in address cannot be opened runs with a null
    // session; the crate on the usual address must hear nothing from it.
    Sim sim = startSim("", crateListen);
    RunResult idle = runApp("", KOVO_NO_SESSION_APP);
    RunResult pressed = runApp("press START\npress STOP\npress START\n", KOVO_NO_SESSION_APP);

    EXPECT_EQ(pressed.status, 0) << pressed.err;
    EXPECT_NE(idle.out.find("Open SNMP session for host \"" KOVO_NO_SESSION_ADDRESS "\""), std::string::npos) << idle.out;
    EXPECT_EQ(pressed.out, idle.out);
    EXPECT_EQ(requests(sim), Lines{});
}
