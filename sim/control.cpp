// control.cpp: This file contains the simulator's control channel: command
// lines read from standard input while the agent runs, each answered with
// exactly one line on standard output ("ok", "ok VALUE" or "error: line N:
// ..."), whatever bytes the command held: control bytes in a reply are
// written as \xHH escapes.
#include "sim.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <net-snmp/library/fd_event_manager.h>

namespace sim {

volatile std::sig_atomic_t keepRunning = 1;

namespace {

constexpr std::size_t maxLine = 4096;

std::string pending;          // bytes of the line being received
bool discarding = false;      // inside a line that was too long
int lineNumber = 0;

// Splits a command line into words at blanks; a word that starts with a double
// quote is a JSON string and may hold blanks and escapes.
bool splitWords(std::string_view line, std::vector<std::string>& words, std::string& error)
{
    std::size_t at = 0;
    while (true) {
        at = line.find_first_not_of(" \t\r", at);
        if (at == std::string_view::npos)
            return true;
        if (line[at] != '"') {
            const std::size_t end = std::min(line.find_first_of(" \t\r", at), line.size());
            words.emplace_back(line.substr(at, end - at));
            at = end;
            continue;
        }
        std::size_t end = at + 1;
        while (end < line.size() && line[end] != '"')
            end += line[end] == '\\' ? 2 : 1;
        if (end >= line.size()) {
            error = "unterminated text";
            return false;
        }
        const auto text = nlohmann::json::parse(line.substr(at, end + 1 - at), nullptr, false);
        if (!text.is_string()) {
            error = "malformed text " + std::string(line.substr(at, end + 1 - at));
            return false;
        }
        words.push_back(text.get<std::string>());
        at = end + 1;
    }
}

bool secondsFrom(const std::string& word, double highest, double& seconds)
{
    const auto value = parseValue(Kind::real, word);
    seconds = value ? value->real : -1;
    return value && seconds >= 0 && seconds <= highest;
}

std::string quoted(Kind kind, const Value& value)
{
    const std::string text = formatValue(kind, value);
    return kind == Kind::text ? nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                              : text;
}

std::string getCommand(const std::vector<std::string>& words)
{
    const auto instance = words.size() == 2 ? parseInstanceName(words[1]) : std::nullopt;
    if (!instance)
        return words.size() == 2 ? "unknown instance \"" + words[1] + "\"" : "usage: get NAME";
    const Value* value = findValue(simulation.crate, instance->first, instance->second);
    if (!value)
        return "the crate has no " + words[1];
    return "ok " + quoted(objects[instance->first].kind, *value);
}

// Changes a value of the model directly, past the write rules of SNMP: for
// measured values, read-only objects and values out of a write's range.
std::string setCommand(const std::vector<std::string>& words)
{
    if (words.size() != 3)
        return "usage: set NAME VALUE";
    const auto instance = parseInstanceName(words[1]);
    if (!instance)
        return "unknown instance \"" + words[1] + "\"";
    const auto [object, index] = *instance;
    if (isDerived(object))
        return std::string(objects[object].name) + " is computed by the crate and cannot be set";
    Value* stored = findValue(simulation.crate, object, index);
    if (!stored)
        return "the crate has no " + words[1];
    const auto value = parseValue(objects[object].kind, words[2]);
    if (!value)
        return "\"" + words[2] + "\" is no value for " + words[1];
    *stored = *value;
    noteWrite(simulation.crate, object, index);
    return "ok";
}

std::string faultCommand(const std::vector<std::string>& words)
{
    if (simulation.faults.size() >= maxFaults)
        return "more than " + std::to_string(maxFaults) + " faults; clear some first";
    Fault fault;
    const std::string problem = parseFault({words.begin() + 1, words.end()}, fault);
    if (!problem.empty())
        return problem;
    simulation.faults.push_back(fault);
    return "ok";
}

std::string clearCommand(const std::vector<std::string>& words)
{
    if (words.size() > 2)
        return "usage: clear [TARGET]";
    clearFaults(words.size() == 2 ? words[1] : "");
    return "ok";
}

std::string delayCommand(const std::vector<std::string>& words)
{
    double seconds = 0;
    if (words.size() != 2 || !secondsFrom(words[1], maxDelay, seconds))
        return "usage: delay SECONDS, from 0 to " + std::to_string(static_cast<int>(maxDelay));
    simulation.delay = seconds;
    return "ok";
}

std::string tooBigCommand(const std::vector<std::string>& words)
{
    int variables = -1;
    const std::string word = words.size() == 2 ? words[1] : "";
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), variables);
    if (word.empty() || error != std::errc() || end != word.data() + word.size() || variables < 0)
        return "usage: toobig VARIABLES, a whole number from 0";
    simulation.maxVariables = variables;
    return "ok";
}

