#!/usr/bin/env bash
# End to end: the veerpix command line against the tools a user would pick
# instead, on the same files, one thread each.
#
#   bash bench/compare.sh            5 runs of every command, 24 MP, 2 MP and outside
#   RUNS=3 SIZES=24mp bash bench/compare.sh
#   ONLY='JPEG' SIZES=24mp bash bench/compare.sh   the workloads whose name matches
#   TOOLS='veerpix|vips' bash bench/compare.sh     the tools whose name matches
#   LEVELS='1 3 6 9' ONLY=level SIZES=24mp bash bench/compare.sh
#                                   the PNG turn at each compressor level beside vips
#
# The summary at the end sets each of the performance goals beside its
# figure: the exported calls veerpix_fixed and veerpix_auto_orient (one call
# as a whole process, bench/export_call.cpp) against the fastest peer, the
# PNG turn's time and file size, the peak memory of the 24 MP quarter turn,
# and the JPEG decode alone against the codec (bench/jpeg_decode.cpp).
#
# "outside" are pictures that no code here wrote or was tuned on: 12 MP
# JPEGs as a phone writes them (libjpeg-turbo's cjpeg, 4:2:0, quality 90;
# one with EXIF Orientation 6 set by exiftool, one untagged), and 24 MP
# RGB and grey PNGs written by ImageMagick, all from ImageMagick's plasma
# fractal.
#
# Each run of each command is timed (wall clock; user + system CPU and peak
# resident memory from /usr/bin/time), the commands of a workload taking turns
# run after run, so that a busy moment of the machine falls on all of them
# alike. The medians go to build/bench/compare/results.md, the chart of the
# 24 MP times (of a run of every workload and tool) to docs/performance.png.
# Peers that are missing and cannot be installed are left out.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh

RUNS=${RUNS:-5}
SIZES=${SIZES:-"24mp 2mp outside"}
PYTHON=/usr/bin/python3  # Debian's, which has python3-pil

ensure_packages cmake make g++ libstb-dev libdeflate-dev libbenchmark-dev time gnuplot-nox
for peer in libimage-exiftool-perl libjpeg-turbo-progs libvips-tools imagemagick python3-pil; do
    ensure_packages "$peer" || echo "compare.sh: $peer not installed, left out"
done

cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 --target veerpix veerpix_bench_images veerpix_export_call veerpix_jpeg_decode \
    >/dev/null
veerpix=$PWD/build/bench/veerpix
export_call=$PWD/build/bench/bench/veerpix_export_call
jpeg_decode=$PWD/build/bench/bench/veerpix_jpeg_decode
work=$PWD/build/bench/compare
mkdir -p "$work" docs
if [ ! -s "$work/graphic-2mp.png" ]; then
    echo "writing the test pictures into $work"
    build/bench/bench/veerpix_bench_images "$work"
fi
root=$PWD
cd "$work"
# The outside pictures, made once; left out where a tool is missing. The
# plasma gets a blur and a little noise, as a camera's picture has, and
# 8 bits per sample, as ordinary PNGs have.
if [ ! -s phone-12mp-o6.jpg ] && [ -x /usr/bin/convert ] && command -v cjpeg >/dev/null && command -v exiftool >/dev/null; then
    echo "writing the outside pictures into $work"
    /usr/bin/convert -seed 11 -size 4032x3024 plasma:fractal -blur 0x1.5 -attenuate 0.4 +noise Gaussian \
        -depth 8 ppm:phone-12mp.ppm
    cjpeg -quality 90 -sample 2x2,1x1,1x1 -optimize -outfile phone-12mp.jpg phone-12mp.ppm
    exiftool -q -n -Orientation=6 -Make=Phone -Model=Camera -o phone-12mp-o6.jpg phone-12mp.jpg
    /usr/bin/convert -seed 23 -size 6000x4000 plasma:fractal -blur 0x1 -attenuate 0.3 +noise Gaussian \
        -depth 8 -define png:color-type=2 rgb-24mp.png
    /usr/bin/convert rgb-24mp.png -colorspace Gray -depth 8 -define png:color-type=0 grey-24mp.png
    rm -f phone-12mp.ppm
