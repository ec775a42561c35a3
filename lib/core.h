/*
 * core.h: the library's one SNMP client, under both of its interfaces: the
 * start-up of Net-SNMP with the crate's MIB module, sessions that take
 * answers only from the crate, one request/response exchange with its answer
 * rules and its outcome, and the decoding of the value types the crate sends.
 *
 * The typed transfers (transfers.cpp) and the scripting session
 * (kovo_crate.cpp) are policies on it: what they print or record of an
 * outcome, and which value they return. Internal to the library: not
 * installed, not exported.
 */
#ifndef TORVAN_SNMP_CORE_H
#define TORVAN_SNMP_CORE_H

#include <memory>
#include <string>

#include "TORVAN_SNMP.h"

namespace torvan_core {

/* ---- Start-up ---- */

/* Starts Net-SNMP under the application's name and loads TORVAN-CRATE-MIB
 * through Net-SNMP's MIB search path (and the library's own MIB folder).
 * With transcript, logs the start and a module that cannot be loaded as
 * SnmpInit does, and initialises the MIB handling as a step of its own.
 * False when the module was not loaded. */
bool start(const char* application, bool transcript);

/* ---- Sessions ---- */

struct SessionSettings {
    const char* peer;            // a Net-SNMP peer name: "host", "host:port", "udp6:[::1]:port"
    const char* readCommunity;   // the session's community, carried by every get
    const char* writeCommunity;  // carried by every set
    long timeout;                // microseconds per attempt; negative: Net-SNMP's configured one
    int retries;                 // negative: Net-SNMP's configured number
};

/* Opens an SNMPv2c single session that takes answers only from the peer's
 * own address and port (IPv4 and IPv6 alike); sends nothing. NULL when it
 * cannot be opened, with Net-SNMP's reason in *error. */
HSNMP open(const SessionSettings& settings, std::string* error);

/* Closes a session that open returned: 0 when Net-SNMP reports a failure. */
int close(HSNMP session);

/* ---- Exchanges ---- */

/* How an exchange ended. */
enum class Result {
    success,
    notSent,      // no session, or the request could not be built (problem says which)
    timeout,      // no answer within the session's timeout and retries
    sendFailed,   // the request could not be sent, or the answer not read
    errorStatus,  // the answer carries an error status
    noVariable,   // the answer carries no variable
    otherObject,  // the answer carries a variable about an object not asked for
};

/* The outcome of one exchange: how it ended and what the answer showed. */
struct Outcome {
    Result result = Result::success;
    const char* problem = "";   // notSent: what kept the request back, as a sentence
    long errorStatus = 0;       // errorStatus: the status and the
    long errorIndex = 0;        // variable it names (from 1; 0 for none)
    oid about[MAX_OID_LEN];     // otherObject: the identifier the answer named
    size_t aboutLength = 0;
    unsigned long dropped = 0;  // datagrams from elsewhere than the crate dropped meanwhile
    long requestId = 0;         // the request-id the request went out under
};

/* One variable of a request: the identifier, and for a set the value's ASN.1
 * type and bytes (type 0 for a get). */
struct Variable {
    const oid* name;
    size_t length;
    u_char type;
    const void* value;
    size_t size;
};

/* A response, released when it goes out of scope; null after a failure. */
struct ResponseRelease {
    void operator()(netsnmp_pdu* pdu) const { snmp_free_pdu(pdu); }
};
using Response = std::unique_ptr<netsnmp_pdu, ResponseRelease>;

/* One exchange, the only one the library makes: a request of command
 * (SNMP_MSG_GET, SNMP_MSG_SET or SNMP_MSG_GETBULK with repetitions) carrying
 * count variables, a set with the session's write community, a get or walk
 * with its read community. The answer must have no error status and carry
 * at least one variable; that of a get or set must name, in every variable,
 * one of the objects asked for (an empty identifier travels as 0.0 or
 * 0.0.0). The answer, or a null Response with *outcome saying why.
 * requestId 0 sends under a new request-id; a caller that repeats an
 * unanswered request itself passes that request's id (outcome->requestId),
 * so that a late answer to it still counts, as with Net-SNMP's own retries. */
Response exchange(HSNMP session, int command, const Variable* variables, size_t count, long repetitions,
                  Outcome* outcome, long requestId = 0);

/* The answer rules of exchange, on a response that arrived: true when it
 * answers the request; false with *outcome saying why. */
bool answersRequest(const netsnmp_pdu& response, int command, const Variable* variables, size_t count,
                    Outcome* outcome);

/* Of the answer's variables about the object name/length, the last one that
 * accept takes; when accept takes none of them, the last one about it, with
 * *accepted false. NULL when no variable is about it. */
const netsnmp_variable_list* answerFor(const netsnmp_pdu& response, const oid* name, size_t length,
                                       bool (*accept)(const netsnmp_variable_list&), bool* accepted);

/* ---- Values ---- */

/* The number a variable of a numeric type holds (ASN_OPAQUE_FLOAT widened,
 * ASN_OPAQUE_DOUBLE, ASN_INTEGER); false for any other type. isNumber and
 * isNumberOrText (an octet string too) are answerFor's acceptances. */
bool numberOf(const netsnmp_variable_list& vars, double* number);
bool isNumber(const netsnmp_variable_list& vars);
bool isNumberOrText(const netsnmp_variable_list& vars);

/* Truncates toward zero. A float beyond the int range (or not a number) has no
 * int value at all, so it is clamped rather than left to undefined behaviour. */
int truncateToInt(double number);

/* A newly allocated copy of an octet string with a terminator added. */
char* copyOf(const netsnmp_variable_list& vars);

/* A newly allocated text of a number: "%9f" for floats, "%9d" for integers,
 * in a buffer of at least 10 bytes that always holds the whole text. */
char* formatted(const netsnmp_variable_list& vars);

/* The name of a variable's type as messages give it ("Counter32",
 * "noSuchInstance", "an unknown type"). */
const char* typeName(u_char type);

/* An identifier as dotted decimal text, as messages show it. */
struct Dotted {
    char text[MAX_OID_LEN * 11 + 1];
};
Dotted dotted(const oid* name, size_t length);

}  // namespace torvan_core

#endif /* TORVAN_SNMP_CORE_H */
