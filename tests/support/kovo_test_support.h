// kovo_test_support.h: This file contains the test support shared by the test
// suites: starting the simulated crate (crate-sim) through sim-launcher,
// talking to its control channel, reading its request log, and running
// programs to their end with their output captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// A running crate-sim, started for this test by sim-launcher and kept while
// the connection to the launcher lasts; the destructor ends it, and the crate
// is stopped and its folder removed unless the current test has failed.
struct Sim {
    int port = 0;
    std::string address;               // "127.0.0.1:PORT", usable as a Net-SNMP peer name
    std::string dir;                   // its own fresh temp folder, on the launcher's machine
    bool logged = true;                // whether it keeps a request log
    long pid = -1;                     // its process id on the launcher's machine (Linux)
    std::intptr_t connection = -1;     // to the launcher (a socket)
    mutable std::string replyBuffer;   // bytes received beyond the last whole reply
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
// port; a loopback UDP address only), and waits until it is ready. A crate on
// a fixed port first waits for that address's lock file, which every test
// run's crates take. The launcher is the one whose address
// file KOVO_SIM_LAUNCHER names (CTest's fixture starts it); without that
// variable, on Linux, a private launcher is started for the test program.
// Fails the calling test (ADD_FAILURE, then throws) with the sim's stderr if
// it does not start. With RequestLog::none the sim has no log and simLog fails.
Sim startSim(const std::string& layoutToml = "", const std::string& listen = "", RequestLog log = RequestLog::kept);

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

struct RunResult {
    int status;                        // exit code, or 128+signal
    std::string out, err;
};

// Runs a program to its end: argv[0] is a path (or a name looked up in PATH);
// `input` is written to its standard input, then closed; cwd "" = current;
// env entries "NAME=value" are added to (or override) the current
// environment, an entry "NAME" removes the variable. Reads stdout and stderr
// fully without deadlock; on Windows their line ends are made "\n".
RunResult runProgram(const std::vector<std::string>& argv, const std::string& input = "",
                     const std::string& cwd = "", const std::vector<std::string>& env = {});

// Runs one of Net-SNMP's command-line tools ("snmpget", "snmpset",
// "snmpwalk", ...) against the sim: SNMPv2c, the given community, the crate
// MIB module loaded; `options` come before the agent address, `args` after it.
RunResult runSnmpTool(const std::string& tool, const Sim& sim, const std::string& community,
                      const std::vector<std::string>& args, const std::vector<std::string>& options = {});

// A new, empty folder in the temp folder, named stem.RANDOM; throws if none can be made.
std::string makeTempDir(const std::string& stem);

// The lines of text, each without its line feed; a last line without one is kept.
std::vector<std::string> lines(const std::string& text);

}  // namespace kovo::test
