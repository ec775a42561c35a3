#!/usr/bin/env bash
# Monitoring demo, as root on Debian 12: sets the machine up (Debian's
# Prometheus, SNMP exporter and Alertmanager among the rest), builds crate-sim,
# then starts three simulated crates (the built-in crate, a detector crate
# with realistic loads that an operator can trip, a 1000-channel crate), the
# SNMP exporter, Prometheus and Alertmanager with monitoring/'s configuration,
# each on a free loopback port with its data in a scratch folder; prints where
# everything is and how to trip a channel, and stops all of it on Ctrl-C or
# when stopped (SIGTERM), and each program also when this script dies.
#
# The monitoring test and benchmark start the monitoring through this script
# too, with crates of their own (--crates) and, the test, a short interval.
#
# usage: scripts/monitor.sh [--check] [--crates FILE] [--interval SECONDS]
#   --check     on a machine already set up and built (no set-up, no build):
#               starts everything and prints the same, then fetches every web
#               address printed, stops, and exits 1 unless each answered 200.
#   --crates FILE
#               on a machine already set up (no set-up, no build): starts no
#               crates; Prometheus scrapes those that FILE lists, in the form
#               of monitoring/crates.yml, and re-reads it when it changes.
#   --interval SECONDS
#               scrapes and evaluates the rules every SECONDS s, each scrape
#               given as long, instead of every 10 s with 8 s per scrape.
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { echo "usage: scripts/monitor.sh [--check] [--crates FILE] [--interval SECONDS]" >&2; exit 2; }
check=false crates_file="" interval=""
while (($#)); do
  case $1 in
    --check) check=true ;;
    --crates) [[ -n ${2:-} ]] || usage; crates_file=$(realpath -m "$2"); shift ;;
    --interval) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage; interval=$2; shift ;;
    *) usage ;;
  esac
  shift
done
build=$(realpath -m "${KOVO_BUILD_DIR:-build}")

if ! $check && [[ -z $crates_file ]]; then
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

# start NAME COMMAND...: COMMAND in the background, its output in NAME.log and
# NAME.out, ended by SIGTERM should this script die without stopping it.
start() {
  local name=$1
  shift
  setpriv --pdeathsig TERM -- "$@" </dev/null >"$scratch/$name.out" 2>"$scratch/$name.log" &
  pids+=($!)
}

# start_server NAME READY_PATH COMMAND...: the server on a free loopback port
# (each {address} in COMMAND becomes it); sets $address once READY_PATH
# answers there. A port that another program took meanwhile is replaced by
# another; a server that does not start shows its log and fails the script.
start_server() {
  local name=$1 ready=$2
  shift 2
  for _ in 1 2 3; do
    address=127.0.0.1:$(free_port)
    start "$name" "${@//\{address\}/$address}"
    for _ in $(seq 150); do
      curl -sf -o /dev/null "http://$address$ready" && return 0
      kill -0 "${pids[-1]}" 2>/dev/null || break
      sleep 0.2
    done
    kill "${pids[-1]}" 2>/dev/null || true
  done
  echo "monitor.sh: $name did not start:" >&2
  cat "$scratch/$name.out" "$scratch/$name.log" >&2
  exit 1
}

# start_crate NAME [LAYOUT]: a crate-sim on a free UDP port; sets $crate_address.
export MIBDIRS=$build/mib:/usr/share/snmp/mibs/ietf
start_crate() {
  local name=$1
  shift
  start "$name" "$build/sim/crate-sim" --listen udp:127.0.0.1:0 "$@"
  for _ in $(seq 150); do
    crate_address=$(sed -n 's/^crate-sim ready on udp:\(.*\)$/\1/p' "$scratch/$name.out")
    [[ -n $crate_address ]] && return 0
    sleep 0.1
  done
  echo "monitor.sh: crate $name did not start:" >&2
  cat "$scratch/$name.log" >&2
  exit 1
}

# edit FILE FROM TO: each FROM in FILE becomes TO; FILE must hold FROM, so
# that a changed configuration cannot leave an edit undone unnoticed.
edit() {
  grep -qF -- "$2" "$1" || { echo "monitor.sh: $1 no longer holds \"$2\"" >&2; exit 1; }
  local text
  text=$(<"$1")
  printf '%s\n' "${text//"$2"/"$3"}" >"$1"
}

if [[ -z $crates_file ]]; then
  start_crate builtin;  builtin=$crate_address
  start_crate detector --layout monitoring/crates/detector.toml;  detector=$crate_address
  start_crate hall --layout monitoring/crates/hall-1000.toml;  hall=$crate_address
  crates_file=$scratch/crates.yml
  cat >"$crates_file" <<EOF
- targets: ['$builtin']
  labels: {crate: built-in, hall: demo}
- targets: ['$detector']
  labels: {crate: detector, hall: demo}
- targets: ['$hall']
  labels: {crate: hall-1000, hall: demo}
EOF
fi

start_server exporter / prometheus-snmp-exporter --config.file=monitoring/snmp.yml \
  --web.listen-address={address}
exporter=$address

start_server alertmanager /-/ready prometheus-alertmanager --config.file=monitoring/alertmanager.yml \
  --storage.path="$scratch/alertmanager" --web.listen-address={address} --cluster.listen-address=
alertmanager=$address

# Prometheus' configuration as committed, with this run's addresses, crates and interval.
config=$scratch/prometheus.yml
cp monitoring/prometheus.yml "$config"
cp -r monitoring/rules "$scratch/"
edit "$config" 127.0.0.1:9116 "$exporter"
edit "$config" 127.0.0.1:9093 "$alertmanager"
edit "$config" "files: [crates.yml]" "files: ['$crates_file']"
if [[ -n $interval ]]; then
  edit "$config" "scrape_interval: 10s" "scrape_interval: ${interval}s"
  edit "$config" "scrape_timeout: 8s" "scrape_timeout: ${interval}s"
  edit "$config" "evaluation_interval: 10s" "evaluation_interval: ${interval}s"
fi
start_server prometheus /-/ready prometheus --config.file="$config" --storage.tsdb.path="$scratch/prometheus" \
  --web.listen-address={address}
prometheus_address=$address

# Debian's Prometheus 2.42 has only its classic pages, under /classic.
if [[ -n ${detector:-} ]]; then
  text=$(cat <<EOF

Crates (SNMPv2c, read community ovalis, write community kite):
  built-in crate      $builtin
  detector crate      $detector
  1000-channel crate  $hall
SNMP exporter         http://$exporter/snmp?module=crate&target=$detector
EOF
)
else
  text=$(printf '\nCrates                %s\nSNMP exporter         http://%s/\n' "$crates_file" "$exporter")
fi
text+=$(cat <<EOF

Prometheus            http://$prometheus_address/classic/graph
  its targets         http://$prometheus_address/classic/targets
  its alerts          http://$prometheus_address/classic/alerts
Alertmanager          http://$alertmanager/
Scratch folder        $scratch (logs, data; removed at the end)
EOF
)
if [[ -n ${detector:-} ]]; then
  text+=$(cat <<EOF


Trip channel 3 (FE3, SNMP instance 4) of the detector crate by raising its set
voltage past its current limit:
  MIBDIRS=$MIBDIRS snmpset -v2c -c kite -m TORVAN-CRATE-MIB $detector outputVoltage.4 F 7
CrateChannelTripped fires within two scrape intervals (20 s). Clear it:
  MIBDIRS=$MIBDIRS snmpset -v2c -c kite -m TORVAN-CRATE-MIB $detector outputVoltage.4 F 5 outputSwitch.4 i 1
EOF
)
fi
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
