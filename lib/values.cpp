/*
 * values.cpp: building a one-variable request and reading the numbers and
 * texts of response variables, for the typed transfers and the scripting
 * session alike (see values.h).
 */
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "values.h"

namespace torvan_values {

/* A new request with its one variable: a get carries a null value and the
 * session's community, a set the value and its own copy of the write
 * community. NULL (with the reason on standard error) when out of memory. */
netsnmp_pdu* makeRequest(const char* transfer, const oid* parameter, size_t length, const SetValue* set)
{
    netsnmp_pdu* request = snmp_pdu_create(set != nullptr ? SNMP_MSG_SET : SNMP_MSG_GET);
    if (request == nullptr) {
        fprintf(stderr, "%s: cannot allocate the SNMP request\n", transfer);
        return nullptr;
    }
    if (set != nullptr) {
        request->community = reinterpret_cast<u_char*>(StrDup(writeCommunity));
        if (request->community == nullptr) {
            fprintf(stderr, "%s: cannot allocate the write community\n", transfer);
            snmp_free_pdu(request);
            return nullptr;
        }
        request->community_len = strlen(writeCommunity);
    }
    netsnmp_variable_list* variable = set != nullptr
        ? snmp_pdu_add_variable(request, parameter, length, set->type, set->bytes, set->size)
        : snmp_add_null_var(request, parameter, length);
    if (variable == nullptr) {
        fprintf(stderr, "%s: cannot add the variable to the SNMP request\n", transfer);
        snmp_free_pdu(request);
        return nullptr;
    }
    return request;
}

/* The number a variable of a numeric type holds; false for any other type. */
bool numberOf(const netsnmp_variable_list& vars, double* number)
{
    if (vars.type == ASN_OPAQUE_FLOAT && vars.val.floatVal != nullptr)
        *number = *vars.val.floatVal;
    else if (vars.type == ASN_OPAQUE_DOUBLE && vars.val.doubleVal != nullptr)
        *number = *vars.val.doubleVal;
    else if (vars.type == ASN_INTEGER && vars.val.integer != nullptr)
        *number = static_cast<double>(*vars.val.integer);
    else
        return false;
    return true;
}

/* Truncates toward zero. A float beyond the int range (or not a number) has no
 * int value at all, so it is clamped rather than left to undefined behaviour. */
int truncateToInt(double number)
{
    if (std::isnan(number))
        return 0;
    if (number >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (number <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(number);
}

/* A newly allocated copy of an octet string with a terminator added. */
char* copyOf(const netsnmp_variable_list& vars)
{
    char* text = static_cast<char*>(malloc(vars.val_len + 1));
    if (text == nullptr)
        return nullptr;
    if (vars.val_len > 0)
        memcpy(text, vars.val.string, vars.val_len);
    text[vars.val_len] = '\0';
    return text;
}

/* A newly allocated text of a number: "%9f" for floats, "%9d" for integers,
 * in a buffer of at least 10 bytes that always holds the whole text. */
char* formatted(const netsnmp_variable_list& vars)
{
    double number = 0.0;
    if (!numberOf(vars, &number))
        return nullptr;
    const bool integer = vars.type == ASN_INTEGER;
    const long whole = integer ? *vars.val.integer : 0;
    const int needed = integer ? snprintf(nullptr, 0, "%9ld", whole) : snprintf(nullptr, 0, "%9f", number);
    const size_t size = needed < 10 ? 10 : static_cast<size_t>(needed) + 1;
    char* text = static_cast<char*>(malloc(size));
    if (text == nullptr)
        return nullptr;
    if (integer)
        snprintf(text, size, "%9ld", whole);
    else
        snprintf(text, size, "%9f", number);
    return text;
}

TypeName typeName(u_char type)
{
    static const struct {
        u_char type;
        TypeName names;
    } types[] = {
        {ASN_INTEGER, {"INTEGER", "an INTEGER"}},
        {ASN_OCTET_STR, {"OCTET STRING", "an OctetString"}},
        {ASN_NULL, {"NULL", "a Null value"}},
        {ASN_OBJECT_ID, {"OBJECT IDENTIFIER", "an ObjectIdentifier"}},
        {ASN_IPADDRESS, {"IpAddress", "an IpAddress"}},
        {ASN_COUNTER, {"Counter32", "a Counter32"}},
        {ASN_GAUGE, {"Gauge32", "a Gauge32"}},
        {ASN_TIMETICKS, {"TimeTicks", "a TimeTicks value"}},
        {ASN_OPAQUE, {"Opaque", "an Opaque value"}},
        {ASN_COUNTER64, {"Counter64", "a Counter64"}},
        {ASN_OPAQUE_FLOAT, {"opaque float", "an opaque float"}},
        {ASN_OPAQUE_DOUBLE, {"opaque double", "an opaque double"}},
        {SNMP_NOSUCHOBJECT, {"noSuchObject", "noSuchObject"}},
        {SNMP_NOSUCHINSTANCE, {"noSuchInstance", "noSuchInstance"}},
        {SNMP_ENDOFMIBVIEW, {"endOfMibView", "endOfMibView"}},
    };
    for (const auto& t : types)
        if (t.type == type)
            return t.names;
    return {"an unknown type", nullptr};
}

Dotted dotted(const oid* name, size_t length)
{
    Dotted dotted{};
    size_t used = 0;
    for (size_t i = 0; i < length && used < sizeof dotted.text; ++i)
        used += static_cast<size_t>(snprintf(dotted.text + used, sizeof dotted.text - used, i > 0 ? ".%lu" : "%lu",
                                             static_cast<unsigned long>(name[i])));
    return dotted;
}

}  // namespace torvan_values
