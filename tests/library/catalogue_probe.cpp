// This file contains a probe for the start-up tests: it runs SnmpInit, then
// prints the catalogue entries named on its command line, so that a test can
// check one start-up per process against a MIB of its choosing.
//
// usage: catalogue_probe [--winsock-error N] [--winsock-version N] Object:entry...
// prints, after SnmpInit's own output: "result R", "cleanups C" and for each
// entry "Object:entry length L oid 1.3.6..." (the oid only for a non-zero length).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "catalogue.h"
#include "winsock_control.h"

namespace {

struct Entry {
    const char* object;
    const oid* identifiers;
    const size_t* lengths;
    int rows;
};

#define SCALAR(name, Object, ...) {#Object, oid##Object, &length##Object, 1},
#define TABLE(name, Object, mib, rows, ...) {#Object, &oid##Object[0][0], length##Object, rows},
const Entry entries[] = {TORVAN_SNMP_CATALOGUE(SCALAR, TABLE, SCALAR, TABLE)};
#undef SCALAR
#undef TABLE

void printEntry(const char* request)
{
    std::string object(request);
    int row = 0;
    if (auto colon = object.find(':'); colon != std::string::npos) {
        row = atoi(object.c_str() + colon + 1);
        object.resize(colon);
    }
    for (const Entry& e : entries) {
        if (object != e.object || row < 0 || row >= e.rows)
            continue;
        size_t length = e.lengths[row];
        printf("%s length %zu", request, length);
        if (length > 0 && length <= OID_CAPACITY) {
            printf(" oid ");
            for (size_t i = 0; i < length; ++i)
                printf(i ? ".%lu" : "%lu", static_cast<unsigned long>(e.identifiers[row * OID_CAPACITY + i]));
        }
        printf("\n");
        return;
    }
    printf("%s unknown\n", request);
}

}  // namespace

int main(int argc, char** argv)
{
    int error = 0, version = 0, first = 1;
    for (; first + 1 < argc && strncmp(argv[first], "--", 2) == 0; first += 2) {
        if (strcmp(argv[first], "--winsock-error") == 0)
            error = atoi(argv[first + 1]);
        else if (strcmp(argv[first], "--winsock-version") == 0)
            version = static_cast<int>(strtol(argv[first + 1], nullptr, 0));
    }
    winsock_standin_configure(error, static_cast<WORD>(version));

    printf("result %d\n", SnmpInit());
    printf("cleanups %d\n", winsock_standin_cleanups());
    for (int i = first; i < argc; ++i)
        printEntry(argv[i]);
    return 0;
}
