#!/usr/bin/env bash
# Monitoring demo, as root on Debian 12: sets the machine up (Debian's
# Prometheus, SNMP exporter and Alertmanager among the rest), builds crate-sim,
# then starts three simulated crates (the built-in crate, a detector crate
# with realistic loads that an operator can trip, a 1000-channel crate), the
# SNMP exporter, Prometheus and Alertmanager with monitoring/'s configuration,
# each on a free loopback port with its data in a scratch folder; prints where
# everything is and how to trip a channel, and stops all of it on Ctrl-C.
#
# usage: scripts/monitor.sh [--check]
#   --check  on a machine already set up and built (no set-up, no build):
#            starts everything and prints the same, then fetches every web
#            address printed, stops, and exits 1 unless each answered 200.
set -euo pipefail
cd "$(dirname "$0")/.."
check=false
case ${1:-} in
  --check) check=true ;;
  "") ;;
  *) echo "usage: scripts/monitor.sh [--check]" >&2; exit 2 ;;
esac
build=$(realpath -m "${KOVO_BUILD_DIR:-build}")

if ! $check; then
  bash scripts/setup.sh
  cmake -S . -B "$build" >/dev/null
  cmake --build "$build" --target crate-sim -j"$(nproc)" >/dev/null
fi

scratch=$(mktemp -d /tmp/kovo-monitor.XXXXXX)
pids=()
stop() {
  trap - INT TERM EXIT
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap stop EXIT
trap 'echo; echo "monitor.sh: stopping"; exit 0' INT TERM

# A loopback TCP port that nobody listens on now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# wait_for NAME URL LOG: polls until URL answers; shows LOG and fails if it never does.
wait_for() {
  for _ in $(seq 150); do
    curl -sf -o /dev/null "$2" && return 0
    sleep 0.2
  done
  echo "monitor.sh: $1 did not start:" >&2
  cat "$3" >&2
  exit 1
}

# start_crate NAME [LAYOUT]: a crate-sim on a free UDP port; sets $crate_address.
export MIBDIRS=$build/mib:/usr/share/snmp/mibs/ietf
start_crate() {
  local name=$1 out=$scratch/$1.out
  shift
  : >"$out"     # there before the loop below reads it, however late the crate starts
  "$build/sim/crate-sim" --listen udp:127.0.0.1:0 "$@" </dev/null >"$out" 2>"$scratch/$name.log" &
  pids+=($!)
  for _ in $(seq 150); do
    crate_address=$(sed -n 's/^crate-sim ready on udp:\(.*\)$/\1/p' "$out")
    [[ -n $crate_address ]] && return 0
    sleep 0.1
  done
  echo "monitor.sh: crate $name did not start:" >&2
  cat "$scratch/$name.log" >&2
  exit 1
}

start_crate builtin;  builtin=$crate_address
start_crate detector --layout monitoring/crates/detector.toml;  detector=$crate_address
start_crate hall --layout monitoring/crates/hall-1000.toml;  hall=$crate_address

exporter=127.0.0.1:$(free_port)
prometheus-snmp-exporter --config.file=monitoring/snmp.yml --web.listen-address="$exporter" \
  >"$scratch/exporter.log" 2>&1 &
pids+=($!)
wait_for exporter "http://$exporter/" "$scratch/exporter.log"

alertmanager=127.0.0.1:$(free_port)
prometheus-alertmanager --config.file=monitoring/alertmanager.yml --storage.path="$scratch/alertmanager" \
  --web.listen-address="$alertmanager" --cluster.listen-address= >"$scratch/alertmanager.log" 2>&1 &
pids+=($!)
wait_for alertmanager "http://$alertmanager/-/ready" "$scratch/alertmanager.log"

# Prometheus' configuration as committed, with this run's addresses.
cp -r monitoring/rules "$scratch/"
sed -e "s/127\.0\.0\.1:9116/$exporter/g" -e "s/127\.0\.0\.1:9093/$alertmanager/g" monitoring/prometheus.yml \
  >"$scratch/prometheus.yml"
cat >"$scratch/crates.yml" <<EOF
- targets: ['$builtin']
  labels: {crate: built-in, hall: demo}
- targets: ['$detector']
  labels: {crate: detector, hall: demo}
- targets: ['$hall']
  labels: {crate: hall-1000, hall: demo}
EOF
prometheus_address=127.0.0.1:$(free_port)
prometheus --config.file="$scratch/prometheus.yml" --storage.tsdb.path="$scratch/prometheus" \
  --web.listen-address="$prometheus_address" >"$scratch/prometheus.log" 2>&1 &
pids+=($!)
wait_for prometheus "http://$prometheus_address/-/ready" "$scratch/prometheus.log"

# Debian's Prometheus 2.42 has only its classic pages, under /classic.
text=$(cat <<EOF

Crates (SNMPv2c, read community ovalis, write community kite):
  built-in crate      $builtin
  detector crate      $detector
  1000-channel crate  $hall
SNMP exporter         http://$exporter/snmp?module=crate&target=$detector
Prometheus            http://$prometheus_address/classic/graph
  its targets         http://$prometheus_address/classic/targets
  its alerts          http://$prometheus_address/classic/alerts
Alertmanager          http://$alertmanager/
Scratch folder        $scratch (logs, data; removed at the end)

Trip channel 3 (FE3, SNMP instance 4) of the detector crate by raising its set
voltage past its current limit:
  MIBDIRS=$MIBDIRS snmpset -v2c -c kite -m TORVAN-CRATE-MIB $detector outputVoltage.4 F 7
CrateChannelTripped fires within two scrape intervals (20 s). Clear it:
  MIBDIRS=$MIBDIRS snmpset -v2c -c kite -m TORVAN-CRATE-MIB $detector outputVoltage.4 F 5 outputSwitch.4 i 1
EOF
)
echo "$text"

if $check; then
  failed=0 fetched=0
  while read -r url; do
    code=$(curl -s -o /dev/null -w '%{http_code}' "$url")
    echo "$code $url"
    [[ $code == 200 ]] || failed=1
    fetched=$((fetched + 1))
  done < <(grep -o 'http://[^ ]*' <<<"$text")
  [[ $fetched -gt 0 ]] || failed=1
  exit $failed
fi
echo
echo "Ctrl-C stops everything."
wait
