// This file contains the helpers of the tests and benchmark that run programs
// as an operator at a desktop would: a private X server (Xvfb) and programs
// whose standard input is a terminal, /dev/null, a pipe or a file, all
// started through the tests' process layer.
#ifndef KOVO_GUI_SESSION_H
#define KOVO_GUI_SESSION_H

#include <string>
#include <vector>

#include "kovo_process.h"

namespace kovo::gui {

using kovo::test::Input;
using kovo::test::Process;

/* Starts Xvfb on a free display and waits until it accepts clients. Returns
 * the display's name (":N") and the server in *server; "" when it failed. */
std::string startXvfb(Process* server);

/* Starts argv in folder cwd with exactly the environment env, in a session of
 * its own, with standard input as given (inputFile for Input::file); its
 * standard output and error are collected. When extraFd is not -1, the
 * program has it as descriptor 3. */
Process spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::vector<std::string>& env,
              Input input, int extraFd = -1, const std::string& inputFile = "");

/* Reads fd (a side channel to a program) into *text until it holds needle,
 * the descriptor ends, or timeoutMs passes; true when the needle was found. */
bool readUntil(int fd, const std::string& needle, std::string* text, int timeoutMs);

/* What a finished program gave. */
struct Finished {
    int status = -1;      /* exit status, or 128 + signal */
    std::string out, err;
    bool timedOut = false;
};

/* Reads the program's output to its end and waits for it to exit, at most
 * timeoutMs; a program still running then is killed and timedOut set. */
Finished finish(Process* child, int timeoutMs);

/* A fresh folder under /tmp, removed with its content by removeFolder. */
std::string makeFolder();
void removeFolder(const std::string& path);

}  // namespace kovo::gui

#endif /* KOVO_GUI_SESSION_H */
