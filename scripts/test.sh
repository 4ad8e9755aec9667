#!/usr/bin/env bash
# Builds Tallyport and runs every test. Usage: scripts/test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${1:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLYPORT_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build" && ctest --output-on-failure -j"$(nproc)"
