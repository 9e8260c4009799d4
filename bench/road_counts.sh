#!/usr/bin/env bash
# How many photos of a test set take each road under the command line's
# defaults: phone photos (4032x3024, 4000x3000 and 1920x1080, 4:2:0, each
# with Orientation 1 to 8) and every JPEG under tests/data, brought upright
# (auto-orient) and turned a quarter (rotate 90), each also with --trim.
# The road is what `-v` reports; where the lossless turn declined and the
# file was re-encoded, the same call with --lossless gives the reason.
# Counts, not times: the machine's load does not matter.
#
#   bash bench/road_counts.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
ensure_packages cmake make g++ libstb-dev libdeflate-dev libbenchmark-dev libjpeg-turbo-progs

work=$PWD/build/bench/road-counts
mkdir -p "$work"
cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 --target veerpix veerpix_phone_photos >/dev/null
veerpix=$PWD/build/bench/veerpix
photos_tool=$PWD/build/bench/bench/veerpix_phone_photos

rm -rf "$work/set" && mkdir -p "$work/set"
for size in 4032x3024 4000x3000 1920x1080; do
    if [ ! -s "$work/phone-$size.jpg" ]; then
        "$photos_tool" picture "${size%x*}" "${size#*x}" "$work/photo.ppm"
        cjpeg -sample 2x2 -quality 92 -outfile "$work/phone-$size.jpg" "$work/photo.ppm"
        rm -f "$work/photo.ppm"
    fi
    for orientation in 1 2 3 4 5 6 7 8; do
        "$photos_tool" tag "$work/phone-$size.jpg" "$orientation" "$work/set/phone-$size-o$orientation.jpg"
    done
done
# The test data, named after their folders so that no two names meet.
while IFS= read -r file; do
    name=${file#tests/data/}
    cp "$file" "$work/set/data-${name//\//-}"
done < <(find tests/data -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) | sort)

columns=("auto-orient" "auto-orient --trim" "rotate 90" "rotate 90 --trim")
: >"$work/roads.tsv"
for column in "${columns[@]}"; do
    # shellcheck disable=SC2086 # the command and its options as words
    set -- $column
    rm -rf "$work/out"
    "$veerpix" "$@" -v --out-dir "$work/out" "$work/set"/* >"$work/stdout" 2>"$work/stderr" || true
    # "IN -> OUT: road[, note]" for each file done, "IN: message" for a failure.
    sed -n 's/^.* -> .*: \(.*\)$/\1/p' "$work/stdout" | while IFS= read -r road; do
        printf '%s\troad\t%s\n' "$column" "$road"
    done >>"$work/roads.tsv"
    sed -e '/^veerpix: /d' -e 's/^[^:]*: //' -e "s|$work/set/||g" "$work/stderr" | while IFS= read -r message; do
        printf '%s\tfailed\t%s\n' "$column" "$message"
    done >>"$work/roads.tsv"
    # Why the lossless turn declined the files it left to re-encode.
    mapfile -t reencoded < <(sed -n 's/^\(.*\) -> .*: re-encode$/\1/p' "$work/stdout")
    if [ ${#reencoded[@]} -gt 0 ]; then
        rm -rf "$work/out"
        "$veerpix" "$@" --lossless --out-dir "$work/out" "${reencoded[@]}" >/dev/null 2>"$work/stderr" || true
        sed -e '/^veerpix: /d' -e 's/^[^:]*: //' "$work/stderr" | sed 's/(got [0-9]*)/(got N)/' |
            while IFS= read -r reason; do
                printf '%s\tdeclined\t%s\n' "$column" "$reason"
            done >>"$work/roads.tsv"
    fi
done

echo "test set: $(ls "$work/set" | wc -l) JPEGs ($(ls "$work/set" | grep -c '^phone-') phone photos, $(ls "$work/set" | grep -c '^data-') from tests/data)"
python3 - "$work/roads.tsv" "${columns[@]}" <<'PY'
import collections, sys
columns = sys.argv[2:]
counts = collections.defaultdict(collections.Counter)
for line in open(sys.argv[1]):
    column, kind, what = line.rstrip("\n").split("\t")
    counts[column][(kind, what)] += 1
keys = sorted({key for c in counts.values() for key in c}, key=lambda k: ("road", "declined", "failed").index(k[0]))
width = max(len(f"{kind}: {what}") for kind, what in keys) if keys else 10
print(f"\n{'':{width}} " + " ".join(f"{c:>18}" for c in columns))
for kind, what in keys:
    label = what if kind == "road" else f"{kind}: {what}"
    print(f"{label:{width}} " + " ".join(f"{counts[c][(kind, what)]:>18}" for c in columns))
PY
