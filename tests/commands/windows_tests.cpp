// windows_tests.cpp: This file contains the start-up of the program as the
// Windows package lays it out: the program and its panel file in a folder of
// their own, the MIB modules in "mibs" beside them, searched behind MIBDIRS
// (unset, or naming a folder without them). Winsock there is the real one,
// whose outcome line the library prints.
#include <gtest/gtest.h>

#include <filesystem>

#include "app_driver.h"

namespace kovo::test {
namespace {

namespace fs = std::filesystem;

TEST(WindowsStartUp, TheMibFolderBesideTheProgramIsFoundAndWinsockIsStarted)
{
    const std::string opened = "Open SNMP session for host \"" KOVO_NO_SESSION_ADDRESS "\": ";
    const std::vector<std::string> started = lines(transcript("library/startup.txt"));
    struct Case {
        bool mibsBeside;
        bool mibdirsSet;     // MIBDIRS names the program's folder, which holds no module
        std::vector<std::string> firstLines;
    } cases[] = {
        {true, false, started},
        {true, true, started},
        {false, false, lines(transcript("library/startup-without-mib.txt"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mibsBeside ? "with mibs beside the program" : "without") +
                     (c.mibdirsSet ? ", MIBDIRS set" : ""));
        const fs::path folder = makeTempDir("kovo-package");
        for (const char* file : {"kovo_uir_no_session.exe", "kovo_uir.uir"})
            fs::copy_file(fs::path(KOVO_TEST_APP_DIR) / file, folder / file);
        if (c.mibsBeside)
            fs::copy(KOVO_MIB_DIR, folder / "mibs");

        const std::string mibdirs = c.mibdirsSet ? "MIBDIRS=" + folder.string() : "MIBDIRS";  // bare: unset
        const RunResult run = runProgram({(folder / "kovo_uir_no_session.exe").string()}, "", folder.string(), {mibdirs});
        const std::vector<std::string> out = lines(run.out);
        EXPECT_EQ(run.status, 0) << run.err;
        ASSERT_GE(out.size(), c.firstLines.size()) << run.out;
        EXPECT_EQ(std::vector<std::string>(out.begin(), out.begin() + static_cast<long>(c.firstLines.size())),
                  c.firstLines);
        // Started, the program opens its session (which fails on this address) and runs on.
        if (c.mibsBeside) {
            EXPECT_EQ(out.at(c.firstLines.size()).rfind(opened, 0), 0u) << run.out;
        }
        if (!::testing::Test::HasFailure())
            fs::remove_all(folder);
    }
}

}  // namespace
}  // namespace kovo::test
