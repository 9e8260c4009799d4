#!/bin/sh
# The command-line host end to end: exit codes, messages, the pixels of
# each command's result, pipes, batches in worker processes.
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

expect_same() {  # expect_same LABEL ACTUAL EXPECTED; lines may end in CR LF (Windows)
    actual=$(printf '%s' "$2" | tr -d '\r')
    if [ "$actual" = "$3" ]; then passes=$((passes + 1)); else
        echo "FAIL: $1: got '$actual', expected '$3'"; failures=$((failures + 1)); fi
}

expect_status() {  # expect_status LABEL STATUS EXPECTED, for a command run by hand
    if [ "$2" -eq "$3" ]; then passes=$((passes + 1)); else
        echo "FAIL: $1: exit $2, expected $3"; cat "$work/stderr"; failures=$((failures + 1)); fi
}

# write_bmp FILE: the 3x2 picture  A B C / D E F  as a 24-bit BMP, bottom
# row first, pixels stored B G R, rows padded to 12 bytes. A is red, B
# green, C blue, D (10,20,30), E (40,50,60), F (70,80,90).
write_bmp() {
    printf 'BM\106\000\000\000\000\000\000\000\066\000\000\000\050\000\000\000\003\000\000\000\002\000\000\000\001\000\030\000\000\000\000\000\020\000\000\000\023\013\000\000\023\013\000\000\000\000\000\000\000\000\000\000' > "$1"
    printf '\036\024\012\074\062\050\132\120\106\000\000\000' >> "$1"
    printf '\000\000\377\000\377\000\377\000\000\000\000\000' >> "$1"
}
A=ff0000 B=00ff00 C=0000ff D=0a141e E=28323c F=46505a

# write_black_bmp FILE WIDTH HEIGHT: a black 24-bit BMP of any size.
le32() { printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"; }
write_black_bmp() {
    size=$((($2 * 3 + 3) / 4 * 4 * $3))
    { printf 'BM'; le32 $((size + 54)); le32 0; le32 54; le32 40; le32 "$2"; le32 "$3"
      printf '\001\000\030\000'; le32 0; le32 "$size"; le32 2835; le32 2835; le32 0; le32 0
      head -c "$size" /dev/zero; } > "$1"
}

# bmp_pixels FILE: "WxH" and each pixel as RRGGBB, rows top to bottom, of an
# uncompressed 24- or 32-bit BMP of either row order.
bmp_pixels() {
    od -An -v -tu1 "$1" | awk '
        { for (i = 1; i <= NF; i++) b[n++] = $i }
        function u(at, count,   v, k) { v = 0; for (k = count - 1; k >= 0; k--) v = v * 256 + b[at + k]; return v }
        END {
            if (b[0] != 66 || b[1] != 77) { print "not-a-bmp"; exit }
            offset = u(10, 4); width = u(18, 4); height = u(22, 4); step = u(28, 2) / 8
            topdown = height >= 2147483648; if (topdown) height = 4294967296 - height
            stride = int((width * step + 3) / 4) * 4
            line = width "x" height
            for (y = 0; y < height; y++) {
                row = topdown ? y : height - 1 - y
                for (x = 0; x < width; x++) {
                    at = offset + row * stride + x * step
                    line = line sprintf(" %02x%02x%02x", b[at + 2], b[at + 1], b[at])
                }
            }
            print line
        }'
}

# corners FILE: the top-left, top-right, bottom-left and bottom-right
# pixels of a BMP.
corners() {
    bmp_pixels "$1" | awk '{ split($1, size, "x"); w = size[1]; h = size[2]
        print $2, $(1 + w), $(2 + (h - 1) * w), $(1 + h * w) }'
}

"$make_sample" "$work/sideways.jpg" || exit 1
"$make_sample" "$work/upright.png" || exit 1
printf 'GIF89a\001\000\001\000' > "$work/not-an-image.png"

