// This file contains the end-to-end tests of the panel program's start-up,
// event loop and shut-down: the built program run as a separate process with
// the console front end, against the simulated crate on the address compiled
// into it, its standard output compared exactly.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "kovo_test_support.h"

using namespace kovo::test;

namespace {

const std::string programFolder = KOVO_TEST_APP_DIR;
const std::string program = KOVO_TEST_APP;
const std::string crateListen = "udp:" KOVO_TEST_APP_ADDRESS;

// The whole standard output of a run whose actions print nothing.
std::string session()
{
    return sessionTranscript(KOVO_TEST_APP_ADDRESS);
}
const std::string crateOn = "[crate]\nsysMainSwitch = 1\n";

RunResult runApp(const std::string& input, const std::string& cwd = programFolder,
                 const std::vector<std::string>& env = {})
{
    return runProgram({program}, input, cwd, env);
}

// The value column of control's line in the console's `show` listing; "" when
// the listing has no such line.
std::string shownValue(const std::string& err, const std::string& control)
{
    std::istringstream lines(err);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string id, name, kind, value;
        if (words >> id >> name >> kind >> value && name == control)
            return value;
    }
    return "";
}

// Whether the crate heard nothing but the start-up's read of its main switch
// (repeated when an answer came late on a loaded machine), with the read community.
bool onlyStartUpRead(const std::vector<LogEntry>& log)
{
    for (const LogEntry& entry : log)
        if (entry.pdu != "GET" || entry.name != "sysMainSwitch.0" || entry.community != "ovalis")
            return false;
    return !log.empty();
}

bool panelShown(const std::string& err)
{
    return err.find("panel PANEL \"Crate control\"\n") != std::string::npos;
}

// A folder of its own, removed afterwards.
struct Folder {
    std::filesystem::path path;
    Folder()
    {
        char name[] = "/tmp/kovo-app-XXXXXX";
        path = mkdtemp(name);
    }
    ~Folder() { std::filesystem::remove_all(path); }
};

std::string panelFileText()
{
    std::ifstream file(programFolder + "/kovo_uir.uir");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The 1-based number of the line of text that holds position at.
int lineAt(const std::string& text, size_t at)
{
    return 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n'));
}

TEST(StartUp, NormalStartUpPrintsTheLibrarysLinesAndEndOfInputShutsDownInOrder)
{
    Sim sim = startSim(crateOn, crateListen);
    RunResult run = runApp("");
    EXPECT_TRUE(sameText(session(), run.out));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(onlyStartUpRead(simLog(sim)));
}

TEST(StartUp, CrateSwitchControlShowsOneMinusTheMainSwitch)
{
    {
        Sim sim = startSim(crateOn, crateListen);
        RunResult run = runApp("show\n");
        EXPECT_EQ(shownValue(run.err, "CRATE_SWITCH"), "0") << run.err;
        EXPECT_TRUE(sameText(session(), run.out));
    }
    {
        Sim sim = startSim("", crateListen);  // the built-in crate is off
        RunResult run = runApp("show\n");
        EXPECT_EQ(shownValue(run.err, "CRATE_SWITCH"), "1") << run.err;
        EXPECT_TRUE(sameText(session(), run.out));
        EXPECT_TRUE(onlyStartUpRead(simLog(sim)));  // showing the value did not switch the crate
    }
}

TEST(StartUp, WithNoCrateAnsweringThePanelIsStillShownWithTheCrateOff)
{
    RunResult run = runApp("show\n");
    EXPECT_TRUE(panelShown(run.err)) << run.err;
    EXPECT_EQ(shownValue(run.err, "CRATE_SWITCH"), "1");
    EXPECT_TRUE(sameText(session(), run.out));
    EXPECT_EQ(run.status, 0);
}

TEST(StartUp, SessionThatCannotOpenLeavesThePanelWorking)
{
    RunResult run = runProgram({KOVO_NO_SESSION_APP}, "show\n", programFolder);
    std::string opened = transcript("library/startup.txt");
    std::string failed = "Open SNMP session for host \"" KOVO_NO_SESSION_ADDRESS "\": ";
    EXPECT_EQ(run.out.substr(0, opened.size() + failed.size()), opened + failed);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 7) << run.out;  // nothing after: no close
    EXPECT_EQ(shownValue(run.err, "CRATE_SWITCH"), "1") << run.err;
    EXPECT_EQ(run.status, 0);
}

