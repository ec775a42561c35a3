# netsnmp.cmake: This file contains the fuzz build's Net-SNMP: the static
# libraries in KOVO_FUZZ_NETSNMP (made by scripts/fuzz.sh with the fuzz
# build's instrumentation) as netsnmp::client and netsnmp::agent, the names the
# tree links against. Client and agent come from one build of Net-SNMP, so
# that a process holds one copy of it whichever of the two it links.
set(netsnmp_prefix ${KOVO_FUZZ_NETSNMP})
foreach(library netsnmp netsnmpagent netsnmpmibs)
  if(NOT EXISTS ${netsnmp_prefix}/lib/lib${library}.a)
    message(FATAL_ERROR "KOVO_FUZZ_NETSNMP=${netsnmp_prefix} has no lib/lib${library}.a: "
                        "scripts/fuzz.sh builds it there")
  endif()
endforeach()

add_library(netsnmp::client STATIC IMPORTED GLOBAL)
set_target_properties(netsnmp::client PROPERTIES
  IMPORTED_LOCATION ${netsnmp_prefix}/lib/libnetsnmp.a
  INTERFACE_INCLUDE_DIRECTORIES ${netsnmp_prefix}/include)

# The agent's MIB modules call into the agent library, which calls into the client library.
add_library(netsnmp_agent_library STATIC IMPORTED GLOBAL)
set_target_properties(netsnmp_agent_library PROPERTIES
  IMPORTED_LOCATION ${netsnmp_prefix}/lib/libnetsnmpagent.a
  INTERFACE_LINK_LIBRARIES netsnmp::client)
add_library(netsnmp::agent STATIC IMPORTED GLOBAL)
set_target_properties(netsnmp::agent PROPERTIES
  IMPORTED_LOCATION ${netsnmp_prefix}/lib/libnetsnmpmibs.a
  INTERFACE_LINK_LIBRARIES netsnmp_agent_library)
