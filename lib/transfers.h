/*
 * transfers.h: the library's inside view of the typed transfers: what they
 * make of a response, apart from the network, for tests and fuzzing that hand
 * them responses directly. Clients never call these; they call the
 * accessors. Not installed.
 *
 * A response answers the request for the object parameter/length when it has
 * no error status and at least one variable, each naming that object (an
 * empty identifier named as it travels, 0.0.0 or 0.0). Anything else is a
 * failed exchange: nothing is taken and the reason goes to standard error,
 * "Error in packet\nReason: ..." for an error status, otherwise one line
 * naming the transfer and the identifier.
 * Of an answer's variables, the last one of a type the transfer accepts gives
 * the value; the others are skipped without a message.
 */
#ifndef TRANSFERS_H
#define TRANSFERS_H

#include "TORVAN_SNMP.h"

#ifdef __cplusplus
extern "C" {
#endif

/* snmpGetInt, snmpGetDouble and, from the value sent, snmpSetInt and
 * snmpSetDouble: 1 for an answer, with its number in *value (left as it was
 * when the answer holds none); 0 for a failed exchange. */
int responseToNumber(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length,
                     double* value);

/* snmpGetString: 1 for an answer, with a newly allocated text of its octet
 * string or number in *value, which is replaced without being released
 * (callers start from NULL) and stays NULL when the answer holds none or the
 * text cannot be allocated (with a message); 0 for a failed exchange. */
int responseToString(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length,
                     char** value);

#ifdef __cplusplus
}
#endif

#endif /* TRANSFERS_H */
