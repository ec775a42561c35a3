/*
 * session_open.h: opening a single session that takes answers only from the
 * crate's own address and port, shared by SnmpOpen and the scripting session.
 * Internal to the library.
 */
#ifndef TORVAN_SNMP_SESSION_OPEN_H
#define TORVAN_SNMP_SESSION_OPEN_H

#include "TORVAN_SNMP.h"

namespace torvan_session {

/* snmp_sess_open with a hook that drops every datagram not from the session's
 * peer (noting it on standard error); NULL with the session's error set. */
HSNMP openFromCrate(netsnmp_session* session);

}  // namespace torvan_session

#endif /* TORVAN_SNMP_SESSION_OPEN_H */
