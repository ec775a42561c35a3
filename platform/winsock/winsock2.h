/*
 * winsock2.h: stand-in for Windows Sockets 2 on platforms without it. Sockets
 * there need no start-up, so WSAStartup only reports the version asked for;
 * winsock_control.h lets tests make it fail or report another version.
 * It also carries the Windows types that a dynamic library's entry point uses.
 */
#ifndef KOVO_WINSOCK2_STANDIN_H
#define KOVO_WINSOCK2_STANDIN_H

#ifdef _WIN32
#error "the Winsock stand-in is for platforms without Winsock"
#endif

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int BOOL;
typedef void* HANDLE;
typedef void* LPVOID;

#define TRUE 1
#define FALSE 0
#define WINAPI
#define APIENTRY

#define MAKEWORD(low, high) ((WORD)(((uint8_t)(low)) | ((WORD)((uint8_t)(high))) << 8))
#define LOBYTE(w) ((uint8_t)((w) & 0xff))
#define HIBYTE(w) ((uint8_t)(((w) >> 8) & 0xff))

typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
} WSADATA, *LPWSADATA;

/* Fills wsaData with the version granted; returns 0, or the error code set by a test. */
int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
/* Ends the use of sockets; returns 0. */
int WSACleanup(void);

#ifdef __cplusplus
}
#endif

#endif /* KOVO_WINSOCK2_STANDIN_H */