# Metadata: a re-encoded result gets the input's EXIF back (an eXIf chunk in
# a PNG, an Exif segment in a JPEG the library re-encoded), in place too;
# --strip keeps none.
has_bytes() {  # has_bytes LABEL FILE TEXT EXPECTED(yes|no)
    if LC_ALL=C grep -aqF -- "$3" "$2"; then found=yes; else found=no; fi
    if [ "$found" = "$4" ]; then passes=$((passes + 1)); else
        echo "FAIL: $1: '$3' in $2: $found, expected $4"; failures=$((failures + 1)); fi
}
check "metadata kept" 0 "$veerpix" rotate 90 "$work/sideways.jpg" "$work/kept.png"
has_bytes "metadata kept" "$work/kept.png" eXIf yes
check "metadata stripped" 0 "$veerpix" rotate 90 --strip "$work/sideways.jpg" "$work/stripped.png"
has_bytes "metadata stripped" "$work/stripped.png" eXIf no
cp "$work/sideways.jpg" "$work/kept-in-place.jpg"
check "metadata kept in place" 0 "$veerpix" auto-orient --in-place "$work/kept-in-place.jpg"
has_bytes "metadata kept in place" "$work/kept-in-place.jpg" Exif yes

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
# Degrees rotate cannot take are one usage error that points to angle.
for degrees in 45 0 360 -45; do
    check "rotate refuses $degrees" 2 "$veerpix" rotate "$degrees" "$work/upright.png" "$work/x.png"
    expect_text "rotate $degrees points to angle" "$work/stderr" "veerpix angle $degrees"
done
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
expect_same "batch: one line for the bad file, then the summary" "$(cat "$work/stderr")" \
    "$work/not-an-image.png: unsupported input format: $work/not-an-image.png
veerpix: 3 files: 2 done, 1 failed, 0 skipped"

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
expect_same "off a terminal: the summary alone" "$(cat "$work/stderr")" "veerpix: 2 files: 2 done, 0 failed, 0 skipped"
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

# Each command moves the pixels as its name says, checked on a 3x2 picture
# whose bytes this script writes itself.
write_bmp "$work/abc.bmp"
expect_same "the picture as written" "$(bmp_pixels "$work/abc.bmp")" "3x2 $A $B $C $D $E $F"
while read -r label width_height p1 p2 p3 p4 p5 p6 command; do
    # shellcheck disable=SC2086  # the command's words
    check "$label" 0 "$veerpix" $command "$work/abc.bmp" "$work/pixels.bmp"
    expect_same "$label: pixels" "$(bmp_pixels "$work/pixels.bmp")" "$width_height $p1 $p2 $p3 $p4 $p5 $p6"
done <<CASES
rotate-90 2x3 $C $F $B $E $A $D rotate 90
rotate-450 2x3 $C $F $B $E $A $D rotate 450
rotate-minus-90 2x3 $D $A $E $B $F $C rotate -90
rotate-270 2x3 $D $A $E $B $F $C rotate 270
rotate-180 3x2 $F $E $D $C $B $A rotate 180
flip-h 3x2 $C $B $A $F $E $D flip-h
flip-v 3x2 $D $E $F $A $B $C flip-v
angle-0 3x2 $A $B $C $D $E $F angle 0
auto-orient-copies 3x2 $A $B $C $D $E $F auto-orient
CASES
# A free quarter turn is interpolated onto a grown canvas, but its corners
# are the picture's corners where a counter-clockwise turn puts them.
check "angle 90" 0 "$veerpix" angle 90 "$work/abc.bmp" "$work/angle90.bmp"
expect_same "angle 90 turns counter-clockwise" "$(corners "$work/angle90.bmp")" "$C $F $A $D"
check "angle -90" 0 "$veerpix" angle -90 "$work/abc.bmp" "$work/angle-90.bmp"
expect_same "angle -90 turns clockwise" "$(corners "$work/angle-90.bmp")" "$D $A $F $C"
check "angle with --background=" 0 "$veerpix" angle 45 --background=1,2,3 "$work/abc.bmp" "$work/angle45.bmp"
expect_same "the background fills the corners" "$(corners "$work/angle45.bmp" | cut -d' ' -f1)" "010203"

