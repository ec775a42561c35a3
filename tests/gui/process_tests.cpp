// This file contains the tests that run a panel program as at a desktop, on a
// private X server: its standard output reaches the real standard output byte
// for byte and its window's pane as well; the front end follows the
// environment (a script as input, or no display that answers, gives the
// console); and the operator's clicks during a running action start nothing,
// while closing the window then ends the program once the action is over.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "gui_session.h"
#include "x_input.h"

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

[[panel.control]]
id = 3
name = "SLOW"
kind = "command"
callback = "ProbeSlowCB"

[[panel.control]]
id = 4
name = "COUNT"
kind = "command"
callback = "ProbeCountCB"
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
    Process server;
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
        server.stop();
        removeFolder(folder);
    }

    // The probe with the operator's stand-in preloaded to perform steps.
    Process probe(const std::string& displayName, Input input, const std::string& steps, int extraFd = -1,
                const std::string& inputFile = "")
    {
        return spawn({KOVO_BINARY_DIR "/tests/gui/output_probe"}, folder,
                     {"DISPLAY=" + displayName, "LANG=C.UTF-8", "XDG_RUNTIME_DIR=" + folder,
                      "LD_PRELOAD=" KOVO_BINARY_DIR "/tests/gui/libkovo_gui_hook.so", "KOVO_GUI_HOOK=" + steps,
                      "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"},
                     input, extraFd, inputFile);
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
    Process child = probe(display, Input::terminal, "press FLOOD; pane " + folder + "/pane.txt; press QUIT");
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

TEST_F(GuiDesktop, TheWindowOpensWithADisplayUnlessAScriptFeedsStandardInput)
{
    std::ofstream(folder + "/actions.txt") << "press QUIT\n";
    const struct {
        Input input;
        bool window;
    } cases[] = {{Input::terminal, true}, {Input::null, true}, {Input::pipe, false}, {Input::file, false}};
    for (const auto& c : cases) {
        std::string pane = folder + "/pane" + std::to_string(static_cast<int>(c.input)) + ".txt";
        Process child = probe(display, c.input, "pane " + pane + "; press QUIT", -1, folder + "/actions.txt");
        if (c.input == Input::pipe) {
            ASSERT_TRUE(child.write("press QUIT\n"));
        }
        Finished run = finish(&child, 120000);
        int input = static_cast<int>(c.input);
        EXPECT_EQ(run.status, 0) << input << ": " << run.err;
        EXPECT_EQ(run.out, "before the window\n ended after the window: 0\n") << input;
        EXPECT_EQ(std::ifstream(pane).good(), c.window) << input;  // the hook writes it once the window shows
    }
}

TEST_F(GuiDesktop, ClicksDuringAnActionStartNothingAndClosingThenEndsTheProgramAfterIt)
{
    // Descriptor 3 carries the hook's reports out and the word that ends SLOW in.
    int channel[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel), 0);
    Process child = probe(display, Input::null, "locate 3 SLOW COUNT; watch 3", channel[1]);
    close(channel[1]);
    std::string reports;
    ASSERT_TRUE(readUntil(channel[0], "located\n", &reports, 60000)) << reports;
    std::map<std::string, std::pair<long, long>> where;
    std::istringstream lines(reports);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string name;
        words >> name >> where[name].first >> where[name].second;
    }
    auto click = [&](const char* name) { return xClick(display, where[name].first, where[name].second); };

    // A click when nothing runs does start an action, under its name in the status bar.
    reports.clear();
    ASSERT_TRUE(click("COUNT"));
    ASSERT_TRUE(readUntil(channel[0], "idle\n", &reports, 60000)) << reports;
    EXPECT_EQ(reports, "busy COUNT: running\u2026\nidle\n");
    ASSERT_TRUE(click("SLOW"));
    ASSERT_TRUE(child.readUntil("slow begins\n", 60000)) << child.out();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(click("COUNT"));
    uint32_t window = static_cast<uint32_t>(where["window"].first);
    ASSERT_TRUE(xClose(display, window));
    // Once the window has seen an Expose sent after them, the program has
    // read the clicks and the close request: only then does SLOW end.
    ASSERT_TRUE(xExpose(display, window));
    reports.clear();
    ASSERT_TRUE(readUntil(channel[0], "exposed\n", &reports, 60000)) << reports;
    EXPECT_EQ(reports.rfind("busy SLOW: running\u2026\n", 0), 0u) << reports;
    ASSERT_EQ(write(channel[0], "g", 1), 1);

    Finished run = finish(&child, 60000);
    close(channel[0]);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "before the window\ncount\nslow begins\nslow ends\n ended after the window: 0\n");
}

TEST_F(GuiDesktop, WithoutADisplayThatAnswersTheConsoleRunsOnTheTerminal)
{
    for (const char* unreachable : {"", ":9999"}) {
        Process child = probe(unreachable, Input::terminal, "pane " + folder + "/pane.txt");
        EXPECT_TRUE(child.readUntil("Type help for the commands.", 60000, true)) << unreachable << ": " << child.err();
        ASSERT_TRUE(child.write("press QUIT\n"));
        Finished run = finish(&child, 60000);
        EXPECT_EQ(run.status, 0) << unreachable;
        EXPECT_EQ(run.out, "before the window\n ended after the window: 0\n") << unreachable;
        EXPECT_FALSE(std::ifstream(folder + "/pane.txt").good()) << unreachable;
    }
}
