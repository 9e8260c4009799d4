#!/bin/sh
# Installs the build tree into a folder, then builds and runs a small C
# program against that installed tree twice: through CMake's find_package and
# through pkg-config, as a user's project would.
# usage: test_installed.sh CMAKE BUILD_DIR CONFIG WORK LIBDIR VERSION CC [CFLAG...]
# (the C flags are the sanitizer flags of a sanitizer build: a program that
# loads a sanitized library must carry the same runtime)
set -eu
cmake=$1 build=$2 config=$3 work=$4 libdir=$5 version=$6 cc=$7
shift 7
cflags="$*"
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work"

fail() { echo "FAIL: $*"; exit 1; }

echo "--- cmake --install into $prefix"
"$cmake" --install "$build" --config "$config" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; fail "cmake --install"; }

for file in "$libdir/libquorvane-veerpix.so.$version" "$libdir/libquorvane-veerpix.so" include/veerpix.h bin/veerpix \
            "$libdir/cmake/quorvane-veerpix/quorvane-veerpixConfig.cmake" \
            "$libdir/cmake/quorvane-veerpix/quorvane-veerpixConfigVersion.cmake" \
            "$libdir/pkgconfig/quorvane-veerpix.pc"; do
    [ -e "$prefix/$file" ] || fail "not installed: $file"
done
soname=$(readelf -d "$prefix/$libdir/libquorvane-veerpix.so.$version" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')
[ "$soname" = "libquorvane-veerpix.so.${version%%.*}" ] || fail "SONAME is '$soname'"
[ "$(readlink "$prefix/$libdir/libquorvane-veerpix.so.${version%%.*}")" = "libquorvane-veerpix.so.$version" ] ||
    fail "libquorvane-veerpix.so.${version%%.*} does not link to the versioned file"
# Test-only parts stay in the build tree.
leaked=$(find "$prefix" \( -name '*veerpix_core*' -o -name '*make_sample*' -o -name '*gtest*' \) -print)
[ -z "$leaked" ] || fail "installed test-only files: $leaked"

# The program finds the library of its own prefix, with no help from the
# environment, wherever the prefix lies.
runpath=$(readelf -d "$prefix/bin/veerpix" | sed -n 's/.*(RUNPATH).*\[\(.*\)\].*/\1/p')
[ "$runpath" = "\$ORIGIN/../$libdir" ] || fail "the installed veerpix has RUNPATH '$runpath'"
mv "$prefix" "$work/moved" && mv "$work/moved" "$prefix"
env -u LD_LIBRARY_PATH "$prefix/bin/veerpix" --version | grep -qx "veerpix $version" ||
    fail "the installed veerpix does not start from its prefix"

# The Python module lies where the system's python3 looks under the prefix
# and finds the prefix's library without VEERPIX_LIBRARY. Not in a
# sanitizer build: a plain interpreter cannot load the sanitized library.
if [ -x /usr/bin/python3 ] && [ -z "$cflags" ]; then
    [ -f "$prefix/lib/python3/dist-packages/veerpix.py" ] || fail "the Python module is not installed"
    env -u VEERPIX_LIBRARY -u PYTHONPATH /usr/bin/python3 - "$prefix" <<'EOF' || fail "import veerpix from the installed tree"
import os, site, sys
prefix = sys.argv[1]
sys.path[:0] = site.getsitepackages([prefix])
import veerpix
assert veerpix.__file__.startswith(prefix), veerpix.__file__
library = veerpix.load_library()._name
assert os.path.realpath(library).startswith(os.path.realpath(prefix)), library
print("python: veerpix from", veerpix.__file__, "with", library)
EOF
fi

export LD_LIBRARY_PATH="$prefix/$libdir"

echo "--- through CMake: find_package(quorvane-veerpix CONFIG)"
"$cmake" -S "$here" -B "$work/cmake-build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$cflags" \
    -DCMAKE_PREFIX_PATH="$prefix" -DEXPECTED_VERSION="$version" >"$work/cmake-configure.log" 2>&1 ||
    { cat "$work/cmake-configure.log"; fail "configuring the CMake consumer"; }
grep -F "quorvane-veerpix $version from $prefix/" "$work/cmake-configure.log" ||
    { cat "$work/cmake-configure.log"; fail "the CMake consumer found another quorvane-veerpix"; }
"$cmake" --build "$work/cmake-build" >"$work/cmake-build.log" 2>&1 ||
    { cat "$work/cmake-build.log"; fail "building the CMake consumer"; }
mkdir -p "$work/run-cmake"
"$work/cmake-build/consumer" "$work/run-cmake" || fail "the CMake consumer"

echo "--- through pkg-config"
command -v pkg-config >/dev/null || fail "pkg-config not found (Debian: apt-get install pkg-config)"
# Only the installed tree's .pc file, never one elsewhere on the machine.
PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig"
export PKG_CONFIG_LIBDIR
[ "$(pkg-config --modversion quorvane-veerpix)" = "$version" ] || fail "pkg-config --modversion"
pc_cflags=$(pkg-config --cflags quorvane-veerpix)
pc_libs=$(pkg-config --libs quorvane-veerpix)
echo "cflags: $pc_cflags"
echo "libs:   $pc_libs"
# shellcheck disable=SC2086  # the flags are words
"$cc" $cflags $pc_cflags -o "$work/consumer-pkg-config" "$here/consumer.c" $pc_libs || fail "building the pkg-config consumer"
mkdir -p "$work/run-pkg-config"
"$work/consumer-pkg-config" "$work/run-pkg-config" || fail "the pkg-config consumer"
echo "the installed tree serves both CMake and pkg-config"
