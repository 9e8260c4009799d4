#!/usr/bin/env bash
# Builds the project and runs every test: a release build, then an
# AddressSanitizer + UndefinedBehaviorSanitizer build (leaks fail it), a
# release build without the SSE2 and AVX2 paths (the plain loops that other
# CPUs run, held to the same tests), the library's tests in a release build
# with the PNG writer's own deflate, every seed and test image through every
# operation under valgrind's memcheck, then the Windows DLL cross-built with
# mingw-w64 and tested under Wine.
# Warnings in the project's own code are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
ensure_packages cmake make g++ binutils libstb-dev libgtest-dev libdeflate-dev zlib1g-dev pkg-config python3 dpkg-dev file \
    python3-dask python3-distributed valgrind \
    libimage-exiftool-perl python3-pil icc-profiles-free strace \
    libjpeg-turbo-progs imagemagick

jobs=$(nproc 2>/dev/null || echo 2)
# As root (CI), the tests that need root or the packages above must run:
# one of them skipped fails the stage.
must_run=()
if [ "$(id -u)" -eq 0 ]; then
    must_run=(--must-run tests/run-as-root-tests.txt)
fi
for preset in release asan scalar; do
    echo "=== $preset: build"
    cmake --preset "$preset" -DVEERPIX_WERROR=ON -DVEERPIX_BUILD_TESTS=ON >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "=== $preset: test"
    # A preset that finds no tests is an error (noTestsAction); the results
    # name what was skipped and why, parts of tests included.
    ctest --preset "$preset" -j "$jobs" --output-junit "$PWD/build/$preset/ctest-results.xml"
    python3 scripts/ctest-report.py skipped "build/$preset/ctest-results.xml" "${must_run[@]}"
done
# The PNG writer's own deflate, which a build without libdeflate and zlib
# takes: the library's tests, fault injection included (each allocation of
# that deflate fails in turn inside the writer's guard).
echo "=== builtin-deflate: build"
cmake --preset builtin-deflate -DVEERPIX_WERROR=ON -DVEERPIX_BUILD_TESTS=ON >/dev/null
cmake --build --preset builtin-deflate -j "$jobs" --target veerpix_library_tests
echo "=== builtin-deflate: test"
ctest --preset builtin-deflate -j "$jobs" -L library --output-junit "$PWD/build/builtin-deflate/ctest-results.xml"
python3 scripts/ctest-report.py skipped build/builtin-deflate/ctest-results.xml
# No byte the decoders and transforms did not write reaches a result
# (valgrind's memcheck on the release build).
bash scripts/definedness.sh
# Every fuzz target briefly, from its seed files (clang, libFuzzer).
bash scripts/fuzz-smoke.sh
# The Windows DLL, cross-built, and the whole suite under Wine.
bash scripts/test-windows.sh
echo "=== all test runs passed"