fi

have() { command -v "$1" >/dev/null 2>&1; }
have_pillow() { "$PYTHON" -c 'import PIL' 2>/dev/null; }
# ImageMagick's own convert, whatever stands earlier on the PATH.
convert=/usr/bin/convert
pillow() { "$PYTHON" -c "import sys
from PIL import Image, ImageOps
image = Image.open(sys.argv[1])
$1" "$2" "$3"; }
export -f pillow
export PYTHON VIPS_CONCURRENCY=1 MAGICK_THREAD_LIMIT=1

# Workloads: "name|input|output" followed by "tool|command" lines; $IN and
# $OUT stand for the paths. veerpix turns counter-clockwise; the peers'
# arguments ask for the same turn.
workloads() {
    local size=$1
    if [ "$size" = outside ]; then
        [ -s phone-12mp-o6.jpg ] && outside_workloads
        return 0
    fi
    [ -n "${LEVELS:-}" ] && level_workloads "$size"
    cat <<EOF
lossless quarter turn, tagged JPEG|photo-$size-o1.jpg|out.jpg
veerpix|"$veerpix" rotate 90 "\$IN" "\$OUT"
cp|cp "\$IN" "\$OUT"
exiftool|exiftool -q -n -Orientation=8 -o "\$OUT" "\$IN"
jpegtran|jpegtran -rotate 270 -copy all -outfile "\$OUT" "\$IN"
quarter turn, untagged JPEG|photo-$size.jpg|out.jpg
veerpix|"$veerpix" rotate 90 "\$IN" "\$OUT"
veerpix_fixed|"$export_call" fixed "\$IN" "\$OUT" 90
jpegtran|jpegtran -rotate 270 -copy all -outfile "\$OUT" "\$IN"
vips|vips rot "\$IN" "\$OUT[Q=92]" d270
convert|$convert "\$IN" -rotate -90 -quality 92 "\$OUT"
Pillow|pillow 'image.transpose(Image.Transpose.ROTATE_90).save(sys.argv[2], quality=92)' "\$IN" "\$OUT"
quarter turn, PNG|photo-$size.png|out.png
veerpix|"$veerpix" rotate 90 "\$IN" "\$OUT"
veerpix_fixed|"$export_call" fixed "\$IN" "\$OUT" 90
vips|vips rot "\$IN" "\$OUT" d270
convert|$convert "\$IN" -rotate -90 "\$OUT"
Pillow|pillow 'image.transpose(Image.Transpose.ROTATE_90).save(sys.argv[2])' "\$IN" "\$OUT"
quarter turn, PNG graphic|graphic-$size.png|out.png
veerpix|"$veerpix" rotate 90 "\$IN" "\$OUT"
veerpix_fixed|"$export_call" fixed "\$IN" "\$OUT" 90
vips|vips rot "\$IN" "\$OUT" d270
convert|$convert "\$IN" -rotate -90 "\$OUT"
Pillow|pillow 'image.transpose(Image.Transpose.ROTATE_90).save(sys.argv[2])' "\$IN" "\$OUT"
auto-orient, Orientation 6 JPEG|photo-$size-o6.jpg|out.jpg
veerpix|"$veerpix" auto-orient "\$IN" "\$OUT"
vips|vips autorot "\$IN" "\$OUT[Q=92,strip]"
convert|$convert "\$IN" -auto-orient -strip -quality 92 "\$OUT"
Pillow|pillow 'ImageOps.exif_transpose(image).save(sys.argv[2], quality=92)' "\$IN" "\$OUT"
30 degrees onto white, PNG|photo-$size.png|out.png
veerpix|"$veerpix" angle 30 "\$IN" "\$OUT" --background 255,255,255
vips|vips rotate "\$IN" "\$OUT" 330 --background "255 255 255 255"
convert|$convert "\$IN" -background white -rotate -30 "\$OUT"
Pillow|pillow 'image.rotate(30, resample=Image.Resampling.BILINEAR, expand=True, fillcolor=(255, 255, 255, 255)).save(sys.argv[2])' "\$IN" "\$OUT"
mirror left to right, PNG|photo-$size.png|out.png
veerpix|"$veerpix" flip-h "\$IN" "\$OUT"
vips|vips flip "\$IN" "\$OUT" horizontal
convert|$convert "\$IN" -flop "\$OUT"
Pillow|pillow 'image.transpose(Image.Transpose.FLIP_LEFT_RIGHT).save(sys.argv[2])' "\$IN" "\$OUT"
EOF
}

# The PNG turn through veerpix_fixed at each compressor level of $LEVELS,
# on the photo and on the graphic, beside vips.
level_workloads() {
    local picture level
    for picture in photo graphic; do
        echo "PNG level, quarter turn, $picture|$picture-$1.png|out.png"
        for level in $LEVELS; do
            echo "level $level|\"$export_call\" fixed \"\$IN\" \"\$OUT\" 90 $level"
        done
        echo "vips|vips rot \"\$IN\" \"\$OUT\" d270"
    done
}

outside_workloads() {
    cat <<EOF
auto-orient, 12 MP phone JPEG, Orientation 6|phone-12mp-o6.jpg|out.jpg
veerpix|"$veerpix" auto-orient "\$IN" "\$OUT"
veerpix_auto_orient|"$export_call" auto-orient "\$IN" "\$OUT"
vips|vips autorot "\$IN" "\$OUT[Q=92,strip]"
convert|$convert "\$IN" -auto-orient -strip -quality 92 "\$OUT"
Pillow|pillow 'ImageOps.exif_transpose(image).save(sys.argv[2], quality=92)' "\$IN" "\$OUT"
quarter turn, 12 MP phone JPEG, untagged|phone-12mp.jpg|out.jpg
veerpix|"$veerpix" rotate 90 "\$IN" "\$OUT"
vips|vips rot "\$IN" "\$OUT[Q=92]" d270
convert|$convert "\$IN" -rotate -90 -quality 92 "\$OUT"
Pillow|pillow 'image.transpose(Image.Transpose.ROTATE_90).save(sys.argv[2], quality=92)' "\$IN" "\$OUT"
quarter turn, 24 MP RGB PNG by ImageMagick|rgb-24mp.png|out.png
veerpix|"$veerpix" rotate 90 "\$IN" "\$OUT"
vips|vips rot "\$IN" "\$OUT" d270
convert|$convert "\$IN" -rotate -90 "\$OUT"
Pillow|pillow 'image.transpose(Image.Transpose.ROTATE_90).save(sys.argv[2])' "\$IN" "\$OUT"
quarter turn, 24 MP grey PNG by ImageMagick|grey-24mp.png|out.png
veerpix|"$veerpix" rotate 90 "\$IN" "\$OUT"
vips|vips rot "\$IN" "\$OUT" d270
convert|$convert "\$IN" -rotate -90 "\$OUT"
Pillow|pillow 'image.transpose(Image.Transpose.ROTATE_90).save(sys.argv[2])' "\$IN" "\$OUT"
EOF
}

installed() {
    case $1 in
        veerpix | veerpix_* | level* | cp) return 0 ;;
        convert) [ -x "$convert" ] ;;
        Pillow) have_pillow ;;
        *) have "$1" ;;
    esac
}

