/*
 * catalogue.cpp: the object catalogue and SnmpInit, which loads the crate's MIB
 * module and translates every catalogued name into its object identifier once,
 * so that no name is parsed again while the program runs.
 *
 * The rows come from catalogue.def's table: the same table defines the globals, drives
 * the translation loop and supplies each row's failure message.
 */
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#include <immintrin.h>
#endif

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "catalogue.h"
#include "core.h"

/* The identifier tables take about 26 MB, nearly every 4 KiB page of which
 * SnmpInit writes once. On Linux with GCC they lie in one section of their
 * own, in catalogue order, between two markers on 2 MiB boundaries, so that
 * the whole stretch can be backed by transparent huge pages: a dozen page
 * faults instead of thousands. Elsewhere they are ordinary zeroed globals. */
#if defined(__linux__) && defined(__GNUC__) && !defined(__clang__)
#define CATALOGUE_STORAGE __attribute__((section(".bss.kovo_catalogue"), no_reorder))
#define CATALOGUE_MARKER alignas(2 * 1024 * 1024) CATALOGUE_STORAGE __attribute__((used))
#else
#define CATALOGUE_STORAGE
#define CATALOGUE_MARKER [[maybe_unused]]  // only the huge-page advice, Linux alone, reads the markers
#endif

namespace {
CATALOGUE_MARKER oid catalogueStart[1];
}

/* The globals: name texts, identifiers and their lengths, all static and zeroed. */
#define DEFINE_UNFILLED_SCALAR(name, Object, mib)      \
    const char* S_##name = #mib ".0";                  \
    CATALOGUE_STORAGE oid oid##Object[OID_CAPACITY];   \
    size_t length##Object;
#define DEFINE_UNFILLED_TABLE(name, Object, mib, rows)   \
    const char* S_##name##Base = #mib ".";               \
    CATALOGUE_STORAGE oid oid##Object[rows][OID_CAPACITY]; \
    size_t length##Object[rows];
#define DEFINE_SCALAR(name, Object, mib, message) DEFINE_UNFILLED_SCALAR(name, Object, mib)
#define DEFINE_TABLE(name, Object, mib, rows, translated, message, limit, alias) \
    DEFINE_UNFILLED_TABLE(name, Object, mib, rows)
TORVAN_SNMP_CATALOGUE(DEFINE_SCALAR, DEFINE_TABLE, DEFINE_UNFILLED_SCALAR, DEFINE_UNFILLED_TABLE)
#undef DEFINE_SCALAR
#undef DEFINE_TABLE
#undef DEFINE_UNFILLED_SCALAR
#undef DEFINE_UNFILLED_TABLE

namespace {

CATALOGUE_MARKER oid catalogueEnd[1];

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

/* The rows that SnmpInit translates, in catalogue order. */
#define SCALAR_ROW(name, Object, mib, message) {S_##name, oid##Object, &length##Object, 0, 1, message},
#define TABLE_ROW(name, Object, mib, rows, translated, message, limit, alias) \
    {S_##name##Base, &oid##Object[0][0], length##Object, rows, translated, message},
#define UNFILLED(...)
const Row catalogue[] = {TORVAN_SNMP_CATALOGUE(SCALAR_ROW, TABLE_ROW, UNFILLED, UNFILLED)};
#undef SCALAR_ROW
#undef TABLE_ROW
#undef UNFILLED

/* Translates one entry: sets its length to the capacity, as get_node expects,
 * and logs the row's message when the name does not resolve.
 *
 * On x86-64 the name is first translated into a buffer on the stack and the
 * sub-identifiers are then streamed into the entry past the cache: the entries
 * lie 1 KiB apart in memory the kernel has just zeroed, and an ordinary store
 * would first read every line back from memory. A name that does not resolve
 * is translated again straight into its entry, so a failure leaves the entry
 * exactly as get_node does. */
bool translate(const Row& row, int entry, const char* name)
{
    oid* identifier = row.identifiers + static_cast<size_t>(entry) * OID_CAPACITY;
    size_t* length = row.lengths + entry;
#if defined(__SSE2__) && defined(__x86_64__)
    oid translated[OID_CAPACITY];
    size_t translatedLength = OID_CAPACITY;
    if (get_node(name, translated, &translatedLength) != 0) {
        for (size_t i = 0; i < translatedLength; ++i)
            _mm_stream_si64(reinterpret_cast<long long*>(identifier + i), static_cast<long long>(translated[i]));
        *length = translatedLength;
        return true;
    }
#endif
    *length = OID_CAPACITY;
    if (get_node(name, identifier, length) == 0) {
        syslog(LOG_ERR, "%s", row.message);
        return false;
    }
    return true;
}

/* Translates a run of rows that share one table size, entry by entry: every
 * object of one channel (or sensor, fan ...) before the next one. The index
 * text is formatted once per entry and appended to each object's stem by
 * copying, which costs a fraction of a formatted print per name. */
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
        const size_t indexLength = static_cast<size_t>(snprintf(index, sizeof index, "%i", entry + 1));
        for (const Row* row = first; row != last; ++row) {
            char s[128];
            const size_t stemLength = strlen(row->text);
            if (stemLength + indexLength >= sizeof s) {
                syslog(LOG_ERR, "%s", row->message);
                return false;
            }
            memcpy(s, row->text, stemLength);
            memcpy(s + stemLength, index, indexLength + 1);
            if (!translate(*row, entry, s))
                return false;
        }
    }
    return true;
}

/* Asks for transparent huge pages on the identifier tables before they are
 * first written. Only whole pages between the markers are advised; where the
 * kernel has no huge pages, or they are switched off, nothing changes. */
void adviseHugePages()
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t first = (reinterpret_cast<uintptr_t>(catalogueStart) + page - 1) / page * page;
    const uintptr_t last = reinterpret_cast<uintptr_t>(catalogueEnd) / page * page;
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

}  // namespace

int SnmpInit(void)
{
    adviseHugePages();
    if (!torvan_core::start("VuzizEvir", true))
        return 0;

    syslog(LOG_DEBUG, "*** Translate OIDs ***");
    // The rows are taken in runs of equal table size, in catalogue order.
    const Row* const end = catalogue + sizeof catalogue / sizeof catalogue[0];
    for (const Row* first = catalogue; first != end;) {
        const Row* last = first + 1;
        while (last != end && last->rows == first->rows)
            ++last;
        if (!translateRun(first, last))
            return 0;
        first = last;
    }

#if defined(__SSE2__) && defined(__x86_64__)
    _mm_sfence();
#endif
    syslog(LOG_DEBUG, "*** Initialise SNMP done ***");
    winsock_startup();
    return 1;
}
