#!/bin/sh
# Runs one Windows program under 64-bit Wine: CTest's emulator for the
# cross build, and the way scripts start wineboot in the same prefix.
# Headless and quiet, in the given prefix, so ~/.wine is never touched.
# usage: wine-run.sh PREFIX PROGRAM [ARGUMENT...]
set -e
WINEPREFIX=$1
shift
export WINEPREFIX
export WINEDEBUG=-all
# A new prefix would otherwise offer to download Mono and Gecko, and the
# menu builder would write desktop entries into the user's home.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY

# Debian keeps the 64-bit loader out of PATH; /usr/bin/wine prefers a
# 32-bit one and prints hints about it.
if [ -x /usr/lib/wine/wine64 ]; then
    wine=/usr/lib/wine/wine64
elif command -v wine64 >/dev/null; then
    wine=$(command -v wine64)
else
    echo "wine-run.sh: wine64 not found (Debian: apt-get install wine wine64)" >&2
    exit 127
fi
# Processes that Wine starts itself use the same loader.
export WINELOADER="$wine"

# Wine's session (its server and helper processes) must not start from
# inside a test: the helpers would inherit the test's output and hold
# CTest's pipes open until the timeout. scripts/test-windows.sh starts it
# beforehand; if nothing runs yet (-p then succeeds), start it here, detached,
# to end a minute after its last program.
if [ -x /usr/lib/wine/wineserver64 ]; then
    wineserver=/usr/lib/wine/wineserver64
else
    wineserver=$(command -v wineserver || echo wineserver)
fi
if "$wineserver" -p60 </dev/null >/dev/null 2>&1; then
    "$wine" wineboot --init </dev/null >/dev/null 2>&1 || true
fi
exec "$wine" "$@"
