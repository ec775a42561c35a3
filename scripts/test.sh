#!/usr/bin/env bash
# Sets the machine up, builds, and runs the whole test suite through CTest.
# Extra arguments go to CMake's configure step (e.g. -DKOVO_SANITIZE=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh "$@"
ctest --test-dir "${KOVO_BUILD_DIR:-build}" -j"$(nproc)" --output-on-failure --timeout 300
