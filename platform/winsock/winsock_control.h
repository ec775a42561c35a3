/*
 * winsock_control.h: lets tests choose what the Winsock stand-in answers, so
 * that every outcome of a Winsock start-up can be exercised on this platform.
 */
#ifndef KOVO_WINSOCK_CONTROL_H
#define KOVO_WINSOCK_CONTROL_H

#include "winsock2.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Makes WSAStartup return errorCode (0: succeed) and grant grantedVersion
 * (0: the version requested). */
void winsock_standin_configure(int errorCode, WORD grantedVersion);
/* How often WSACleanup has been called since the program started. */
int winsock_standin_cleanups(void);

#ifdef __cplusplus
}
#endif

#endif /* KOVO_WINSOCK_CONTROL_H */
