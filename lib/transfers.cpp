/*
 * transfers.cpp: the five typed transfers, the only place where the library
 * talks SNMP to the crate. Each makes one request carrying one variable, waits
 * for the response and converts the variables of an accepted type into the
 * caller's type.
 *
 * The exchange is written once (exchange below); the transfers differ only in
 * the request type, the variable, the community and the conversion.
 *
 * Net-SNMP operations relied on: snmp_pdu_create, snmp_add_null_var,
 * snmp_pdu_add_variable, snmp_sess_synch_response (which takes over the
 * request whatever the outcome), snmp_errstring, snmp_sess_session,
 * snmp_sess_perror, snmp_free_pdu. Value types accepted from the crate:
 * ASN_OCTET_STR (text only), ASN_OPAQUE_FLOAT, ASN_OPAQUE_DOUBLE, ASN_INTEGER;
 * every other type, the exception markers included, is skipped silently.
 */
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TORVAN_SNMP.h"

namespace {

/* The variable of a set request: its type and the bytes of its value. */
struct SetValue {
    u_char type;
    const void* bytes;
    size_t size;
};

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

/* One complete exchange: sends the request for the object parameter/length and
 * hands every variable of a successful response to convert. Returns false, with
 * the reason on standard error, when there is no session, the request cannot be
 * built, no response arrives or the response carries an error status. */
template <typename Convert>
bool exchange(const char* transfer, HSNMP m_sessp, const oid* parameter, size_t length, const SetValue* set,
              Convert convert)
{
    // Callers pass a null handle on when the crate could not be opened.
    if (m_sessp == nullptr) {
        fprintf(stderr, "%s: no SNMP session (null handle), nothing sent\n", transfer);
        return false;
    }
    netsnmp_pdu* request = makeRequest(transfer, parameter, length, set);
    if (request == nullptr)
        return false;

    netsnmp_pdu* response = nullptr;
    int status = snmp_sess_synch_response(m_sessp, request, &response);  // takes over request
    bool success = status == STAT_SUCCESS && response != nullptr && response->errstat == SNMP_ERR_NOERROR;
    if (success) {
        for (netsnmp_variable_list* vars = response->variables; vars != nullptr; vars = vars->next_variable)
            convert(*vars);
    } else if (status == STAT_SUCCESS && response != nullptr) {
        fprintf(stderr, "Error in packet\nReason: %s\n", snmp_errstring(static_cast<int>(response->errstat)));
    } else {
        snmp_sess_perror("snmpget", snmp_sess_session(m_sessp));
    }
    if (response != nullptr)
        snmp_free_pdu(response);
    return success;
}

/* True for the value types that hold a number the transfers accept. */
bool isNumber(u_char type)
{
    return type == ASN_OPAQUE_FLOAT || type == ASN_OPAQUE_DOUBLE || type == ASN_INTEGER;
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

}  // namespace

int snmpGetInt(HSNMP m_sessp, const oid* parameter, size_t length)
{
    double value = 0.0;
    bool ok = exchange("snmpGetInt", m_sessp, parameter, length, nullptr, [&](const netsnmp_variable_list& vars) {
        numberOf(vars, &value);
    });
    return ok ? truncateToInt(value) : 0;
}

int snmpSetInt(HSNMP m_sessp, const oid* parameter, size_t length, int value)
{
    const int32_t sent = value;  // ASN_INTEGER is sent from 4 bytes
    const SetValue set = {ASN_INTEGER, &sent, sizeof sent};
    bool ok = exchange("snmpSetInt", m_sessp, parameter, length, &set, [&](const netsnmp_variable_list& vars) {
        double number = 0.0;
        if (numberOf(vars, &number))
            value = truncateToInt(number);
    });
    return ok ? value : 0;
}

double snmpGetDouble(HSNMP m_sessp, const oid* parameter, size_t length)
{
    double value = 0.0;
    bool ok = exchange("snmpGetDouble", m_sessp, parameter, length, nullptr, [&](const netsnmp_variable_list& vars) {
        numberOf(vars, &value);
    });
    return ok ? value : 0.0;
}

double snmpSetDouble(HSNMP m_sessp, const oid* parameter, size_t length, double value)
{
    // Infinity, NaN, or a number that single precision cannot hold would reach
    // the hardware as a nonsense setting: refuse it before anything is sent.
    if (!std::isfinite(value) || std::fabs(value) > static_cast<double>(FLT_MAX)) {
        fprintf(stderr, "snmpSetDouble: %g cannot be sent as a single-precision float, nothing sent\n", value);
        return 0.0;
    }
    const float sent = static_cast<float>(value);  // rounds to nearest
    value = sent;
    const SetValue set = {ASN_OPAQUE_FLOAT, &sent, sizeof sent};
    bool ok = exchange("snmpSetDouble", m_sessp, parameter, length, &set, [&](const netsnmp_variable_list& vars) {
        numberOf(vars, &value);
    });
    return ok ? value : 0.0;
}

char* snmpGetString(HSNMP m_sessp, const oid* parameter, size_t length)
{
    char* value = nullptr;
    exchange("snmpGetString", m_sessp, parameter, length, nullptr, [&](const netsnmp_variable_list& vars) {
        if (vars.type != ASN_OCTET_STR && !isNumber(vars.type))
            return;
        free(value);  // a later accepted variable replaces an earlier one
        value = vars.type == ASN_OCTET_STR ? copyOf(vars) : formatted(vars);
        if (value == nullptr)
            fprintf(stderr, "snmpGetString: cannot allocate the text\n");
    });
    return value;  // still null unless a response was converted
}
