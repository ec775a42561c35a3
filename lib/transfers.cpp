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
 * ASN_OPAQUE_DOUBLE, ASN_INTEGER; every other type, the exception markers
 * included, is skipped silently. A response whose variable is not the one
 * requested (or that carries none, or several) is a failed exchange: an
 * answer about another object is never taken for the value asked for.
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

/* An identifier as dotted decimal text, as messages show it; a longer one
 * than any that Net-SNMP parses or the catalogue holds is cut short. */
struct Dotted {
    char text[MAX_OID_LEN * 11 + 1];
};
Dotted dotted(const oid* name, size_t length)
{
    Dotted dotted{};
    size_t used = 0;
    for (size_t i = 0; i < length && used < sizeof dotted.text; ++i)
        used += static_cast<size_t>(snprintf(dotted.text + used, sizeof dotted.text - used, i > 0 ? ".%lu" : "%lu",
                                             static_cast<unsigned long>(name[i])));
    return dotted;
}

/* True when the response answers exactly the object parameter/length: no
 * error status and one variable, of that identifier. Otherwise false, with the
 * reason on standard error. */
bool answersRequest(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length)
{
    if (response->errstat != SNMP_ERR_NOERROR) {
        fprintf(stderr, "Error in packet\nReason: %s\n", snmp_errstring(static_cast<int>(response->errstat)));
        return false;
    }
    const netsnmp_variable_list* vars = response->variables;
    int count = 0;
    for (const netsnmp_variable_list* v = vars; v != nullptr; v = v->next_variable)
        ++count;
    if (count == 1 && snmp_oid_compare(vars->name, vars->name_length, parameter, length) == 0)
        return true;
    if (count != 1)
        fprintf(stderr, "%s: the response for %s carries %d variables instead of one, nothing taken from it\n",
                transfer, dotted(parameter, length).text, count);
    else
        fprintf(stderr, "%s: the response for %s is about %s, nothing taken from it\n", transfer,
                dotted(parameter, length).text, dotted(vars->name, vars->name_length).text);
    return false;
}

}  // namespace

int responseToInt(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length, int* value)
{
    if (!answersRequest(transfer, response, parameter, length))
        return 0;
    double number = 0.0;
    if (numberOf(*response->variables, &number))
        *value = truncateToInt(number);
    return 1;
}

int responseToDouble(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length,
                     double* value)
{
    if (!answersRequest(transfer, response, parameter, length))
        return 0;
    numberOf(*response->variables, value);
    return 1;
}

int responseToString(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length,
                     char** value)
{
    if (!answersRequest(transfer, response, parameter, length))
        return 0;
    const netsnmp_variable_list& vars = *response->variables;
    if (vars.type != ASN_OCTET_STR && !isNumber(vars.type))
        return 1;
    *value = vars.type == ASN_OCTET_STR ? copyOf(vars) : formatted(vars);
    if (*value == nullptr)
        fprintf(stderr, "%s: cannot allocate the text\n", transfer);
    return 1;
}

int snmpGetInt(HSNMP m_sessp, const oid* parameter, size_t length)
{
    int value = 0;
    return exchange("snmpGetInt", m_sessp, parameter, length, nullptr, responseToInt, &value) ? value : 0;
}

int snmpSetInt(HSNMP m_sessp, const oid* parameter, size_t length, int value)
{
    const int32_t sent = value;  // ASN_INTEGER is sent from 4 bytes
    const SetValue set = {ASN_INTEGER, &sent, sizeof sent};
    return exchange("snmpSetInt", m_sessp, parameter, length, &set, responseToInt, &value) ? value : 0;
}

double snmpGetDouble(HSNMP m_sessp, const oid* parameter, size_t length)
{
    double value = 0.0;
    return exchange("snmpGetDouble", m_sessp, parameter, length, nullptr, responseToDouble, &value) ? value : 0.0;
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
    return exchange("snmpSetDouble", m_sessp, parameter, length, &set, responseToDouble, &value) ? value : 0.0;
}

char* snmpGetString(HSNMP m_sessp, const oid* parameter, size_t length)
{
    char* value = nullptr;
    exchange("snmpGetString", m_sessp, parameter, length, nullptr, responseToString, &value);
    return value;  // still null unless a response was converted
}
