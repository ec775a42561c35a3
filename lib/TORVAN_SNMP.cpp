/*
 * TORVAN_SNMP.cpp: the frame of the crate SNMP access library: the string
 * duplicator, the log function, Winsock start-up and clean-up, the entry point
 * of the library as a Windows dynamic library, and opening and closing the
 * SNMPv2c session to one crate.
 *
 * Net-SNMP operations relied on here: snmp_sess_init, snmp_sess_open (single
 * sessions, addressed only through their handle), snmp_error, snmp_sess_close.
 */
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <winsock2.h>  // the real one on Windows, before windows.h; the stand-in elsewhere
#ifdef _WIN32
#include <windows.h>
#endif

#include "catalogue.h"
#include "TORVAN_SNMP.h"  // also brings the syslog priority names LOG_ERR, LOG_INFO, LOG_DEBUG

const char* const readCommunity = "ovalis";
const char* const writeCommunity = "kite";

enum {
    SESSION_TIMEOUT_US = 100000,  // per attempt
    SESSION_RETRIES = 3,
};

char* StrDup(const char* str)
{
    if (str == nullptr)
        return nullptr;
    size_t size = strlen(str) + 1;
    char* copy = static_cast<char*>(malloc(size));
    if (copy != nullptr)
        memcpy(copy, str, size);
    return copy;
}

void syslog(int priority, const char* format, ...)
{
    (void)priority;  // every message is printed; the priority only documents its weight
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
}

char* winsock_startup(void)
{
    WSADATA wsaData;
    int err = WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (err != 0) {
        printf("WSAStartup failed with error: %d\n", err);
        return nullptr;
    }
    if (LOBYTE(wsaData.wVersion) != 2 || HIBYTE(wsaData.wVersion) != 2) {
        printf("Could not find a usable version of Winsock.dll\n");
        WSACleanup();
        return nullptr;
    }
    printf("The Winsock 2.2 dll was found okay\n");
    return nullptr;
}

void winsock_cleanup(void)
{
    WSACleanup();
}

#ifdef _WIN32
/* On Windows the library's MIB modules lie in the folder "mibs" beside the
 * module that holds the library: TORVAN_SNMP.dll, or the program it is linked
 * into. Unless MIBDIRS names the search path, that folder goes behind it. */
void addMibFolder(void)
{
    if (getenv("MIBDIRS") != nullptr)
        return;
    HMODULE module = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&addMibFolder), &module))
        return;
    char path[MAX_PATH + 6];
    const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    char* folderEnd = length > 0 && length < MAX_PATH ? strrchr(path, '\\') : nullptr;
    if (folderEnd == nullptr)
        return;
    strcpy(folderEnd, "\\mibs");
    char behind[sizeof path + 1] = "+";  // a leading '+' appends to Net-SNMP's path
    strcat(behind, path);
    netsnmp_set_mib_directory(behind);
}
#else
/* Elsewhere Net-SNMP's own search path (or MIBDIRS) finds the modules. */
void addMibFolder(void)
{
}
#endif

extern "C" BOOL APIENTRY DllMain(HANDLE hModule, DWORD ul_reason_for_call, LPVOID lpReserved)
{
    (void)hModule;
    (void)ul_reason_for_call;
    (void)lpReserved;
    return TRUE;
}

void SnmpCleanup(void)
{
    winsock_cleanup();
}

HSNMP SnmpOpen(const char* ipAddress)
{
    struct snmp_session session;
    snmp_sess_init(&session);
    session.version = SNMP_VERSION_2c;
    session.peername = StrDup(ipAddress);
    session.community = reinterpret_cast<u_char*>(StrDup(readCommunity));
    session.community_len = session.community != nullptr ? strlen(reinterpret_cast<char*>(session.community)) : 0;
    session.timeout = SESSION_TIMEOUT_US;
    session.retries = SESSION_RETRIES;

    // A description without its peer name or community would open a session to
    // the wrong place or with no community: refuse it as a failed open.
    HSNMP handle = nullptr;
    if (session.peername != nullptr && session.community != nullptr)
        handle = snmp_sess_open(&session);

    if (handle == nullptr) {
        int liberr = 0, syserr = 0;
        char* errstr = nullptr;
        snmp_error(&session, &liberr, &syserr, &errstr);
        syslog(LOG_ERR, "Open SNMP session for host \"%s\": %s", ipAddress, errstr != nullptr ? errstr : "out of memory");
        free(errstr);
    } else {
        syslog(LOG_INFO, "SNMP session for host \"%s\" opened", ipAddress);
    }

    // snmp_sess_open keeps copies of its own; ours are released here.
    free(session.peername);
    free(session.community);
    return handle;
}

void SnmpClose(HSNMP m_sessp)
{
    if (m_sessp == nullptr)
        return;
    if (snmp_sess_close(m_sessp) == 0)
        syslog(LOG_ERR, "Close SNMP session: ERROR");
    else
        syslog(LOG_INFO, "SNMP session closed");
}
