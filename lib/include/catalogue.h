/*
 * catalogue.h: the object catalogue's globals: each crate object's name text,
 * object identifier and identifier length, filled by SnmpInit. The library's
 * accessors read them; a client may pass them to the typed transfers, but
 * never writes them.
 */
#ifndef TORVAN_SNMP_CATALOGUE_H
#define TORVAN_SNMP_CATALOGUE_H

#include "TORVAN_SNMP.h"

#ifdef __cplusplus
extern "C" {
#endif

#include "catalogue.def"
#define TORVAN_SNMP_DECLARE_UNFILLED_SCALAR(name, Object, mib) \
    TORVAN_SNMP_API extern const char* S_##name;               \
    TORVAN_SNMP_API extern oid oid##Object[OID_CAPACITY];      \
    TORVAN_SNMP_API extern size_t length##Object;
#define TORVAN_SNMP_DECLARE_UNFILLED_TABLE(name, Object, mib, rows) \
    TORVAN_SNMP_API extern const char* S_##name##Base;              \
    TORVAN_SNMP_API extern oid oid##Object[rows][OID_CAPACITY];     \
    TORVAN_SNMP_API extern size_t length##Object[rows];
#define TORVAN_SNMP_DECLARE_SCALAR(name, Object, mib, message) TORVAN_SNMP_DECLARE_UNFILLED_SCALAR(name, Object, mib)
#define TORVAN_SNMP_DECLARE_TABLE(name, Object, mib, rows, translated, message, limit, alias) \
    TORVAN_SNMP_DECLARE_UNFILLED_TABLE(name, Object, mib, rows)
TORVAN_SNMP_CATALOGUE(TORVAN_SNMP_DECLARE_SCALAR, TORVAN_SNMP_DECLARE_TABLE, TORVAN_SNMP_DECLARE_UNFILLED_SCALAR,
                      TORVAN_SNMP_DECLARE_UNFILLED_TABLE)
#undef TORVAN_SNMP_DECLARE_SCALAR
#undef TORVAN_SNMP_DECLARE_TABLE
#undef TORVAN_SNMP_DECLARE_UNFILLED_SCALAR
#undef TORVAN_SNMP_DECLARE_UNFILLED_TABLE

#ifdef __cplusplus
}
#endif

#endif /* TORVAN_SNMP_CATALOGUE_H */
