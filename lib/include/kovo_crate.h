/*
 * kovo_crate.h: the crate as a value that a script names at run time: a
 * session opened with an address, communities, timeout and retries of the
 * caller's choice; single gets and sets that tell a failure from a zero
 * through the outcome of the last exchange; sets of many rows in few
 * requests, with an outcome per row; and bulk reads of the channel table
 * (GETBULK) and of the crate-wide objects (one GET), decoded by the types
 * that TORVAN-CRATE-MIB gives the objects (Float as a double).
 *
 * It stands beside TORVAN_SNMP.h and changes nothing of it; both run on the
 * library's one client. It prints nothing on standard output: every failure
 * is told through a result and the session's outcome. Standard error carries
 * only Net-SNMP's own warnings (such as a MIB file it cannot parse). A
 * session takes answers only from the crate's own address and port (IPv4 or
 * IPv6); the outcome counts the datagrams from elsewhere that it dropped.
 * Every function that talks to the crate blocks for its exchanges; a session
 * is used by one thread at a time. The session makes an exchange's attempts
 * (1 + retries) one at a time, each waiting the timeout, and a caller's
 * check between them may stop it (kovoSetInterruptCheck).
 *
 * No function crashes or throws on misuse: a NULL crate, a NULL list, a count
 * or row out of range, a closed session or an unknown object give a failure
 * (0 or NULL, and KOVO_REFUSED in the session's outcome where there is a
 * session), and nothing is sent. A crate stays a valid handle after
 * kovoClose, until kovoFree releases it; a handle used after kovoFree is
 * undefined, as any freed pointer is.
 *
 * Objects are named by their MIB names ("outputVoltage", "sysMainSwitch"),
 * those of the library's catalogue. A table object is addressed by its row as
 * the library's accessors take it: the channel index 100 x slot +
 * channel-in-slot, the sensor, community or fan counted from 0; the MIB
 * index of row r is r + 1.
 */
#ifndef KOVO_CRATE_H
#define KOVO_CRATE_H

#include <stddef.h>

#include "TORVAN_SNMP_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One open session to one crate. */
typedef struct kovoCrate kovoCrate;

/* The value types of the crate's objects, as the MIB gives them. */
enum kovoType {
    KOVO_NONE = 0,     /* no value: the crate has no such instance */
    KOVO_INTEGER = 1,  /* Integer32 */
    KOVO_FLOAT = 2,    /* Float: an opaque single-precision float on the wire */
    KOVO_TEXT = 3      /* DisplayString, OCTET STRING */
};

/* One value. A text is newly allocated and belongs to whoever holds the
 * value: kovoFreeValue (or kovoFreeTable for a table's values) releases it. */
typedef struct {
    int type;          /* enum kovoType */
    long integer;      /* KOVO_INTEGER */
    double number;     /* KOVO_FLOAT, and KOVO_INTEGER as a double */
    char* text;        /* KOVO_TEXT: zero-terminated (bytes as received) */
    size_t length;     /* KOVO_TEXT: bytes, without the terminator */
} kovoValue;

/* How the last exchange of a session ended. */
enum kovoOutcomeKind {
    KOVO_SUCCESS = 0,
    KOVO_REFUSED,        /* nothing sent: unknown object, row outside its table,
                            read-only object, or a value outside the MIB's range
                            or the crate's reported limit */
    KOVO_TIMEOUT,        /* no answer within the timeout and retries */
    KOVO_SEND_FAILED,    /* the request could not be sent */
    KOVO_ERROR_STATUS,   /* the answer carries an error status (errorStatus) */
    KOVO_OTHER_OBJECT,   /* the answer is about another object than the one asked */
    KOVO_WRONG_TYPE,     /* the answer's value is not of the object's type */
    KOVO_NO_SUCH,        /* the crate has no such object or instance */
    KOVO_INTERRUPTED     /* the caller's check stopped the exchange between two attempts */
};

typedef struct {
    int kind;            /* enum kovoOutcomeKind */
    int errorStatus;     /* the SNMP error status, for KOVO_ERROR_STATUS */
    char object[64];     /* the instance it was about: "outputVoltage.4"; "" for none */
    char reason[256];    /* what went wrong, in words: "timeout (1 s, 3 retries)"; on
                            success a note of anything odd in the answer, or "" */
    unsigned long dropped; /* datagrams from elsewhere than the crate dropped meanwhile */
} kovoOutcome;

