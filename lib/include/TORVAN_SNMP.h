/*
 * TORVAN_SNMP.h: interface of the crate SNMP access library.
 *
 * Lifecycle: SnmpInit once (loads TORVAN-CRATE-MIB and translates every object
 * name), SnmpOpen per crate, any number of accessor calls with the handle,
 * SnmpClose per handle, SnmpCleanup once at the end.
 *
 * Every transfer and accessor blocks for one synchronous SNMPv2c exchange
 * (0.1 s per attempt, 3 retries). Failures are reported on standard error and
 * returned as failure values: 0 for integers, 0.0 for doubles, NULL for text.
 * Text returned by snmpGetString and getOutputName is allocated for the
 * caller, who releases it with free().
 */
#ifndef TORVAN_SNMP_H
#define TORVAN_SNMP_H

#include <stddef.h>
#include "netsnmplib.h"

/* The library's log function is called syslog, as its callers expect; where the
 * C library has a syslog of its own, the library's is linked under another name
 * so that neither the C library's nor Net-SNMP's logging is taken over. */
#ifndef _WIN32
#define syslog TORVAN_syslog
#endif

#include "TORVAN_SNMP_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Handle of one open session; NULL means no session. */
typedef void* HSNMP;

/* Communities compiled in: gets carry the read community, sets the write one. */
TORVAN_SNMP_API extern const char* const readCommunity;
TORVAN_SNMP_API extern const char* const writeCommunity;

/* Rows of the catalogue's tables, as the accessors' index parameters address them. */
enum {
    CHANNEL_ROWS = 1100,   /* rows 0 to 999 are translated */
    SENSOR_ROWS = 12,      /* rows 0 to 7 are translated */
    COMMUNITY_ROWS = 4,
    FAN_ROWS = 6,
    OID_CAPACITY = 128     /* sub-identifiers of one catalogue identifier */
};

/* ---- Frame: logging, Winsock, sessions ---- */

/* Newly allocated copy of str with its terminator; NULL for NULL or when out of memory. */
TORVAN_SNMP_API char* StrDup(const char* str);

/* Writes the formatted text and one newline on standard output; priority
 * (3 error, 6 informational, 7 debug) is neither printed nor used to filter. */
TORVAN_SNMP_API void syslog(int priority, const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Net-SNMP's Windows DLL exports functions of these two names too. Ours are
 * linked there as TORVAN_winsock_startup and TORVAN_winsock_cleanup, so that a
 * program that includes this header gets them whatever the order of the
 * libraries it links, and Net-SNMP's own callers keep Net-SNMP's. Our DLL
 * answers a look-up by the plain names too (GetProcAddress). */
#if defined(_WIN32) && defined(__GNUC__)
#define TORVAN_SNMP_LINK_NAME(name) __asm__("TORVAN_" #name)
#else
#define TORVAN_SNMP_LINK_NAME(name)
#endif

/* Starts Windows Sockets 2.2 and prints the outcome on standard output; returns NULL. */
TORVAN_SNMP_API char* winsock_startup(void) TORVAN_SNMP_LINK_NAME(winsock_startup);
/* Releases Windows Sockets; the result is not examined. */
TORVAN_SNMP_API void winsock_cleanup(void) TORVAN_SNMP_LINK_NAME(winsock_cleanup);
#undef TORVAN_SNMP_LINK_NAME

/* Loads the MIB, translates the catalogue and starts Winsock: 1 on success, 0 when
 * the module cannot be loaded or a name does not resolve (the reason is logged). */
TORVAN_SNMP_API int SnmpInit(void);
/* Releases Winsock; sessions are closed by SnmpClose beforehand. */
TORVAN_SNMP_API void SnmpCleanup(void);
/* Opens an SNMPv2c session to ipAddress (a Net-SNMP peer name, "host" or
 * "host:port"); sends nothing. NULL on failure, with the reason logged. */
TORVAN_SNMP_API HSNMP SnmpOpen(const char* ipAddress);
/* Closes the session; NULL is ignored. */
TORVAN_SNMP_API void SnmpClose(HSNMP m_sessp);

/* ---- Typed transfers: one request with one variable, one response ---- */

TORVAN_SNMP_API int snmpGetInt(HSNMP m_sessp, const oid* parameter, size_t length);
TORVAN_SNMP_API int snmpSetInt(HSNMP m_sessp, const oid* parameter, size_t length, int value);
TORVAN_SNMP_API double snmpGetDouble(HSNMP m_sessp, const oid* parameter, size_t length);
TORVAN_SNMP_API double snmpSetDouble(HSNMP m_sessp, const oid* parameter, size_t length, double value);
TORVAN_SNMP_API char* snmpGetString(HSNMP m_sessp, const oid* parameter, size_t length);

/* The byte count of text, a text that snmpGetString (through getOutputName
 * too) has just returned on the calling thread: the crate's bytes may hold
 * zero bytes before the terminator. Asked before the text is released; for
 * any other text its strlen, and 0 for NULL. */
TORVAN_SNMP_API size_t receivedTextLength(const char* text);

/* ---- Accessors: one get or set of one crate object each ---- */

#include "accessors.def"
#define TORVAN_SNMP_DECLARE_GET(function, result, transfer, Object) \
    TORVAN_SNMP_API result function(HSNMP m_sessp);
#define TORVAN_SNMP_DECLARE_GET_ROW(function, result, transfer, Object, index, rows) \
    TORVAN_SNMP_API result function(HSNMP m_sessp, int index);
#define TORVAN_SNMP_DECLARE_SET(function, result, transfer, Object, type) \
    TORVAN_SNMP_API result function(HSNMP m_sessp, type value);
#define TORVAN_SNMP_DECLARE_SET_ROW(function, result, transfer, Object, index, rows, type) \
    TORVAN_SNMP_API result function(HSNMP m_sessp, int index, type value);
#define TORVAN_SNMP_DECLARE_SET_CONST(function, result, transfer, Object, constant) \
    TORVAN_SNMP_API result function(HSNMP m_sessp);
TORVAN_SNMP_ACCESSORS(TORVAN_SNMP_DECLARE_GET, TORVAN_SNMP_DECLARE_GET_ROW, TORVAN_SNMP_DECLARE_SET,
                      TORVAN_SNMP_DECLARE_SET_ROW, TORVAN_SNMP_DECLARE_SET_CONST)
#undef TORVAN_SNMP_DECLARE_GET
#undef TORVAN_SNMP_DECLARE_GET_ROW
#undef TORVAN_SNMP_DECLARE_SET
#undef TORVAN_SNMP_DECLARE_SET_ROW
#undef TORVAN_SNMP_DECLARE_SET_CONST

#ifdef __cplusplus
}
#endif

#endif /* TORVAN_SNMP_H */
