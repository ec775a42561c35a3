// response_fuzzer.cpp: This file contains the fuzz target of the library's
// handling of a response: any bytes as one datagram received on the library's
// session, parsed by Net-SNMP into a PDU as a received answer is, then handed
// to the transfers' conversions (no network; the setters take numbers as the
// getters do), asked once about the object the answer names and once about a
// catalogue object.
//
// A transfer must take a value only from an answer about the object asked for
// (no error status, variables all of that identifier), must leave its value
// alone otherwise, and a text it takes must be the answer's bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "catalogue.h"
#include "check.h"
#include "transfers.h"

using fuzz::require;

namespace {

HSNMP session;  // the library's own session; nothing is sent on it

// True when the response answers the object asked, as the transfers must
// decide it: no error status, and variables that all name that object.
bool answersObject(const netsnmp_pdu& response, const oid* asked, size_t length)
{
    if (response.errstat != SNMP_ERR_NOERROR || response.variables == nullptr)
        return false;
    for (const netsnmp_variable_list* vars = response.variables; vars != nullptr; vars = vars->next_variable)
        if (snmp_oid_compare(vars->name, vars->name_length, asked, length) != 0)
            return false;
    return true;
}

// The response's last variable of a type snmpGetString accepts, or NULL.
const netsnmp_variable_list* lastText(const netsnmp_pdu& response)
{
    const netsnmp_variable_list* last = nullptr;
    for (const netsnmp_variable_list* vars = response.variables; vars != nullptr; vars = vars->next_variable)
        if (vars->type == ASN_OCTET_STR || vars->type == ASN_INTEGER || vars->type == ASN_OPAQUE_FLOAT ||
            vars->type == ASN_OPAQUE_DOUBLE)
            last = vars;
    return last;
}

// Hands the response to the conversion of each transfer, asked about asked.
void convertAll(const netsnmp_pdu& response, const oid* asked, size_t length)
{
    const bool expected = answersObject(response, asked, length);
    double number = 0.25;
    const int taken = responseToNumber("snmpGetInt", &response, asked, length, &number);
    require(taken == expected, "a number only from an answer about the object asked for");
    require(taken || number == 0.25, "a number left alone when nothing is taken");
    char* text = nullptr;
    const int read = responseToString("snmpGetString", &response, asked, length, &text);
    require(read == expected, "a text only from an answer about the object asked for");
    require(read || text == nullptr, "no text when nothing is taken");
    const netsnmp_variable_list* vars = lastText(response);
    if (text != nullptr && vars->type == ASN_OCTET_STR)
        require(receivedTextLength(text) == vars->val_len &&
                    (vars->val_len == 0 || std::memcmp(text, vars->val.string, vars->val_len) == 0),
                "a text is the answer's bytes, all of them");
    if (text != nullptr && vars->type != ASN_OCTET_STR)
        require(std::strlen(text) >= 9, "a number's text is at least nine characters");
    free(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("MIBDIRS", KOVO_FUZZ_MIBDIRS, 0);
    require(SnmpInit() == 1, "SnmpInit loads the crate MIB (MIBDIRS)");
    session = SnmpOpen("127.0.0.1:1161");
    require(session != nullptr, "a session to parse with");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<u_char> datagram(data, data + size);  // Net-SNMP parses from writable bytes
    netsnmp_pdu* response = SNMP_MALLOC_TYPEDEF(netsnmp_pdu);
    if (response == nullptr)
        return 0;
    if (snmp_parse(static_cast<session_list*>(session), snmp_sess_session(session), response, datagram.data(),
                   datagram.size()) == 0) {
        if (const netsnmp_variable_list* vars = response->variables) {
            // A copy: the conversions must not depend on the request being the response's own storage.
            const std::vector<oid> named(vars->name, vars->name + vars->name_length);
            convertAll(*response, named.data(), named.size());
        }
        convertAll(*response, oidOutputVoltage[0], lengthOutputVoltage[0]);
    }
    snmp_free_pdu(response);
    return 0;
}
