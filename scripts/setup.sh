#!/usr/bin/env bash
# Brings a Debian 12 machine (as root) to the state the build, the program and the
# tests need: packages, the IETF base MIB modules Net-SNMP expects to find, and a
# Net-SNMP client configuration that loads no default module list. Idempotent.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsnmp-dev snmp snmpd smitools erlang-snmp
  libtomlplusplus-dev nlohmann-json3-dev
  qt6-base-dev qt6-wayland libxcb1-dev libxcb-xtest0-dev xvfb xauth locales
  python3 python3-matplotlib
  clang libclang-rt-14-dev
)

# Monitoring (tests/monitoring, scripts/monitor.sh): Debian's Prometheus, SNMP
# exporter (with its generator) and Alertmanager, without the recommended
# node exporter. Their package scripts may start system instances; the tests
# and the demo run their own on free loopback ports and never use those.
monitoring=(prometheus prometheus-snmp-exporter prometheus-alertmanager curl)

# install [APT-OPTION...] -- PACKAGE...: the packages not installed yet.
install() {
  local options=() missing=()
  while [[ $1 != -- ]]; do options+=("$1"); shift; done
  shift
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
  fi
}
install -- "${packages[@]}"
install --no-install-recommends -- "${monitoring[@]}"

# Debian's Net-SNMP leaves out the IETF base modules that every SMIv2 module imports.
# erlang-snmp ships them as text; copy them onto Net-SNMP's (and smilint's) search path
# only where they are missing, so an administrator's own copies are left alone.
ietf=/usr/share/snmp/mibs/ietf
erl_mibs=$(dirname "$(dpkg -L erlang-snmp | grep '/mibs/SNMPv2-SMI.mib$' | head -n1)")
mkdir -p "$ietf"
for m in SNMPv2-SMI SNMPv2-TC SNMPv2-CONF; do
  if ! ls "$ietf/$m" "$ietf/$m".* >/dev/null 2>&1; then
    cp "$erl_mibs/$m.mib" "$ietf/$m.txt"
  fi
done

# Net-SNMP's compiled-in default module list names modules Debian does not ship;
# the client configuration must say "mibs :" or every start prints "Cannot find module".
conf=/etc/snmp/snmp.conf
mkdir -p /etc/snmp
if ! grep -Eq '^[[:space:]]*mibs[[:space:]]*:[[:space:]]*$' "$conf" 2>/dev/null; then
  printf 'mibs :\n' >> "$conf"
fi

# Net-SNMP makes its certificate index folder on first use and says so on
# standard error; making it here keeps the program's first start quiet.
mkdir -p /var/lib/snmp/cert_indexes

# A comma-decimal locale for the tests that prove printed numbers ignore it.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf8$'; then
  sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  locale-gen >/dev/null
fi
