#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ (or $KOVO_FUZZ_BUILD_DIR) and runs
# each target in turn on a scratch copy of its seed corpus, with its dictionary
# if it has one, printing executions and coverage per target.
#
#   scripts/fuzz.sh [SECONDS]     run each target for SECONDS (default 60)
#   scripts/fuzz.sh --runs N      run each target for N inputs (CI's smoke run)
#
# $KOVO_FUZZ_TARGETS limits the run to some targets ("panel layout"). An input
# that crashes a target is kept as <build>/fuzz/<target>/crash-*; the script
# then exits 1 after the other targets. The committed corpus never grows.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KOVO_FUZZ_BUILD_DIR:-build-fuzz}
limit=(-max_total_time="${1:-60}")
if [[ ${1:-} == --runs ]]; then
  [[ ${2:-} =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS | --runs N]" >&2; exit 2; }
  limit=(-runs="$2")
elif [[ ! ${1:-60} =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS | --runs N]" >&2
  exit 2
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -DKOVO_FUZZ=ON -DKOVO_GUI=OFF >/dev/null
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