samples=$work/samples.tsv
# REPORT_ONLY=1 makes the table and the chart again from the last samples.
[ -n "${REPORT_ONLY:-}" ] && SIZES=""
if [ -z "${REPORT_ONLY:-}" ]; then
    : >"$samples"
    rm -f "$work/decode.txt"
    uptime | sed 's/.*load average: //' >"$work/load-start"
fi
for size in $SIZES; do
    name="" input="" output=""
    tools=() commands=()
    run_workload() {
        [ -n "$name" ] || return 0
        [[ $name =~ ${ONLY:-.} ]] || return 0
        [ "${#tools[@]}" -gt 0 ] || return 0
        echo "== $size: $name (${tools[*]})"
        for run in $(seq "$RUNS"); do
            for i in "${!tools[@]}"; do
                rm -f "$output"
                local timing start end
                # The wall clock to the microsecond: time's own has 10 ms steps.
                start=$EPOCHREALTIME
                timing=$(IN=$input OUT=$output /usr/bin/time -f '%U %S %M' \
                    bash -c "${commands[$i]}" 2>&1 >/dev/null | tail -n 1)
                end=$EPOCHREALTIME
                timing="$(awk "BEGIN { printf \"%.4f\", $end - $start }") $timing"
                if [ ! -s "$output" ]; then
                    echo "   ${tools[$i]} failed: $timing"
                    continue
                fi
                printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$size" "$name" "${tools[$i]}" $timing \
                    "$(stat -c %s "$output")" >>"$samples"
            done
        done
    }
    while IFS= read -r line; do
        case $line in
            *"|"*"|"*)
                if [[ $line != *'"'* ]]; then
                    run_workload
                    IFS='|' read -r name input output <<<"$line"
                    tools=() commands=()
                    continue
                fi
                ;;
        esac
        tool=${line%%|*}
        if [[ $tool =~ ${TOOLS:-.} ]] && installed "$tool"; then
            tools+=("$tool")
            commands+=("${line#*|}")
        fi
    done < <(workloads "$size")
    run_workload
