// kovo_process.cpp: This file contains the part of the process layer that is
// the same on every system: running a program to its end, and waiting for a
// file that a program writes.
#include "kovo_process.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace kovo::test {

RunResult run(const Start& start, const std::string& input, int timeoutMs)
{
    Process process(start);
    if (!process.started())
        return {-1, "", process.failure()};
    if (!input.empty())
        process.write(input);
    process.closeInput();
    const int status = process.wait(timeoutMs);
    return {status, process.out(), process.err()};
}

RunResult runProgram(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd,
                     const std::vector<std::string>& env)
{
    return run({.argv = argv, .cwd = cwd, .env = env}, input);
}

std::string waitForFile(const std::string& path, const std::string& needle, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream read;
        read << file.rdbuf();
        const std::string text = read.str();
        const std::size_t at = text.find(needle);
        if (at != std::string::npos && text.find('\n', at) != std::string::npos)
            return text;
        if (std::chrono::steady_clock::now() >= deadline)
            return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace kovo::test
