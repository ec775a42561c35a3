# crate_address.cmake: the crate address compiled into the tests' build of the
# program that tests and benchmarks drive.
#
# kovo_crate_address(VAR NUMBER) sets VAR to 127.A.B.NUMBER:1161, A and B taken
# from a hash of the build folder: each build tree has a loopback address of
# its own, so that where a test cannot make a network namespace of its own,
# the test runs of two checkouts, or a run beside scripts/run.sh on
# 127.0.0.1:1161, do not wait for each other's address lock.
function(kovo_crate_address var number)
  string(MD5 hash "${PROJECT_BINARY_DIR}")
  string(SUBSTRING "${hash}" 0 2 first)
  string(SUBSTRING "${hash}" 2 2 second)
  math(EXPR a "0x${first} % 254 + 1")
  math(EXPR b "0x${second}")
  set(${var} "127.${a}.${b}.${number}:1161" PARENT_SCOPE)
endfunction()

# kovo_crate_address6(VAR NUMBER) sets VAR to udp6:[::1]:PORT: IPv6 has one
# loopback address, so the port (20001 to 59999) comes from the same hash.
function(kovo_crate_address6 var number)
  string(MD5 hash "${PROJECT_BINARY_DIR}")
  string(SUBSTRING "${hash}" 0 4 first)
  math(EXPR port "20000 + (0x${first} % 4000) * 10 + ${number} % 10")
  set(${var} "udp6:[::1]:${port}" PARENT_SCOPE)
endfunction()