done
rm -f out.jpg out.png
# The JPEG decode alone, ours against the codec, for the summary.
if [ -z "${REPORT_ONLY:-}" ] && [[ "JPEG decode" =~ ${ONLY:-.} ]] && [ -n "$SIZES" ] && have cjpeg; then
    echo "== JPEG decode alone"
    "$jpeg_decode" "$work" "$RUNS" | tee "$work/decode.txt"
fi
[ -n "${REPORT_ONLY:-}" ] || uptime | sed 's/.*load average: //' >"$work/load-end"

# Medians, ratios and the chart.
peers() {
    printf 'exiftool %s, jpegtran (%s), vips %s, ImageMagick %s, Pillow %s' \
        "$(exiftool -ver 2>/dev/null || echo -)" \
        "$(jpegtran -version 2>&1 | head -n 1 | sed 's/ (build.*//' || echo -)" \
        "$(vips --version 2>/dev/null | sed 's/vips-//' || echo -)" \
        "$("$convert" -version 2>/dev/null | head -n 1 | awk '{print $3}' || echo -)" \
        "$("$PYTHON" -c 'import PIL; print(PIL.__version__)' 2>/dev/null || echo -)"
}
machine="$(lscpu | sed -n 's/^Model name: *//p' | head -n 1), $(nproc) cores, $(free -g | awk '/^Mem:/ {print $2}') GiB RAM"
"$PYTHON" - "$samples" "$work/results.md" "$work/chart.dat" "$machine" "$(date -u +%Y-%m-%d)" \
    "at the start $(cat "$work/load-start" 2>/dev/null), at the end $(cat "$work/load-end" 2>/dev/null)" \
    "$(peers)" "$RUNS" "$work/decode.txt" <<'EOF'
import os, re, statistics, sys
from collections import OrderedDict

samples, report, chart, machine, date, load, peers, runs, decode = sys.argv[1:10]
table = OrderedDict()
for line in open(samples):
    size, name, tool, wall, user, system, peak_kb, out_bytes = line.rstrip("\n").split("\t")
    entry = table.setdefault((size, name), OrderedDict()).setdefault(tool, [])
    entry.append((float(wall), float(user) + float(system), int(peak_kb), int(out_bytes)))

def median(values):
    return statistics.median(values)

lines = [f"Machine: {machine}. Date: {date}. Load average (1, 5, 15 min) {load}.",
         f"Peers: {peers}. Median of {runs} alternating runs each; one thread everywhere "
         "(VIPS_CONCURRENCY=1, MAGICK_THREAD_LIMIT=1).", "",
         "| size | workload | tool | wall s | CPU s | veerpix / tool (wall) | peak MB | output MB |",
         "|---|---|---|---:|---:|---:|---:|---:|"]
