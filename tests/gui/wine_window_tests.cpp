// This file contains the window tests of the Windows program under Wine: the
// program started as from a desktop (no terminal, /dev/null as input) on a
// private X server, against the simulated crate, clicked and typed into
// through the X server's test extension as an operator would, and looked at
// from inside Wine through window_peek. It is a Linux program; the Windows
// build runs it with the command that runs Windows programs as arguments.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "gui_session.h"
#include "kovo_test_support.h"
#include "x_input.h"

extern char** environ;

using namespace kovo::gui;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> wine;  // runs a Windows program: the arguments after the test options
std::string folder;             // the Windows build's folder of these tests, from KOVO_WINDOWS_TESTS
std::string address;            // the programs' crate address, from KOVO_TEST_APP_ADDRESS

// Three channels in slot 0, two full modules, and one channel at the far end
// of the walk: a status table longer than the pane shows.
const char* const layout = R"(base = "empty"
model = "frozen"

[[slot]]
slot = 0
names = ["ch0", "ch1", "ch2"]

[[slot]]
slot = 1
channels = 8

[[slot]]
slot = 2
channels = 8

[[channel]]
slot = 3
channel = 7
outputName = "last"
)";

const std::vector<std::string> panelControls = {"Crate off",      "Set voltage [V]", "Current limit [A]",
                                                "Set channels",   "Channels off",    "Status",
                                                "Start exercise", "Stop exercise",   "Quit"};

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string withoutCarriageReturns(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// A program of the tests' folder under Wine, with this process's environment on display.
Process startWindows(const std::string& program, const std::string& display, Input input)
{
    std::vector<std::string> argv = wine, env;
    argv.push_back(folder + "/" + program);
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::string(*entry).rfind("DISPLAY=", 0) != 0)
            env.push_back(*entry);
    env.push_back("DISPLAY=" + display);
    return spawn(argv, folder, env, input);
}

struct Control {
    bool enabled = false;
    int x = 0, y = 0;
};

// The lines an edit control has and those it shows whole, counted from 0.
struct View {
    long first = -1, last = -1, count = -1;
};

struct WineWindow : testing::Test {
    Process server, app, peek;
    std::string display, out;  // out: the program's standard output read so far
    kovo::test::Sim sim;
    uint32_t window = 0;

    void SetUp() override
    {
        display = startXvfb(&server);
        ASSERT_NE(display, "") << "Xvfb did not start";
        sim = kovo::test::startSim(layout, "udp:" + address);
        Clock::time_point started = Clock::now();
        app = startWindows("wine_kovo_uir.exe", display, Input::null);
        peek = startWindows("window_peek.exe", display, Input::pipe);
        std::string found = ask("find Crate control");
        double startToWindow = secondsSince(started);
        ASSERT_EQ(found.rfind("window ", 0), 0u) << found;
        window = static_cast<uint32_t>(std::stoul(found.substr(7)));
        printf("start to window under Wine: %.2f s\n", startToWindow);
    }
    void TearDown() override
    {
        kovo::test::stopSim(sim);  // the next test's crate takes the same port
        peek.stop();
        app.stop();
        server.stop();
    }

    // The peek's answer to request: its lines up to and including the one
    // that is `last` (by default the first).
    std::string ask(const std::string& request, const std::string& last = "")
    {
        std::string answers, line;
        bool answered = peek.write(request + "\n");
        while (answered && (answered = peek.readLine(line, 90000))) {
            answers += line + "\n";
            if (last.empty() || withoutCarriageReturns(line) == last)
                break;
        }
        if (!answered)
            ADD_FAILURE() << "window_peek did not answer " << request << ": " << answers;
        return answers;
    }

    std::map<std::string, Control> controls()
    {
        std::map<std::string, Control> found;
        std::istringstream lines(ask("controls", "end"));
        for (std::string line; std::getline(lines, line) && line != "end";) {
            std::string name = line.substr(0, line.find('\t'));
            std::istringstream fields(line.substr(name.size()));
            Control& c = found[name];
            fields >> c.enabled >> c.x >> c.y;
        }
        return found;
    }

    std::string text(const std::string& name)
    {
        std::string body;
        if (!peek.readBytes(std::stoul(ask("text " + name)), body, 90000))
            ADD_FAILURE() << "window_peek did not send the text of " << name;
        return body;
    }

    View view(const std::string& name)
    {
        View v;
        std::istringstream(ask("lines " + name)) >> v.first >> v.last >> v.count;
        return v;
    }

    // Presses Status and reads standard output to the end of the table's
    // last line: what the pane then holds, line ends as "\n".
    std::string pressStatus()
    {
        click("Status");
        for (std::string line; app.readLine(line, 60000);) {
            out += withoutCarriageReturns(line) + "\n";
            if (line.rfind("307 last", 0) == 0)
                return out.substr(0, out.size() - 1);  // the pane shows no empty line after the last
        }
        ADD_FAILURE() << "no table: " << app.out();
        return "";
    }

    // Polls name's text until it is want (or holds it, with contains), 30 s at most.
    bool waitForText(const std::string& name, const std::string& want, bool contains = false)
    {
        for (Clock::time_point start = Clock::now(); secondsSince(start) < 30;) {
            std::string now = text(name);
            if (contains ? now.find(want) != std::string::npos : now == want)
                return true;
        }
        return false;
    }

