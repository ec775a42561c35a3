/*
 * transfers.cpp: the five typed transfers, the only place where the library
 * talks SNMP to the crate. Each makes one request carrying one variable, waits
 * for the response and, when the response answers exactly the object asked
 * for, converts its variable of an accepted type into the caller's type.
 *
 * The exchange is written once (exchange below); the transfers differ only in
 * the request type, the variable, the community and the conversion. What a
 * response yields is decided apart from the network (responseTo*, declared in
 * transfers.h), so that tests and fuzzing can hand responses in directly.
 *
 * Net-SNMP operations relied on: snmp_pdu_create, snmp_add_null_var,
 * snmp_pdu_add_variable, snmp_sess_synch_response (which takes over the
 * request whatever the outcome), snmp_errstring, snmp_oid_compare,
 * snmp_sess_session, snmp_sess_perror, snmp_free_pdu. Value types accepted
 * from the crate: ASN_OCTET_STR (text only), ASN_OPAQUE_FLOAT,
 * ASN_OPAQUE_DOUBLE, ASN_INTEGER; a get skips every other type, the exception
 * markers included, silently. A set is confirmed only by a finite number: the
 * caller must never be told that a write took effect that the crate did not
 * acknowledge. A response with a variable about another object (or with none)
 * is a failed exchange: an answer about another object is never taken for the
 * value asked for.
 */
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transfers.h"
#include "values.h"

using namespace torvan_values;

namespace {

/* One complete exchange: sends the request for the object parameter/length
 * and hands the response to take, which converts it into *value and decides
 * whether the exchange succeeded. Returns false, with the reason on standard
 * error, when there is no session, the request cannot be built, no response
 * arrives or take refuses the response. */
template <typename T>
bool exchange(const char* transfer, HSNMP m_sessp, const oid* parameter, size_t length, const SetValue* set,
              int (*take)(const char*, const netsnmp_pdu*, const oid*, size_t, T*), T* value)
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
    bool success = false;
    if (status == STAT_SUCCESS && response != nullptr)
        success = take(transfer, response, parameter, length, value) != 0;
    else
        snmp_sess_perror("snmpget", snmp_sess_session(m_sessp));
    if (response != nullptr)
        snmp_free_pdu(response);
    return success;
}

/* Whether a variable names the object parameter/length as the request
 * carried it. BER has no form for an identifier without sub-identifiers:
 * Net-SNMP's encoders write two zero bytes or one, read as 0.0.0 or 0.0, and
 * the crate answers about that. */
bool namesObject(const netsnmp_variable_list& vars, const oid* parameter, size_t length)
{
    if (length > 0)
        return snmp_oid_compare(vars.name, vars.name_length, parameter, length) == 0;
    static const oid zeros[3] = {0, 0, 0};
    return (vars.name_length == 2 || vars.name_length == 3) &&
           snmp_oid_compare(vars.name, vars.name_length, zeros, vars.name_length) == 0;
}

/* True when the response answers the object parameter/length: no error
 * status, and variables that all name that object. Otherwise false, with the
 * reason on standard error. */
bool answersRequest(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length)
{
    if (response->errstat != SNMP_ERR_NOERROR) {
        fprintf(stderr, "Error in packet\nReason: %s\n", snmp_errstring(static_cast<int>(response->errstat)));
        return false;
    }
    if (response->variables == nullptr) {
        fprintf(stderr, "%s: the response for %s carries no variable, nothing taken from it\n", transfer,
                dotted(parameter, length).text);
        return false;
    }
    for (const netsnmp_variable_list* vars = response->variables; vars != nullptr; vars = vars->next_variable)
        if (!namesObject(*vars, parameter, length)) {
            fprintf(stderr, "%s: the response for %s is about %s, nothing taken from it\n", transfer,
                    dotted(parameter, length).text, dotted(vars->name, vars->name_length).text);
            return false;
        }
    return true;
}

/* The response's last variable of an accepted type (a number, or text too
 * when text is true), whose value replaces those of earlier ones; NULL when
 * it has none. */
