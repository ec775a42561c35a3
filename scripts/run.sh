#!/usr/bin/env bash
# Sets the machine up, builds, starts the simulated crate on the address the
# program has compiled in, and runs the panel program against it from the
# executable's folder; the simulated crate stops when the program ends.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2   # the program's standard output stays its own
bash scripts/build.sh >&2
build=$(pwd)/${KOVO_BUILD_DIR:-build}

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
