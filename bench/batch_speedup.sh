#!/usr/bin/env bash
# The command line's batch speed-up: one folder of photos turned with -j 1
# and with -j 2 (worker processes), the two taking turns run after run.
#
#   bash bench/batch_speedup.sh                 8 files of 2 MP, 5 runs
#   FILES=16 RUNS=3 KIND=jpg bash bench/batch_speedup.sh
#
# KIND is png or jpg: the 2 MP test pictures of bench/make_images.cpp,
# copied FILES times. Prints the median wall time of each and the speed-up.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh

FILES=${FILES:-8}
RUNS=${RUNS:-5}
KIND=${KIND:-png}

ensure_packages cmake make g++ libstb-dev libdeflate-dev libbenchmark-dev
cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 --target veerpix veerpix_bench_images >/dev/null
veerpix=$PWD/build/bench/veerpix
work=$PWD/build/bench/batch
mkdir -p "$work/in"
if [ ! -s "$work/photo-2mp.png" ]; then
    build/bench/bench/veerpix_bench_images "$work"
fi
rm -f "$work/in"/*
for i in $(seq -w 1 "$FILES"); do cp "$work/photo-2mp.$KIND" "$work/in/photo-$i.$KIND"; done

seconds() {  # seconds COMMAND...: wall time of one run
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
: >"$work/j1" && : >"$work/j2"
for _ in $(seq "$RUNS"); do
    for jobs in 1 2; do
        rm -rf "$work/out"
        seconds "$veerpix" rotate 90 -q -j "$jobs" --out-dir "$work/out" "$work/in"/* >>"$work/j$jobs"
    done
done
one=$(median <"$work/j1")
two=$(median <"$work/j2")
echo "machine: $(nproc) CPUs; load average (1, 5, 15 min) at the start $load_at_start, at the end $(cut -d' ' -f1-3 /proc/loadavg)"
printf 'rotate 90 of %s 2 MP %s files, median of %s runs\n' "$FILES" "$KIND" "$RUNS"
printf '  -j 1: %.2f s\n  -j 2: %.2f s\n  speed-up: %.2fx\n' "$one" "$two" "$(awk -v a="$one" -v b="$two" 'BEGIN { print a / b }')"
