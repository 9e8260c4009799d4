#!/usr/bin/env bash
# Builds the library and its command line, makes a sample photo stored
# sideways (tagged EXIF Orientation 6) and brings it upright.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
ensure_packages cmake make g++ libstb-dev libdeflate-dev zlib1g-dev

cmake --preset release -DVEERPIX_BUILD_TESTS=OFF >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" --target veerpix veerpix_make_sample

bin=build/release
mkdir -p demo
"$bin/veerpix_make_sample" demo/sideways.jpg
"$bin/veerpix" auto-orient demo/sideways.jpg demo/upright.jpg
"$bin/veerpix" auto-orient demo/sideways.jpg demo/upright.png
echo "demo/sideways.jpg    the sample: pixels on their side, EXIF Orientation 6"
echo "demo/upright.jpg     veerpix auto-orient: pixels upright, EXIF kept with Orientation 1"
echo "demo/upright.png     the same into PNG: the output's extension chooses the format"
