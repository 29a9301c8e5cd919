#!/usr/bin/env bash
# Builds the Debian package the way it is shipped (optimised, hardened,
# installed under /usr) and checks it: lintian at its pedantic level, the
# AppStream metadata, the desktop entries and the log file type. Exits
# non-zero on any error or warning.
#
#   scripts/package.sh            build in build-deb/ and check
#   PACKAGE_BUILD_DIR=dir ...     build elsewhere
#
# The one lintian note left is informational: hardening-no-fortify-functions
# on natter. The program is built with -D_FORTIFY_SOURCE=2, but none of its
# calls into the C library has a buffer size the compiler can check, so
# there is no fortified call for lintian to find.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PACKAGE_BUILD_DIR:-$here/build-deb}"
jobs="$(nproc 2>/dev/null || echo 2)"

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DNATTER_HARDEN=ON -DNATTER_WERROR=ON -DNATTER_BUILD_TESTS=OFF -DNATTER_BUILD_BENCH=OFF
fi
cmake --build "$build" -j "$jobs"
rm -f "$build"/natter-duo_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls "$build"/natter-duo_*.deb)"
echo "== package: $deb"

failed=0
fail() {
    echo "FAILED: $*" >&2
    failed=1
}

echo "== lintian --pedantic"
# lintian warns that it runs as root; that is not about the package.
lintian --pedantic --display-info --display-experimental --fail-on error,warning,pedantic "$deb" \
    2> >(grep -v 'running with root privileges' >&2) || fail "lintian"

staging="$(mktemp -d)"
trap 'rm -rf "$staging"' EXIT
dpkg-deb -x "$deb" "$staging"

echo "== installed layout"
program_dir="$staging/usr/libexec/natter-duo"
for program in natter natter-logreader; do
    [ "$(readlink -f "$staging/usr/bin/$program")" = "$program_dir/$program" ] ||
        fail "/usr/bin/$program does not lead to the program directory"
    [ -x "$program_dir/$program" ] || fail "$program is not in the program directory"
done
[ -s "$program_dir/127982071.dat" ] || fail "the help data file is not in the program directory"
grep -q '^{\\rtf1' "$program_dir/127982071.dat" || fail "the help data file is not rich text"
[ -s "$(readlink -f "$program_dir/natter-duo.html")" ] || fail "the manual page is not reachable from the program directory"
[ -s "$staging/usr/share/icons/hicolor/scalable/apps/natter-duo.svg" ] || fail "no scalable icon"
for size in 16 22 24 32 48 64 128 256; do
    png="$staging/usr/share/icons/hicolor/${size}x${size}/apps/natter-duo.png"
    file "$png" | grep -q "PNG image data, $size x $size," || fail "icon $png is not $size x $size"
done

echo "== appstreamcli validate"
appstreamcli validate --no-net --pedantic "$staging"/usr/share/metainfo/*.metainfo.xml || fail "AppStream metadata"

echo "== desktop-file-validate"
for entry in "$staging"/usr/share/applications/*.desktop; do
    out="$(desktop-file-validate "$entry" 2>&1)" || fail "$entry"
    if [ -n "$out" ]; then
        echo "$out"
        fail "$entry has remarks"
    fi
done

echo "== log file type"
mime="$staging/mime"
mkdir -p "$mime/packages"
cp "$staging"/usr/share/mime/packages/natter-duo.xml "$mime/packages/"
# (XDG_DATA_HOME: the database is built where a user's own would be.)
out="$(XDG_DATA_HOME="$staging" update-mime-database "$mime" 2>&1)" || fail "update-mime-database"
[ -z "$out" ] || { echo "$out"; fail "the mime type has remarks"; }
grep -q ':application/x-natter-log:\*\.ntl' "$mime/globs2" || fail "*.ntl is not application/x-natter-log"
# The default application for a log, as a desktop that knows only this
# package sees it once the package's triggers have run.
update-desktop-database "$staging/usr/share/applications"
mkdir -p "$staging/empty"
default="$(XDG_DATA_HOME="$staging/empty" XDG_CONFIG_HOME="$staging/empty" XDG_CONFIG_DIRS="$staging/empty" \
    XDG_DATA_DIRS="$staging/usr/share" xdg-mime query default application/x-natter-log)" || true
[ "$default" = natter-duo-logreader.desktop ] || fail "logs open with '$default', not the log reader"

if [ "$failed" -ne 0 ]; then
    echo "== package checks FAILED" >&2
    exit 1
fi
echo "== package checks passed"
