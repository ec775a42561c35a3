// channel_commands_tests.cpp: This file contains the end-to-end tests of the
// crate switch, the set-channels button and the channel switch: the program
// driven through its console against the simulated crate, its standard output
// compared line by line and what reached the crate read from the request log.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "app_driver.h"

using namespace kovo::test;
using Lines = std::vector<std::string>;

namespace {

// Channels at indices 0, 1, 2 and 101 (MIB indices 1, 2, 3 and 102).
const char* const fourChannels = R"(
base = "empty"
model = "frozen"
[[channel]]
index = 1
[[channel]]
index = 2
[[channel]]
index = 3
[[channel]]
index = 102
)";

// The requests of the set-channels button for one channel, with the set
// voltage and the current limit as single-precision bytes.
Lines writesOf(int channel, const std::string& voltage, const std::string& current)
{
    std::string mib = std::to_string(channel + 1);
    return {"SET outputVoltage." + mib + " OPAQUE FLOAT " + voltage,
            "SET outputCurrent." + mib + " OPAQUE FLOAT " + current};
}

}  // namespace

TEST(ChannelCommands, VoltageCommandWritesEveryPresentChannelButIndexZeroAsEntered)
{
    Sim sim = startSim(fourChannels, crateListen);
    RunResult run = runApp("set VSET 24.2\nset ISET 0.25\npress SET_CHANNELS\n"
                           "set VSET -3.25\nset ISET 0\npress SET_CHANNELS\n");
    EXPECT_EQ(run.status, 0) << run.err;

    EXPECT_EQ(lines(run.out), sessionOutput({
                                  "1  Vset=24.200000 Iset=0.250000 ",
                                  "2  Vset=24.200000 Iset=0.250000 ",
                                  "101  Vset=24.200000 Iset=0.250000 ",
                                  "1  Vset=-3.250000 Iset=0.000000 ",
                                  "2  Vset=-3.250000 Iset=0.000000 ",
                                  "101  Vset=-3.250000 Iset=0.000000 ",
                              }));

    // Channel 0 is named but never written; a negative voltage goes to the
    // crate as entered (and the crate refuses it).
    auto writes = [](const std::string& voltage, const std::string& current) {
        return [=](int channel) {
            return channel == 1 || channel == 2 || channel == 101 ? writesOf(channel, voltage, current) : Lines{};
        };
    };
    Lines expected = {"GET sysMainSwitch.0"};
    for (const Lines& press : {channelWalk(writes("41 C1 99 9A", "3E 80 00 00")),
                               channelWalk(writes("C0 50 00 00", "00 00 00 00"))})
        expected.insert(expected.end(), press.begin(), press.end());
    EXPECT_EQ(requests(sim), expected);
    EXPECT_NE(run.err.find("Reason: (badValue)"), std::string::npos) << run.err;
}

TEST(ChannelCommands, WithoutReadableNamesNothingIsPrintedOrWritten)
{
    // The built-in crate's 24 channels, none of whose names can be read.
    Sim sim = startSim("[[fault]]\ntarget = \"outputName\"\non = \"get\"\nerror = \"genErr\"\n", crateListen);
    RunResult run = runApp("press SET_CHANNELS\nset CHANNEL_SWITCH 0\nset CHANNEL_SWITCH 1\npress STATUS\n");
    EXPECT_EQ(run.status, 0) << run.err;

    EXPECT_EQ(lines(run.out), sessionOutput({}));
    Lines expected = {"GET sysMainSwitch.0"};
    for (int command = 0; command < 4; ++command) {
        Lines names = channelWalk([](int) { return Lines{}; });
        expected.insert(expected.end(), names.begin(), names.end());
    }
    EXPECT_EQ(requests(sim), expected);
}

TEST(ChannelCommands, CrateSwitchReportsTheStateReadBack)
{
    Sim sim = startSim("", crateListen);   // the built-in crate, off

    // The control holds 1 minus the state: 0 switches on, 1 off.
    RunResult run = runApp("set CRATE_SWITCH 0\nset CRATE_SWITCH 1\n");
    EXPECT_EQ(lines(run.out), sessionOutput({"Crate is now On", "Crate is now Off"}));
    EXPECT_EQ(requests(sim), (Lines{"GET sysMainSwitch.0", "SET sysMainSwitch.0 INTEGER 01", "GET sysMainSwitch.0",
                                    "SET sysMainSwitch.0 INTEGER 00", "GET sysMainSwitch.0"}));

    // A crate that refuses to switch off reports the state it kept.
    ASSERT_EQ(simCommand(sim, "set sysMainSwitch.0 1"), "ok");
    ASSERT_EQ(simCommand(sim, "fault sysMainSwitch.0 set error notWritable"), "ok");
    size_t before = requests(sim).size();
    run = runApp("set CRATE_SWITCH 1\n");
    EXPECT_EQ(lines(run.out), sessionOutput({"Crate is now On"}));
    EXPECT_EQ(requests(sim, before),
              (Lines{"GET sysMainSwitch.0", "SET sysMainSwitch.0 INTEGER 00", "GET sysMainSwitch.0"}));

    // A read-back that fails gives 0, which reads as off.
    ASSERT_EQ(simCommand(sim, "clear"), "ok");
    ASSERT_EQ(simCommand(sim, "set sysMainSwitch.0 0"), "ok");
    ASSERT_EQ(simCommand(sim, "fault sysMainSwitch.0 get error genErr"), "ok");
    before = requests(sim).size();
    run = runApp("set CRATE_SWITCH 0\n");
    EXPECT_EQ(lines(run.out), sessionOutput({"Crate is now Off"}));
    EXPECT_EQ(requests(sim, before),
              (Lines{"GET sysMainSwitch.0", "SET sysMainSwitch.0 INTEGER 01", "GET sysMainSwitch.0"}));
    EXPECT_EQ(simCommand(sim, "get sysMainSwitch.0"), "ok 1");
}

