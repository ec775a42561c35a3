// commands.h: This file contains the commands of the kovo tool (status, get,
// set, switch, watch, check), each on an open session to one crate, and the
// parsing of their row lists and values.
#pragma once

#include <string>
#include <vector>

#include "kovo_crate.h"
#include "rows.h"

namespace kovo_cli {

// Exit statuses: a failed exchange, refused value or unwritten row, and a
// command line that cannot be carried out.
enum { exitFailed = 1, exitUsage = 2 };

// How what is read is printed.
enum class Format { text, json, csv };

// What every command is given.
struct Context {
    kovoCrate* crate;
    Format format;
    bool verbose;  // say which channels a range named that the crate does not have
};

// Thrown for a command line that names what cannot be: the message says why.
struct UsageError {
    std::string message;
};

// Rows from a list such as "0-7,12" for a table of `rows` rows that are not
// channels (sensors, fans, communities), in the order given, each once;
// "crate" (for crate-wide objects) gives the one row 0.
std::vector<int> parseRows(const std::string& text, int rows);

// The object of that MIB name; throws UsageError naming the known ones.
int objectNamed(const std::string& name);

// What set --wait is given: the tolerance in volts, the timeout of each step
// in seconds, and the step in volts (0: none).
struct WaitOptions {
    bool wait = false;
    double tolerance = 0.1;
    double timeout = 300;
    double step = 0;
};

// The commands; each returns the process's exit status and reports a failed
// exchange on standard error naming the host, the object and the reason.
int status(const Context& context);
int get(const Context& context, const std::string& rows, const std::vector<std::string>& objectNames);
int set(const Context& context, const std::string& rows, const std::string& objectName, const std::string& value,
        const WaitOptions& wait);
int switchOnOff(const Context& context, const std::string& rows, const std::string& state);
int watch(const Context& context, double interval, int count);
// The health check, in the monitoring plugins' convention: one line on
// standard output, exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
int check(const Context& context, const std::string& rows, double rampTimeout);

// The exit status of a check that could not be made.
enum { checkUnknown = 3 };

// Reports the session's last failure (host, the object as a person names it,
// the reason) on standard error; returns exitFailed.
int failed(const Context& context, bool write = false);
// The same for a given outcome.
int report(const Context& context, const kovoOutcome& outcome, bool write);

// The channels a command's selection names, as the crate has them: read in
// one bulk read when the selection needs it, with `columns` read in the same
// read (the selection's state columns are added when it names states).
// Ranges' absent channels are said with --verbose. False when the read fails
// (reported); throws UsageError for a selection that names what cannot be.
struct Chosen {
    std::vector<int> channels;
    kovo_rows::Table table;  // the bulk read, when one was made
    bool read = false;
};
bool choose(const Context& context, const std::string& text, const std::vector<int>& columns, Chosen* chosen);

}  // namespace kovo_cli
