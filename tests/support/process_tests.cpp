// process_tests.cpp: This file contains the tests of the process layer on
// Linux: what a program is started with, how its output comes back, and that
// a program ends with its Process, and a crate with a test program that dies.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "kovo_test_support.h"

using namespace kovo::test;

namespace {

// Whether the process has ended: gone, or a zombie that only its new parent may reap.
bool ended(long pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string number, name, state;
    return !(stat >> number >> name >> state) || state == "Z";
}

}  // namespace

TEST(Process, StartsWithItsInputEnvironmentFolderAndStreams)
{
    const struct {
        const char* what;
        Start start;
        std::string input, out, err;
        int status;
    } cases[] = {
        {"input, environment, folder",
         {.argv = {"sh", "-c", "cat; echo \" $KOVO_A${KOVO_B-unset}\"; pwd; exit 3"}, .cwd = "/",
          .env = {"KOVO_A=set", "KOVO_B"}},
         "typed", "typed setunset\n/\n", "", 3},
        {"standard error merged in order",
         {.argv = {"sh", "-c", "echo 1; echo 2 >&2; echo 3"}, .err = Output::merged}, "", "1\n2\n3\n", "", 0},
        {"a terminal as input", {.argv = {"sh", "-c", "test -t 0 && echo terminal"}, .input = Input::terminal}, "",
         "terminal\n", "", 0},
        {"a program that cannot run", {.argv = {"/nonexistent/program"}}, "", "",
         "cannot run /nonexistent/program: No such file or directory\n", 127},
        {"output that nobody reads, and SIGPIPE as a shell leaves it",
         {.argv = {"sh", "-c", "echo lost; echo not reached >&2"}, .out = Output::brokenPipe}, "", "", "",
         128 + SIGPIPE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const RunResult result = run(c.start, c.input, hangGuardMs);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, c.status);
    }
}

TEST(Process, ReadsLinesAsTheyComeAndEndsItsProgramAlways)
{
    Process cat({.argv = {"cat"}});
    std::string line;
    ASSERT_TRUE(cat.write("one\ntwo\n"));
    EXPECT_TRUE(cat.readLine(line) && line == "one");
    EXPECT_TRUE(cat.readLine(line) && line == "two");
    EXPECT_FALSE(cat.readLine(line, 100));
    EXPECT_EQ(cat.stop(), 128 + SIGTERM);

    Process sleeper({.argv = {"sleep", "60"}});
    EXPECT_EQ(sleeper.wait(100), 128 + SIGKILL);
    EXPECT_TRUE(sleeper.timedOut());

    // A child left behind with the output open does not hold up its parent's end.
    Process parent({.argv = {"sh", "-c", "sleep 5 & echo parent ends"}});
    EXPECT_EQ(parent.wait(hangGuardMs / 10), 0);
    EXPECT_FALSE(parent.timedOut());
    EXPECT_EQ(parent.out(), "parent ends\n");

    long pid = -1;
    {
        Process left({.argv = {"sleep", "60"}});
        pid = left.pid();
    }
    EXPECT_NE(kill(static_cast<pid_t>(pid), 0), 0) << "the program outlived its Process";
}

TEST(Process, ACrateEndsWithTheTestProgramThatStartedIt)
{
    int told[2];
    ASSERT_EQ(pipe(told), 0);
    const auto crashWithACrate = [&] {
        Sim sim = startSim();
        const long pid = sim.pid;
        [[maybe_unused]] ssize_t written = write(told[1], &pid, sizeof pid);
        abort();
    };
    EXPECT_EXIT(crashWithACrate(), ::testing::KilledBySignal(SIGABRT), "");
    long pid = -1;
    ASSERT_EQ(read(told[0], &pid, sizeof pid), static_cast<ssize_t>(sizeof pid));
    bool gone = false;
    for (int i = 0; i < 3000 && !gone; ++i) {
        gone = ended(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "crate-sim " << pid << " outlived its test program";
    close(told[0]);
    close(told[1]);
}
