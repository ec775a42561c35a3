// kovo_process.h: This file contains the one process layer of the tests and
// benchmarks: start a program with its arguments, input, environment and
// working folder; wait for a line of its output or for a file; collect its
// output; and stop it, always: a Process that goes out of scope ends its
// program, also when the test fails or throws. One implementation per system:
// process_posix.cpp (Linux) and process_win32.cpp (Windows, run under Wine).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kovo::test {

// A guard against a program that hangs, not a timing assumption: every wait
// normally ends as soon as the program writes or exits.
constexpr int hangGuardMs = 30000;

// Where a program's standard input comes from.
enum class Input {
    pipe,       // a pipe from the test: write(), closeInput()
    null,       // the null device, as a desktop's launcher gives
    file,       // the file named by Start::inputFile
    terminal,   // a new pseudo-terminal (POSIX): write() types on it
};

// Where a program's standard output or error goes.
enum class Output {
    pipe,       // collected by the test: out(), err(), readLine()
    null,       // the null device
    file,       // the file named by Start::outFile or Start::errFile
    merged,     // standard error only: into standard output, in order
    inherited,  // the test's own
    brokenPipe, // a pipe whose reading end is closed before the program starts (POSIX)
};

// How to start a program. argv[0] is a path, or a name looked up in PATH.
struct Start {
    std::vector<std::string> argv;
    std::string cwd{};                 // "" = the test's own
    std::vector<std::string> env{};    // "NAME=value" set, "NAME" removed, in the test's environment
    bool ownEnvironment = false;       // env is the whole environment
    Input input = Input::pipe;
    std::string inputFile{};
    Output out = Output::pipe, err = Output::pipe;
    std::string outFile{}, errFile{};
    std::vector<int> passed{};         // descriptors the program gets as 3, 4, ... (POSIX)
    bool ownSession = false;           // its own session, as a desktop starts it (POSIX)
};

// A started program. Its output is read as it is waited for; what was read
// stays in out() and err().
class Process {
public:
    Process();
    explicit Process(const Start& start);
    ~Process();                        // stop()
    Process(Process&&) noexcept;
    Process& operator=(Process&&) noexcept;

    bool started() const;
    const std::string& failure() const;  // why it did not start
    long pid() const;

    // Standard input: write() waits until all is written (false if the
    // program stopped reading); closeInput() ends it.
    bool write(const std::string& text);
    void closeInput();

    // The next line of standard output, without its line feed; false at the
    // end of the output or after timeoutMs.
    bool readLine(std::string& line, int timeoutMs = hangGuardMs);
    // The next `count` bytes of standard output after the last line or bytes
    // read; false if they do not come within timeoutMs.
    bool readBytes(std::size_t count, std::string& bytes, int timeoutMs = hangGuardMs);
    // Reads the output until `needle` is in out() (err() with fromErr).
    bool readUntil(const std::string& needle, int timeoutMs = hangGuardMs, bool fromErr = false);

    // Waits for the end of the program, reading its output to the end;
    // after timeoutMs (-1: none) it is killed and timedOut() is true. Returns
    // the exit status, 128+signal if killed, -1 if it never ran.
    int wait(int timeoutMs = -1);
    // Ends it (a termination request, then a kill after the hang guard) and waits.
    int stop();
    bool timedOut() const;

    const std::string& out() const;
    const std::string& err() const;

    struct State;
private:
    std::unique_ptr<State> state;
};

struct RunResult {
    int status;                        // exit code, or 128+signal
    std::string out, err;
};

// Runs a program to its end with `input` on its standard input and returns
// its output (on Windows with "\n" line ends) and exit status.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& input = "",
                     const std::string& cwd = "", const std::vector<std::string>& env = {});
RunResult run(const Start& start, const std::string& input = "", int timeoutMs = -1);

// The whole of a file, byte for byte; "" when it cannot be read.
std::string readFile(const std::string& path);

// Waits until the file holds `needle` and the end of the line it is on
// (needle "": a whole first line); the file's text, "" after timeoutMs.
std::string waitForFile(const std::string& path, const std::string& needle = "", int timeoutMs = hangGuardMs);

}  // namespace kovo::test
