#!/usr/bin/env bash
# Makes docs/images/panel.png, the picture of the panel program's window after
# a status report against the simulated crate, on a private X server (Xvfb).
# Builds nothing: it uses build/ (or $KOVO_BUILD_DIR) as scripts/build.sh left it.
# The status button is pressed and the picture taken by the GUI hook of the
# tests (tests/gui/gui_hook.cpp), preloaded into the program.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/${KOVO_BUILD_DIR:-build}
picture=$root/docs/images/panel.png
for needed in app/kovo_uir sim/crate-sim tests/gui/libkovo_gui_hook.so; do
  if [[ ! -e $build/$needed ]]; then
    echo "screenshot: $build/$needed is missing; run scripts/build.sh first" >&2
    exit 1
  fi
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The crate the pictures show (see the layout file).
layout=$root/scripts/screenshot-layout.toml

# The X server and the simulated crate each say when they are ready.
mkfifo "$work/display" "$work/sim"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
read -r display <"$work/display"

export MIBDIRS=$build/mib:/usr/share/snmp/mibs/ietf
"$build/sim/crate-sim" --listen udp:127.0.0.1:1161 --layout "$layout" \
  </dev/null >"$work/sim" 2>"$work/sim.err" &
pids+=($!)
if ! read -r ready <"$work/sim"; then
  echo "screenshot: the simulated crate did not start:" >&2
  cat "$work/sim.err" >&2
  exit 1
fi

# Started as a desktop's menu starts it: no terminal, /dev/null as input.
mkdir -p "$(dirname "$picture")"
mkdir -m 700 "$work/runtime"
(
  cd "$build/app"
  DISPLAY=:$display XDG_RUNTIME_DIR=$work/runtime \
    LD_PRELOAD=$build/tests/gui/libkovo_gui_hook.so \
    KOVO_GUI_HOOK="press STATUS; shot $picture; press QUIT" \
    ./kovo_uir </dev/null >"$work/program.log" 2>&1
) || { echo "screenshot: the program failed:" >&2; cat "$work/program.log" >&2; exit 1; }
echo "$picture"
