// This file contains the tests of the run-time's calls and of the console
// front end driven in-process: control values as the program sees them,
// operator actions line by line and their errors, callbacks and the loop's end.
#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

#include "cvirte.h"
#include "frontend.h"
#include "ui_test_callbacks.h"
#include "ui_test_files.h"
#include "utility.h"

namespace {

// SWITCH (2) and GO (4) record their calls; LEVEL (3) has none; STOP (5) quits with 7.
const char* const panelText = R"([[panel]]
resource = 1
name = "TEST"

[[panel.control]]
id = 2
name = "SWITCH"
kind = "toggle"
callback = "TestRecordCB"

[[panel.control]]
id = 3
name = "LEVEL"
kind = "numeric"
min = -5
max = 5
format = "%.2f"

[[panel.control]]
id = 4
name = "GO"
kind = "command"
callback = "TestRecordCB"

[[panel.control]]
id = 5
name = "STOP"
kind = "command"
callback = "TestQuitCB"
)";

enum { SWITCH = 2, LEVEL = 3, GO = 4, STOP = 5 };

// A loaded and displayed test panel, discarded at the end of the test.
struct PanelTest : testing::Test {
    ScratchFolder folder;
    int panel = 0;
    void SetUp() override
    {
        callbackCalls.clear();
        uiUseFrontend(&uiConsoleFrontend);
        Loaded loaded = loadPanelText(folder, panelText);
        ASSERT_GT(loaded.handle, 0) << loaded.err;
        panel = loaded.handle;
        DisplayPanel(panel);
    }
    void TearDown() override { DiscardPanel(panel); }

    double level()
    {
        double value = 0;
        EXPECT_EQ(GetCtrlVal(panel, LEVEL, &value), 0);
        return value;
    }
    int toggle()
    {
        int value = -1;
        EXPECT_EQ(GetCtrlVal(panel, SWITCH, &value), 0);
        return value;
    }
};

// What one run of the console loop gave: its result, standard output and error.
struct Session {
    int result;
    std::string out, err;
};