# Words a user types: --opt=value, any case of a format, suggestions for
# slips, and a file where an option's value belongs.
check "--format=PNG" 0 "$veerpix" flip-h --out-dir="$work/eq" --format=PNG "$work/abc.bmp"
expect_size "--format=PNG writes a PNG" "$work/eq/abc.png" "3x2"
check "--format Bmp" 0 "$veerpix" flip-h --out-dir "$work/eq" --format Bmp "$work/upright.png"
expect_same "--format Bmp writes a BMP" "$(head -c 2 "$work/eq/upright.bmp")" "BM"
check "command slip" 2 "$veerpix" rotat 90 "$work/abc.bmp" "$work/x.bmp"
expect_text "suggests the command" "$work/stderr" "did you mean rotate?"
check "option slip" 2 "$veerpix" flip-h --out-dri "$work/out" "$work/abc.bmp"
expect_text "suggests the option" "$work/stderr" "did you mean --out-dir?"
check "--out-dir given a photo" 2 "$veerpix" flip-h --out-dir "$work/abc.bmp" "$work/upright.png"
expect_text "--out-dir given a photo: says so" "$work/stderr" "--out-dir takes a folder, not the image file $work/abc.bmp"
check "--format given a file" 2 "$veerpix" flip-h --out-dir "$work/out" --format "$work/abc.bmp" "$work/upright.png"
expect_text "--format given a file: says so" "$work/stderr" "looks like a file"
check "-j given a file" 2 "$veerpix" flip-h -j "$work/abc.bmp" --out-dir "$work/out" "$work/upright.png"
expect_text "-j given a file: says so" "$work/stderr" "looks like a file"
check "--background on flip" 2 "$veerpix" flip-h --background=1,2,3 "$work/abc.bmp" "$work/x.bmp"
check "--in-place with --no-clobber" 2 "$veerpix" flip-h --in-place --no-clobber "$work/abc.bmp"

# --out-dir is made before any file is read, parents too, or refused once
# with the system's reason.
check "--out-dir made with its parents" 0 "$veerpix" flip-v --out-dir "$work/made/deep/er" "$work/abc.bmp"
expect_same "--out-dir made" "$(bmp_pixels "$work/made/deep/er/abc.bmp")" "3x2 $D $E $F $A $B $C"
check "--out-dir under a file" 2 "$veerpix" flip-v --out-dir "$work/abc.bmp/sub" "$work/abc.bmp" "$work/upright.png"
expect_text "--out-dir under a file: the reason" "$work/stderr" "veerpix: cannot use output folder $work/abc.bmp/sub: "
expect_same "--out-dir under a file: one line" "$(wc -l < "$work/stderr" | tr -d ' ')" "1"
[ -n "${VEERPIX_TEST_EMULATOR:-}" ] || expect_text "--out-dir under a file: the system's words" "$work/stderr" "Not a directory"

# After the library's message, what the command line sees for itself.
mkdir -p "$work/a-folder"
check "hint: input is a folder" 1 "$veerpix" flip-h "$work/a-folder" "$work/x.bmp"
expect_text "hint: input is a folder" "$work/stderr" "(input is a folder; -r takes the image files inside it)"
check "hint: no such input" 1 "$veerpix" flip-h "$work/missing.bmp" "$work/x.bmp"
expect_text "hint: no such input" "$work/stderr" "cannot read input file: $work/missing.bmp (input does not exist)"
: > "$work/empty.bmp"
check "hint: empty input" 1 "$veerpix" flip-h "$work/empty.bmp" "$work/x.bmp"
expect_text "hint: empty input" "$work/stderr" "cannot read input file: $work/empty.bmp (input is empty)"
check "hint: output is a folder" 1 "$veerpix" flip-h "$work/abc.bmp" "$work/a-folder"
expect_text "hint: output is a folder" "$work/stderr" "failed to write output: $work/a-folder (output is a folder)"
check "hint: no output folder" 1 "$veerpix" flip-h "$work/abc.bmp" "$work/nowhere/x.bmp"
expect_text "hint: no output folder" "$work/stderr" "(output folder $work/nowhere does not exist)"

# Permissions, seen as an ordinary user (root may write anywhere). As root
# the cases run as nobody, who may not enter this build folder (a checkout
# in a 0700 home folder): the program, its library and the files go to a
# folder under /tmp that every user can reach.
as_user=""
if [ "$(id -u)" -ne 0 ]; then
    as_user=" "
elif command -v setpriv >/dev/null 2>&1 && setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
    as_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
fi
reachable=""
skip_reason=""
if [ -n "${VEERPIX_TEST_EMULATOR:-}" ] || [ -z "$as_user" ]; then
    skip_reason="need an ordinary user: not root, or setpriv"
