#!/usr/bin/env bash
# Configures and builds the project in build/ (or $KOVO_BUILD_DIR); needs no
# root and writes nothing outside the build folder. Extra arguments go to
# CMake's configure step (e.g. -DKOVO_SANITIZE=ON). Idempotent. Installing is
# a separate step: cmake --install build --prefix PREFIX.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KOVO_BUILD_DIR:-build}
cmake -S . -B "$build" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
