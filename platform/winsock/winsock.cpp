// This file contains the Winsock stand-in: a start-up that grants the version
// asked for (or what a test told it to answer) and a clean-up that counts calls.
#include "winsock_control.h"

namespace {
int startupError = 0;
WORD grantedVersion = 0;
int cleanups = 0;
}  // namespace

extern "C" int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData)
{
    if (startupError != 0)
        return startupError;
    lpWSAData->wVersion = grantedVersion != 0 ? grantedVersion : wVersionRequested;
    lpWSAData->wHighVersion = lpWSAData->wVersion;
    return 0;
}

extern "C" int WSACleanup(void)
{
    ++cleanups;
    return 0;
}

extern "C" void winsock_standin_configure(int errorCode, WORD version)
{
    startupError = errorCode;
    grantedVersion = version;
}

extern "C" int winsock_standin_cleanups(void)
{
    return cleanups;
}
