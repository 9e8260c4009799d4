#!/usr/bin/env bash
# Cross-builds the Windows x86-64 DLL, the CLI and the tests with mingw-w64,
# checks the DLL's export and import tables, and runs the whole suite under
# Wine. Warnings in the project's own code are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
# libz-mingw-w64-dev: the PNG writer's zlib, linked into the DLL statically.
ensure_packages cmake make binutils libstb-dev googletest g++-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 python3

build=build/mingw
jobs=$(nproc 2>/dev/null || echo 2)
echo "=== mingw: build"
cmake --preset mingw -DVEERPIX_WERROR=ON -DVEERPIX_BUILD_TESTS=ON >/dev/null
cmake --build --preset mingw -j "$jobs"

echo "=== mingw: export and import tables of quorvane-veerpix.dll"
cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DLIBRARY="$build/bin/quorvane-veerpix.dll" \
      -P tests/check_pe_tables.cmake

# One wineserver for the whole run, kept alive between the tests so that
# each test does not start (and wait out) a server of its own. Nothing of
# Wine's may hold this script's or CTest's output open: its daemons get
# /dev/null or a log file.
export WINEPREFIX="$PWD/$build/wine-prefix"
if [ -x /usr/lib/wine/wineserver64 ]; then
    wineserver=/usr/lib/wine/wineserver64
else
    wineserver=$(command -v wineserver)
fi
stop_wine() { "$wineserver" -k </dev/null >/dev/null 2>&1 || true; }
trap stop_wine EXIT
mkdir -p "$WINEPREFIX"
stop_wine  # a server left over from an interrupted run would refuse -p
"$wineserver" -p </dev/null >/dev/null 2>&1
echo "=== mingw: Wine prefix"
if ! scripts/wine-run.sh "$WINEPREFIX" wineboot --init </dev/null >"$build/wineboot.log" 2>&1; then
    cat "$build/wineboot.log"
    exit 1
fi

echo "=== mingw: test under Wine"
# Every test has a time limit: a stuck Wine process must not hang CI.
ctest --preset mingw -j "$jobs" --timeout 300 --output-junit "$PWD/$build/ctest-results.xml"
python3 scripts/ctest-report.py skipped "$build/ctest-results.xml"
# A test program whose listing comes back empty under Wine adds no tests
# and fails nothing: every test of the release run must have run here too,
# but those that only exist on Linux.
if [ -f build/release/ctest-results.xml ]; then
    echo "=== mingw: tests run under Wine against the release run"
    python3 scripts/ctest-report.py compare build/release/ctest-results.xml \
            "$build/ctest-results.xml" tests/linux-only-tests.txt
else
    echo "=== mingw: no release results (build/release/ctest-results.xml): the Wine run is not compared"
fi
