// status_tests.cpp: This file contains the end-to-end test of the channel
// status report: its exact lines for a known crate, and the reads it makes.
#include <gtest/gtest.h>

#include "app_driver.h"

using namespace kovo::test;
using Lines = std::vector<std::string>;

TEST(StatusReport, PrintsOneExactLinePerPresentChannelInWalkOrder)
{
    // Channels 0, 5, 102 and 107; every value different, so that a field out
    // of place shows. Channel 102's three measurements fail in three ways.
    // Channel 107's name holds a terminal escape sequence, a tab and DEL,
    // which the table shows escaped, and UTF-8, which it shows as it is;
    // channels 200 and 201 have hostile names, shown escaped and cut.
    Sim sim = startSim(R"(
base = "empty"
model = "frozen"
[[channel]]
index = 1
outputName = "U0"
outputSwitch = 1
outputVoltage = 12.5
outputCurrent = 0.25
outputMeasurementTerminalVoltage = 12.75
outputMeasurementSenseVoltage = 12.25
outputMeasurementCurrent = 0.125
outputVoltageRiseRate = 20
outputVoltageFallRate = 40
[[channel]]
index = 6
outputName = "HV five"
outputVoltage = 3
outputCurrent = 1.5
outputMeasurementTerminalVoltage = 2.75
outputMeasurementSenseVoltage = 2.5
outputMeasurementCurrent = 0.0625
outputVoltageRiseRate = 5
outputVoltageFallRate = 7.5
[[channel]]
index = 103
outputName = "Bad-meas"
outputSwitch = 1
outputVoltage = 24
outputCurrent = 2
outputMeasurementTerminalVoltage = 23
outputMeasurementSenseVoltage = 22
outputMeasurementCurrent = 0.5
[[channel]]
index = 108
outputName = "A107\u001b]0;x\u0007\tΩ\u007f"
[[channel]]
index = 201
[[channel]]
index = 202
[[fault]]
target = "outputMeasurementSenseVoltage.103"
on = "get"
error = "genErr"
[[fault]]
target = "outputMeasurementTerminalVoltage.103"
on = "get"
exception = "noSuchInstance"
[[fault]]
target = "outputMeasurementCurrent.103"
on = "get"
type = "Counter32"
)",
                       crateListen);
    // Names no layout can hold: C1 controls in both encodings and bytes that
    // are no UTF-8; a NUL, a right-to-left override, the line and paragraph
    // separators, a backslash (shown as itself) and far more than the MIB's
    // 32 bytes.
    EXPECT_EQ(simCommand(sim, "set outputName.201 C1\xC2\x9B\xC2\x9D|\x9B\x9D\x9C|\xFF\xFE"), "ok");
    EXPECT_EQ(simCommand(sim, "set outputName.202 \"U0\\u0000 HIDDEN\\u202e\\u2028\\u2029\\\\" +
                                  std::string(1000, 'N') + "\""),
              "ok");
    RunResult run = runApp("press STATUS\n");
    EXPECT_EQ(run.status, 0) << run.err;

    EXPECT_TRUE(sameText(sessionTranscript(KOVO_TEST_APP_ADDRESS, transcript("commands/status.txt")), run.out));

    // Each listed channel's eight values are read after its name, in this
    // order; only names are read for absent channels; nothing is written.
    Lines expected = {"GET sysMainSwitch.0"};
    Lines walk = channelWalk([](int channel) -> Lines {
        if (channel != 0 && channel != 5 && channel != 102 && channel != 107 && (channel < 200 || channel > 201))
            return {};
        Lines reads;
        for (const char* object : {"outputSwitch", "outputVoltage", "outputCurrent",
                                   "outputMeasurementTerminalVoltage", "outputMeasurementSenseVoltage",
                                   "outputMeasurementCurrent", "outputVoltageRiseRate", "outputVoltageFallRate"})
            reads.push_back(std::string("GET ") + object + "." + std::to_string(channel + 1));
        return reads;
    });
    expected.insert(expected.end(), walk.begin(), walk.end());
    EXPECT_EQ(requests(sim), expected);
    EXPECT_NE(run.err.find("Error in packet\nReason: (genError)"), std::string::npos) << run.err;
}
