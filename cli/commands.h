// commands.h: This file contains the commands of the kovo tool (status, get,
// set, switch, watch), each on an open session to one crate, and the parsing
// of their row lists and values.
#pragma once

#include <string>
#include <vector>

#include "kovo_crate.h"

namespace kovo_cli {

// Exit statuses: a failed exchange or refused value, and a command line that
// cannot be carried out (bad rows, unknown object, bad value).
enum { exitFailed = 1, exitUsage = 2 };

// What every command is given.
struct Context {
    kovoCrate* crate;
    bool json;
};

// Thrown for a command line that names what cannot be: the message says why.
struct UsageError {
    std::string message;
};

// Rows from a list such as "0-7,12" for a table of `rows` rows, in the order
// given, each once; "crate" (for crate-wide objects) gives the one row 0.
std::vector<int> parseRows(const std::string& text, int rows);

// The object of that MIB name; throws UsageError naming the known ones.
int objectNamed(const std::string& name);

// The commands; each returns the process's exit status and reports a failed
// exchange on standard error naming the host, the object and the reason.
int status(const Context& context);
int get(const Context& context, const std::string& rows, const std::vector<std::string>& objectNames);
int set(const Context& context, const std::string& rows, const std::string& objectName, const std::string& value);
int switchOnOff(const Context& context, const std::string& rows, const std::string& state);
int watch(const Context& context, double interval, int count);

}  // namespace kovo_cli
