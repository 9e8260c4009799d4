#!/usr/bin/env bash
# Remakes docs/contact-sheet.png, the README's picture of the operations:
# the project's own sample through each command of the CLI, one labelled
# tile per result.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
ensure_packages cmake make g++ libstb-dev imagemagick fonts-dejavu-core

cmake --preset release -DVEERPIX_BUILD_TESTS=OFF >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" --target veerpix veerpix_make_sample

bin=build/release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bin/veerpix_make_sample" "$work/upright.png"
"$bin/veerpix_make_sample" "$work/sideways.jpg"
veerpix() { "$bin/veerpix" "$@"; }
veerpix rotate 90 "$work/upright.png" "$work/rotate-90.png"
veerpix rotate 180 "$work/upright.png" "$work/rotate-180.png"
veerpix rotate 270 "$work/upright.png" "$work/rotate-270.png"
veerpix flip-h "$work/upright.png" "$work/flip-h.png"
veerpix flip-v "$work/upright.png" "$work/flip-v.png"
veerpix angle 30 "$work/upright.png" "$work/angle-30.png" --background 95,75,140
# The sideways JPEG's pixels as stored, without the tag (every veerpix
# command honours it, and an image tool might when drawing the tile).
convert "$work/sideways.jpg" -strip "$work/sideways-as-stored.png"
veerpix auto-orient "$work/sideways.jpg" "$work/auto-orient.jpg"

# Every tile at half size, so that all share one scale.
mogrify -resize 50% "$work"/*.png "$work/auto-orient.jpg"

font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
mkdir -p docs
# No date chunks: a rerun on unchanged code gives the same file.
montage -font "$font" -pointsize 11 -background white \
    -label 'sample (upright.png)' "$work/upright.png" \
    -label 'rotate 90' "$work/rotate-90.png" \
    -label 'rotate 180' "$work/rotate-180.png" \
    -label 'rotate 270' "$work/rotate-270.png" \
    -label 'flip-h' "$work/flip-h.png" \
    -label 'flip-v' "$work/flip-v.png" \
    -label 'angle 30 --background 95,75,140' "$work/angle-30.png" \
    -label 'sideways.jpg as stored (EXIF 6)' "$work/sideways-as-stored.png" \
    -label 'auto-orient sideways.jpg' "$work/auto-orient.jpg" \
    -tile 3x -geometry '190x200>+6+6' -strip -define png:exclude-chunks=date,time \
    PNG8:docs/contact-sheet.png
ls -l docs/contact-sheet.png