// A copy of the program alone in a folder of its own, outside the build tree:
// no panel file beside it, no crate MIB module of the build tree.
struct LoneProgram {
    Folder folder;
    std::string path = (folder.path / "kovo_uir_test").string();
    LoneProgram() { std::filesystem::copy_file(program, path); }
};

TEST(StartUp, PanelFileIsFoundInTheWorkingFolderOrBesideTheProgramElseMinusOne)
{
    Sim sim = startSim("", crateListen);
    // Started by its full path from /, the program reads the panel beside it.
    RunResult fromRoot = runApp("show\n", "/");
    EXPECT_TRUE(panelShown(fromRoot.err)) << fromRoot.err;
    EXPECT_TRUE(sameText(session(), fromRoot.out));
    EXPECT_EQ(fromRoot.status, 0);

    // With no panel file in either place it ends before the library is touched.
    LoneProgram lone;
    Folder empty;
    const std::size_t heard = firstTries(simLog(sim)).size();
    RunResult run = runProgram({lone.path}, "show\n", empty.path.string());
    EXPECT_EQ(run.status, 255);  // -1
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(firstTries(simLog(sim)).size(), heard);
}

TEST(StartUp, MissingMibModuleEndsWithZeroAndNoPanel)
{
    Sim sim = startSim("", crateListen);
    LoneProgram lone;
    std::filesystem::copy_file(programFolder + "/kovo_uir.uir", lone.folder.path / "kovo_uir.uir");
    Folder noMibs;
    RunResult run = runProgram({lone.path}, "show\n", "", {"MIBDIRS=" + noMibs.path.string()});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(sameText(transcript("library/startup-without-mib.txt"), run.out));
    EXPECT_FALSE(panelShown(run.err)) << run.err;
    EXPECT_TRUE(simLog(sim).empty());
}

TEST(StartUp, EachKindOfBadPanelFileIsRefusedWithItsMessage)
{
    Sim sim = startSim("", crateListen);
    const std::string good = panelFileText();
    struct Bad {
        const char* what;
        std::string from, to;
        std::string message;  // after "kovo_uir.uir:LINE: "
    };
    const Bad cases[] = {
        {"unknown callback", "callback = \"GetStatus\"", "callback = \"GetStatusCB\"",
         "unknown callback \"GetStatusCB\": the program declares no control callback of that name\n"},
        {"function of the program that is no callback", "callback = \"GetStatus\"", "callback = \"StrDup\"",
         "unknown callback \"StrDup\": the program declares no control callback of that name\n"},
        {"duplicate id", "id = 10\n", "id = 9\n",
         "duplicate control id 9 (also on line " + std::to_string(lineAt(good, good.find("id = 9\n")) - 1) + ")\n"},
        {"unknown kind", "kind = \"numeric\"", "kind = \"dial\"", "unknown kind \"dial\" (toggle, numeric or command)\n"},
        {"malformed", "label = \"Quit\"", "label = \"Quit", ""},
    };
    for (const Bad& bad : cases) {
        SCOPED_TRACE(bad.what);
        Folder folder;
        std::string text = good;
        size_t at = text.find(bad.from);
        ASSERT_NE(at, std::string::npos) << bad.from;
        text.replace(at, bad.from.size(), bad.to);
        std::ofstream(folder.path / "kovo_uir.uir") << text;
        RunResult run = runApp("show\n", folder.path.string());
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.out, "");
        std::string where = "kovo_uir.uir:" + std::to_string(lineAt(text, at)) + ": ";
        if (bad.message.empty()) {  // the parser's own words
            EXPECT_EQ(run.err.rfind(where, 0), 0u) << run.err;
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        } else {
            EXPECT_EQ(run.err, where + bad.message);
        }
    }
    EXPECT_TRUE(simLog(sim).empty());
}

