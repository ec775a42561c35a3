#!/usr/bin/env bash
# Brings a Debian 12 machine to the state the build, the program and the tests
# need: packages, the IETF base MIB modules Net-SNMP expects to find, and a
# Net-SNMP client configuration that loads no default module list. Idempotent:
# it looks first and changes only what is missing, so on a machine already set
# up it changes nothing and needs no root. Without root it says what it could
# not do and goes on, and the build or the tests then name what they lack.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsnmp-dev snmp snmpd smitools erlang-snmp
  libtomlplusplus-dev nlohmann-json3-dev libcli11-dev libfmt-dev
  qt6-base-dev qt6-wayland libxcb1-dev libxcb-xtest0-dev xvfb xauth locales
  python3 python3-matplotlib python3-dev python3-numpy pybind11-dev
  clang libclang-rt-14-dev
)
ietf=/usr/share/snmp/mibs/ietf
conf=/etc/snmp/snmp.conf
certs=/var/lib/snmp/cert_indexes

root=false
[[ $(id -u) == 0 ]] && root=true

# Runs a step that needs root, or says that it was skipped.
as_root() {
  local what=$1
  shift
  if $root; then
    "$@"
  else
    echo "setup: not root, so not done: $what" >&2
  fi
}

# Monitoring (tests/monitoring, scripts/monitor.sh): Debian's Prometheus, SNMP
# exporter (with its generator) and Alertmanager, without the recommended
# node exporter. Their package scripts may start system instances; the tests
# and the demo run their own on free loopback ports and never use those.
monitoring=(prometheus prometheus-snmp-exporter prometheus-alertmanager curl)

# The packages of the arguments that are not installed yet, one a line.
not_installed() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
mapfile -t missing < <(not_installed "${packages[@]}")
mapfile -t missing_monitoring < <(not_installed "${monitoring[@]}")
install_packages() {
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if ((${#missing[@]})); then
    apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  if ((${#missing_monitoring[@]})); then
    apt-get install -y -qq --no-install-recommends "${missing_monitoring[@]}" >/dev/null
  fi
}
if ((${#missing[@]} + ${#missing_monitoring[@]})); then
  as_root "install ${missing[*]} ${missing_monitoring[*]}" install_packages
fi

# Debian's Net-SNMP leaves out the IETF base modules that every SMIv2 module
# imports. erlang-snmp ships them as text; a module counts as present under its
# bare name or with any extension, so an administrator's own copies stay.
has_module() {
  compgen -G "$ietf/$1" >/dev/null || compgen -G "$ietf/$1.*" >/dev/null
}
copy_modules() {
  local erl_mibs m
  erl_mibs=$(dirname "$(dpkg -L erlang-snmp | grep '/mibs/SNMPv2-SMI.mib$' | head -n1)")
  mkdir -p "$ietf"
  for m in "$@"; do
    cp "$erl_mibs/$m.mib" "$ietf/$m.txt"
  done
}
modules=()
for m in SNMPv2-SMI SNMPv2-TC SNMPv2-CONF; do
  has_module "$m" || modules+=("$m")
done
if ((${#modules[@]})); then
  as_root "copy ${modules[*]} into $ietf" copy_modules "${modules[@]}"
fi

# Net-SNMP's compiled-in default module list names modules Debian does not ship;
# the client configuration must say "mibs :" or every start prints "Cannot find module".
no_default_mibs() {
  mkdir -p "$(dirname "$conf")"
  printf 'mibs :\n' >>"$conf"
}
if ! grep -Eq '^[[:space:]]*mibs[[:space:]]*:[[:space:]]*$' "$conf" 2>/dev/null; then
  as_root "add \"mibs :\" to $conf" no_default_mibs
fi

# Net-SNMP makes its certificate index folder on first use and says so on
# standard error; making it here keeps the program's first start quiet.
if [[ ! -d $certs ]]; then
  as_root "make $certs" mkdir -p "$certs"
fi

# A comma-decimal locale for the tests that prove printed numbers ignore it.
make_locale() {
  sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  locale-gen >/dev/null
}
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf8$'; then
  as_root "generate the locale de_DE.UTF-8" make_locale
fi
