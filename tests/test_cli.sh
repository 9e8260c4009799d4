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

expect_size() {  # expect_size LABEL FILE WIDTHxHEIGHT, for a PNG
    # Width and height are the big-endian words at bytes 16 and 20.
    size=$(od -An -tu1 -j16 -N8 "$2" 2>/dev/null |
        awk 'NF == 8 { print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 "x" $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }')
    signature=$(od -An -tx1 -N8 "$2" 2>/dev/null | tr -d ' ')
    if [ "$signature" = 89504e470d0a1a0a ] && [ "$size" = "$3" ]; then passes=$((passes + 1)); else
        echo "FAIL: $1: $2 is not a $3 PNG (${size:-no size})"; failures=$((failures + 1)); fi
}

"$make_sample" "$work/sideways.jpg" || exit 1
"$make_sample" "$work/upright.png" || exit 1
printf 'GIF89a\001\000\001\000' > "$work/not-an-image.png"

check "help" 0 "$veerpix" --help
expect_text "help lists commands" "$work/stdout" "auto-orient"
check "command help" 0 "$veerpix" angle --help
expect_text "command help" "$work/stdout" "--background"
for command in rotate flip-h flip-v angle auto-orient; do
    check "$command --help" 0 "$veerpix" "$command" --help
    expect_text "$command --help" "$work/stdout" "usage: veerpix $command"
    expect_text "$command --help names the batch forms" "$work/stdout" "--in-place"
done
check "version" 0 "$veerpix" --version
expect_text "version" "$work/stdout" "veerpix "
check "no arguments" 2 "$veerpix"
check "unknown command" 2 "$veerpix" spin "$work/upright.png" "$work/x.png"
check "bad degrees" 2 "$veerpix" rotate ninety "$work/upright.png" "$work/x.png"
check "missing output" 2 "$veerpix" flip-h "$work/upright.png"
check "bad background" 2 "$veerpix" angle 30 "$work/upright.png" "$work/x.png" --background 1,2
check "unknown option" 2 "$veerpix" flip-h --sideways "$work/upright.png" "$work/x.png"
check "background on rotate" 2 "$veerpix" rotate 90 "$work/upright.png" "$work/x.png" --background 1,2,3
check "in-place with out-dir" 2 "$veerpix" flip-h --in-place --out-dir "$work/out" "$work/upright.png"
check "batch without files" 2 "$veerpix" flip-h --out-dir "$work/out"
check "bad format" 2 "$veerpix" flip-h --out-dir "$work/out" --format gif "$work/upright.png"
[ -e "$work/x.png" ] && { echo "FAIL: a usage error wrote a file"; failures=$((failures + 1)); }

check "rotate png" 0 "$veerpix" rotate 90 "$work/upright.png" "$work/turned.png"
expect_file "rotate png" "$work/turned.png"
check "rotate refuses 45" 1 "$veerpix" rotate 45 "$work/upright.png" "$work/x.png"
expect_text "rotate message names the input" "$work/stderr" "$work/upright.png: degrees must be 90, 180 or 270 (got 45)"
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

# The batch forms really write what they name: --in-place turns the file
# itself, --format changes the encoding and not only the name.
cp "$work/upright.png" "$work/inplace-a.png"
cp "$work/upright.png" "$work/inplace-b.png"
check "in place, two files" 0 "$veerpix" rotate 90 --in-place "$work/inplace-a.png" "$work/inplace-b.png"
expect_size "in place turned a" "$work/inplace-a.png" "320x240"
expect_size "in place turned b" "$work/inplace-b.png" "320x240"
expect_size "in place of 180 keeps the size" "$work/inplace.png" "240x320"
expect_size "--format png gives a PNG, the picture as shown" "$work/out/sideways.png" "240x320"
check "out-dir with bmp" 0 "$veerpix" flip-v --out-dir "$work/out" --format bmp "$work/upright.png"
if [ "$(head -c 2 "$work/out/upright.bmp")" = "BM" ]; then passes=$((passes + 1)); else
    echo "FAIL: --format bmp did not write a BMP"; failures=$((failures + 1)); fi

# A batch never overwrites its own results or inputs: two inputs of one name,
# or --format turning a.jpg into a.png beside the input a.png, refuse the
# later file (one line, exit 1) and leave the rest done.
mkdir -p "$work/one" "$work/two" "$work/clash" "$work/beside"
cp "$work/upright.png" "$work/one/same.png"
cp "$work/sideways.jpg" "$work/two/same.jpg"
check "two inputs, one output name" 1 "$veerpix" rotate 90 --out-dir "$work/clash" --format png \
    "$work/one/same.png" "$work/two/same.jpg"
expect_size "first of the clash kept" "$work/clash/same.png" "320x240"
expect_text "clash names both" "$work/stderr" "$work/two/same.jpg: refused: output $work/clash/same.png was already written from $work/one/same.png"
cp "$work/sideways.jpg" "$work/beside/photo.jpg"
cp "$work/upright.png" "$work/beside/photo.png"
check "output over another input" 1 "$veerpix" rotate 180 --out-dir "$work/beside" --format png \
    "$work/beside/photo.jpg" "$work/beside/photo.png"
expect_text "input kept" "$work/stderr" "$work/beside/photo.jpg: refused: output $work/beside/photo.png is another input of this batch"
expect_size "the other input still done, from its own pixels" "$work/beside/photo.png" "240x320"
cp "$work/upright.png" "$work/twice.png"
check "one file named twice in place" 1 "$veerpix" rotate 90 --in-place "$work/twice.png" "$work/../$(basename "$work")/./twice.png"
expect_size "turned once only" "$work/twice.png" "320x240"

# The progress line: on a terminal for a batch of more than one file, never
# when stderr is a file or a pipe.
check "batch off a terminal" 0 "$veerpix" flip-h --out-dir "$work/out" "$work/upright.png" "$work/sideways.jpg"
if [ -s "$work/stderr" ]; then echo "FAIL: progress written off a terminal:"; cat "$work/stderr"; failures=$((failures + 1)); else
    passes=$((passes + 1)); fi
if [ -n "${VEERPIX_TEST_EMULATOR:-}" ]; then
    # Wine's console redraws a pseudo-terminal's output character by
    # character, so the line cannot be read back from it.
    echo "skipped: the progress line on a terminal (run under $VEERPIX_TEST_EMULATOR)"
elif command -v script >/dev/null 2>&1; then
    on_terminal() {  # on_terminal COMMAND...: runs it on a pseudo-terminal, its output in $work/tty
        script -q -e -c "$*" /dev/null </dev/null >"$work/tty" 2>&1
    }
    on_terminal "'$veerpix' flip-h --out-dir '$work/out' '$work/upright.png' '$work/sideways.jpg'"
    expect_text "progress, first file" "$work/tty" "[1/2] $work/upright.png"
    expect_text "progress, second file" "$work/tty" "[2/2] $work/sideways.jpg"
    on_terminal "'$veerpix' flip-h --out-dir '$work/out' '$work/upright.png'"
    if grep -qF "[1/1]" "$work/tty"; then echo "FAIL: progress for a single file"; failures=$((failures + 1)); else
        passes=$((passes + 1)); fi
    on_terminal "'$veerpix' flip-h --out-dir '$work/out' '$work/not-an-image.png' '$work/upright.png'"
    expect_text "failure on a terminal starts its own line" "$work/tty" "$(printf '\r\033[K')$work/not-an-image.png: unsupported input format"
else
    echo "skipped: the progress line on a terminal (no 'script' command)"
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