TEST(EventLoop, QuitButtonEndsTheLoopAndTheProgramShutsDownInOrder)
{
    Sim sim = startSim("", crateListen);
    RunResult run = runApp("press QUIT\nshow\n");
    EXPECT_TRUE(sameText(session(), run.out));
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(panelShown(run.err)) << "the line after the quit was read: " << run.err;
}

TEST(EventLoop, EventsOtherThanCommitChangeNothingAndSendNothing)
{
    Sim sim = startSim(crateOn, crateListen);
    RunResult run = runApp(
        "event CRATE_SWITCH 2\nevent CHANNEL_SWITCH 0\nevent SET_CHANNELS 3\nevent STATUS 16\n"
        "event START 2\nevent STOP 4\nevent QUIT 2\nshow\n");
    EXPECT_TRUE(sameText(session(), run.out));
    EXPECT_TRUE(panelShown(run.err)) << "a quit event that is no commit ended the loop: " << run.err;
    EXPECT_EQ(shownValue(run.err, "CRATE_SWITCH"), "0");
    EXPECT_TRUE(onlyStartUpRead(simLog(sim)));
    EXPECT_EQ(run.status, 0);
}

TEST(EventLoop, FaultyConsoleLinesAreReportedWithTheirNumbersAndTheProgramRunsOn)
{
    Sim sim = startSim("", crateListen);
    RunResult run = runApp("set NOSUCH 1\n\nset VSET 1,5\npress VSET\nset VSET 12.5\nshow\n");
    EXPECT_NE(run.err.find("line 1: unknown control \"NOSUCH\"\n"
                           "line 3: VSET takes a number, not \"1,5\"\n"
                           "line 4: VSET is not a command button: use set VSET VALUE\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(shownValue(run.err, "VSET"), "12.500");
    EXPECT_TRUE(sameText(session(), run.out));
    EXPECT_EQ(run.status, 0);
}

TEST(EventLoop, StandardOutputKeepsItsOrderWithStandardErrorInOneLog)
{
    Sim sim = startSim("", crateListen);
    RunResult run = runProgram({"/bin/sh", "-c", "exec \"$0\" 2>&1", program}, "bogus\n", programFolder);
    EXPECT_TRUE(sameText(
        sessionTranscript(KOVO_TEST_APP_ADDRESS, "line 1: unknown command \"bogus\" (set, press, event, show, help)\n"),
        run.out));
}

// Runs the program with a terminal as its standard input and no display:
// input is typed on the terminal, then end of input (^D). Returns the program's
// standard output and error and its exit status.
RunResult runAtTerminal(const std::string& input)
{
    Process app({.argv = {program}, .cwd = programFolder, .env = {"DISPLAY", "WAYLAND_DISPLAY"},
                 .input = Input::terminal});
    if (!app.write(input))
        ADD_FAILURE() << "could not type on the terminal";
    app.closeInput();
    const int status = app.wait();
    return {status, app.out(), app.err()};
}

TEST(Terminal, ConsoleShowsThePanelAndAPromptOnStandardErrorOnly)
{
    Sim sim = startSim(crateOn, crateListen);
    RunResult run = runAtTerminal("set VSET 5\nshow\n");
    EXPECT_TRUE(sameText(session(), run.out));
    EXPECT_EQ(run.status, 0);
    // The panel as displayed, a prompt per line read, and the listing asked for.
    size_t first = run.err.find("panel PANEL \"Crate control\"\n");
    ASSERT_NE(first, std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Type help for the commands.\n> > "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("panel PANEL", first + 1), std::string::npos) << run.err;
    EXPECT_EQ(shownValue(run.err.substr(run.err.find("panel PANEL", first + 1)), "VSET"), "5.000");
    EXPECT_EQ(shownValue(run.err, "CRATE_SWITCH"), "0");
}

}  // namespace
