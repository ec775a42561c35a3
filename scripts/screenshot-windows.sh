#!/usr/bin/env bash
# Makes docs/images/panel-windows.png, the picture of the Windows program's
# window under Wine after a status report against the simulated crate, on a
# private X server (Xvfb). Builds nothing: it uses build-windows (or
# $KOVO_WINDOWS_BUILD_DIR) and the Linux build's crate-sim as
# scripts/windows.sh left them. The status button is found through the
# tests' window_peek and clicked with xdotool; ImageMagick takes the picture.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/${KOVO_WINDOWS_BUILD_DIR:-build-windows}
linux_build=$root/${KOVO_BUILD_DIR:-build}
cache=${KOVO_WINDOWS_CACHE:-$root/.cache/windows}
picture=$root/docs/images/panel-windows.png
for needed in "$build/app/kovo_uir.exe" "$build/tests/gui/window_peek.exe" "$linux_build/sim/crate-sim"; do
  if [[ ! -e $needed ]]; then
    echo "screenshot-windows: $needed is missing; run scripts/windows.sh first" >&2
    exit 1
  fi
done
export WINEPREFIX=$cache/wine WINEDEBUG=-all WINEPATH="Z:$cache/prefix/bin" MIBDIRS=$build/mib

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The X server and the simulated crate each say when they are ready.
mkfifo "$work/display" "$work/sim"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
read -r display <"$work/display"
export DISPLAY=:$display
MIBDIRS=$linux_build/mib:/usr/share/snmp/mibs/ietf "$linux_build/sim/crate-sim" --listen udp:127.0.0.1:1161 \
  --layout scripts/screenshot-layout.toml </dev/null >"$work/sim" 2>"$work/sim.err" &
pids+=($!)
if ! read -r ready <"$work/sim"; then
  echo "screenshot-windows: the simulated crate did not start:" >&2
  cat "$work/sim.err" >&2
  exit 1
fi

# Started as a desktop starts it: /dev/null as input.
(cd "$build/app" && exec wine kovo_uir.exe </dev/null >"$work/program.log" 2>&1) &
pids+=($!)
window=$(timeout 120 xdotool search --sync --name '^Crate control$' | head -n1)
xdotool windowmove --sync "$window" 0 0

# Where a control's centre is on the screen, as window_peek sees it.
centre() {
  printf 'find Crate control\ncontrols\n' | (cd "$build/tests/gui" && wine window_peek.exe) |
    awk -F'\t' -v name="$1" '$1 == name { print $3, $4 }'
}
read -r x y < <(centre Status)
xdotool mousemove "$x" "$y" click 1
for _ in $(seq 600); do
  grep -q '^103 ' "$work/program.log" && break
  sleep 0.1
done
xdotool mousemove 0 0
sleep 1  # the pane has taken the last line
mkdir -p "$(dirname "$picture")"
import -window "$window" "$picture"
read -r x y < <(centre Quit)
xdotool mousemove "$x" "$y" click 1
wait "${pids[-1]}" || { echo "screenshot-windows: the program failed:" >&2; cat "$work/program.log" >&2; exit 1; }
echo "$picture"
