// kovo_test_support.h: This file contains the test support shared by the test
// suites: starting the simulated crate (crate-sim) through the process layer,
// talking to its control channel, reading its request log, running Net-SNMP's
// tools against it, and comparing output with the expected transcripts.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kovo_process.h"

namespace kovo::test {

// One line of the simulator's request log: one variable of one request.
struct LogEntry {
    double time;                       // seconds since the simulator started
    std::string pdu;                   // "GET", "GETNEXT", "GETBULK", "SET"
    std::string community, oid;        // oid numeric dotted, no leading dot: "1.3.6.1.4.1.32473...."
    std::string name;                  // symbolic instance name, e.g. "outputVoltage.3", "" if unknown
    std::string type;                  // value type of the variable in the request: "NULL", "INTEGER", "OCTET STRING", "OPAQUE FLOAT", ...
    std::string value;                 // the value's bytes in upper-case hex separated by blanks ("41 C1 99 9A"), "" for NULL
    std::string peer;                  // where the request came from, "udp:127.0.0.1:PORT"
    long reqid = 0;                    // the request's request-id
    long request = 0;                  // the request's number in order of arrival, from 1
};

// A running crate-sim, started for this test through the process layer;
// the destructor ends it, and removes its folder unless the current test has
// failed.
struct Sim {
    int port = 0;
    std::string address;               // "127.0.0.1:PORT", usable as a Net-SNMP peer name
    std::string dir;                   // its own fresh temp folder
    bool logged = true;                // whether it keeps a request log
    long pid = -1;                     // its process id (Linux)
    Process process;                   // its control channel is its standard input and output
    int lock = -1;                     // the lock of a fixed address, without a private network
    ~Sim();
    Sim() = default;
    Sim(Sim&&) noexcept;
    Sim& operator=(Sim&&) noexcept;
    Sim(const Sim&) = delete;
};

// Whether the simulator keeps its request log. Writing it costs every
// exchange a few microseconds, which benchmarks of bare exchanges avoid.
enum class RequestLog { kept, none };

// Starts crate-sim in a fresh temp folder with the given layout text (empty:
// the built-in default layout) listening on `listen` (empty: a free loopback
// port), and waits until it says it is ready. A crate on a fixed port is
// private to the test program: on Linux the program moves into a network
// namespace of its own the first time (its children follow it), or, where
// none can be made, holds the address's lock file while the crate lives.
// Fails the calling test (ADD_FAILURE, then throws) with the sim's stderr if
// it does not start. With RequestLog::none the sim has no log and simLog fails.
Sim startSim(const std::string& layoutToml = "", const std::string& listen = "", RequestLog log = RequestLog::kept);

// The same with a crate-sim of another build or an installed one, and `env`
// ("NAME=value") added to its environment, which has the tests' MIBDIRS otherwise.
Sim startSimProgram(const std::string& program, const std::vector<std::string>& env, const std::string& layoutToml,
                    const std::string& listen, RequestLog log);

// Keeps the crates on fixed addresses in the machine's network, under the
// address's lock file, instead of a network namespace of the test program's
// own: for a test whose programs run under Wine, whose sockets Wine's server
// makes outside any namespace of the test's. Called before the first startSim.
void keepMachineNetwork();

// Makes a fixed crate address ("udp:HOST:PORT") this test program's own, as
// startSim does: by its network namespace, or by the address's lock file,
// whose descriptor it returns to be closed when done (-1 when none is held).
int claimAddress(const std::string& listen);

// Sends one control command line to the sim and returns its one-line reply
// without the newline ("" and a test failure if none comes).
std::string simCommand(Sim& sim, const std::string& line);

// All request log entries so far (the sim flushes each line as it writes it).
std::vector<LogEntry> simLog(const Sim& sim);

// The entries of the log less the requests that resend an earlier one (the
// same peer, request-id and PDU): what the client asked for once, however
// often Net-SNMP had to send it because an answer came late.
std::vector<LogEntry> firstTries(const std::vector<LogEntry>& log);

// What the sim wrote on its standard error so far.
std::string simStderr(const Sim& sim);

// Stops the sim (SIGTERM) and returns its exit status (128+signal if killed);
// -1 if it was not running. Its log and standard error stay readable.
int stopSim(Sim& sim);

// Runs one of Net-SNMP's command-line tools ("snmpget", "snmpset",
// "snmpwalk", ...) against the sim: SNMPv2c, the given community, the crate
// MIB module loaded; `options` come before the agent address, `args` after it.
RunResult runSnmpTool(const std::string& tool, const Sim& sim, const std::string& community,
                      const std::vector<std::string>& args, const std::vector<std::string>& options = {});

// The expected transcript in `file` (a path below the source tree's tests/
// folder, next to the tests that compare with it), each "{NAME}" in it
// replaced by fill's value for NAME; a failure of the test when it cannot be read.
std::string transcript(const std::string& file, const std::vector<std::pair<std::string, std::string>>& fill = {});

// The program's whole standard output in a run whose session to `crate`
// opens and whose actions print `output`: the library's start-up, the
// session's opening, the output, the session's close.
std::string sessionTranscript(const std::string& crate, const std::string& output = "");

// Whether `actual` is the `expected` text; if not, a unified diff says where.
// Use as EXPECT_TRUE(sameText(transcript(...), run.out)).
::testing::AssertionResult sameText(const std::string& expected, const std::string& actual);

// A new, empty folder in the temp folder, named stem.RANDOM; throws if none can be made.
std::string makeTempDir(const std::string& stem);

// The lines of text, each without its line feed; a last line without one is kept.
std::vector<std::string> lines(const std::string& text);

}  // namespace kovo::test
