#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ (or $KOVO_FUZZ_BUILD_DIR) and runs
# each target in turn on a scratch copy of its seed corpus, with its dictionary
# if it has one, printing executions and coverage per target.
#
# The targets link a Net-SNMP instrumented as our own code is, so that
# libFuzzer is guided through its parsing too: its client and agent libraries,
# built static from Debian's source package into .cache/fuzz/prefix (or
# $KOVO_FUZZ_CACHE/prefix) on the first run (as root: apt fetches the source),
# and reused by later runs.
#
#   scripts/fuzz.sh [SECONDS]     run each target for SECONDS (default 60)
#   scripts/fuzz.sh --runs N      run each target for N inputs (CI's smoke run)
#
# $KOVO_FUZZ_TARGETS limits the run to some targets ("panel layout"). An input
# that crashes a target is kept as <build>/fuzz/<target>/crash-*; the script
# then exits 1 after the other targets. The committed corpus never grows.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${KOVO_FUZZ_BUILD_DIR:-build-fuzz}
cache=${KOVO_FUZZ_CACHE:-$root/.cache/fuzz}
prefix=$cache/prefix
netsnmp_version=5.9.3
# The top-level CMakeLists.txt instruments our own code the same way.
instrument="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=unreachable -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
limit=(-max_total_time="${1:-60}")
if [[ ${1:-} == --runs ]]; then
  [[ ${2:-} =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS | --runs N]" >&2; exit 2; }
  limit=(-runs="$2")
elif [[ ! ${1:-60} =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS | --runs N]" >&2
  exit 2
fi

source scripts/netsnmp-source.sh

# Net-SNMP's client library and its agent libraries (the small agent: the
# crate's objects come from crate-sim, the system group and the access rules
# from these) as static archives of position-independent code, for the fuzz
# targets and the library's shared build alike. Paths are the system's, as in
# Debian's build, so that the client reads the same configuration.
netsnmp_configure=(
  CC=clang "CFLAGS=-O1 -gline-tables-only $instrument" --prefix=/usr --sysconfdir=/etc
  --with-persistent-directory=/var/lib/snmp --with-logfile=none
  '--with-mibdirs=$HOME/.snmp/mibs:/usr/share/snmp/mibs:/usr/share/snmp/mibs/iana:/usr/share/snmp/mibs/ietf'
  --enable-mini-agent --disable-applications --disable-manuals --disable-scripts --disable-mibs
  --disable-embedded-perl --without-perl-modules --without-openssl --without-rpm
  --disable-shared --enable-static --with-pic --with-defaults
)

# Builds the prefix unless its stamp (version and configuration) says it is current.
build_netsnmp() {
  local stamp="$netsnmp_version ${netsnmp_configure[*]}" stage=$cache/stage log=$cache/netsnmp-build.log
  [[ -f $prefix/stamp && $(<"$prefix/stamp") == "$stamp" ]] && return
  echo "fuzz: building Net-SNMP $netsnmp_version instrumented into $prefix" >&2
  fetch_netsnmp_source "$cache" "$netsnmp_version"
  # Chained with &&: set -e does not act inside the left side of ||.
  rm -rf "$stage"
  (cd "$src" && ./configure "${netsnmp_configure[@]}" &&
    make -C snmplib -j2 && make -C agent -j2 libs && make installheaders DESTDIR="$stage" &&
    make -C snmplib installlibs DESTDIR="$stage" && make -C agent installlibs DESTDIR="$stage") >"$log" 2>&1 || {
    echo "fuzz: Net-SNMP did not build; the log is $log:" >&2
    tail -n 20 "$log" >&2
    exit 1
  }
  rm -rf "$prefix" && mkdir -p "$prefix/lib"
  cp -r "$stage/usr/include" "$prefix/"
  cp "$stage"/usr/lib/libnetsnmp{,agent,mibs}.a "$prefix/lib/"
  echo "$stamp" >"$prefix/stamp"
  rm -rf "$stage" "$cache/src"
}

build_netsnmp
CC=clang CXX=clang++ cmake -S . -B "$build" -DKOVO_FUZZ=ON -DKOVO_GUI=OFF -DKOVO_FUZZ_NETSNMP="$prefix" >/dev/null
cmake --build "$build" -j2 >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
for dir in fuzz/*/; do
  target=$(basename "$dir")
  binary=$build/fuzz/$target/${target}_fuzzer
  [[ -x $binary ]] || continue
  if [[ -n ${KOVO_FUZZ_TARGETS:-} && " $KOVO_FUZZ_TARGETS " != *" $target "* ]]; then
    continue
  fi
  cp -r "$dir/corpus" "$scratch/$target"
  options=("${limit[@]}" -print_final_stats=1 -close_fd_mask=3 -timeout=25
           -artifact_prefix="$build/fuzz/$target/")
  [[ -f $dir/$target.dict ]] && options+=(-dict="$dir/$target.dict")
  log=$scratch/$target.log
  status=0
  "$binary" "${options[@]}" "$scratch/$target" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  last=$(grep -E '^#[0-9]+' "$log" | tail -n1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corpus=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
  if ((status != 0)); then
    failed=1
    echo "$target: FAILED (exit $status)"
    grep -E 'ERROR|SUMMARY|broken|Test unit written' "$log" | head -n 20 || tail -n 20 "$log"
  else
    echo "$target: ${runs:-?} executions (${speed:-?}/s), cov: ${cov:-?}, ft: ${ft:-?}, corpus: ${corpus:-?} inputs"
  fi
done
exit "$failed"