Session runConsole(const std::string& input)
{
    std::istringstream stream(input);
    uiConsoleInput = &stream;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = RunUserInterface();
    Session session{result, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    uiConsoleInput = &std::cin;
    return session;
}

using Values = PanelTest;

TEST_F(Values, ProgramSetsAndReadsValuesOfEachKindWithoutRaisingCallbacks)
{
    EXPECT_EQ(SetCtrlVal(panel, SWITCH, 1), 0);
    EXPECT_EQ(toggle(), 1);
    EXPECT_EQ(SetCtrlVal(panel, SWITCH, -3), 0);  // any non-zero value is on
    EXPECT_EQ(toggle(), 1);
    EXPECT_EQ(SetCtrlVal(panel, SWITCH, 0), 0);
    EXPECT_EQ(toggle(), 0);
    EXPECT_EQ(SetCtrlVal(panel, LEVEL, -4.25), 0);
    EXPECT_EQ(level(), -4.25);
    EXPECT_TRUE(callbackCalls.empty());
}

TEST_F(Values, RefusesWhatNoControlCanHold)
{
    EXPECT_EQ(SetCtrlVal(panel, LEVEL, 5.5), UI_ERR_VALUE);  // out of range: the value stays
    EXPECT_EQ(level(), 0.0);
    int value = 0;
    EXPECT_EQ(GetCtrlVal(panel, GO, &value), UI_ERR_VALUE);
    EXPECT_EQ(SetCtrlVal(panel, GO, 1), UI_ERR_VALUE);
    EXPECT_EQ(GetCtrlVal(panel, 99, &value), UI_ERR_CONTROL);
    EXPECT_EQ(SetCtrlVal(panel, 99, 1), UI_ERR_CONTROL);
    EXPECT_EQ(GetCtrlVal(panel + 100, SWITCH, &value), UI_ERR_PANEL);
    EXPECT_EQ(DisplayPanel(0), UI_ERR_PANEL);
}

TEST_F(Values, DiscardedPanelsHandleIsNoLongerValid)
{
    ScratchFolder other;
    int second = loadPanelText(other, panelText).handle;
    ASSERT_GT(second, 0);
    EXPECT_EQ(DiscardPanel(second), 0);
    int value = 0;
    EXPECT_EQ(GetCtrlVal(second, SWITCH, &value), UI_ERR_PANEL);
    EXPECT_EQ(DiscardPanel(second), UI_ERR_PANEL);
    EXPECT_EQ(uiPanel(second), nullptr);
    EXPECT_EQ(GetCtrlVal(panel, SWITCH, &value), 0);  // the other panel is untouched
}

using Console = PanelTest;

TEST_F(Console, OperatorActionsReachTheCallbacksAsCommitOrTheirOwnEvent)
{
    Session session = runConsole("set SWITCH 1\npress GO\nset LEVEL -2.5\nevent SWITCH 16\nset 2 0\npress 4\n");
    EXPECT_EQ(session.err, "");
    EXPECT_EQ(session.out, "");
    EXPECT_EQ(session.result, 0);  // end of input quits as QuitUserInterface(0)
    std::vector<CallbackCall> expected = {
        {panel, SWITCH, EVENT_COMMIT, nullptr, 0, 0}, {panel, GO, EVENT_COMMIT, nullptr, 0, 0},
        {panel, SWITCH, 16, nullptr, 0, 0},           {panel, SWITCH, EVENT_COMMIT, nullptr, 0, 0},
        {panel, GO, EVENT_COMMIT, nullptr, 0, 0},
    };
    EXPECT_EQ(callbackCalls, expected);
    EXPECT_EQ(level(), -2.5);  // held without a callback
    EXPECT_EQ(toggle(), 0);
}

TEST_F(Console, OtherEventsChangeNoValue)
{
    SetCtrlVal(panel, SWITCH, 1);
    Session session = runConsole("event SWITCH 0\nevent SWITCH -1\nevent LEVEL 1\n");
    EXPECT_EQ(session.err, "");
    EXPECT_EQ(toggle(), 1);
    EXPECT_EQ(level(), 0.0);
    EXPECT_EQ(callbackCalls.size(), 2u);  // LEVEL has no callback to receive its event
}

TEST_F(Console, FaultyLinesAreReportedWithTheirNumbersAndSkipped)
{
    Session session = runConsole(
        "# a comment, then a blank line\n"
        "\n"
        "set NOSUCH 1\n"
        "set SWITCH 2\n"
        "set LEVEL 2,5\n"
        "set LEVEL 7\n"
        "set LEVEL nan\n"
        "set GO 1\n"
        "press LEVEL\n"
        "event GO x\n"
        "set LEVEL\n"
        "switch on\n"
        "press 99\n"
        "set LEVEL 5.0000001\n"
        "   set LEVEL 1.25   \r\n");
    EXPECT_EQ(session.err,
              "line 3: unknown control \"NOSUCH\"\n"
              "line 4: SWITCH is a toggle: its value is 0 or 1, not \"2\"\n"
              "line 5: LEVEL takes a number, not \"2,5\"\n"
              "line 6: 7 is outside the range of LEVEL, -5 to 5\n"
              "line 7: LEVEL takes a number, not \"nan\"\n"
              "line 8: GO is a command button: use press GO\n"
              "line 9: LEVEL is not a command button: use set LEVEL VALUE\n"
              "line 10: an event code is an integer, not \"x\"\n"
              "line 11: usage: set CONTROL VALUE\n"
              "line 12: unknown command \"switch\" (set, press, event, show, help)\n"
              "line 13: unknown control \"99\"\n"
              "line 14: 5.0000001 is outside the range of LEVEL, -5 to 5\n");
    EXPECT_TRUE(callbackCalls.empty());
    EXPECT_EQ(level(), 1.25);  // the run went on to the last line
    EXPECT_EQ(toggle(), 0);
}

TEST_F(Console, NumbersAreReadInTheCLocaleWhateverTheProcessLocale)
{
    const char* previous = setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous != nullptr ? previous : "C";
    if (setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr)
        GTEST_SKIP() << "no comma-decimal locale on this machine";
    Session session = runConsole("set LEVEL 1.5\nset LEVEL -0,5\n");
    setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(session.err, "line 2: LEVEL takes a number, not \"-0,5\"\n");
    EXPECT_EQ(level(), 1.5);
}

TEST_F(Console, QuittingCallbackEndsTheLoopBeforeTheNextLine)
{
    Session session = runConsole("press STOP\npress GO\n");
    EXPECT_EQ(session.result, 7);
    ASSERT_EQ(callbackCalls.size(), 1u);
    EXPECT_EQ(callbackCalls[0].control, STOP);
}

TEST_F(Console, ShowListsTheDisplayedPanelsControlsOnStandardError)
{
    SetCtrlVal(panel, LEVEL, 2.0);
    SetCtrlVal(panel, SWITCH, 1);
    Session session = runConsole("show\n");
    EXPECT_EQ(session.out, "");
    EXPECT_EQ(session.err,
              "panel TEST \"TEST\"\n"
              "    id  control          kind     value        label\n"
              "     2  SWITCH           toggle   1            SWITCH\n"
              "     3  LEVEL            numeric  2.00         LEVEL\n"
              "     4  GO               command               GO\n"
              "     5  STOP             command               STOP\n");
}

TEST_F(Console, PanelThatIsNotDisplayedTakesNoOperatorActions)
{
    ScratchFolder other;
    int hidden = loadPanelText(other, panelText).handle;
    ASSERT_GT(hidden, 0);
    DiscardPanel(panel);
    Session session = runConsole("press GO\nshow\n");
    EXPECT_EQ(session.err, "line 1: unknown control \"GO\"\n");
    EXPECT_TRUE(callbackCalls.empty());
    DiscardPanel(hidden);
}

TEST(RunTime, StartUpMakesStandardOutputLineBufferedAndOpensDevNullOnClosedStandardDescriptors)
{
    char* argv[] = {const_cast<char*>("test"), nullptr};
    EXPECT_EQ(InitCVIRTEEx(0, argv, nullptr), 1);
    EXPECT_NE(__flbf(stdout), 0);

    // Run in a child of gtest's, which may close its own descriptors 0 and 1.
    const auto closedThenStarted = [&] {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        InitCVIRTEEx(0, argv, nullptr);
        struct stat in, out, null;
        _exit(stat("/dev/null", &null) || fstat(STDIN_FILENO, &in) || fstat(STDOUT_FILENO, &out) ||
              in.st_rdev != null.st_rdev || out.st_rdev != null.st_rdev);
    };
    EXPECT_EXIT(closedThenStarted(), ::testing::ExitedWithCode(0), "");
}

TEST(RunTime, ConsoleIsChosenWhenAScriptFeedsStandardInputEvenWithADisplay)
{
    // A pipe and a regular file on standard input, as scripts give them.
    int saved = dup(STDIN_FILENO);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    setenv("DISPLAY", ":0", 1);
    for (int input : {pipeEnds[0], fileno(file)}) {
        ASSERT_EQ(dup2(input, STDIN_FILENO), STDIN_FILENO);
        EXPECT_EQ(uiChooseFrontend(), &uiConsoleFrontend);
    }
    unsetenv("DISPLAY");
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    fclose(file);
}

TEST(RunTime, SleepPausesAtLeastTheTimeAsked)
{
    timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    Sleep(30);
    clock_gettime(CLOCK_MONOTONIC, &after);
    double elapsed = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    EXPECT_GE(elapsed, 30.0);
}

}  // namespace