elif ! reachable=$(mktemp -d /tmp/veerpix-cli.XXXXXX 2>/dev/null); then
    reachable=""
    skip_reason="no folder under /tmp for a copy of the program"
else
    chmod 755 "$reachable"
    cp "$veerpix" "$reachable/veerpix"
    library=$(ldd "$veerpix" | awk '$1 ~ /^libquorvane-veerpix/ { print $3 }')
    [ -z "$library" ] || cp "$library" "$reachable/"
    chmod -R a+rX "$reachable"
    # shellcheck disable=SC2086  # the words of the user switch
    if ! env LD_LIBRARY_PATH="$reachable" $as_user "$reachable/veerpix" --version >/dev/null 2>&1; then
        skip_reason="the copy in $reachable does not start as another user"
    fi
fi
if [ -n "$skip_reason" ]; then
    echo "skipped: read-only folder and unreadable input hints ($skip_reason)"
    [ -z "$reachable" ] || rm -rf "$reachable"
else
    mkdir -p "$reachable/read-only"
    cp "$work/abc.bmp" "$reachable/abc.bmp"
    chmod 644 "$reachable/abc.bmp"
    chmod 555 "$reachable/read-only"
    cp "$work/abc.bmp" "$reachable/unreadable.bmp"
    chmod 000 "$reachable/unreadable.bmp"
    # shellcheck disable=SC2086  # the words of the user switch
    check "hint: read-only output folder" 1 env LD_LIBRARY_PATH="$reachable" $as_user "$reachable/veerpix" flip-h "$reachable/abc.bmp" "$reachable/read-only/x.bmp"
    expect_text "hint: read-only output folder" "$work/stderr" "(output folder $reachable/read-only is not writable: Permission denied)"
    # shellcheck disable=SC2086
    check "hint: unreadable input" 1 env LD_LIBRARY_PATH="$reachable" $as_user "$reachable/veerpix" flip-h "$reachable/unreadable.bmp" "$reachable/x.bmp"
    expect_text "hint: unreadable input" "$work/stderr" "(input is not readable: Permission denied)"
    rm -rf "$reachable"
fi

# Pipes: '-' reads standard input and writes standard output, the format
# then from --format or else the input's; a pipe named by path is read as
# well. The spooled copies are private and gone afterwards.
if [ -n "${VEERPIX_TEST_EMULATOR:-}" ]; then
    echo "skipped: pipes and temporary files (run under $VEERPIX_TEST_EMULATOR)"
