#!/usr/bin/env bash
# Every fuzz seed file and every test image through every exported
# operation, into every output format, under valgrind's memcheck: any
# report fails the run. The fuzzers' sanitizers do not see a read of memory
# nobody wrote; memcheck does, where such bytes reach a branch or an output
# file. Uses the release build (built here if missing); a few minutes.
#
# usage: scripts/definedness.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
ensure_packages cmake make g++ valgrind libstb-dev libdeflate-dev zlib1g-dev python3 python3-pil

build=build/release
work=build/definedness
echo "=== definedness: build"
[ -f "$build/CMakeCache.txt" ] || cmake --preset release -DVEERPIX_BUILD_TESTS=ON >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" --target veerpix_definedness

echo "=== definedness: files"
rm -rf "$work"
mkdir -p "$work/scratch"
/usr/bin/python3 fuzz/make_corpus.py "$work/corpus"
# The seed sets that hold image files (the others hold raw rasters or
# files behind the operations target's header bytes, the same images).
mapfile -t files < <(find "$work/corpus/images" "$work/corpus/exif" "$work/corpus/metadata" \
                          tests/data -type f | sort)
echo "${#files[@]} files"

echo "=== definedness: memcheck"
# --track-origins names where an unwritten byte came from; leaks are the
# sanitizer build's to find.
valgrind --tool=memcheck --error-exitcode=1 --track-origins=yes --leak-check=no \
    --log-file="$work/memcheck.log" \
    "$build/tests/definedness/veerpix_definedness" "$work/scratch" "${files[@]}" || {
    cat "$work/memcheck.log"
    echo "=== definedness: memcheck reported the above"
    exit 1
}
grep -E "ERROR SUMMARY" "$work/memcheck.log"
echo "=== definedness: clean"