TEST(ChannelCommands, ChannelSwitchOnWritesWhatIsNotOnAndOffReachesEveryChannel)
{
    // Channel 0 off, 1 already on, 2 and 101 off, 102 on but its state
    // cannot be read.
    Sim sim = startSim(R"(
base = "empty"
model = "frozen"
[[channel]]
index = 1
[[channel]]
index = 2
outputSwitch = 1
[[channel]]
index = 3
[[channel]]
index = 102
[[channel]]
index = 103
outputSwitch = 1
[[fault]]
target = "outputSwitch.103"
on = "get"
error = "genErr"
)",
                       crateListen);
    RunResult run = runApp("set CHANNEL_SWITCH 0\nset CHANNEL_SWITCH 1\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(lines(run.out), sessionOutput({}));

    Lines expected = {"GET sysMainSwitch.0"};
    Lines on = channelWalk([](int channel) -> Lines {
        std::string mib = std::to_string(channel + 1);
        if (channel == 1)
            return {"GET outputSwitch.2"};
        if (channel == 2 || channel == 101 || channel == 102)
            return {"GET outputSwitch." + mib, "SET outputSwitch." + mib + " INTEGER 01"};
        return {};
    });
    // Off is written without a read: a failed read would pass for off.
    Lines off = channelWalk([](int channel) -> Lines {
        if (channel == 1 || channel == 2 || channel == 101 || channel == 102)
            return {"SET outputSwitch." + std::to_string(channel + 1) + " INTEGER 00"};
        return {};
    });
    expected.insert(expected.end(), on.begin(), on.end());
    expected.insert(expected.end(), off.begin(), off.end());
    EXPECT_EQ(requests(sim), expected);
    EXPECT_EQ(simCommand(sim, "get outputSwitch.103"), "ok 0");
}

TEST(ChannelCommands, EventsOtherThanCommitChangeNothing)
{
    Sim sim = startSim(fourChannels, crateListen);
    RunResult run = runApp("event CRATE_SWITCH 0\nevent CRATE_SWITCH 2\nevent SET_CHANNELS 3\n"
                           "event CHANNEL_SWITCH 5\nevent STATUS 2\nevent START 4\nevent STOP 0\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(lines(run.out), sessionOutput({}));
    EXPECT_EQ(requests(sim), Lines{"GET sysMainSwitch.0"});
}

TEST(ChannelCommands, ValueThatCannotBeReadFromThePanelIsNeverWritten)
{
    // A panel file whose switches are buttons and which has no set-voltage or
    // current-limit control: no command can read the value it would write.
    const std::string dir = makeTempDir("kovo-panel");
    std::ofstream(dir + "/kovo_uir.uir") << R"(
[[panel]]
resource = 1
name = "PANEL"
title = "Switches as buttons"

[[panel.control]]
id = 9
name = "CRATE_SWITCH"
kind = "command"
label = "Crate"
callback = "KovoOnOffCB"
row = 0
column = 0

[[panel.control]]
id = 4
name = "SET_CHANNELS"
kind = "command"
label = "Set channels"
callback = "KovoChannelsOutputVoltageCB"
row = 0
column = 1

[[panel.control]]
id = 5
name = "CHANNEL_SWITCH"
kind = "command"
label = "Channels"
callback = "KovoChannelsOnOffCB"
row = 0
column = 2
)";
    Sim sim = startSim(fourChannels, crateListen);
    RunResult run = runApp("press CRATE_SWITCH\npress SET_CHANNELS\npress CHANNEL_SWITCH\n",
                           testApp, dir);
    std::filesystem::remove_all(dir);

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(lines(run.out), sessionOutput({}));
    EXPECT_EQ(requests(sim), Lines{"GET sysMainSwitch.0"});
}

// The program itself opens its session to the crate address compiled into
// it. Only a loopback address is tried: no test reaches a real crate.
TEST(CompiledInAddress, TheProgramsSessionReachesTheCrateAtItsCompiledInAddress)
{
    const struct {
        const char* program;
        std::string address, listen;
    } builds[] = {
        {KOVO_BINARY_DIR "/app/kovo_uir", KOVO_CRATE_ADDRESS, "udp:" KOVO_CRATE_ADDRESS},
        {KOVO_TEST_APP6, KOVO_TEST_APP_ADDRESS6, KOVO_TEST_APP_ADDRESS6},
    };
    for (const auto& build : builds) {
        SCOPED_TRACE(build.address);
        if (build.address.rfind("127.", 0) != 0 && build.address.rfind("udp6:[::1]", 0) != 0)
            continue;  // a compiled-in address of another machine

        Sim sim = startSim("", build.listen);
        RunResult run = runApp("", build.program, std::filesystem::path(build.program).parent_path().string());
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");  // the main switch was read
        EXPECT_EQ(lines(run.out), sessionOutput({}, build.address));
        EXPECT_EQ(requests(sim), Lines{"GET sysMainSwitch.0"});
    }
}
