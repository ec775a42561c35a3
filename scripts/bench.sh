#!/usr/bin/env bash
# Builds the project for Release in its own folder (build-bench/, or
# $KOVO_BENCH_BUILD_DIR) and runs every benchmark, each writing one JSON file
# into OUTDIR (BENCHMARK.json), with the machine and the load average before
# and after each benchmark in OUTDIR/machine.json. With --docs it then
# regenerates docs/performance.md and docs/report-time.png from that run.
#
# usage: scripts/bench.sh [--docs] OUTDIR
# Environment: KOVO_BENCH_REPETITIONS (default 5), KOVO_BENCH_MIN_TIME
# (seconds per repetition, default 0.5).
#
# The benchmarks drive the tests' build of the program, whose crate address is
# the benchmark build tree's own, in a network namespace of their own where
# one can be made, so they never meet a test run's crates.
set -euo pipefail
cd "$(dirname "$0")/.."

docs=false
if [[ ${1:-} == --docs ]]; then
  docs=true
  shift
fi
if [[ $# -ne 1 ]]; then
  echo "usage: scripts/bench.sh [--docs] OUTDIR" >&2
  exit 2
fi
out=$(realpath -m "$1")
mkdir -p "$out"
build=${KOVO_BENCH_BUILD_DIR:-build-bench}
repetitions=${KOVO_BENCH_REPETITIONS:-5}
min_time=${KOVO_BENCH_MIN_TIME:-0.5}

KOVO_BUILD_DIR=$build bash scripts/build.sh -DCMAKE_BUILD_TYPE=Release -DKOVO_BENCHMARKS=ON
export MIBDIRS=$PWD/$build/mib:/usr/share/snmp/mibs/ietf

loads=()
failed=()
load() { cut -d' ' -f1-3 /proc/loadavg; }

# run NAME PROGRAM: one benchmark program, all its benchmarks.
run() {
  local name=$1 program=$build/bench/$2
  if [[ ! -x $program ]]; then
    echo "bench.sh: $program was not built; $name skipped" >&2
    return
  fi
  local before after
  before=$(load)
  echo "== $name (load average before: $before)" >&2
  local command=("$program" "--benchmark_repetitions=$repetitions" "--benchmark_min_time=$min_time"
                 "--benchmark_enable_random_interleaving=true"
                 "--benchmark_out=$out/$name.json" "--benchmark_out_format=json")
  local status=0
  "${command[@]}" >&2 || status=$?
  if [[ $status -ne 0 ]]; then
    echo "bench.sh: $name failed with exit status $status" >&2
    failed+=("$name")
  fi
  after=$(load)
  loads+=("\"$name\": {\"before\": \"$before\", \"after\": \"$after\"}")
}

run startup library/startup_bench
run transfers transfers/transfers_bench
run scripting scripting/scripting_bench
run commands commands/commands_bench
run sim sim/bench_sim
run monitoring monitoring/monitoring_bench
run app_startup app/app_startup_bench
run gui_startup gui/gui_startup_bench

# The machine the figures were taken on.
{
  echo "{"
  echo "  \"date\": \"$(date -u '+%Y-%m-%d %H:%M UTC')\","
  echo "  \"cpu\": \"$(lscpu | sed -n 's/^Model name: *//p' | head -1)\","
  echo "  \"cpus\": $(nproc),"
  echo "  \"memory\": \"$(free -g | awk '/^Mem:/ {print $2 " GiB"}')\","
  echo "  \"system\": \"$(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r)\","
  echo "  \"virtualisation\": \"virtual machine: $(systemd-detect-virt --vm 2>/dev/null || true), container: $(systemd-detect-virt --container 2>/dev/null || true)\","
  echo "  \"huge_pages\": \"$(cat /sys/kernel/mm/transparent_hugepage/enabled)\","
  echo "  \"compiler\": \"$(g++ --version | head -1)\","
  echo "  \"net_snmp\": \"$(net-snmp-config --version 2>/dev/null || echo unknown)\","
  echo "  \"build\": \"Release\","
  echo "  \"repetitions\": $repetitions,"
  echo "  \"min_time\": $min_time,"
  echo "  \"load\": {"
  for i in "${!loads[@]}"; do
    echo "    ${loads[$i]}$([[ $i -lt $((${#loads[@]} - 1)) ]] && echo ,)"
  done
  echo "  }"
  echo "}"
} > "$out/machine.json"
echo "bench.sh: results in $out" >&2

if $docs; then
  scripts/performance-report.py "$out" docs
fi
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "bench.sh: failed: ${failed[*]}" >&2
  exit 1
fi
