/*
 * TORVAN_SNMP.cpp: the frame of the crate SNMP access library: the string
 * duplicator, the log function, Winsock start-up and clean-up, the entry point
 * of the library as a Windows dynamic library, and opening and closing the
 * SNMPv2c session to one crate through the client core with the library's
 * fixed communities, timeout and retries.
 */
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <winsock2.h>  // the real one on Windows, before windows.h; the stand-in elsewhere
#ifdef _WIN32
#include <windows.h>
#endif

#include "TORVAN_SNMP.h"  // also brings the syslog priority names LOG_ERR, LOG_INFO, LOG_DEBUG
#include "core.h"

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
    std::string error;
    HSNMP handle = torvan_core::open({ipAddress, readCommunity, writeCommunity, SESSION_TIMEOUT_US, SESSION_RETRIES},
                                     &error);
    if (handle == nullptr)
        syslog(LOG_ERR, "Open SNMP session for host \"%s\": %s", ipAddress, error.c_str());
    else
        syslog(LOG_INFO, "SNMP session for host \"%s\" opened", ipAddress);
    return handle;
}

void SnmpClose(HSNMP m_sessp)
{
    if (m_sessp == nullptr)
        return;
    if (torvan_core::close(m_sessp) == 0)
        syslog(LOG_ERR, "Close SNMP session: ERROR");
    else
        syslog(LOG_INFO, "SNMP session closed");
}