chart_tools = ["veerpix", "cp", "exiftool", "jpegtran", "vips", "convert", "Pillow"]
tics, position = [], 0
with open(chart, "w") as data:
    for (size, name), tools in table.items():
        ours = median([s[0] for s in tools["veerpix"]]) if "veerpix" in tools else None
        for tool, runs_of_tool in tools.items():
            wall = median([s[0] for s in runs_of_tool])
            cpu = median([s[1] for s in runs_of_tool])
            peak = median([s[2] for s in runs_of_tool]) / 1024
            out = median([s[3] for s in runs_of_tool]) / 1e6
            ratio = "" if tool == "veerpix" or ours is None or wall == 0 else f"{ours / wall:.2f}"
            lines.append(f"| {size} | {name} | {tool} | {wall:.2f} | {cpu:.2f} | {ratio} | {peak:.0f} | {out:.1f} |")
        if size == "24mp":
            # One bar per tool that ran, side by side; a gap between workloads.
            present = [tool for tool in chart_tools if tool in tools]
            for offset, tool in enumerate(present):
                seconds = median([s[0] for s in tools[tool]])
                data.write(f"{position + offset} {seconds:.3f} {chart_tools.index(tool) + 1}\n")
            label = name.replace(", ", "\\n")
            tics.append(f'"{label}" {position + (len(present) - 1) / 2}')
            position += len(present) + 1.5
open(chart + ".tics", "w").write(", ".join(tics) + "\n")

def medians(size, name, tool):
    """(wall s, CPU s, peak MB, output bytes) of a tool's runs, or None."""
    runs_of_tool = table.get((size, name), {}).get(tool)
    if not runs_of_tool:
        return None
    return tuple(median([s[i] for s in runs_of_tool]) for i in range(4))

# The compressor levels beside vips, one table per picture.
for (size, name), tools in table.items():
    if not name.startswith("PNG level") or "vips" not in tools:
        continue
    peer = medians(size, name, "vips")
    lines += ["", f"{size}, {name}, beside vips ({peer[0]:.2f} s wall, {peer[1]:.2f} s CPU, "
              f"{peer[3] / 1e6:.1f} MB):", "",
              "| level | wall s | CPU s | wall / vips | CPU / vips | output MB | size / vips |",
              "|---|---:|---:|---:|---:|---:|---:|"]
    for tool in tools:
        if tool == "vips":
            continue
        wall, cpu, _, out = medians(size, name, tool)
        lines.append(f"| {tool} | {wall:.2f} | {cpu:.2f} | {wall / peer[0]:.2f} | {cpu / peer[1]:.2f} | "
                     f"{out / 1e6:.1f} | {out / peer[3]:.3f} |")

# The goals, each beside its figure; a goal whose runs are missing says so.
def ratio_goal(label, size, name, ours, peer, most, smaller_file=False):
    a, b = medians(size, name, ours), medians(size, name, peer)
    if not a or not b:
        return f"| {label} | at most {most:.1f}x {peer} | not run | |"
    wall, cpu = a[0] / b[0], a[1] / b[1]
    figure = f"{wall:.2f}x wall ({a[0]:.2f} s against {b[0]:.2f} s), {cpu:.2f}x CPU"
    met = wall <= most
    goal = f"at most {most:.1f}x {peer}"
    if smaller_file:
        figure += f", file {a[3] / 1e6:.1f} MB against {b[3] / 1e6:.1f} MB"
        met = met and a[3] < b[3]
        goal += ", smaller file"
    return f"| {label} | {goal} | {figure} | {'yes' if met else 'no'} |"

def memory_goal(label, size, name, tool, most_mb):
    a = medians(size, name, tool)
    if not a:
        return f"| {label} | at most {most_mb} MB | not run | |"
    return f"| {label} | at most {most_mb} MB | {a[2] / 1024:.0f} MB | {'yes' if a[2] / 1024 <= most_mb else 'no'} |"

