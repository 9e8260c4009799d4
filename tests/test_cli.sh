#!/bin/sh
# The command-line host end to end: exit codes, messages, batches.
# usage: test_cli.sh VEERPIX MAKE_SAMPLE WORKDIR
set -u
veerpix=$1
make_sample=$2
work=$3
rm -rf "$work" && mkdir -p "$work/out" || exit 1
failures=0
passes=0

check() {  # check LABEL EXPECTED_STATUS COMMAND...
    label=$1; expected=$2; shift 2
    "$@" >"$work/stdout" 2>"$work/stderr"
    status=$?
    if [ "$status" -eq "$expected" ]; then
        passes=$((passes + 1))
    else
        echo "FAIL: $label: exit $status, expected $expected"; cat "$work/stderr"
        failures=$((failures + 1))
    fi
}

expect_file() {  # expect_file LABEL PATH
    if [ -s "$2" ]; then passes=$((passes + 1)); else echo "FAIL: $1: $2 missing"; failures=$((failures + 1)); fi
}

expect_text() {  # expect_text LABEL FILE TEXT
    if grep -qF -- "$3" "$2"; then passes=$((passes + 1)); else
        echo "FAIL: $1: '$3' not in:"; cat "$2"; failures=$((failures + 1)); fi
}

"$make_sample" "$work/sideways.jpg" || exit 1
"$make_sample" "$work/upright.png" || exit 1
printf 'GIF89a\001\000\001\000' > "$work/not-an-image.png"

check "help" 0 "$veerpix" --help
expect_text "help lists commands" "$work/stdout" "auto-orient"
check "command help" 0 "$veerpix" angle --help
expect_text "command help" "$work/stdout" "--background"
check "version" 0 "$veerpix" --version
check "no arguments" 2 "$veerpix"
check "unknown command" 2 "$veerpix" spin "$work/upright.png" "$work/x.png"
check "bad degrees" 2 "$veerpix" rotate ninety "$work/upright.png" "$work/x.png"
check "missing output" 2 "$veerpix" flip-h "$work/upright.png"
check "bad background" 2 "$veerpix" angle 30 "$work/upright.png" "$work/x.png" --background 1,2

check "rotate png" 0 "$veerpix" rotate 90 "$work/upright.png" "$work/turned.png"
expect_file "rotate png" "$work/turned.png"
check "rotate refuses 45" 1 "$veerpix" rotate 45 "$work/upright.png" "$work/x.png"
expect_text "rotate message" "$work/stderr" "degrees must be 90, 180 or 270 (got 45)"
check "refuses gif" 1 "$veerpix" rotate 90 "$work/not-an-image.png" "$work/x.png"
expect_text "gif message" "$work/stderr" "unsupported input format: $work/not-an-image.png"
check "flip-h" 0 "$veerpix" flip-h "$work/upright.png" "$work/mirrored.bmp"
check "flip-v" 0 "$veerpix" flip-v "$work/sideways.jpg" "$work/flipped.jpg"
check "angle" 0 "$veerpix" angle 30 "$work/upright.png" "$work/angled.png" --background 255,0,0
check "auto-orient" 0 "$veerpix" auto-orient "$work/sideways.jpg" "$work/upright.jpg"
expect_file "auto-orient" "$work/upright.jpg"

# A batch with one bad file: the others are done, one line for the bad one.
check "batch with a bad file" 1 "$veerpix" flip-h --out-dir "$work/out" --format png \
    "$work/upright.png" "$work/not-an-image.png" "$work/sideways.jpg"
expect_file "batch png" "$work/out/upright.png"
expect_file "batch jpg as png" "$work/out/sideways.png"
lines=$(wc -l < "$work/stderr")
if [ "$lines" -eq 1 ]; then passes=$((passes + 1)); else echo "FAIL: batch stderr has $lines lines"; cat "$work/stderr"; failures=$((failures + 1)); fi
expect_text "batch names the bad file" "$work/stderr" "$work/not-an-image.png: unsupported input format"

cp "$work/upright.png" "$work/inplace.png"
check "in place" 0 "$veerpix" rotate 180 --in-place "$work/inplace.png"
check "format needs out-dir" 2 "$veerpix" flip-h --format png "$work/upright.png" "$work/x.png"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
