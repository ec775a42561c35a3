/*
 * netsnmplib.h: the one place through which the access library includes
 * Net-SNMP. Net-SNMP's configuration header must come before the rest of its
 * headers, and on Windows Winsock must come before both.
 */
#ifndef NETSNMPLIB_H
#define NETSNMPLIB_H

#ifdef _WIN32
#include <winsock2.h>
#endif

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#endif /* NETSNMPLIB_H */