/* Channel rows of a bulk read: one per channel that the crate answered for. */
typedef struct {
    int rows;
    int columns;
    int* channels;       /* rows: the channel index of each row, ascending */
    kovoValue* values;   /* rows x columns, row after row; KOVO_NONE where the crate
                            gave no value for that channel and column */
} kovoTable;

/* ---- Start-up and sessions ---- */

/* Starts Net-SNMP (reading its own snmp.conf as its tools do), loads
 * TORVAN-CRATE-MIB through Net-SNMP's MIB search path and looks up the
 * catalogue's objects; prints nothing. Returns 1, also on later calls; 0 with
 * the reason in error (when given) if the module or an object is missing. */
TORVAN_SNMP_API int kovoInit(char* error, size_t size);

/* Opens an SNMPv2c session to host ("host", "host:port", or any Net-SNMP peer
 * name); sends nothing. NULL communities take Net-SNMP's configured default
 * community (snmp.conf's defCommunity) or else the library's readCommunity,
 * and the library's writeCommunity. timeout (seconds per attempt) <= 0 and
 * retries < 0 take Net-SNMP's configured or default ones. Calls kovoInit
 * itself. NULL with the reason in error when the session cannot be opened. */
TORVAN_SNMP_API kovoCrate* kovoOpen(const char* host, const char* readCommunity, const char* writeCommunity,
                                   double timeout, int retries, char* error, size_t size);
/* Closes the session; the crate stays a valid handle whose calls are refused
 * until kovoFree. NULL and a closed crate are ignored. */
TORVAN_SNMP_API void kovoClose(kovoCrate* crate);
/* Closes the session if it is open and releases the crate. NULL is ignored. */
TORVAN_SNMP_API void kovoFree(kovoCrate* crate);
/* The address the session was opened with; "" for NULL. */
TORVAN_SNMP_API const char* kovoHost(const kovoCrate* crate);
/* The outcome of the session's last call that talks to the crate; for NULL,
 * an outcome that says there is no crate. */
TORVAN_SNMP_API const kovoOutcome* kovoLastOutcome(const kovoCrate* crate);
/* The name of an SNMP error status ("noAccess"), or "unknown". */
TORVAN_SNMP_API const char* kovoErrorStatusName(int status);

/* Calls check(data) between two attempts of an exchange, after one went
 * unanswered: nonzero stops the exchange there, which then fails with
 * KOVO_INTERRUPTED. A script's interpreter uses it to take a signal (Ctrl-C)
 * within one timeout rather than after every retry. NULL check removes it;
 * a NULL crate is ignored. */
TORVAN_SNMP_API void kovoSetInterruptCheck(kovoCrate* crate, int (*check)(void* data), void* data);

/* ---- Objects ---- */

/* The number of objects, numbered from 0 in catalogue order. */
TORVAN_SNMP_API int kovoObjectCount(void);
/* The object of that MIB name (or of its short name for scripts), or -1. */
TORVAN_SNMP_API int kovoObject(const char* name);
/* Its MIB name, its type (enum kovoType), whether a set may write it, and its
 * rows: 0 for a crate-wide object, 1000 for a channel column, otherwise the
 * rows of its table. Unknown objects give NULL or 0. */
TORVAN_SNMP_API const char* kovoObjectName(int object);
TORVAN_SNMP_API int kovoObjectType(int object);
TORVAN_SNMP_API int kovoObjectWritable(int object);
TORVAN_SNMP_API int kovoObjectRows(int object);
/* Its unit as the MIB gives it ("V", "A", "V/s"; "" for none); NULL for an
 * unknown object. */
TORVAN_SNMP_API const char* kovoObjectUnits(int object);

/* ---- Gets and sets: one object per exchange ---- */

/* Reads one instance (row ignored for a crate-wide object). 1 with the value,
 * or 0 with the outcome saying why. */
TORVAN_SNMP_API int kovoGet(kovoCrate* crate, int object, int row, kovoValue* value);

