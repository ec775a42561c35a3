/*
 * catalogue_load.h: loading the crate's MIB module, shared by SnmpInit and by
 * the scripting session's quiet start-up. Internal to the library.
 */
#ifndef TORVAN_SNMP_CATALOGUE_LOAD_H
#define TORVAN_SNMP_CATALOGUE_LOAD_H

namespace torvan_catalogue {

/* Loads a MIB module by name into Net-SNMP's tree; true when it was parsed. */
bool loadModule(const char* name);

}  // namespace torvan_catalogue

#endif /* TORVAN_SNMP_CATALOGUE_LOAD_H */
