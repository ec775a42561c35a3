#!/usr/bin/env bash
# Remakes the SNMP exporter's module from monitoring/generator.yml and the
# crate MIB with Debian's prometheus-snmp-generator, into monitoring/snmp.yml
# or the file named. The generator reads its MIB modules only from MIBDIRS,
# so they are gathered in a scratch folder: the crate module and the IETF base
# modules it imports.
#
# usage: scripts/snmp-module.sh [OUTPUT]
set -euo pipefail
cd "$(dirname "$0")/.."
output=$(realpath -m "${1:-monitoring/snmp.yml}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/mibs"
cp mib/TORVAN-CRATE-MIB.txt "$scratch/mibs/"
for m in SNMPv2-SMI SNMPv2-TC SNMPv2-CONF; do
  cp /usr/share/snmp/mibs/ietf/$m.txt "$scratch/mibs/"
done
cp monitoring/generator.yml "$scratch/"
(cd "$scratch" && MIBDIRS="$scratch/mibs" prometheus-snmp-generator --fail-on-parse-errors generate \
   > generator.log 2>&1) || { cat "$scratch/generator.log" >&2; exit 1; }
cp "$scratch/snmp.yml" "$output"
