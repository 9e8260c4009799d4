#!/usr/bin/env bash
# A batch of phone photos brought upright in place: our command line
# (`veerpix auto-orient --in-place`, one process, the library's default
# road: lossless coefficients where the sides allow) against Debian's
# `exiftran -a -i`, the two taking turns run after run on fresh copies of
# the same files. Prints the median wall time, CPU time (user + system)
# and peak resident memory of each whole batch, and the ratios.
#
#   bash bench/batch_auto_orient.sh            12 photos of 4032x3024, 5 runs
#   FILES=24 RUNS=3 bash bench/batch_auto_orient.sh
#
# The photos are the photo-like picture of the other benchmarks coded by
# cjpeg at quality 92, 4:2:0, with Orientation tags 1 to 8 in turn (the
# phone's commonest, 6, the most often after the first eight).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
ensure_packages cmake make g++ libstb-dev libdeflate-dev libbenchmark-dev time libjpeg-turbo-progs exiftran

FILES=${FILES:-12}
RUNS=${RUNS:-5}
work=$PWD/build/bench/batch-auto-orient
mkdir -p "$work/photos"
cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 --target veerpix veerpix_phone_photos >/dev/null
veerpix=$PWD/build/bench/veerpix
photos_tool=$PWD/build/bench/bench/veerpix_phone_photos

if [ ! -s "$work/photo.jpg" ]; then
    "$photos_tool" picture 4032 3024 "$work/photo.ppm"
    cjpeg -sample 2x2 -quality 92 -outfile "$work/photo.jpg" "$work/photo.ppm"
    rm -f "$work/photo.ppm"
fi
orientations=(1 2 3 4 5 6 7 8 6 6 8 3)
rm -f "$work/photos"/*
for i in $(seq 0 $((FILES - 1))); do
    orientation=${orientations[$((i % ${#orientations[@]}))]}
    "$photos_tool" tag "$work/photo.jpg" "$orientation" "$(printf '%s/photos/photo-%02d-o%d.jpg' "$work" "$i" "$orientation")"
done

samples="$work/samples.tsv"
: >"$samples"
echo "machine: $(nproc) CPUs; load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
for _ in $(seq "$RUNS"); do
    for tool in ours exiftran; do
        rm -rf "$work/run"
        cp -r "$work/photos" "$work/run"
        case $tool in
            ours) command=("$veerpix" auto-orient -q --in-place "$work/run"/*.jpg) ;;
            exiftran) command=(exiftran -a -i "$work/run"/*.jpg) ;;
        esac
        start=$EPOCHREALTIME
        timing=$(/usr/bin/time -f '%U %S %M' "${command[@]}" 2>&1 >/dev/null | tail -n 1)
        end=$EPOCHREALTIME
        printf '%s\t%s %s\n' "$tool" "$(awk "BEGIN { printf \"%.4f\", $end - $start }")" "$timing" >>"$samples"
    done
done
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
# One more of ours, to show the roads it took.
rm -rf "$work/run" && cp -r "$work/photos" "$work/run"
"$veerpix" auto-orient -v --in-place "$work/run"/*.jpg | sed 's/.*: //' | sort | uniq -c | sed 's/^/  roads: /'

python3 - "$samples" "$FILES" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    tool, figures = line.rstrip("\n").split("\t")
    wall, user, system, peak_kb = figures.split()
    rows.setdefault(tool, []).append((float(wall), float(user) + float(system), int(peak_kb) / 1024))
print(f"\nauto-orient of {sys.argv[2]} photos of 4032x3024 4:2:0 in place, medians of {len(rows['ours'])} runs:")
print(f"  {'':9} {'wall s':>8} {'CPU s':>8} {'peak MB':>8}")
medians = {}
for tool in ("ours", "exiftran"):
    medians[tool] = [statistics.median(s[i] for s in rows[tool]) for i in range(3)]
    wall, cpu, peak = medians[tool]
    print(f"  {tool:9} {wall:8.3f} {cpu:8.3f} {peak:8.1f}")
ours, peer = medians["ours"], medians["exiftran"]
print(f"  ours / exiftran: wall {ours[0] / peer[0]:.2f}, CPU {ours[1] / peer[1]:.2f}, peak memory {ours[2] / peer[2]:.2f}")
PY
