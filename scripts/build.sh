#!/usr/bin/env bash
# Configures and builds the project in build/ (or $KOVO_BUILD_DIR) and installs
# the crate MIB onto Net-SNMP's search path. Extra arguments go to CMake's
# configure step (e.g. -DKOVO_SANITIZE=ON). Idempotent.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KOVO_BUILD_DIR:-build}
cmake -S . -B "$build" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake --install "$build" --component mib >/dev/null
