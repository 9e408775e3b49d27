#!/usr/bin/env bash
# The Debian package that cpack makes from the build tree, into a folder of its own: lintian,
# the dependencies dpkg-shlibdeps found and the ones only run time loads, whether apt could
# install it (as root), the files as unpacked and their validators, and the unpacked program
# with its own libraries: --version and the text-bar mode from its module.
# Usage: package.sh BUILD_DIR CPACK. Exits 77 when a tool is missing.
# shellcheck disable=SC2015 # every "A && B && pass || fail" means to fail unless all hold
set -euo pipefail
# shellcheck source=netns-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns-lib.sh"
require_tools "$2" lintian dpkg-deb file readelf desktop-file-validate appstreamcli man apt-get
build=$1 cpack=$2 work=$(mktemp -d) failed=0
trap 'rm -rf "$work"' EXIT
pass() { echo "PASS $1"; }
fail() { echo "FAIL $1"; [ $# -lt 2 ] || cat "$2"; failed=1; }

# cpack installs the build tree into its own staging folder under -B; build/ is only read.
(cd "$work" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") \
    >"$work/cpack.log" 2>&1 || { fail cpack "$work/cpack.log"; exit 1; }
debs=("$work"/out/*.deb)
deb=${debs[0]} version=$(dpkg-deb -f "${debs[0]}" Version)
[ ${#debs[@]} -eq 1 ] && [ "$(basename "$deb")" = "creditgauge_${version}_$(dpkg --print-architecture).deb" ] \
    && pass file_name || fail "file_name: ${debs[*]}"
# Root is where this runs in CI; lintian only warns about it.
lintian --fail-on error "$deb" >"$work/lintian" 2>&1 && pass lintian || fail lintian "$work/lintian"
depends=$(dpkg-deb -f "$deb" Depends) missing=()
# What dpkg-shlibdeps finds, then what only run time loads.
for p in libc6 libqt6core6 libqt6network6 libqt6gui6 libqt6widgets6 libqt6dbus6 libqt6keychain1 \
    libsecret-1-0 qt6-wayland qt6-translations-l10n libqt6sql6-sqlite; do
    [[ ", $depends," == *", $p"[\ ,]* ]] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && pass depends || fail "depends: no ${missing[*]} in: $depends"
[ "$(id -u)" -ne 0 ] || { apt-get install --simulate "$deb" >"$work/apt" 2>&1 && pass installable ||
    fail installable "$work/apt"; }

root=$work/root
dpkg-deb -x "$deb" "$root"
# The private libraries are where the program's run path says, so the package's own are used.
# shellcheck disable=SC2016 # $ORIGIN is the loader's, not the shell's
runpath=$(readelf -d "$root/usr/bin/creditgauge" | sed -n 's/.*RUNPATH.*\[\$ORIGIN\/\(.*\)\]/\1/p')
libdir=$root/usr/bin/$runpath absent=()
for f in usr/bin/creditgauge "${libdir#"$root/"}"/{libcreditgauge-core.so,libcreditgauge-refresh.so,creditgauge-tray.so,creditgauge-bar.so} \
    usr/share/applications/creditgauge.desktop usr/share/metainfo/io.github.creditgauge.CreditGauge.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/creditgauge.svg usr/share/man/man1/creditgauge.1.gz \
    usr/share/doc/creditgauge/copyright usr/share/doc/creditgauge/changelog.Debian.gz; do
    [ -f "$root/$f" ] || absent+=("$f")
done
for size in 16 22 24 32 48 64 128 256; do
    png=usr/share/icons/hicolor/${size}x$size/apps/creditgauge.png
    file -b "$root/$png" 2>/dev/null | grep -q "^PNG image data, $size x $size," || absent+=("$png")
done
[ -n "$runpath" ] && [ ${#absent[@]} -eq 0 ] && pass files || fail "files: missing or wrong: ${absent[*]}"
# Each binary finds every library it needs in the package or on the system.
unresolved=$(for f in "$root/usr/bin/creditgauge" "$libdir"/*.so; do
    env -u LD_LIBRARY_PATH ldd "$f" | sed -n "/not found/s|^|$(basename "$f"): |p"; done)
core=$(env -u LD_LIBRARY_PATH ldd "$root/usr/bin/creditgauge" | sed -n 's/.*libcreditgauge-core.so => \(.*\) (.*/\1/p')
[ -z "$unresolved" ] && [ "$(readlink -f "$core")" = "$(readlink -f "$libdir/libcreditgauge-core.so")" ] \
    && pass libraries || fail "libraries: core from '$core'; $unresolved"

desktop-file-validate "$root/usr/share/applications/creditgauge.desktop" >"$work/dfv" 2>&1 \
    && [ ! -s "$work/dfv" ] && pass desktop_entry || fail desktop_entry "$work/dfv"
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.creditgauge.CreditGauge.metainfo.xml" \
    >"$work/as" 2>&1 && pass appstream || fail appstream "$work/as"
LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l \
    "$root/usr/share/man/man1/creditgauge.1.gz" 2>"$work/man" >/dev/null && [ ! -s "$work/man" ] \
    && pass manual_page || fail manual_page "$work/man"

run() { env -u LD_LIBRARY_PATH -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS \
    timeout 30 "$root/usr/bin/creditgauge" "$@" 2>"$work/err" </dev/null; }
out=$(run --version) && status=0 || status=$?
[ "$out" = "creditgauge ${version%-*}" ] && [ "$status" = 0 ] && [ ! -s "$work/err" ] \
    && pass version || fail "version: exit $status, '$out'" "$work/err"
# Without a session bus the keyring is out of reach, which the text-bar mode says in one line;
# the reader leaving after that line ends it with status 0.
out=$(set +o pipefail; run --bar | head -n 1; echo "${PIPESTATUS[0]}")
[ "$out" = $'$ !\n0' ] && [ ! -s "$work/err" ] && pass bar_mode || fail "bar_mode: '$out'" "$work/err"
exit "$failed"
