# TORVAN_SNMPConfig.cmake: the CMake package of the crate SNMP access library.
# find_package(TORVAN_SNMP) gives TORVAN_SNMP::TORVAN_SNMP (the shared library)
# and TORVAN_SNMP::TORVAN_SNMP_static; both bring their include folder and
# Net-SNMP, which the library's header includes. Net-SNMP ships no CMake
# package, so it is found through its own pkg-config file, netsnmp.pc.
include(CMakeFindDependencyMacro)
find_dependency(PkgConfig)

if(NOT TARGET netsnmp::client)
  pkg_check_modules(TORVAN_SNMP_NETSNMP QUIET IMPORTED_TARGET netsnmp)
  if(NOT TORVAN_SNMP_NETSNMP_FOUND)
    set(TORVAN_SNMP_FOUND FALSE)
    set(TORVAN_SNMP_NOT_FOUND_MESSAGE "TORVAN_SNMP needs Net-SNMP, whose pkg-config file netsnmp.pc was not found")
    return()
  endif()
  add_library(netsnmp::client INTERFACE IMPORTED)
  target_link_libraries(netsnmp::client INTERFACE PkgConfig::TORVAN_SNMP_NETSNMP)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/TORVAN_SNMPTargets.cmake)
