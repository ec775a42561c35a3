/*
 * catalogue.h: the object catalogue's globals, for the library's own accessors
 * and its tests. Clients never touch these; they call the accessors.
 */
#ifndef CATALOGUE_H
#define CATALOGUE_H

#include "TORVAN_SNMP.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SCALAR(name, Object, text, message) \
    extern const char* S_##name;            \
    extern oid oid##Object[OID_CAPACITY];   \
    extern size_t length##Object;
#define TABLE(name, Object, text, rows, translated, message) \
    extern const char* S_##name##Base;                       \
    extern oid oid##Object[rows][OID_CAPACITY];              \
    extern size_t length##Object[rows];
#include "catalogue.def"

#ifdef __cplusplus
}
#endif

/* Adds the library's own MIB folder to Net-SNMP's search path where the
 * platform keeps it apart (Windows: beside the DLL or program); SnmpInit calls
 * it before Net-SNMP starts. */
void addMibFolder(void);

#endif /* CATALOGUE_H */
