/*
 * utility.h: the platform's utility calls that the application uses. Where
 * windows.h exists it provides Sleep; elsewhere the run-time does.
 */
#ifndef KOVO_UTILITY_H
#define KOVO_UTILITY_H

#ifdef _WIN32
#include <winsock2.h>  /* before windows.h, which would otherwise bring the old Winsock */
#include <windows.h>
#else
#ifdef __cplusplus
extern "C" {
#endif

/* Blocks the calling thread for at least the given number of milliseconds. */
void Sleep(unsigned milliseconds);

#ifdef __cplusplus
}
#endif
#endif /* _WIN32 */

#endif /* KOVO_UTILITY_H */
