// docs_tests.cpp: This file contains the test that the documentation's
// commands work as written. Every ```sh block of README.md and
// docs/scripting.md runs with bash -e as a user runs it from the top of a
// clone after the README's set-up: from a scratch folder that holds links to
// the source tree's files and build/ as this build tree, without the tests'
// MIBDIRS. The blocks start crate-sims on fixed addresses, which the test
// makes its own as any test's crate on a fixed address (see startSim). The
// README's background start also runs as typed into an interactive shell on a
// terminal, where crate-sim must serve on instead of being stopped.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kovo_test_support.h"

namespace fs = std::filesystem;
using namespace kovo::test;

namespace {

struct Block {
    std::string where;  // the document and the line of its opening fence: "README.md:81"
    std::string text;
};

// The ```sh blocks of a document of the source tree.
std::vector<Block> shellBlocks(const std::string& document)
{
    std::ifstream file(std::string(KOVO_SOURCE_DIR) + "/" + document);
    std::vector<Block> blocks;
    bool inside = false;
    int number = 0;
    for (std::string line; std::getline(file, line);) {
        ++number;
        if (!inside && line == "```sh") {
            blocks.push_back({document + ":" + std::to_string(number), ""});
            inside = true;
        } else if (inside && line == "```") {
            inside = false;
        } else if (inside) {
            blocks.back().text += line + "\n";
        }
    }
    EXPECT_FALSE(blocks.empty()) << document << " has no sh block";
    return blocks;
}

// A folder that looks like the top of the source tree, with build/ this build
// tree; removed with what the blocks wrote into it (links are not followed).
struct ScratchTree {
    const std::string top = makeTempDir("kovo-docs");
    ScratchTree()
    {
        for (const fs::directory_entry& entry : fs::directory_iterator(KOVO_SOURCE_DIR))
            if (entry.path().filename() != "build")
                fs::create_symlink(entry.path(), fs::path(top) / entry.path().filename());
        fs::create_symlink(KOVO_BINARY_DIR, fs::path(top) / "build");
    }
    ~ScratchTree()
    {
        std::error_code ignored;
        fs::remove_all(top, ignored);
    }
};

// The running processes whose environment holds the entry `mark`, with their command lines.
std::map<long, std::string> marked(const std::string& mark)
{
    std::map<long, std::string> found;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            readFile(entry.path() / "environ").find(mark + '\0') == std::string::npos)
            continue;
        std::string command = readFile(entry.path() / "cmdline");
        std::replace(command.begin(), command.end(), '\0', ' ');
        found[std::stol(pid)] = command;
    }
    return found;
}

// The processes of a block still running 10 s after its shell ended, killed; "" if none.
std::string leftBehind(const std::string& mark)
{
    std::map<long, std::string> left = marked(mark);
    for (int i = 0; i < 100 && !left.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        left = marked(mark);
    }
    std::string named;
    for (const auto& [pid, command] : left) {
        kill(static_cast<pid_t>(pid), SIGKILL);
        named += "\n  " + std::to_string(pid) + " " + command;
    }
    return named;
}

// The crate addresses a block uses: those it names, and crate-sim's default,
// which is the panel program's compiled-in address too.
std::set<std::string> addressesOf(const std::string& text)
{
    std::set<std::string> found{"udp:127.0.0.1:1161"};
    const std::regex address(R"(127\.0\.0\.1:\d+)");
    for (std::sregex_iterator it(text.begin(), text.end(), address), end; it != end; ++it)
        found.insert("udp:" + it->str());
    return found;
}

// Runs `argv` for a block from the scratch tree, with the block's addresses
// the test's own. Fails the test, naming the block and showing its output,
// when it fails, runs for more than two minutes or leaves a process behind.
// Returns the output.
std::string expectRuns(const Block& block, const std::vector<std::string>& argv, const std::string& top)
{
    static int blocksRun = 0;
    const std::string mark = "KOVO_DOCS_BLOCK=" + std::to_string(getpid()) + "." + std::to_string(++blocksRun);
    std::vector<int> locks;
    for (const std::string& address : addressesOf(block.text))
        if (const int lock = claimAddress(address); lock >= 0)
            locks.push_back(lock);
    Process shell({.argv = argv,
                   .cwd = top,
                   .env = {mark, "MIBDIRS", "TMPDIR=" + top},
                   .input = Input::null,
                   .err = Output::merged});
    const int status = shell.wait(120000);
    const std::string left = leftBehind(mark);
    for (const int lock : locks)
        close(lock);
    EXPECT_TRUE(status == 0 && left.empty())
        << block.where << ": "
        << (!shell.started()     ? shell.failure()
            : shell.timedOut()   ? "still running after 2 minutes"
                                 : "exit status " + std::to_string(status))
        << (left.empty() ? "" : ", leaving behind:" + left) << "\n"
        << block.text << "-- its output:\n"
        << shell.out();
    return shell.out();
}

class ShellBlocks : public testing::TestWithParam<std::string> {};

TEST_P(ShellBlocks, RunAsWritten)
{
    const ScratchTree scratch;
    for (const Block& block : shellBlocks(GetParam()))
        expectRuns(block, {"bash", "-e", "-c", block.text}, scratch.top);
}

INSTANTIATE_TEST_SUITE_P(Docs, ShellBlocks, testing::Values("README.md", "docs/scripting.md"),
                         [](const auto& info) { return info.index == 0 ? "readme" : "scripting"; });

// The README's block that starts crate-sim in the background, typed into an
// interactive shell with job control on a terminal of its own (util-linux's
// script makes one): a program that read the terminal from the background
// would be stopped there.
TEST(Docs, ReadmeBackgroundStartWorksInATerminal)
{
    const ScratchTree scratch;
    int typed = 0;
    for (const Block& block : shellBlocks("README.md")) {
        if (block.text.find("build/sim/crate-sim &") == std::string::npos)
            continue;
        const std::string file = scratch.top + "/typed-" + std::to_string(++typed) + ".sh";
        std::ofstream(file) << "set -e\n" << block.text;
        const std::string output =
            expectRuns(block, {"script", "-qec", "bash --norc -i " + file, "/dev/null"}, scratch.top);
        EXPECT_NE(output.find("crate-sim: running in the background of a terminal"), std::string::npos)
            << block.where << ": crate-sim did not find itself in the background of a terminal:\n"
            << output;
    }
    EXPECT_GT(typed, 0) << "README.md has no block that starts build/sim/crate-sim &";
}

}  // namespace
