// This file contains the tests that run a panel program as at a desktop, on a
// private X server with a terminal as its input: its standard output reaches
// the real standard output byte for byte and its window's pane as well, and
// the front end follows the environment (a pipe as input, or no display that
// answers, gives the console).
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "gui_session.h"

using namespace kovo::gui;

namespace {

const char* const probePanel = R"([[panel]]
resource = 1
name = "PROBE"

[[panel.control]]
id = 1
name = "FLOOD"
kind = "command"
callback = "ProbeFloodCB"

[[panel.control]]
id = 2
name = "QUIT"
kind = "command"
callback = "ProbeQuitCB"
)";

// What the probe writes on standard output when FLOOD and then QUIT are pressed.
std::string probeOutput()
{
    std::string text = "before the window\n";
    char line[64];
    for (int i = 0; i < 20000; ++i) {
        snprintf(line, sizeof line, "line %05d of the flood\n", i);
        text += line;
    }
    return text + "a line begun in the callback ended after the window: 0\n";
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

struct GuiDesktop : testing::Test {
    Child server;
    std::string display, folder;

    void SetUp() override
    {
        display = startXvfb(&server);
        ASSERT_NE(display, "") << "Xvfb did not start";
        folder = makeFolder();
        std::ofstream(folder + "/probe.uir") << probePanel;
    }
    void TearDown() override
    {
        stopChild(&server);
        removeFolder(folder);
    }

    // The probe with the operator's stand-in preloaded to perform steps.
    Child probe(const std::string& displayName, bool onTerminal, const std::string& steps)
    {
        return spawn({KOVO_BINARY_DIR "/tests/gui/output_probe"}, folder,
                     {"DISPLAY=" + displayName, "LANG=C.UTF-8", "XDG_RUNTIME_DIR=" + folder,
                      "LD_PRELOAD=" KOVO_BINARY_DIR "/tests/gui/libkovo_gui_hook.so", "KOVO_GUI_HOOK=" + steps,
                      "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"},
                     onTerminal);
    }
};

// The lines of text that do not start with prefix.
std::vector<std::string> linesWithout(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> lines;
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);)
        if (line.rfind(prefix, 0) != 0)
            lines.push_back(line);
    return lines;
}

}  // namespace

TEST_F(GuiDesktop, StandardOutputIsExactAndTheWindowsPaneShowsItToo)
{
    Child child = probe(display, true, "press FLOOD; pane " + folder + "/pane.txt; press QUIT");
    Finished run = finish(&child, 120000);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out == probeOutput()) << "standard output differs; its first 200 bytes:\n" << run.out.substr(0, 200);
    size_t at = 0;
    for (int i = 0; i < 20000; i += 5000) {
        at = run.err.find("error " + std::to_string(i) + "\n", at);
        EXPECT_NE(at, std::string::npos) << "error " << i << " missing or out of order:\n" << run.err;
    }

    // The pane had all of it once the callback returned, errors on lines of their own.
    std::vector<std::string> pane = linesWithout(readFile(folder + "/pane.txt"), "error ");
    std::vector<std::string> expected = linesWithout(probeOutput(), "a line begun");
    expected.push_back("a line begun in the callback");
    EXPECT_TRUE(pane == expected) << "the pane has " << pane.size() << " lines of standard output, not "
                                  << expected.size();
}

TEST_F(GuiDesktop, WithAPipeAsInputTheConsoleRunsEvenWithADisplay)
{
    Child child = probe(display, false, "pane " + folder + "/pane.txt");
    std::string input = "press FLOOD\npress QUIT\n";
    ASSERT_EQ(write(child.terminal, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    Finished run = finish(&child, 120000);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out == probeOutput());
    EXPECT_FALSE(std::ifstream(folder + "/pane.txt").good());  // no window was shown
}

TEST_F(GuiDesktop, WithoutADisplayThatAnswersTheConsoleRunsOnTheTerminal)
{
    for (const char* unreachable : {"", ":9999"}) {
        Child child = probe(unreachable, true, "pane " + folder + "/pane.txt");
        std::string err;
        EXPECT_TRUE(readUntil(child.err, "Type help for the commands.", &err, 60000)) << unreachable << ": " << err;
        std::string input = "press QUIT\n";
        ASSERT_EQ(write(child.terminal, input.data(), input.size()), static_cast<ssize_t>(input.size()));
        Finished run = finish(&child, 60000);
        EXPECT_EQ(run.status, 0) << unreachable;
        EXPECT_EQ(run.out, "before the window\n ended after the window: 0\n") << unreachable;
        EXPECT_FALSE(std::ifstream(folder + "/pane.txt").good()) << unreachable;
    }
}