const netsnmp_variable_list* lastAccepted(const netsnmp_pdu& response, bool text)
{
    const netsnmp_variable_list* last = nullptr;
    double number = 0.0;
    for (const netsnmp_variable_list* vars = response.variables; vars != nullptr; vars = vars->next_variable)
        if (numberOf(*vars, &number) || (text && vars->type == ASN_OCTET_STR))
            last = vars;
    return last;
}

/* What a variable that confirms no write holds, as a set's message names it. */
struct Described {
    char text[48];
};
Described describe(const netsnmp_variable_list& vars)
{
    Described described{};
    double number = 0.0;
    const char* phrase = typeName(vars.type).phrase;
    if (numberOf(vars, &number))
        snprintf(described.text, sizeof described.text, "the number %g", number);
    else if (phrase != nullptr)
        snprintf(described.text, sizeof described.text, "%s", phrase);
    else
        snprintf(described.text, sizeof described.text, "a value of type 0x%02X", vars.type);
    return described;
}

/* The last text the transfers handed out on this thread and its byte count. */
thread_local const char* lastText = nullptr;
thread_local size_t lastTextLength = 0;

}  // namespace

int responseToNumber(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length,
                     double* value)
{
    if (!answersRequest(transfer, response, parameter, length))
        return 0;
    if (const netsnmp_variable_list* vars = lastAccepted(*response, false))
        numberOf(*vars, value);
    return 1;
}

int responseToEcho(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length,
                   double* value)
{
    if (!answersRequest(transfer, response, parameter, length))
        return 0;
    const netsnmp_variable_list* vars = lastAccepted(*response, false);
    double echo = 0.0;
    if (vars != nullptr && numberOf(*vars, &echo) && std::isfinite(echo)) {
        *value = echo;
        return 1;
    }
    // Without an accepted variable, the last one is what the crate answered.
    if (vars == nullptr)
        for (vars = response->variables; vars->next_variable != nullptr;)
            vars = vars->next_variable;
    fprintf(stderr, "%s: the response for %s carries %s instead of the value written, the write is not confirmed\n",
            transfer, dotted(parameter, length).text, describe(*vars).text);
    return 0;
}

int responseToString(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length,
                     char** value)
{
    if (!answersRequest(transfer, response, parameter, length))
        return 0;
    const netsnmp_variable_list* vars = lastAccepted(*response, true);
    if (vars == nullptr)
        return 1;
    *value = vars->type == ASN_OCTET_STR ? copyOf(*vars) : formatted(*vars);
    if (*value == nullptr) {
        fprintf(stderr, "%s: cannot allocate the text\n", transfer);
        return 1;
    }
    lastText = *value;
    lastTextLength = vars->type == ASN_OCTET_STR ? vars->val_len : strlen(*value);
    return 1;
}

size_t receivedTextLength(const char* text)
{
    if (text != nullptr && text == lastText)
        return lastTextLength;
    return text != nullptr ? strlen(text) : 0;
}

int snmpGetInt(HSNMP m_sessp, const oid* parameter, size_t length)
{
    double value = 0.0;
    return exchange("snmpGetInt", m_sessp, parameter, length, nullptr, responseToNumber, &value) ? truncateToInt(value)
                                                                                                  : 0;
}

int snmpSetInt(HSNMP m_sessp, const oid* parameter, size_t length, int value)
{
    const int32_t sent = value;  // ASN_INTEGER is sent from 4 bytes
    const SetValue set = {ASN_INTEGER, &sent, sizeof sent};
    double echo = value;
    return exchange("snmpSetInt", m_sessp, parameter, length, &set, responseToEcho, &echo) ? truncateToInt(echo) : 0;
}

double snmpGetDouble(HSNMP m_sessp, const oid* parameter, size_t length)
{
    double value = 0.0;
    return exchange("snmpGetDouble", m_sessp, parameter, length, nullptr, responseToNumber, &value) ? value : 0.0;
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
    return exchange("snmpSetDouble", m_sessp, parameter, length, &set, responseToEcho, &value) ? value : 0.0;
}

char* snmpGetString(HSNMP m_sessp, const oid* parameter, size_t length)
{
    char* value = nullptr;
    exchange("snmpGetString", m_sessp, parameter, length, nullptr, responseToString, &value);
    return value;  // still null unless a response was converted
}
