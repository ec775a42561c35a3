// app_driver.h: This file contains what the end-to-end tests of the operator's
// commands share: running a build of the program through its console front
// end against the simulated crate on the address compiled into that build,
// the program's own start-up and shut-down lines, and the request log reduced
// to what a test compares.
#pragma once

#include <string>
#include <vector>

#include "kovo_test_support.h"

namespace kovo::test {

// The tests' build of the program, with a crate address of this build tree's
// own compiled in, and that address for the simulator.
inline const char* const testApp = KOVO_TEST_APP;
inline const char* const crateListen = "udp:" KOVO_TEST_APP_ADDRESS;

// Runs the program (by default the tests' build) in the folder that holds its
// panel file, with the operator's actions as its standard input.
RunResult runApp(const std::string& input, const std::string& program = testApp,
                 const std::string& cwd = KOVO_TEST_APP_DIR);

// The whole standard output of a run in which the session opens (to the
// crate at `address`) and the commands print commandLines: the library's
// start-up lines, then those, then the session's close.
std::vector<std::string> sessionOutput(const std::vector<std::string>& commandLines,
                                       const std::string& address = KOVO_TEST_APP_ADDRESS);

// The requests the crate received, each once however often it was resent,
// from entry `from` on, one text per variable: "GET name" for a get, "SET
// name TYPE HEX" for a set, e.g. "SET outputSwitch.3 INTEGER 01".
std::vector<std::string> requests(const Sim& sim, size_t from = 0);

// The gets of the 32 channel names in walk order, each followed by what
// `after` gives for that channel index (the command's requests for it).
template <typename After>
std::vector<std::string> channelWalk(After after)
{
    std::vector<std::string> expected;
    for (int slot = 0; slot < 4; ++slot)
        for (int inSlot = 0; inSlot < 8; ++inSlot) {
            int channel = 100 * slot + inSlot;
            expected.push_back("GET outputName." + std::to_string(channel + 1));
            for (const std::string& request : after(channel))
                expected.push_back(request);
        }
    return expected;
}

}  // namespace kovo::test
