// process_state.h: This file contains what the process layer keeps of a
// started program: the part every system has, used by kovo_process.cpp, and
// each system's own, used by process_posix.cpp or process_win32.cpp.
#pragma once

#include "kovo_process.h"

#ifdef _WIN32
#include <winsock2.h>  // before windows.h
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace kovo::test {

struct Process::State {
    std::string outText, errText, failure;
    std::size_t lineStart = 0;            // where readLine and readBytes go on in outText
    long pid = -1;                        // 0 for a Linux program under Wine, which Wine gives none
    int status = -1;
    bool timedOut = false;
#ifdef _WIN32
    HANDLE process = nullptr;
    HANDLE input = nullptr;               // write end of its standard input
    SOCKET relay = INVALID_SOCKET;        // a Linux program's standard input and output
    std::string statusFile, errFile;      // a Linux program's exit status and standard error
    std::thread readers[2];               // of standard output and error
    std::mutex lock;                      // over the texts and `ended`
    std::condition_variable grew;
    bool ended[2] = {true, true};
    bool done = false;
#else
    int input = -1, out = -1, err = -1;   // the test's ends of its streams
    int exited = -1;                      // a pidfd that turns readable at the exit
    bool reaped = false, terminal = false;
#endif
};

}  // namespace kovo::test