else
    spool=$work/spool
    mkdir -p "$spool"
    export TMPDIR="$spool"
    "$veerpix" flip-h - - < "$work/abc.bmp" > "$work/piped.bmp" 2>"$work/stderr"
    expect_status "stdin to stdout" $? 0
    expect_same "stdin to stdout keeps BMP" "$(bmp_pixels "$work/piped.bmp")" "3x2 $C $B $A $F $E $D"
    cat "$work/abc.bmp" | "$veerpix" rotate 90 - - --format png > "$work/piped.png" 2>"$work/stderr"
    expect_status "pipe to stdout as PNG" $? 0
    expect_size "--format png on stdout" "$work/piped.png" "2x3"
    cat "$work/abc.bmp" | "$veerpix" flip-v /dev/stdin "$work/devstdin.bmp" 2>"$work/stderr"
    expect_status "/dev/stdin by path" $? 0
    expect_same "/dev/stdin by path" "$(bmp_pixels "$work/devstdin.bmp")" "3x2 $D $E $F $A $B $C"
    "$veerpix" flip-v - "$work/x.bmp" < "$work/not-an-image.png" 2>"$work/stderr"
    expect_status "a bad picture on stdin" $? 1
    expect_text "a bad picture on stdin is named -" "$work/stderr" "-: unsupported input format"
    expect_same "no spooled file left" "$(ls -A "$spool")" ""
    # Stopped while it reads the pipe (interrupted, hung up on, its reader
    # gone): the copy is private, and removed.
    # The signal and its number on Linux: a shell reports the end as 128 + it.
    for signal_number in TERM:15 INT:2 PIPE:13; do
        signal=${signal_number%:*}
        rm -f "$work/fifo" && mkfifo "$work/fifo"
        "$veerpix" flip-h - "$work/x.bmp" < "$work/fifo" 2>/dev/null &
        reader=$!
        exec 3>"$work/fifo"
        printf 'BM' >&3
        for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
            [ -n "$(ls -A "$spool")" ] && break
            sleep 0.1
        done
        expect_same "SIG$signal: the spooled copy is the user's alone" "$(stat -c %a "$spool"/* 2>/dev/null)" "600"
        kill -"$signal" "$reader"
        for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
            kill -0 "$reader" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$reader" 2>/dev/null; then
            echo "FAIL: SIG$signal: the run did not end"; failures=$((failures + 1))
            kill -KILL "$reader"
        fi
        wait "$reader" 2>/dev/null
        expect_status "SIG$signal: the run ends by the signal" $? $((128 + ${signal_number#*:}))
        exec 3>&-
        expect_same "SIG$signal: a stopped run leaves no spooled file" "$(ls -A "$spool")" ""
    done
    # A reader that goes away for real: writing the picture out raises SIGPIPE.
    write_black_bmp "$work/black.bmp" 400 300
    { "$veerpix" flip-h - - < "$work/black.bmp" 2>/dev/null; echo $? > "$work/status"; } | true
    expect_same "a closed standard output: ended by SIGPIPE" "$(cat "$work/status")" "$((128 + 13))"
    expect_same "a closed standard output leaves no spooled file" "$(ls -A "$spool")" ""
    unset TMPDIR
fi

# Batches: -j runs worker processes, with the messages in input order and
# the results as one process gives them.
mkdir -p "$work/many"
for name in b1 b2 b4 b5; do write_bmp "$work/many/$name.bmp"; done
cp "$work/not-an-image.png" "$work/many/b3.bmp"
check "-j 2 with bad files" 1 "$veerpix" rotate 90 -j 2 --out-dir "$work/j2" "$work/many/b1.bmp" "$work/many/b2.bmp" \
    "$work/many/b3.bmp" "$work/many/missing.bmp" "$work/many/b4.bmp" "$work/many/b5.bmp"
expect_same "-j 2: messages in input order" "$(cat "$work/stderr")" \
    "$work/many/b3.bmp: unsupported input format: $work/many/b3.bmp
$work/many/missing.bmp: cannot read input file: $work/many/missing.bmp (input does not exist)
veerpix: 6 files: 4 done, 2 failed, 0 skipped"
for name in b1 b2 b4 b5; do
    expect_same "-j 2: $name turned" "$(bmp_pixels "$work/j2/$name.bmp")" "2x3 $C $F $B $E $A $D"
done
# The first file is the slow one: the others finish long before it, and
# are still reported after it, in input order.
write_black_bmp "$work/many/slow.bmp" 1600 1200
check "-j 2, slow file first" 1 "$veerpix" angle 10 -v -j 2 --out-dir "$work/j2-slow" "$work/many/slow.bmp" \
    "$work/many/b1.bmp" "$work/many/b3.bmp" "$work/many/b2.bmp" "$work/many/b4.bmp"
expect_same "-j 2, slow file first: done in input order" "$(cat "$work/stdout")" \
    "$work/many/slow.bmp -> $work/j2-slow/slow.bmp: re-encode
$work/many/b1.bmp -> $work/j2-slow/b1.bmp: re-encode
$work/many/b2.bmp -> $work/j2-slow/b2.bmp: re-encode
$work/many/b4.bmp -> $work/j2-slow/b4.bmp: re-encode"
expect_same "-j 2, slow file first: the failure and the summary" "$(cat "$work/stderr")" \
    "$work/many/b3.bmp: unsupported input format: $work/many/b3.bmp
veerpix: 5 files: 4 done, 1 failed, 0 skipped"
check "-j0: one per CPU" 0 "$veerpix" flip-h -j0 -q --out-dir "$work/j0" "$work/many/b1.bmp" "$work/many/b2.bmp"
expect_same "-j0: done" "$(bmp_pixels "$work/j0/b2.bmp")" "3x2 $C $B $A $F $E $D"
cp "$work/upright.png" "$work/twice-j.png"
check "-j 2: one file named twice in place" 1 "$veerpix" rotate 90 --jobs=2 --in-place "$work/twice-j.png" "$work/./twice-j.png"
expect_size "-j 2: turned once only" "$work/twice-j.png" "320x240"

# -r takes the image files inside folders; --out-dir mirrors the tree.
mkdir -p "$work/tree/sub/deeper"
write_bmp "$work/tree/top.bmp"
write_bmp "$work/tree/sub/deeper/low.BMP"
echo notes > "$work/tree/sub/notes.txt"
check "-r --out-dir" 0 "$veerpix" flip-h -r --out-dir "$work/mirror" "$work/tree"
expect_same "-r: top" "$(bmp_pixels "$work/mirror/top.bmp")" "3x2 $C $B $A $F $E $D"
expect_same "-r: the tree mirrored" "$(bmp_pixels "$work/mirror/sub/deeper/low.BMP")" "3x2 $C $B $A $F $E $D"
[ -e "$work/mirror/sub/notes.txt" ] && { echo "FAIL: -r took a text file"; failures=$((failures + 1)); }
check "a folder without -r" 1 "$veerpix" flip-h --out-dir "$work/mirror" "$work/tree"
check "-r with one output" 2 "$veerpix" flip-h -r "$work/tree" "$work/one-output.bmp"

# -n says what would be written where and writes nothing.
check "-n" 0 "$veerpix" flip-h -n -r --out-dir "$work/dry" "$work/tree"
expect_same "-n lists" "$(cat "$work/stdout")" "$work/tree/sub/deeper/low.BMP -> $work/dry/sub/deeper/low.BMP
$work/tree/top.bmp -> $work/dry/top.bmp"
[ -e "$work/dry" ] && { echo "FAIL: -n made the output folder"; failures=$((failures + 1)); }

# -q prints errors only; -v tells the road each file took.
check "-q" 1 "$veerpix" flip-h -q --out-dir "$work/quiet" "$work/abc.bmp" "$work/not-an-image.png"
expect_same "-q: the error only" "$(cat "$work/stderr")" "$work/not-an-image.png: unsupported input format: $work/not-an-image.png"
check "-v" 0 "$veerpix" rotate 90 -v --out-dir "$work/roads" "$work/sideways.jpg" "$work/abc.bmp"
expect_same "-v: roads" "$(cat "$work/stdout")" "$work/sideways.jpg -> $work/roads/sideways.jpg: lossless retag
$work/abc.bmp -> $work/roads/abc.bmp: re-encode"
check "-v copy" 0 "$veerpix" auto-orient -v "$work/upright.png" "$work/copied.png"
expect_same "-v: copy" "$(cat "$work/stdout")" "$work/upright.png -> $work/copied.png: copy"
cp "$work/sideways.jpg" "$work/inplace-v.jpg"
check "-v in place" 0 "$veerpix" flip-v -v --in-place "$work/inplace-v.jpg"
expect_same "-v in place: lossless retag" "$(cat "$work/stdout")" "$work/inplace-v.jpg -> $work/inplace-v.jpg: lossless retag"

# --no-clobber leaves existing outputs alone and says so in the status.
mkdir -p "$work/keep"
printf 'old' > "$work/keep/abc.bmp"
check "--no-clobber" 3 "$veerpix" flip-h --no-clobber --out-dir "$work/keep" "$work/abc.bmp" "$work/upright.png"
expect_same "--no-clobber: kept" "$(cat "$work/keep/abc.bmp")" "old"
expect_size "--no-clobber: the other written" "$work/keep/upright.png" "240x320"
expect_same "--no-clobber: said and counted" "$(cat "$work/stderr")" "$work/abc.bmp: skipped, $work/keep/abc.bmp exists
veerpix: 2 files: 1 done, 0 failed, 1 skipped"

# A failure outweighs a skip: the batch failed.
check "--no-clobber and a failure" 1 "$veerpix" flip-h --no-clobber --out-dir "$work/keep" "$work/abc.bmp" \
    "$work/not-an-image.png"
expect_same "--no-clobber and a failure: kept" "$(cat "$work/keep/abc.bmp")" "old"
expect_same "--no-clobber and a failure: counted" "$(tail -n 1 "$work/stderr")" "veerpix: 2 files: 0 done, 1 failed, 1 skipped"

# The library takes the road and says which: -v prints it, whatever the
# files look like; options go before the command as well as after it.
check "options before the command" 0 "$veerpix" -v --out-dir "$work/before" rotate 90 "$work/sideways.jpg" "$work/abc.bmp"
expect_same "options before the command: roads" "$(cat "$work/stdout")" "$work/sideways.jpg -> $work/before/sideways.jpg: lossless retag
$work/abc.bmp -> $work/before/abc.bmp: re-encode"
check "-q before the command" 0 "$veerpix" -q auto-orient "$work/sideways.jpg" "$work/q-first.jpg"
expect_same "-q before the command: silent" "$(cat "$work/stdout" "$work/stderr")" ""
check "a value before the command" 0 "$veerpix" -j 2 -v flip-h --out-dir "$work/j-first" "$work/abc.bmp"
expect_same "a value before the command" "$(bmp_pixels "$work/j-first/abc.bmp")" "3x2 $C $B $A $F $E $D"
check "only options" 2 "$veerpix" -q -v
expect_text "only options: says what is missing" "$work/stderr" "missing command"
check "an unknown option before the command" 2 "$veerpix" -x auto-orient "$work/abc.bmp" "$work/x.bmp"
expect_text "an unknown option before the command" "$work/stderr" "unknown option: -x"
check "help after leading options" 0 "$veerpix" -q rotate --help
expect_text "help after leading options" "$work/stdout" "usage: veerpix rotate"
check "--pixels" 0 "$veerpix" rotate 90 --pixels -v "$work/sideways.jpg" "$work/pixels-turned.jpg"
expect_same "--pixels turns a tagged JPEG in its coefficients" "$(cat "$work/stdout")" "$work/sideways.jpg -> $work/pixels-turned.jpg: lossless coefficients"
check "--pixels --reencode" 0 "$veerpix" rotate 90 --pixels --reencode -v "$work/sideways.jpg" "$work/pixels-turned.jpg"
expect_same "--pixels --reencode re-encodes a tagged JPEG" "$(cat "$work/stdout")" "$work/sideways.jpg -> $work/pixels-turned.jpg: re-encode"

# JPEG into JPEG takes the coefficient road where the sides allow; a
# partial edge is re-encoded by default, fails with --lossless (the output
# left alone) and is trimmed with --trim.
check "an untagged JPEG" 0 "$veerpix" flip-v "$work/upright.png" "$work/untagged.jpg"
check "untagged turn" 0 "$veerpix" rotate 90 -v "$work/untagged.jpg" "$work/untagged-turned.jpg"
expect_same "untagged turn: coefficients" "$(cat "$work/stdout")" "$work/untagged.jpg -> $work/untagged-turned.jpg: lossless coefficients"
check "a partial edge" 0 "$veerpix" angle 10 "$work/upright.png" "$work/partial.jpg"
check "partial edge by default" 0 "$veerpix" flip-h -v "$work/partial.jpg" "$work/partial-flipped.jpg"
expect_same "partial edge by default: re-encoded" "$(cat "$work/stdout")" "$work/partial.jpg -> $work/partial-flipped.jpg: re-encode"
printf 'old' > "$work/partial-kept.jpg"
check "--lossless on a partial edge" 1 "$veerpix" flip-h --lossless "$work/partial.jpg" "$work/partial-kept.jpg"
expect_text "--lossless: the reason" "$work/stderr" "lossless turn needs a width that is a multiple of 8 (got 292); use trim"
expect_same "--lossless: the output left alone" "$(cat "$work/partial-kept.jpg")" "old"
check "--lossless --trim" 0 "$veerpix" flip-h --lossless --trim -v "$work/partial.jpg" "$work/partial-trimmed.jpg"
expect_same "--trim: says so" "$(cat "$work/stdout")" "$work/partial.jpg -> $work/partial-trimmed.jpg: lossless coefficients, trimmed"
check "--trim alone" 0 "$veerpix" flip-h --trim -v "$work/partial.jpg" "$work/partial-trimmed-alone.jpg"
expect_same "--trim alone: lossless by default" "$(cat "$work/stdout")" "$work/partial.jpg -> $work/partial-trimmed-alone.jpg: lossless coefficients, trimmed"
for order in "--trim --reencode" "--reencode --trim"; do
    # shellcheck disable=SC2086 # the two options as two words
    check "$order" 2 "$veerpix" flip-h $order "$work/partial.jpg" "$work/never.jpg"
    expect_text "$order: says why" "$work/stderr" "--trim and --reencode exclude each other"
done
[ -e "$work/never.jpg" ] && { echo "FAIL: --trim --reencode wrote a file"; failures=$((failures + 1)); }
check "--lossless of a PNG" 1 "$veerpix" flip-h --lossless "$work/upright.png" "$work/never.png"
expect_text "--lossless of a PNG: the reason" "$work/stderr" "lossless turn needs a JPEG input and a JPEG output"

# --quality reaches the JPEG encoder: a low quality makes a smaller file
# than the default; values outside 1..100 are usage errors.
check "--quality 10" 0 "$veerpix" flip-v --quality 10 "$work/upright.png" "$work/q10.jpg"
check "default quality" 0 "$veerpix" flip-v "$work/upright.png" "$work/q92.jpg"
if [ "$(wc -c < "$work/q10.jpg")" -lt "$(wc -c < "$work/q92.jpg")" ]; then passes=$((passes + 1)); else
    echo "FAIL: --quality 10 is not smaller than the default"; failures=$((failures + 1)); fi
check "--quality=100 before the command" 0 "$veerpix" --quality=100 flip-v "$work/upright.png" "$work/q100.jpg"
if [ "$(wc -c < "$work/q100.jpg")" -gt "$(wc -c < "$work/q92.jpg")" ]; then passes=$((passes + 1)); else
    echo "FAIL: --quality 100 is not larger than the default"; failures=$((failures + 1)); fi
for bad in 0 101 high; do
    check "--quality $bad" 2 "$veerpix" flip-v --quality "$bad" "$work/upright.png" "$work/x.jpg"
    expect_text "--quality $bad: says the range" "$work/stderr" "--quality takes a JPEG quality 1..100, not $bad"
done

# -p gives each result its input's modification time, in place too.
mtime() { stat -c %Y "$1"; }
cp "$work/abc.bmp" "$work/old.bmp"
cp "$work/sideways.jpg" "$work/old-in-place.jpg"
touch -d "2001-02-03 04:05:06" "$work/old.bmp" "$work/old-in-place.jpg"
old_time=$(mtime "$work/old.bmp")
check "-p" 0 "$veerpix" -p flip-h "$work/old.bmp" "$work/old-kept.png"
expect_same "-p: the input's time" "$(mtime "$work/old-kept.png")" "$old_time"
check "--preserve-times in place" 0 "$veerpix" auto-orient --preserve-times --in-place "$work/old-in-place.jpg"
expect_same "--preserve-times in place: the input's time" "$(mtime "$work/old-in-place.jpg")" "$old_time"
check "without -p" 0 "$veerpix" flip-h "$work/old.bmp" "$work/new-time.png"
if [ "$(mtime "$work/new-time.png")" != "$old_time" ]; then passes=$((passes + 1)); else
    echo "FAIL: a result without -p has its input's time"; failures=$((failures + 1)); fi

# An in-place auto-orient of a tagged photo writes its file once: one file
# made (the unnamed temporary, or a named one where the file system has no
# unnamed files), renamed over the photo once, nothing copied aside.
if [ -n "${VEERPIX_TEST_EMULATOR:-}" ] || ! command -v strace >/dev/null 2>&1; then
    echo "skipped: the in-place write count (needs strace, natively)"
else
    cp "$work/sideways.jpg" "$work/once.jpg"
    # The leak checker of a sanitizer build cannot run under ptrace.
    ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -o "$work/strace.log" -e trace=open,openat,creat,rename,renameat,renameat2 \
        "$veerpix" auto-orient -v --in-place "$work/once.jpg" >"$work/stdout" 2>"$work/stderr"
    expect_status "in place under strace" $? 0
    expect_same "in place: turned in its coefficients" "$(cat "$work/stdout")" "$work/once.jpg -> $work/once.jpg: lossless coefficients"
    made=$(grep -E 'O_CREAT|O_TMPFILE|creat\(' "$work/strace.log" | grep -cv '= -1')
    renamed=$(grep -E 'rename' "$work/strace.log" | grep -v '= -1' | grep -c 'once.jpg"')
    expect_same "in place: one file made" "$made" "1"
    expect_same "in place: one rename over the photo" "$renamed" "1"
    has_bytes "in place: its metadata kept in that one write" "$work/once.jpg" Exif yes
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
