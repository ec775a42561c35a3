// This file contains the start-up tests of the library: the log lines, the
// translation of the catalogue against the real MIB and against variants of it,
// and the Winsock start-up outcomes. Each case runs the catalogue probe.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kovo_test_support.h"

namespace fs = std::filesystem;
using kovo::test::readFile;
using kovo::test::sameText;
using kovo::test::transcript;

namespace {

using Output = kovo::test::RunResult;

fs::path freshDir()
{
    char pattern[] = "/tmp/kovo-startup-XXXXXX";
    return fs::path(mkdtemp(pattern));
}

// Runs the probe (or a copy of it) with Net-SNMP's MIB path set to mibdirs;
// with mibdirs empty, with MIBDIRS unset and a configuration whose MIB
// folders hold only the base modules.
Output runProbe(const std::string& mibdirs, const std::string& args, const std::string& probe = CATALOGUE_PROBE)
{
    fs::path dir = freshDir();
    std::ofstream(dir / "snmp.conf") << "mibs :\nmibdirs /usr/share/snmp/mibs/ietf\n";
    std::vector<std::string> argv{probe};
    std::istringstream words(args);
    for (std::string word; words >> word;)
        argv.push_back(word);
    const std::vector<std::string> env = mibdirs.empty()
                                             ? std::vector<std::string>{"MIBDIRS", "SNMPCONFPATH=" + dir.string()}
                                             : std::vector<std::string>{"MIBDIRS=" + mibdirs};
    Output result = kovo::test::runProgram(argv, "", "", env);
    EXPECT_EQ(result.status, 0) << result.err;
    fs::remove_all(dir);
    return result;
}

const std::string baseModules = "/usr/share/snmp/mibs/ietf";
const std::string testMibs = KOVO_TEST_MIBDIRS;

// A copy of the crate MIB in a folder of its own, with one object's descriptor
// renamed so that the object's name no longer resolves.
std::string mibWithout(const std::string& object, const fs::path& dir)
{
    std::string text = readFile(fs::path(KOVO_SOURCE_DIR) / "mib" / "TORVAN-CRATE-MIB.txt");
    std::string definition = "\n" + object + " OBJECT-TYPE";
    size_t at = text.find(definition);
    EXPECT_NE(at, std::string::npos) << object;
    text.replace(at, definition.size(), "\n" + object + "Gone OBJECT-TYPE");
    std::ofstream(dir / "TORVAN-CRATE-MIB.txt") << text;
    return dir.string() + ":" + baseModules;
}

const std::string channelColumn = "1.3.6.1.4.1.32473.1.2.2.1.";

}  // namespace

TEST(Startup, NormalStartLogsEachStageInOrderAndNothingOnStandardError)
{
    Output probe = runProbe(testMibs, "");
    EXPECT_TRUE(sameText(transcript("library/startup.txt") + "result 1\ncleanups 0\n", probe.out));
    EXPECT_EQ(probe.err, "");
}

TEST(Startup, ChannelEntryKTranslatesMibIndexKPlusOneUpToTheLastChannel)
{
    Output probe = runProbe(testMibs, "OutputVoltage:0 OutputVoltage:100 OutputVoltage:305 OutputVoltage:998 "
                                      "OutputVoltage:999 OutputVoltage:1000 OutputVoltage:1099 ChannelSwitch:107");
    const std::string v = "length 13 oid " + channelColumn + "9.";
    EXPECT_NE(probe.out.find("OutputVoltage:0 " + v + "1\n"), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("OutputVoltage:100 " + v + "101\n"), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("OutputVoltage:305 " + v + "306\n"), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("OutputVoltage:998 " + v + "999\n"), std::string::npos) << probe.out;
    // The last channel has an identifier of its own: a write to it must never reach channel 998.
    EXPECT_NE(probe.out.find("OutputVoltage:999 " + v + "1000\n"), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("OutputVoltage:1000 length 0\n"), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("OutputVoltage:1099 length 0\n"), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("ChannelSwitch:107 length 13 oid " + channelColumn + "8.108\n"), std::string::npos)
        << probe.out;
}

TEST(Startup, ScalarsSensorsCommunitiesAndFansTranslateFromOne)
{
    Output probe = runProbe(testMibs, "SysMainSwitch SensorTemperature:0 SensorTemperature:7 SensorTemperature:8 "
                                      "SensorFailureThreshold:11 SnmpCommunityName:3 FanSpeed:5 PsDirectAccess");
    const std::string crate = "1.3.6.1.4.1.32473.1.";
    EXPECT_NE(probe.out.find("SysMainSwitch length 11 oid " + crate + "1.1.0\n"), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("SensorTemperature:0 length 13 oid " + crate + "3.2.1.2.1\n"), std::string::npos);
    EXPECT_NE(probe.out.find("SensorTemperature:7 length 13 oid " + crate + "3.2.1.2.8\n"), std::string::npos);
    EXPECT_NE(probe.out.find("SensorTemperature:8 length 0\n"), std::string::npos);
    EXPECT_NE(probe.out.find("SensorFailureThreshold:11 length 0\n"), std::string::npos);
    EXPECT_NE(probe.out.find("SnmpCommunityName:3 length 13 oid " + crate + "4.1.1.2.4\n"), std::string::npos);
    EXPECT_NE(probe.out.find("FanSpeed:5 length 13 oid " + crate + "6.8.1.2.6\n"), std::string::npos);
    EXPECT_NE(probe.out.find("PsDirectAccess length 11 oid " + crate + "5.4.0\n"), std::string::npos);
}