/* Checks a set without making it: 1 when the crate would be sent it, or 0
 * with the outcome (KOVO_REFUSED for a read-only object, an integer outside
 * the MIB's range, a text longer than the MIB's size, a number that is not
 * finite or beyond single precision, a negative Float (voltages, currents
 * and rates have no negative setting), a number above the channel's limit as
 * the crate reports it, and any number while that limit reads not finite or
 * negative). It reads one instance, with one get: the bounding object of the
 * same row, or else the object itself, so that an instance the crate does
 * not have fails here too. An integer object takes value->integer, a Float
 * object value->number, a text object value->length bytes of value->text
 * (embedded zero bytes included; a length of 0 takes the text up to its
 * terminator); value->type is not looked at. A caller that writes several
 * instances checks them all first, so that a refusal leaves nothing
 * half-written. */
TORVAN_SNMP_API int kovoCheckSet(kovoCrate* crate, int object, int row, const kovoValue* value);

/* Checks the set as kovoCheckSet does, then writes the instance with the
 * write community, one object per exchange (a Float as single precision),
 * and gives the value that the crate echoes in echo (when given). The
 * crate's answer without an error status confirms the write: when its value
 * is not of the object's type (an exception included), echo is the value
 * sent and the outcome's reason notes what the crate answered. 1, or 0 with
 * the outcome; when the check refuses, nothing is sent. */
TORVAN_SNMP_API int kovoSet(kovoCrate* crate, int object, int row, const kovoValue* value, kovoValue* echo);

/* ---- Sets of many rows ---- */

/* One row of kovoSetRows: what to write to it, and how its write ended. */
typedef struct {
    int row;              /* in: the row, as kovoSet takes it */
    kovoValue value;      /* in: the value, as kovoSet takes it */
    int sent;             /* out: 1 when the row went out in a SET request */
    int written;          /* out: 1 when the crate's answer confirmed the row's write */
    kovoValue echo;       /* out, for a row written: as kovoSet's echo (overwritten, so
                             empty on entry); kovoFreeValue releases it */
    kovoOutcome outcome;  /* out: for a row not written, why; for a row written,
                             success with a note of anything odd in its answer */
} kovoRowSet;

/* Writes count rows of one object, each with its own value; no row may be
 * named twice. Every row is checked first as kovoCheckSet checks one, with
 * the instances the checks read (each row's bounding object, or else the
 * object itself) read together in GETs of as many variables as fit: when a
 * row is refused or that read fails, nothing is sent, every row carries the
 * refusal and sent stays 0. Then the rows go out in order, in SET requests of
 * as many variables as fit a datagram of 1,400 bytes. The crate carries out a
 * SET request whole or not at all: the rows of a request answered with an
 * error status are not written and carry that outcome (whose object is the
 * instance the crate named), and the other requests go on. A request the
 * crate answers with tooBig goes again in halves, and no later request is
 * larger. After a request the crate did not answer (it may or may not have
 * carried it out: its rows are sent and not written), no further request is
 * sent. Returns 1 when every row was written, else 0; the session's outcome
 * is that of the first row not written, or that of the first row. */
TORVAN_SNMP_API int kovoSetRows(kovoCrate* crate, int object, kovoRowSet* rows, int count);

/* ---- Bulk reads ---- */

/* Reads the given crate-wide objects (count of them, 1 to kovoObjectCount())
 * in one GET. 1 with count values (KOVO_NONE for one the crate does not
 * have), or 0 with the outcome. */
TORVAN_SNMP_API int kovoReadScalars(kovoCrate* crate, const int* objects, int count, kovoValue* values);

/* Reads the given channel columns (count of them, 1 to kovoObjectCount()) of
 * every present channel with GETBULK, all columns in each request. A new
 * table for kovoFreeTable, or NULL with the outcome. */
TORVAN_SNMP_API kovoTable* kovoReadColumns(kovoCrate* crate, const int* objects, int count);

TORVAN_SNMP_API void kovoFreeValue(kovoValue* value);
TORVAN_SNMP_API void kovoFreeTable(kovoTable* table);

#ifdef __cplusplus
}
#endif

#endif /* KOVO_CRATE_H */
