#!/bin/sh
# Builds the Debian package with CPack and checks what it holds: the
# library with its SONAME links, the header, the command line, the CMake
# and pkg-config files, and nothing of the tests. Then unpacks it and runs
# the packaged command line against the packaged library.
# usage: check_package.sh CPACK BUILD_DIR WORK LIBDIR VERSION
set -eu
cpack=$1 build=$2 work=$3 libdir=$4 version=$5
major=${version%%.*}
rm -rf "$work"
mkdir -p "$work"

fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && "$cpack" -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack -G DEB"; }
package=$(ls "$work"/quorvane-veerpix_"$version"_*.deb 2>/dev/null | head -n 1)
[ -n "$package" ] || { cat "$work/cpack.log"; fail "no quorvane-veerpix_${version}_*.deb"; }
echo "package: $package"

dpkg-deb -c "$package" | awk '{ print $6 $7 $8 }' | sed 's|^\./|/|' >"$work/contents"
cat "$work/contents"
for entry in \
    "/usr/$libdir/libquorvane-veerpix.so.$version" \
    "/usr/$libdir/libquorvane-veerpix.so.$major->libquorvane-veerpix.so.$version" \
    "/usr/$libdir/libquorvane-veerpix.so->libquorvane-veerpix.so.$major" \
    "/usr/include/veerpix.h" \
    "/usr/bin/veerpix" \
    "/usr/$libdir/cmake/quorvane-veerpix/quorvane-veerpixConfig.cmake" \
    "/usr/$libdir/cmake/quorvane-veerpix/quorvane-veerpixConfigVersion.cmake" \
    "/usr/$libdir/cmake/quorvane-veerpix/quorvane-veerpixTargets.cmake" \
    "/usr/$libdir/pkgconfig/quorvane-veerpix.pc" \
    "/usr/lib/python3/dist-packages/veerpix.py"; do
    grep -qxF "$entry" "$work/contents" || fail "the package lacks $entry"
done
if grep -E 'make_sample|veerpix_core|gtest|test_' "$work/contents"; then fail "the package holds test-only files"; fi

field() { dpkg-deb -f "$package" "$1"; }
[ "$(field Package)" = quorvane-veerpix ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Maintainer)" = "quorvane-veerpix developers" ] || fail "Maintainer: $(field Maintainer)"
case "$(field Depends)" in
    *libc6*libstdc++6*) ;;
    *) fail "Depends lacks libc6 or libstdc++6: $(field Depends)" ;;
esac
dpkg-deb --ctrl-tarfile "$package" | tar -t | grep -qx './shlibs' || fail "no shlibs control file"

# The unpacked tree works where it lies: the packaged program with the
# packaged library, and the .pc file pointing into the same tree.
dpkg-deb -x "$package" "$work/root"
env -u LD_LIBRARY_PATH "$work/root/usr/bin/veerpix" --version | grep -qx "veerpix $version" ||
    fail "the packaged veerpix does not run"
# import veerpix after installing the package: /usr/lib/python3/dist-packages
# is on the system python3's path, and from there the module finds the
# packaged library (here in the unpacked tree) without VEERPIX_LIBRARY.
if [ -x /usr/bin/python3 ]; then
    /usr/bin/python3 -c 'import sys; sys.exit("/usr/lib/python3/dist-packages" not in sys.path)' ||
        fail "/usr/lib/python3/dist-packages is not on python3's path"
    env -u VEERPIX_LIBRARY -u PYTHONPATH -u LD_LIBRARY_PATH /usr/bin/python3 - "$work/root" <<'EOF' ||
import os, sys
root = sys.argv[1]
sys.path.insert(0, os.path.join(root, "usr/lib/python3/dist-packages"))
import veerpix
library = veerpix.load_library()._name
assert os.path.realpath(library).startswith(os.path.realpath(root)), library
try:
    veerpix.flip_h(os.path.join(root, "missing.bmp"), os.path.join(root, "out.bmp"))
except veerpix.VeerpixError as error:
    assert str(error).startswith("cannot read input file"), error
else:
    raise AssertionError("a missing input was not refused")
print("python: the packaged veerpix with", library)
EOF
        fail "import veerpix from the package"
fi
if command -v pkg-config >/dev/null; then
    includedir=$(PKG_CONFIG_LIBDIR="$work/root/usr/$libdir/pkgconfig" pkg-config --variable=includedir quorvane-veerpix)
    [ -f "$includedir/veerpix.h" ] || fail "the packaged .pc names include folder $includedir"
fi
echo "the Debian package holds the library, the header and the command line"
