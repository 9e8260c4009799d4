#!/usr/bin/env bash
# The soak run: 10,000 operations (or $1) in one process over a mix of
# inputs and failures, resident memory sampled every 500 operations. Prints
# the figures; fails when the resident size grows after the warm-up. Not
# part of the tests: it takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
ensure_packages cmake make g++ libstb-dev libgtest-dev

build=build/soak
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEERPIX_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --target veerpix_soak -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
"$build/tests/soak/veerpix_soak" "${1:-10000}"
