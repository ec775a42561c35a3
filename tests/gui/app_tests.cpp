// This file contains the end-to-end test of the panel program's window: the
// program (built with a crate address of the test tree's own) against the
// simulated crate on a private X server, under a
// comma-decimal locale, with the status button pressed in its window. The
// channel status table must be on standard output and in the window's pane.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "gui_session.h"
#include "kovo_test_support.h"

using namespace kovo::gui;

namespace {

// Three channels in slot 0 and one at the far end of the walk.
const char* const layout = R"(base = "empty"
model = "frozen"

[[slot]]
slot = 0
names = ["ch0", "ch1", "ch2"]
outputVoltage = 24.5
outputCurrent = 0.125

[[channel]]
slot = 3
channel = 7
outputName = "last"
outputVoltage = 12.25
)";


// How each table line begins, in walk order; the measurements follow.
const std::vector<std::string> tableStarts = {
    "  0 ch0\t[0]\tVset=24.5\tIset=0.125\t",
    "  1 ch1\t[0]\tVset=24.5\tIset=0.125\t",
    "  2 ch2\t[0]\tVset=24.5\tIset=0.125\t",
    "307 last\t[0]\tVset=12.25\tIset=1\t",
};

// Whether line has the table's shape: nine tab-separated fields, the labels
// in order, each value a number without a comma.
bool isTableLine(const std::string& line)
{
    static const char* const labels[] = {"", "[", "Vset=", "Iset=", "Imon=", "Vmon=", "Vterm=", "RUp=", "RDn="};
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');)
        fields.push_back(field);
    if (fields.size() != 9 || line.find(',') != std::string::npos)
        return false;
    for (size_t i = 1; i < fields.size(); ++i) {
        std::string value = fields[i].substr(std::string(labels[i]).size());
        char* end = nullptr;
        if (fields[i].rfind(labels[i], 0) != 0 || (strtod(value.c_str(), &end), *end != (i == 1 ? ']' : '\0')))
            return false;
    }
    return true;
}

}  // namespace

TEST(GuiPanelWindow, TheStatusButtonPrintsTheTableOnStandardOutputAndInThePane)
{
    kovo::test::Sim sim = kovo::test::startSim(layout, "udp:" KOVO_TEST_APP_ADDRESS);
    std::string folder = makeFolder();
    Process server;
    std::string display = startXvfb(&server);
    ASSERT_NE(display, "");

    Process app = spawn({KOVO_TEST_APP}, KOVO_TEST_APP_DIR,
                      {"DISPLAY=" + display, "LC_ALL=de_DE.UTF-8", "MIBDIRS=" KOVO_TEST_MIBDIRS,
                       "XDG_RUNTIME_DIR=" + folder, "LD_PRELOAD=" KOVO_BINARY_DIR "/tests/gui/libkovo_gui_hook.so",
                       "KOVO_GUI_HOOK=press STATUS; pane " + folder + "/pane.txt; press QUIT",
                       "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"},
                      Input::terminal);
    Finished run = finish(&app, 120000);
    server.stop();
    std::ifstream paneFile(folder + "/pane.txt");
    std::stringstream pane;
    pane << paneFile.rdbuf();
    removeFolder(folder);

    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(paneFile.is_open()) << "the window never showed:\n" << run.err;

    // Standard output: start-up, the table with the point as decimal mark, and shut-down.
    std::vector<std::string> out = kovo::test::lines(run.out);
    std::vector<std::string> startUp = kovo::test::lines(kovo::test::sessionTranscript(KOVO_TEST_APP_ADDRESS));
    startUp.pop_back();  // the session's close
    ASSERT_EQ(out.size(), startUp.size() + tableStarts.size() + 1) << run.out;
    for (size_t i = 0; i < out.size(); ++i) {
        if (i < startUp.size()) {
            EXPECT_EQ(out[i], startUp[i]);
        } else if (i - startUp.size() < tableStarts.size()) {
            EXPECT_EQ(out[i].rfind(tableStarts[i - startUp.size()], 0), 0u) << out[i];
            EXPECT_TRUE(isTableLine(out[i])) << out[i];
        } else {
            EXPECT_EQ(out[i], "SNMP session closed");
        }
    }

    // The pane: the same lines up to the table's last, when the window was still up.
    std::vector<std::string> shown = kovo::test::lines(pane.str());
    out.pop_back();
    EXPECT_EQ(shown, out);

    // Showing the crate's state at start-up and the status report only read:
    // nothing was ever written to the crate.
    for (const kovo::test::LogEntry& request : kovo::test::simLog(sim))
        EXPECT_NE(request.pdu, "SET") << request.name;
}
