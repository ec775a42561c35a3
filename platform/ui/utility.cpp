// This file contains the platform's pause, Sleep, where windows.h does not provide it.
#include <cerrno>
#include <ctime>

#include "utility.h"

void Sleep(unsigned milliseconds)
{
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal cuts nanosleep short; the pause goes on for the time that remains.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
