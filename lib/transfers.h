/*
 * transfers.h: what the typed transfers make of a response, apart from the
 * network, for the transfers themselves and for tests and fuzzing that hand
 * them responses directly. Clients never call these; they call the accessors.
 *
 * Each function takes the response to a request for the one object
 * parameter/length and the name of the transfer (for messages). It returns 1
 * and converts the response's variable into *value when the response is an
 * answer about exactly that object: no error status, one variable, whose
 * identifier is the one requested. A variable of a type the transfer does not
 * accept leaves *value as it was. Otherwise it returns 0, leaves *value alone
 * and writes the reason on standard error: "Error in packet\nReason: ..." for
 * an error status, one line naming the transfer and the requested identifier
 * for an answer about anything else.
 */
#ifndef TRANSFERS_H
#define TRANSFERS_H

#include "TORVAN_SNMP.h"

#ifdef __cplusplus
extern "C" {
#endif

/* snmpGetInt, snmpSetInt: an accepted number truncated toward zero, clamped to the int range. */
int responseToInt(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length,
                  int* value);
/* snmpGetDouble, snmpSetDouble: an accepted number as a double. */
int responseToDouble(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length,
                     double* value);
/* snmpGetString: a newly allocated text of an octet string or a number, which
 * replaces *value without releasing it (callers start from NULL); *value stays
 * NULL when the text cannot be allocated, with a message. */
int responseToString(const char* transfer, const netsnmp_pdu* response, const oid* parameter, size_t length,
                     char** value);

#ifdef __cplusplus
}
#endif

#endif /* TRANSFERS_H */
