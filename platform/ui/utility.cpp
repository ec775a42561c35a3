// This file contains the platform's pause, Sleep, where windows.h does not
// provide it; a front end may take the pause over to keep its windows live.
#include <cerrno>
#include <ctime>

#include "frontend.h"
#include "utility.h"

bool (*uiPause)(unsigned milliseconds);

void Sleep(unsigned milliseconds)
{
    if (uiPause != nullptr && uiPause(milliseconds))
        return;
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal cuts nanosleep short; the pause goes on for the time that remains.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
