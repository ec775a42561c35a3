// This file contains the helpers of the tests and benchmark that run programs
// as an operator at a desktop would: a private X server (Xvfb) and programs
// whose standard input is a terminal, /dev/null, a pipe or a file.
#ifndef KOVO_GUI_SESSION_H
#define KOVO_GUI_SESSION_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace kovo::gui {

/* A child process started by these helpers. */
struct Child {
    pid_t pid = -1;
    int terminal = -1;  /* master side of its standard input's terminal, or -1 */
    int out = -1, err = -1;  /* read ends of its standard output and error, or -1 */
};

/* Starts Xvfb on a free display and waits until it accepts clients. Returns
 * the display's name (":N") and the server in *server; "" when it failed. */
std::string startXvfb(Child* server);

/* Ends a child of these helpers (SIGTERM) and waits for it. */
void stopChild(Child* child);

/* What a child's standard input is. */
enum class Input {
    terminal,  /* a new terminal; its master side in child.terminal */
    pipe,      /* a pipe; its write end in child.terminal */
    null,      /* /dev/null, as a desktop's launcher gives */
    file,      /* the regular file named by inputFile */
};

/* Starts argv in folder cwd with exactly the environment env and standard
 * input as given; standard output and error are pipes. When extraFd is not
 * -1, the child has it as descriptor 3. */
Child spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::vector<std::string>& env,
            Input input, int extraFd = -1, const std::string& inputFile = "");

/* Reads fd into *text until it holds needle, the descriptor ends, or
 * timeoutMs passes; true when the needle was found. */
bool readUntil(int fd, const std::string& needle, std::string* text, int timeoutMs);

/* What a finished child gave. */
struct Finished {
    int status = -1;      /* exit status, or 128 + signal */
    std::string out, err;
    bool timedOut = false;
};

/* Reads the child's output to its end and waits for it to exit, at most
 * timeoutMs; a child still running then is killed and timedOut set. */
Finished finish(Child* child, int timeoutMs);

/* A fresh folder under /tmp, removed with its content by removeFolder. */
std::string makeFolder();
void removeFolder(const std::string& path);

}  // namespace kovo::gui

#endif /* KOVO_GUI_SESSION_H */