def decode_goal(least):
    label = "JPEG decode alone, 24 MP 4:2:0, ours against the codec"
    found = re.search(r"^24mp .*codec/ours ([0-9.]+)x, bytes (\w+)", open(decode).read(), re.M) \
        if os.path.exists(decode) else None
    if not found:
        return f"| {label} | at least {least:.0f}x faster | not run | |"
    speedup = float(found.group(1))
    return (f"| {label} | at least {least:.0f}x faster | {speedup:.2f}x faster, bytes {found.group(2)} | "
            f"{'yes' if speedup >= least else 'no'} |")

lines += ["", "Goals, each figure beside its peer (whole processes, medians of this run):", "",
          "| goal | aim | figure | met |", "|---|---|---|---|",
          ratio_goal("24 MP untagged JPEG quarter turn, veerpix_fixed", "24mp", "quarter turn, untagged JPEG",
                     "veerpix_fixed", "vips", 0.8),
          ratio_goal("12 MP phone JPEG auto-orient, veerpix_auto_orient", "outside",
                     "auto-orient, 12 MP phone JPEG, Orientation 6", "veerpix_auto_orient", "Pillow", 0.6),
          ratio_goal("24 MP PNG quarter turn, photo, veerpix_fixed", "24mp", "quarter turn, PNG",
                     "veerpix_fixed", "vips", 1.0, smaller_file=True),
          ratio_goal("24 MP PNG quarter turn, graphic, veerpix_fixed", "24mp", "quarter turn, PNG graphic",
                     "veerpix_fixed", "vips", 1.0, smaller_file=True),
          memory_goal("peak memory, 24 MP JPEG quarter turn, veerpix_fixed", "24mp", "quarter turn, untagged JPEG",
                      "veerpix_fixed", 110),
          memory_goal("peak memory, 24 MP PNG quarter turn, veerpix_fixed", "24mp", "quarter turn, PNG",
                      "veerpix_fixed", 110),
          decode_goal(2)]
open(report, "w").write("\n".join(lines) + "\n")
print("\n".join(lines))
EOF

# The chart shows whole runs only: a chosen part of the workloads or tools
# would stand in the published chart as if it were all.
if [ -z "${ONLY:-}${TOOLS:-}${LEVELS:-}" ] && have gnuplot && [ -s "$work/chart.dat" ]; then
    gnuplot <<EOF
set terminal pngcairo size 1200,580 font "sans,10"
set output "$root/docs/performance.png"
set title "24 MP pictures, one thread each: median wall time in seconds (log scale; lower is better)"
set style fill solid 0.85 border -1
set boxwidth 0.9
set logscale y
set yrange [0.01:60]
set grid ytics
set key top left
set xtics ($(cat "$work/chart.dat.tics")) scale 0 font ",9"
set xrange [-1:*]
set bmargin 4
set linetype 1 lc rgb "#7b2cbf"
set linetype 2 lc rgb "#2a9d8f"
set linetype 3 lc rgb "#8ab17d"
set linetype 4 lc rgb "#e9c46a"
set linetype 5 lc rgb "#f4a261"
set linetype 6 lc rgb "#457b9d"
set linetype 7 lc rgb "#e63946"
plot "$work/chart.dat" using 1:2:3 with boxes lc variable notitle, \
     "" using 1:2:(sprintf("%.2f", \$2)) with labels offset 0,0.7 font ",7" notitle, \
     NaN with boxes lt 1 title "veerpix", NaN with boxes lt 2 title "cp", \
     NaN with boxes lt 3 title "exiftool", NaN with boxes lt 4 title "jpegtran", \
     NaN with boxes lt 5 title "vips", NaN with boxes lt 6 title "ImageMagick convert", \
     NaN with boxes lt 7 title "Pillow"
EOF
    echo "chart: docs/performance.png"
fi
echo "table: $work/results.md"