TEST(Startup, ObjectsThatAreNeverTranslatedKeepLengthZeroAndDoNotFailStartUp)
{
    Output probe = runProbe(testMibs, "OutputGroup:0 GroupSwitch:5 OutputSupervisionMaxTemperature:0 "
                                      "PsFirmwareVersion FanFirmwareVersion");
    EXPECT_NE(probe.out.find("result 1\n"), std::string::npos);
    for (const char* entry : {"OutputGroup:0", "GroupSwitch:5", "OutputSupervisionMaxTemperature:0",
                              "PsFirmwareVersion", "FanFirmwareVersion"})
        EXPECT_NE(probe.out.find(std::string(entry) + " length 0\n"), std::string::npos) << entry;
}

TEST(Startup, WithoutMibdirsTheModuleComesFromTheLibrarysOwnFolder)
{
    Output probe = runProbe("", "SysMainSwitch");
    EXPECT_NE(probe.out.find("result 1\n"), std::string::npos) << probe.out << probe.err;
    EXPECT_NE(probe.out.find("SysMainSwitch length 11 "), std::string::npos) << probe.out;
}

TEST(Startup, MissingModuleLogsOneLineAndTranslatesNothing)
{
    // A copy of the probe outside the build tree has no folder of its own.
    fs::path empty = freshDir();
    fs::copy_file(CATALOGUE_PROBE, empty / "probe");
    Output probe = runProbe(empty.string() + ":" + baseModules, "SysMainSwitch OutputName:0 FanSpeed:0",
                            (empty / "probe").string());
    fs::remove_all(empty);
    EXPECT_TRUE(sameText(transcript("library/startup-without-mib.txt") +
                             "result 0\n"
              "cleanups 0\n"
              "SysMainSwitch length 0\n"
              "OutputName:0 length 0\n"
                             "FanSpeed:0 length 0\n",
                         probe.out));
}

TEST(Startup, MissingOutputVoltageStopsAtTheFirstChannelWithItsMessage)
{
    fs::path dir = freshDir();
    Output probe = runProbe(mibWithout("outputVoltage", dir),
                            "GroupsNumber OutputName:0 ChannelSwitch:0 OutputVoltage:0 OutputCurrent:0 OutputName:1");
    fs::remove_all(dir);
    EXPECT_EQ(probe.out.substr(0, probe.out.find("result")),
              "*** Initialise SNMP ***\n"
              "*** Translate OIDs ***\n"
              "OID \"outputVoltage.1\"not found\n");
    EXPECT_NE(probe.out.find("result 0\n"), std::string::npos);
    EXPECT_NE(probe.out.find("GroupsNumber length 11 "), std::string::npos);
    EXPECT_NE(probe.out.find("OutputName:0 length 13 "), std::string::npos);
    EXPECT_NE(probe.out.find("ChannelSwitch:0 length 13 "), std::string::npos);
    EXPECT_NE(probe.out.find("OutputVoltage:0 length 128"), std::string::npos);
    EXPECT_NE(probe.out.find("OutputCurrent:0 length 0\n"), std::string::npos);
    EXPECT_NE(probe.out.find("OutputName:1 length 0\n"), std::string::npos);
}

TEST(Startup, MissingObjectsOfLaterRunsLogTheirRowsMessages)
{
    struct Case {
        const char* object;
        const char* message;
    } cases[] = {
        {"outputVoltageFallRate", "OID \"outputFallRate.1\"not found\n"},
        {"sensorWarningThreshold", "OID \"WarningThreshold\"not found\n"},
        {"psSerialNumber", "OID \"psSerialNumber\"not found\n"},
        {"fanSpeed", "OID \"FanSpeed\"not found\n"},
    };
    for (const Case& c : cases) {
        fs::path dir = freshDir();
        Output probe = runProbe(mibWithout(c.object, dir), "");
        fs::remove_all(dir);
        std::string ending = std::string(c.message) + "result 0\ncleanups 0\n";
        ASSERT_GE(probe.out.size(), ending.size()) << c.object;
        EXPECT_EQ(probe.out.substr(probe.out.size() - ending.size()), ending) << c.object;
        EXPECT_EQ(probe.out.find("*** Initialise SNMP done ***"), std::string::npos) << c.object;
    }
}

TEST(Startup, WinsockFailuresAreReportedButStartUpStillSucceeds)
{
    Output failed = runProbe(testMibs, "--winsock-error 10091");
    EXPECT_NE(failed.out.find("*** Initialise SNMP done ***\nWSAStartup failed with error: 10091\nresult 1\ncleanups 0\n"),
              std::string::npos)
        << failed.out;

    Output oldVersion = runProbe(testMibs, "--winsock-version 0x0101");
    EXPECT_NE(oldVersion.out.find("*** Initialise SNMP done ***\nCould not find a usable version of Winsock.dll\n"
                                  "result 1\ncleanups 1\n"),
              std::string::npos)
        << oldVersion.out;

    Output wrongMinor = runProbe(testMibs, "--winsock-version 0x0102");
    EXPECT_NE(wrongMinor.out.find("Could not find a usable version of Winsock.dll\nresult 1\n"), std::string::npos);
}
