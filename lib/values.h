/*
 * values.h: the value side of an exchange, shared by the typed transfers and
 * by the scripting session: building a one-variable request, and reading the
 * numbers and texts that a response variable of an accepted type holds
 * (ASN_OPAQUE_FLOAT, ASN_OPAQUE_DOUBLE, ASN_INTEGER; ASN_OCTET_STR for text).
 * Internal to the library: not installed, not exported.
 */
#ifndef TORVAN_SNMP_VALUES_H
#define TORVAN_SNMP_VALUES_H

#include "TORVAN_SNMP.h"

namespace torvan_values {

/* The variable of a set request: its type and the bytes of its value. */
struct SetValue {
    u_char type;
    const void* bytes;
    size_t size;
};

/* A new request with its one variable: a get carries a null value and the
 * session's community, a set the value and its own copy of the write
 * community. NULL (with the reason on standard error) when out of memory. */
netsnmp_pdu* makeRequest(const char* transfer, const oid* parameter, size_t length, const SetValue* set);

/* The number a variable of a numeric type holds; false for any other type. */
bool numberOf(const netsnmp_variable_list& vars, double* number);

/* Truncates toward zero. A float beyond the int range (or not a number) has no
 * int value at all, so it is clamped rather than left to undefined behaviour. */
int truncateToInt(double number);

/* A newly allocated copy of an octet string with a terminator added. */
char* copyOf(const netsnmp_variable_list& vars);

/* A newly allocated text of a number: "%9f" for floats, "%9d" for integers,
 * in a buffer of at least 10 bytes that always holds the whole text. */
char* formatted(const netsnmp_variable_list& vars);

/* The names of a variable's type as messages give them: on its own
 * ("Counter32") and as what a variable carries ("a Counter32"). An unknown
 * type has "an unknown type" and no phrase (NULL). */
struct TypeName {
    const char* name;
    const char* phrase;
};
TypeName typeName(u_char type);

/* An identifier as dotted decimal text, as messages show it; a longer one
 * than any that Net-SNMP parses or the catalogue holds is cut short. */
struct Dotted {
    char text[MAX_OID_LEN * 11 + 1];
};
Dotted dotted(const oid* name, size_t length);

}  // namespace torvan_values

#endif /* TORVAN_SNMP_VALUES_H */
