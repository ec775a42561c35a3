// kovo_process.cpp: This file contains the part of the process layer that is
// the same on every system: a Process's life and what it collected, running
// a program to its end, and waiting for a file that a program writes.
#include "process_state.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace kovo::test {

Process::Process() = default;
Process::Process(Process&&) noexcept = default;

Process::~Process()
{
    if (state)
        stop();
}

Process& Process::operator=(Process&& other) noexcept
{
    if (this != &other) {
        if (state)
            stop();
        state = std::move(other.state);
    }
    return *this;
}

bool Process::started() const
{
    return state && state->pid >= 0;
}

const std::string& Process::failure() const
{
    static const std::string none = "never started";
    return state ? state->failure : none;
}

long Process::pid() const
{
    return state ? state->pid : -1;
}

bool Process::timedOut() const
{
    return state && state->timedOut;
}

const std::string& Process::out() const
{
    static const std::string none;
    return state ? state->outText : none;
}

const std::string& Process::err() const
{
    static const std::string none;
    return state ? state->errText : none;
}

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

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string waitForFile(const std::string& path, const std::string& needle, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::string text = readFile(path);
        const std::size_t at = text.find(needle);
        if (at != std::string::npos && text.find('\n', at) != std::string::npos)
            return text;
        if (std::chrono::steady_clock::now() >= deadline)
            return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace kovo::test
