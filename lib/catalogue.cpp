/*
 * catalogue.cpp: the object catalogue and SnmpInit, which loads the crate's MIB
 * module and translates every catalogued name into its object identifier once,
 * so that no name is parsed again while the program runs.
 *
 * The rows come from catalogue.def: the same table defines the globals, drives
 * the translation loop and supplies each row's failure message.
 */
#include <cstdio>

#include "catalogue.h"

#define NOT_TRANSLATED nullptr

/* The globals: name texts, identifiers and their lengths, all static and zeroed. */
#define SCALAR(name, Object, text, message) \
    const char* S_##name = text;            \
    oid oid##Object[OID_CAPACITY];          \
    size_t length##Object;
#define TABLE(name, Object, text, rows, translated, message) \
    const char* S_##name##Base = text;                       \
    oid oid##Object[rows][OID_CAPACITY];                     \
    size_t length##Object[rows];
#include "catalogue.def"

namespace {

/* One catalogue row as the translation loop sees it. A scalar has one entry and
 * no index; a table's entries are rows of OID_CAPACITY sub-identifiers. */
struct Row {
    const char* text;
    oid* identifiers;
    size_t* lengths;
    int rows;        // 0 for a scalar
    int translated;  // entries filled by SnmpInit
    const char* message;
};

#define SCALAR(name, Object, text, message) \
    {S_##name, oid##Object, &length##Object, 0, 1, message},
#define TABLE(name, Object, text, rows, translated, message) \
    {S_##name##Base, &oid##Object[0][0], length##Object, rows, translated, message},
const Row catalogue[] = {
#include "catalogue.def"
};

/* Translates one entry: sets its length to the capacity, as get_node expects,
 * and logs the row's message when the name does not resolve. */
bool translate(const Row& row, int entry, const char* name)
{
    oid* identifier = row.identifiers + static_cast<size_t>(entry) * OID_CAPACITY;
    size_t* length = row.lengths + entry;
    *length = OID_CAPACITY;
    if (get_node(name, identifier, length) == 0) {
        syslog(LOG_ERR, "%s", row.message);
        return false;
    }
    return true;
}

/* Translates a run of rows that share one table size, entry by entry: every
 * object of one channel (or sensor, fan ...) before the next one. The index
 * text is formatted once per entry and reused for all the run's objects. */
bool translateRun(const Row* first, const Row* last)
{
    if (first->rows == 0) {
        for (const Row* row = first; row != last; ++row) {
            if (row->text == S_psSerialNumber)
                printf("\nPs Serial Number: %s\n", S_psSerialNumber);
            if (!translate(*row, 0, row->text))
                return false;
        }
        return true;
    }
    for (int entry = 0; entry < first->translated; ++entry) {
        char index[12];  // the MIB index, entry + 1, as decimal text
        snprintf(index, sizeof index, "%i", entry + 1);
        for (const Row* row = first; row != last; ++row) {
            char s[128];
            snprintf(s, sizeof s, "%s%s", row->text, index);
            if (!translate(*row, entry, s))
                return false;
        }
    }
    return true;
}

/* Loads a MIB module by name. read_module hands back the MIB tree whether or
 * not it found the module, so the module's entry in Net-SNMP's list of known
 * modules tells whether it was parsed: its import count stays -1 until then. */
bool loadModule(const char* name)
{
    if (read_module(name) == nullptr)
        return false;
    const struct module* mp = find_module(which_module(name));
    return mp != nullptr && mp->no_imports >= 0;
}

}  // namespace

int SnmpInit(void)
{
    syslog(LOG_DEBUG, "*** Initialise SNMP ***");
    addMibFolder();
    init_snmp("VuzizEvir");
    init_mib();
    if (!loadModule("TORVAN-CRATE-MIB")) {
        syslog(LOG_ERR, "Unable to load SNMP MIB file \"%s\"", "TORVAN-CRATE-MIB");
        return 0;
    }

    syslog(LOG_DEBUG, "*** Translate OIDs ***");
    // Rows that are never translated are passed over; the others are taken in
    // runs of equal table size, in catalogue order.
    Row rows[sizeof catalogue / sizeof catalogue[0]];
    int count = 0;
    for (const Row& row : catalogue)
        if (row.message != NOT_TRANSLATED)
            rows[count++] = row;
    for (int first = 0; first < count;) {
        int last = first + 1;
        while (last < count && rows[last].rows == rows[first].rows)
            ++last;
        if (!translateRun(&rows[first], &rows[last]))
            return 0;
        first = last;
    }

    syslog(LOG_DEBUG, "*** Initialise SNMP done ***");
    winsock_startup();
    return 1;
}