    void click(const std::string& name)
    {
        Control c = controls()[name];
        ASSERT_TRUE(c.x > 0 && xClick(display, c.x, c.y)) << name;
    }
};

}  // namespace

TEST_F(WineWindow, StatusFillsThePaneAsStandardOutputAndRefusedTextIsNamedByItsLabel)
{
    std::map<std::string, Control> shown = controls();
    for (const std::string& name : panelControls)
        EXPECT_TRUE(shown.count(name) == 1 && shown[name].enabled) << name;
    ASSERT_TRUE(shown.count("pane") == 1 && shown.count("status") == 1);

    std::string table = pressStatus();
    EXPECT_TRUE(waitForText("pane", table)) << text("pane");

    // Text committed with Enter and refused is explained by the field's label;
    // a button pressed then only points at it (standard output shows no second table).
    click("Set voltage [V]");
    ASSERT_TRUE(xKeys(display, {0xff57, 0xff08, 0xff08, 0xff08, 0xff08, 0xff08, 0xff08, '2', '4', ',', '5', 0xff0d}));
    EXPECT_TRUE(waitForText("status", "Set voltage [V] takes a number, not \"24,5\"")) << text("status");
    click("Status");

    ASSERT_TRUE(xClose(display, window));
    Finished run = finish(&app, 60000);
    EXPECT_EQ(run.status, 0) << run.err;

    // Standard output is the console program's, byte for byte, line ends included.
    Process console = startWindows("wine_kovo_uir_console.exe", display, Input::pipe);
    ASSERT_TRUE(console.write("press STATUS\n"));
    console.closeInput();
    Finished alone = finish(&console, 60000);
    EXPECT_EQ(run.out, alone.out);
    EXPECT_NE(alone.out.find("\r\n307 last\t[0]\t"), std::string::npos) << alone.out;
}

TEST_F(WineWindow, ThePaneFollowsTheEndOfTheOutputUnlessScrolledAway)
{
    std::string table = pressStatus();
    ASSERT_TRUE(waitForText("pane", table)) << text("pane");
    View end = view("pane");
    ASSERT_GT(end.count, end.last - end.first + 1) << "the output fits the pane: the crate needs more channels";
    EXPECT_EQ(end.last, end.count - 1) << "first " << end.first << ", last " << end.last;
    EXPECT_EQ(kovo::test::lines(table).size(), static_cast<size_t>(end.count));

    // Scrolled a page up by the operator, the view stays there as output arrives.
    click("pane");
    ASSERT_TRUE(xKeys(display, {0xff55}));  // Page Up
    View up;
    for (Clock::time_point start = Clock::now(); secondsSince(start) < 30 && up.first < 0;)
        if (View now = view("pane"); now.first < end.first)
            up = now;
    ASSERT_GE(up.first, 0) << "Page Up did not scroll the pane";
    table = pressStatus();
    ASSERT_TRUE(waitForText("pane", table)) << text("pane");
    View after = view("pane");
    EXPECT_EQ(after.first, up.first);
    EXPECT_GT(after.count, end.count);
}

TEST_F(WineWindow, DuringTheExerciseThePaneFollowsClicksStartNothingAndClosingEndsAfterIt)
{
    click("Start exercise");
    EXPECT_TRUE(waitForText("status", "Start exercise: running\u2026")) << text("status");
    EXPECT_FALSE(controls()["Status"].enabled);

    // Each line reaches the pane while the exercise still runs; how long after
    // it reached standard output is measured, not judged.
    std::vector<double> latencies;
    for (const char* line : {"Turning channel 2 ON", ".... Turning channel 2 ON", "Channel Status = "}) {
        ASSERT_TRUE(app.readUntil(line, 30000)) << app.out();
        Clock::time_point seen = Clock::now();
        EXPECT_TRUE(waitForText("pane", line, true)) << line;
        latencies.push_back(secondsSince(seen));
        if (latencies.size() == 1)
            for (int i = 0; i < 3; ++i)
                click("Status");
    }
    for (double latency : latencies)
        printf("line to pane (upper bound, one peek round trip included): %.3f s\n", latency);
    ASSERT_TRUE(xClose(display, window));

    Finished run = finish(&app, 60000);
    std::vector<std::string> lines = kovo::test::lines(withoutCarriageReturns(run.out));
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "SNMP session closed");
    EXPECT_EQ(lines[lines.size() - 2], std::string(65, '-'));  // the exercise ran to its end first
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("Vset="), std::string::npos) << "a click during the exercise ran: " << line;
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    const char* tests = getenv("KOVO_WINDOWS_TESTS");
    const char* crate = getenv("KOVO_TEST_APP_ADDRESS");
    for (int i = 1; i < argc; ++i)
        wine.push_back(argv[i]);
    if (tests == nullptr || crate == nullptr || wine.empty()) {
        fprintf(stderr, "usage: KOVO_WINDOWS_TESTS=FOLDER KOVO_TEST_APP_ADDRESS=HOST:PORT %s [test options] WINE...\n",
                argv[0]);
        return 2;
    }
    folder = tests;
    address = crate;
    kovo::test::keepMachineNetwork();  // the programs' sockets are made by Wine's server
    return RUN_ALL_TESTS();
}
