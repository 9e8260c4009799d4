#!/usr/bin/env bash
# The coefficient road against the peer: a 24 MP 4:2:0 photo (quality 92,
# baseline and progressive) turned a quarter counter-clockwise, as whole
# processes: ours (the coefficient road alone, and the command line's
# `veerpix rotate 90`, which takes it by default), today's re-encoding road
# (`veerpix rotate 90 --reencode`), `jpegtran -optimize -perfect -rotate
# 270`, and `djpeg` alone for scale. Prints the median wall time, CPU time (user + system)
# and peak resident memory of each, the ratios to the peer, and the sizes
# of the results (ours against the peer's, and the baseline result of the
# progressive input against that input).
#
#   bash bench/coefficient_turn.sh          5 runs each
#   RUNS=9 bash bench/coefficient_turn.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
ensure_packages cmake make g++ libstb-dev libdeflate-dev libbenchmark-dev time libjpeg-turbo-progs

RUNS=${RUNS:-5}
work=build/bench/coefficient-turn
mkdir -p "$work"
cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 --target veerpix veerpix_bench_images veerpix_coefficient_turn >/dev/null

# The photo-like picture of the other benchmarks, coded as a phone codes it.
if [ ! -s "$work/photo-420.jpg" ]; then
    build/bench/bench/veerpix_bench_images "$work"
    djpeg -pnm -outfile "$work/photo.ppm" "$work/photo-24mp.jpg"
    cjpeg -sample 2x2 -quality 92 -outfile "$work/photo-420.jpg" "$work/photo.ppm"
    cjpeg -sample 2x2 -quality 92 -progressive -outfile "$work/photo-420-progressive.jpg" "$work/photo.ppm"
    rm -f "$work/photo.ppm" "$work"/photo-24mp* "$work"/photo-2mp*
fi

ours=build/bench/bench/veerpix_coefficient_turn
veerpix=build/bench/veerpix
samples="$work/samples.tsv"
: >"$samples"
sizes=()
echo "load average at the start: $(uptime | sed 's/.*load average: //')"
for input in photo-420 photo-420-progressive; do
    for run in $(seq "$RUNS"); do
        # Taking turns run after run: a busy moment falls on all of them alike.
        for tool in ours cli reencode peer djpeg; do
            case $tool in
                ours) command=("$ours" "$work/$input.jpg" "$work/ours.jpg" 1) ;;
                cli) command=("$veerpix" rotate 90 -q "$work/$input.jpg" "$work/cli.jpg") ;;
                reencode) command=("$veerpix" rotate 90 -q --reencode "$work/$input.jpg" "$work/reencode.jpg") ;;
                peer) command=(jpegtran -optimize -perfect -rotate 270 -outfile "$work/peer.jpg" "$work/$input.jpg") ;;
                djpeg) command=(djpeg -outfile /dev/null "$work/$input.jpg") ;;
            esac
            start=$EPOCHREALTIME
            timing=$(/usr/bin/time -f '%U %S %M' "${command[@]}" 2>&1 >/dev/null | tail -n 1)
            end=$EPOCHREALTIME
            printf '%s\t%s\t%s %s\n' "$input" "$tool" "$(awk "BEGIN { printf \"%.4f\", $end - $start }")" "$timing" >>"$samples"
        done
    done
    sizes+=("$input: input $(stat -c %s "$work/$input.jpg") bytes, ours $(stat -c %s "$work/ours.jpg"), peer -optimize $(stat -c %s "$work/peer.jpg"), re-encoded $(stat -c %s "$work/reencode.jpg")")
done
echo "load average at the end: $(uptime | sed 's/.*load average: //')"

# Medians per input and tool: wall s, CPU s, peak MB; the ratios to the peer.
python3 - "$samples" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    input_name, tool, figures = line.rstrip("\n").split("\t")
    wall, user, system, peak_kb = figures.split()
    rows.setdefault((input_name, tool), []).append((float(wall), float(user) + float(system), int(peak_kb) / 1024))
for input_name in dict.fromkeys(key[0] for key in rows):
    print(f"\n{input_name} (24 MP 4:2:0), medians of {len(rows[(input_name, 'ours')])} runs:")
    print(f"  {'':8} {'wall s':>8} {'CPU s':>8} {'peak MB':>8}")
    medians = {}
    for tool in ("ours", "cli", "reencode", "peer", "djpeg"):
        samples = rows[(input_name, tool)]
        medians[tool] = [statistics.median(s[i] for s in samples) for i in range(3)]
        wall, cpu, peak = medians[tool]
        print(f"  {tool:8} {wall:8.3f} {cpu:8.3f} {peak:8.1f}")
    peer = medians["peer"]
    for tool in ("ours", "cli", "reencode"):
        row = medians[tool]
        print(f"  {tool} / peer: wall {row[0] / peer[0]:.2f}, CPU {row[1] / peer[1]:.2f}, peak memory {row[2] / peer[2]:.2f}")
PY
echo
printf '%s\n' "${sizes[@]}"
