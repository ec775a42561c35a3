/*
 * transfers.cpp: the five typed transfers, the library's interface of one
 * object per call. Each is a policy on the client core (core.h): one exchange
 * carrying one variable, then what the transfer makes of its outcome: the
 * value of the caller's type taken from the answer, or the failure value with
 * the reason on standard error.
 *
 * Value types taken from the crate: ASN_OCTET_STR (text only),
 * ASN_OPAQUE_FLOAT, ASN_OPAQUE_DOUBLE, ASN_INTEGER; every other type, the
 * exception markers included, is skipped silently, so that a getter keeps 0,
 * 0.0 or NULL and a setter the value it sent: the crate's noError is its own
 * confirmation of the write.
 */
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core.h"
#include "transfers.h"

using namespace torvan_core;

namespace {

/* Tells on standard error why an exchange failed, as the transfers do, and
 * then how many answers from elsewhere were dropped meanwhile, if any. */
void report(const char* transfer, HSNMP session, const oid* parameter, size_t length, const Outcome& outcome)
{
    switch (outcome.result) {
    case Result::success:
        return;
    case Result::notSent:
        fprintf(stderr, "%s: %s\n", transfer, outcome.problem);
        break;
    case Result::timeout:
    case Result::sendFailed:
        snmp_sess_perror("snmpget", snmp_sess_session(session));
        break;
    case Result::errorStatus:
        fprintf(stderr, "Error in packet\nReason: %s\n", snmp_errstring(static_cast<int>(outcome.errorStatus)));
        break;
    case Result::noVariable:
        fprintf(stderr, "%s: the response for %s carries no variable, nothing taken from it\n", transfer,
                dotted(parameter, length).text);
        break;
    case Result::otherObject:
        fprintf(stderr, "%s: the response for %s is about %s, nothing taken from it\n", transfer,
                dotted(parameter, length).text, dotted(outcome.about, outcome.aboutLength).text);
        break;
    }
    if (outcome.dropped > 0)
        fprintf(stderr, "%s: %lu answer(s) from another address than the crate's dropped meanwhile\n", transfer,
                outcome.dropped);
}

/* The answer's last numeric variable replaces *value. */
void takeNumber(const netsnmp_pdu& response, const oid* parameter, size_t length, double* value)
{
    bool accepted = false;
    if (const netsnmp_variable_list* vars = answerFor(response, parameter, length, isNumber, &accepted); accepted)
        numberOf(*vars, value);
}

/* The last text the transfers handed out on this thread and its byte count. */
thread_local const char* lastText = nullptr;
thread_local size_t lastTextLength = 0;

/* The answer's last text or number as a new text in *value. */
void takeString(const char* transfer, const netsnmp_pdu& response, const oid* parameter, size_t length,
                char** value)
{
    bool accepted = false;
    const netsnmp_variable_list* vars = answerFor(response, parameter, length, isNumberOrText, &accepted);
    if (!accepted)
        return;
    *value = vars->type == ASN_OCTET_STR ? copyOf(*vars) : formatted(*vars);
    if (*value == nullptr) {
        fprintf(stderr, "%s: cannot allocate the text\n", transfer);
        return;
    }
    lastText = *value;
    lastTextLength = vars->type == ASN_OCTET_STR ? vars->val_len : strlen(*value);
}

/* One exchange about parameter/length (a set when set names a value): the
 * answer, or a null Response with the failure reported. */
Response exchangeOne(const char* transfer, HSNMP session, const oid* parameter, size_t length, const Variable& asked)
{
    Outcome outcome;
    Response response = exchange(session, asked.type != 0 ? SNMP_MSG_SET : SNMP_MSG_GET, &asked, 1, 0, &outcome);
    if (!response)
        report(transfer, session, parameter, length, outcome);
    return response;
}

/* A numeric transfer: value starts as the accumulator's initial value and
 * takes the answer's number; false for a failed exchange. */
bool transferNumber(const char* transfer, HSNMP session, const oid* parameter, size_t length, const Variable& asked,
                    double* value)
{
    const Response response = exchangeOne(transfer, session, parameter, length, asked);
    if (response)
        takeNumber(*response, parameter, length, value);
    return static_cast<bool>(response);
}

/* Whether a response passes the answer rules for a one-variable request;
 * reports it when not. */
bool answersOne(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length)
{
    const Variable asked{parameter, length, 0, nullptr, 0};
    Outcome outcome;
    if (answersRequest(*response, SNMP_MSG_GET, &asked, 1, &outcome))
        return true;
    report(transfer, nullptr, parameter, length, outcome);
    return false;
}

}  // namespace

int responseToNumber(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length,
                     double* value)
{
    if (!answersOne(transfer, response, parameter, length))
        return 0;
    takeNumber(*response, parameter, length, value);
    return 1;
}

int responseToString(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length,
                     char** value)
{
    if (!answersOne(transfer, response, parameter, length))
        return 0;
    takeString(transfer, *response, parameter, length, value);
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
    const Variable asked{parameter, length, 0, nullptr, 0};
    return transferNumber("snmpGetInt", m_sessp, parameter, length, asked, &value) ? truncateToInt(value) : 0;
}

int snmpSetInt(HSNMP m_sessp, const oid* parameter, size_t length, int value)
{
    const int32_t sent = value;  // ASN_INTEGER is sent from 4 bytes
    const Variable asked{parameter, length, ASN_INTEGER, &sent, sizeof sent};
    double echo = value;
    return transferNumber("snmpSetInt", m_sessp, parameter, length, asked, &echo) ? truncateToInt(echo) : 0;
}

double snmpGetDouble(HSNMP m_sessp, const oid* parameter, size_t length)
{
    double value = 0.0;
    const Variable asked{parameter, length, 0, nullptr, 0};
    return transferNumber("snmpGetDouble", m_sessp, parameter, length, asked, &value) ? value : 0.0;
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
    const Variable asked{parameter, length, ASN_OPAQUE_FLOAT, &sent, sizeof sent};
    return transferNumber("snmpSetDouble", m_sessp, parameter, length, asked, &value) ? value : 0.0;
}

char* snmpGetString(HSNMP m_sessp, const oid* parameter, size_t length)
{
    char* value = nullptr;
    const Variable asked{parameter, length, 0, nullptr, 0};
    if (const Response response = exchangeOne("snmpGetString", m_sessp, parameter, length, asked))
        takeString("snmpGetString", *response, parameter, length, &value);
    return value;  // still null unless a response was converted
}