std::string advanceCommand(const std::vector<std::string>& words)
{
    double seconds = 0;
    if (words.size() != 2 || !secondsFrom(words[1], 1e7, seconds))
        return "usage: advance SECONDS, from 0 to 10000000";
    advanceModel(seconds);
    return "ok";
}

std::string modelCommand(const std::vector<std::string>& words)
{
    const std::string mode = words.size() == 2 ? words[1] : "";
    if (mode != "live" && mode != "manual" && mode != "frozen")
        return "usage: model live|manual|frozen";
    simulation.mode = mode == "live" ? Mode::live : mode == "manual" ? Mode::manual : Mode::frozen;
    return "ok";
}

std::string quitCommand(const std::vector<std::string>&)
{
    keepRunning = 0;
    return "ok";
}

std::string helpCommand(const std::vector<std::string>&);

struct Command {
    const char* name;
    const char* synopsis;
    std::string (*run)(const std::vector<std::string>&);
};
const Command commands[] = {
    {"get", "get NAME", getCommand},
    {"set", "set NAME VALUE", setCommand},
    {"fault", "fault TARGET [get|set|any] KIND [ARGUMENT] [VALUE]", faultCommand},
    {"clear", "clear [TARGET]", clearCommand},
    {"delay", "delay SECONDS", delayCommand},
    {"toobig", "toobig VARIABLES", tooBigCommand},
    {"advance", "advance SECONDS", advanceCommand},
    {"model", "model live|manual|frozen", modelCommand},
    {"help", "help", helpCommand},
    {"quit", "quit", quitCommand},
};

// Lists the commands on the one reply line, separated by "; ".
std::string helpCommand(const std::vector<std::string>&)
{
    std::string text = "ok";
    for (const Command& c : commands)
        text += std::string(&c == commands ? " " : "; ") + c.synopsis;
    return text;
}

// Writes one reply line; control bytes (a NUL or line feed among them) would
// cut or split it, so each is written as \xHH.
void reply(const std::string& text)
{
    std::string line;
    for (const unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            line += escape;
        } else {
            line += static_cast<char>(c);
        }
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void onControlInput(int fd, void*)
{
    char buffer[4096];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0) {
        unregister_readfd(fd);      // the controller went away; the crate runs on
        return;
    }
    for (ssize_t i = 0; i < count; ++i) {
        if (buffer[i] != '\n') {
            if (!discarding && pending.size() >= maxLine) {
                discarding = true;
                pending.clear();
            }
            if (!discarding)
                pending += buffer[i];
            continue;
        }
        ++lineNumber;
        reply(discarding ? "error: line " + std::to_string(lineNumber) + ": longer than " + std::to_string(maxLine) +
                               " characters"
                         : runCommand(pending, lineNumber));
        pending.clear();
        discarding = false;
    }
}

}  // namespace

// Runs one command line and returns its reply.
std::string runCommand(std::string_view line, int number)
{
    std::vector<std::string> words;
    std::string error;
    if (splitWords(line, words, error) && words.empty())
        error = "empty command";
    if (error.empty()) {
        updateModel();
        const Command* command = nullptr;
        for (const Command& c : commands)
            if (words[0] == c.name)
                command = &c;
        const std::string result = command ? command->run(words) : "unknown command \"" + words[0] + "\"";
        if (result.rfind("ok", 0) == 0)
            return result;
        error = result;
    }
    return "error: line " + std::to_string(number) + ": " + error;
}

namespace {

// Whether standard input is a terminal that belongs to another process group:
// crate-sim started with "&" from an interactive shell. Reading it would stop
// the simulator (SIGTTIN) until it is brought to the foreground.
bool terminalOfSomeoneElse()
{
    return isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) != getpgrp();
}

}  // namespace

void startControl()
{
    if (terminalOfSomeoneElse()) {
        fprintf(stderr, "crate-sim: running in the background of a terminal: control commands are not read\n");
        return;
    }
    register_readfd(STDIN_FILENO, onControlInput, nullptr);
}

}  // namespace sim
