// app_driver.cpp: This file contains the shared part of the end-to-end tests
// of the operator's commands: running the program, splitting its output and
// reducing the simulator's request log.
#include "app_driver.h"

#include <sstream>

namespace kovo::test {

RunResult runApp(const std::string& input, const std::string& program, const std::string& cwd)
{
    return runProgram({program}, input, cwd);
}

std::vector<std::string> sessionOutput(const std::vector<std::string>& commandLines, const std::string& address)
{
    std::string output;
    for (const std::string& line : commandLines)
        output += line + "\n";
    return lines(sessionTranscript(address, output));
}

std::vector<std::string> requests(const Sim& sim, size_t from)
{
    std::vector<std::string> result;
    std::vector<LogEntry> log = firstTries(simLog(sim));
    for (size_t i = from; i < log.size(); ++i) {
        const LogEntry& e = log[i];
        result.push_back(e.pdu == "SET" ? e.pdu + " " + e.name + " " + e.type + " " + e.value : e.pdu + " " + e.name);
    }
    return result;
}

}  // namespace kovo::test
