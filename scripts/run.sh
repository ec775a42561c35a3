#!/usr/bin/env bash
# Sets the machine up, builds the panel program and the simulated crate (and
# nothing else: scripts/test.sh builds the tests), starts the simulated crate
# on the address the program has compiled in, and runs the panel program
# against it from the executable's folder; the simulated crate stops when the
# program ends.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2   # the program's standard output stays its own
build=$(pwd)/${KOVO_BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target kovo_uir crate-sim >&2

# The crate's address is the program's. Tests that put a crate on a fixed
# address do so in a network namespace of their own; where none can be made
# they take this lock file, which is held while this crate runs (crate-sim
# and the program inherit it), so that they wait instead of meeting it.
lock=/tmp/kovo-crate-127.0.0.1-1161.lock
[[ -e $lock ]] || : >>"$lock"
exec 9<"$lock"
if ! flock -n 9; then
  echo "run: a test run is using the crate address 127.0.0.1:1161; waiting for it" >&2
  flock -w 120 9 || { echo "run: 127.0.0.1:1161 is still in use" >&2; exit 1; }
fi

ready=$(mktemp -u)
mkfifo "$ready"
# The simulated crate reads control commands on its standard input; the
# terminal belongs to the program, so the simulated crate gets none.
"$build/sim/crate-sim" --listen udp:127.0.0.1:1161 </dev/null >"$ready" &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -f "$ready"' EXIT
exec 3<"$ready"
read -r line <&3   # the simulated crate says when it answers
echo "$line" >&2

cd "$build/app"
./kovo_uir
