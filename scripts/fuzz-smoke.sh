#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a short, bounded time from
# the seed files that fuzz/make_corpus.py writes. Any crash, leak, hang or
# sanitizer report fails the run; the input that caused it is left under
# build/fuzz/crashes/.
#
# usage: scripts/fuzz-smoke.sh [SECONDS_PER_TARGET]   (default 10)
# A longer campaign of one target, by hand:
#   build/fuzz/fuzz/fuzz_operations -max_total_time=600 build/fuzz/run/fuzz_operations
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
ensure_packages cmake make clang libclang-rt-14-dev libstb-dev python3 python3-pil libjpeg-turbo-progs

seconds=${1:-10}
build=build/fuzz
targets="fuzz_exif_reader fuzz_exif_rewriter fuzz_decode fuzz_operations fuzz_metadata fuzz_writers fuzz_coefficients fuzz_jpeg_decoder"

echo "=== fuzz: build"
CC=clang CXX=clang++ cmake -S . -B "$build" -DVEERPIX_FUZZ=ON -DVEERPIX_BUILD_TESTS=OFF \
    -DVEERPIX_WERROR=ON -DCMAKE_BUILD_TYPE= -DCMAKE_C_FLAGS="-O1 -g" -DCMAKE_CXX_FLAGS="-O1 -g" >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j 2 --target $targets

echo "=== fuzz: seed files"
rm -rf "$build/corpus" "$build/run"
mkdir -p "$build/crashes"
/usr/bin/python3 fuzz/make_corpus.py "$build/corpus"

# Allocations above 32 MB fail as they would on a full machine (the library
# must take the null): a tiny file may claim a large picture, and decoding
# and writing one of 256 MB takes a minute under the sanitizers, which
# would make a short run's result depend on chance.
export ASAN_OPTIONS="allocator_may_return_null=1:max_allocation_size_mb=32:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1"

seeds_of() {
    case "$1" in
        fuzz_exif_*) echo exif ;;
        fuzz_decode) echo images ;;
        fuzz_operations) echo operations ;;
        fuzz_metadata) echo metadata ;;
        fuzz_writers) echo rasters ;;
        fuzz_coefficients) echo coefficients ;;
        fuzz_jpeg_decoder) echo jpegs ;;
    esac
}

for target in $targets; do
    echo "=== fuzz: $target, ${seconds}s"
    run="$build/run/$target"
    mkdir -p "$run"
    cp "$build/corpus/$(seeds_of "$target")"/* "$run/"
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
        -artifact_prefix="$build/crashes/$target-" -print_final_stats=1 "$run" 2>"$build/$target.log" || {
        tail -n 60 "$build/$target.log"
        echo "=== fuzz: $target failed; the input is under $build/crashes/"
        exit 1
    }
    grep -E "^stat::number_of_executed_units|^#[0-9]+ *DONE" "$build/$target.log" || true
done
echo "=== fuzz: all targets ran clean"
