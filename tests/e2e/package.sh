#!/usr/bin/env bash
# The Debian package that cpack makes from the build tree, into a folder of its own: lintian
# (fails on errors, shows the rest), the dependencies dpkg-shlibdeps found and whether apt could
# install them, the files as unpacked, their validators, and the unpacked program: --version,
# and as root the self-test over HTTPS against fake_provider behind the real host name
# (netns-lib.sh; the whole test then runs in the private namespaces).
# Usage: package.sh BUILD_DIR FAKE_PROVIDER CPACK. Exits 77 when a tool is missing.
# shellcheck disable=SC2015 # every "A && B && pass || fail" means to fail unless all hold
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=netns-lib.sh
source "$here/netns-lib.sh"

[ $# -eq 3 ] && [ -f "$1/CPackConfig.cmake" ] && [ -x "$2" ] ||
    { echo "usage: $0 BUILD_DIR FAKE_PROVIDER CPACK" >&2; exit 2; }
for tool in "$3" lintian dpkg-deb dpkg-shlibdeps file readelf desktop-file-validate appstreamcli man \
    apt-get; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
build=$(readlink -f "$1") FAKE_PROVIDER=$(readlink -f "$2") cpack=$3
if [ "$(id -u)" -eq 0 ] && unshare --mount --net --pid --fork true 2>/dev/null; then
    netns_enter "$here/package.sh" "$build" "$FAKE_PROVIDER" "$cpack"
fi
work=$(mktemp -d)
trap 'rm -rf "$work" ${D:+"$D"}' EXIT
failed=0
pass() { echo "PASS $1"; }
fail() { echo "FAIL $1"; [ $# -lt 2 ] || cat "$2"; failed=1; }

# cpack installs the build tree into its own staging folder under -B; build/ is only read.
(cd "$work" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1 ||
    { fail cpack "$work/cpack.log"; exit 1; }
debs=("$work"/out/*.deb)
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg --print-architecture)
[ ${#debs[@]} -eq 1 ] && [ "$(basename "$deb")" = "creditgauge_${version}_$arch.deb" ] \
    && pass "file_name $(basename "$deb")" || fail "file_name: ${debs[*]}"

# Root is where this runs in CI; lintian only warns about it.
lintian --display-info --fail-on error "$deb" >"$work/lintian" 2>&1 && pass lintian || fail lintian
grep -v '^running with root privileges' "$work/lintian" || true

depends=$(dpkg-deb -f "$deb" Depends)
missing=()
# What dpkg-shlibdeps finds, then what only run time loads.
for p in libc6 libqt6core6 libqt6network6 libqt6gui6 libqt6widgets6 libqt6dbus6 libqt6keychain1 \
    libsecret-1-0 qt6-wayland qt6-translations-l10n libqt6sql6-sqlite; do
    [[ ", $depends," == *", $p"[\ ,]* ]] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && pass depends || fail "depends: no ${missing[*]} in: $depends"
if [ "$(id -u)" -eq 0 ]; then
    apt-get install --simulate "$deb" >"$work/apt" 2>&1 && pass installable || fail installable "$work/apt"
fi

root=$work/root
dpkg-deb -x "$deb" "$root"
# The private libraries are where the program's run path says, so the package's own are used.
# shellcheck disable=SC2016 # $ORIGIN is the loader's, not the shell's
runpath=$(readelf -d "$root/usr/bin/creditgauge" | sed -n 's/.*RUNPATH.*\[\$ORIGIN\/\(.*\)\]/\1/p')
libdir=$root/usr/bin/$runpath
absent=()
for f in usr/bin/creditgauge "${libdir#"$root/"}"/{libcreditgauge-core.so,libcreditgauge-refresh.so,creditgauge-tray.so,creditgauge-bar.so} \
    usr/share/applications/creditgauge.desktop \
    usr/share/metainfo/io.github.creditgauge.CreditGauge.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/creditgauge.svg \
    usr/share/man/man1/creditgauge.1.gz \
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

out=$(env -u LD_LIBRARY_PATH "$root/usr/bin/creditgauge" --version 2>"$work/err") && status=0 || status=$?
[ "$out" = "creditgauge ${version%-*}" ] && [ "$status" = 0 ] && [ ! -s "$work/err" ] \
    && pass version || fail "version: exit $status, '$out'" "$work/err"

# The text-bar mode from its installed module: without a session bus the keyring is out of
# reach, which it says in one line; the reader leaving after that line ends it with status 0.
out=$(set +o pipefail; env -u LD_LIBRARY_PATH -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS \
    timeout 30 "$root/usr/bin/creditgauge" --bar 2>"$work/err" </dev/null | head -n 1; echo "${PIPESTATUS[0]}")
[ "$out" = $'$ !\n0' ] && [ ! -s "$work/err" ] && pass bar_mode || fail "bar_mode: '$out'" "$work/err"

if [ -z "${D:-}" ]; then
    echo "NOTE: not root: no self-test of the unpacked program over HTTPS"
else
    ds='/user/balance=200:{"is_available":true,"balance_infos":[{"currency":"CNY","total_balance":"110.00","granted_balance":"10.00","topped_up_balance":"100.00"}]}'
    fake_start server "$ds"
    out=$(env -u LD_LIBRARY_PATH -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS \
        CREDITGAUGE_PROVIDER=deepseek CREDITGAUGE_KEY=sk-e2e-0123456789abcdef \
        timeout 30 "$root/usr/bin/creditgauge" --selftest 2>"$work/err" </dev/null) && status=0 || status=$?
    fake_stop
    [ "$out" = 'OK deepseek CNY total=¥ 110,00 Aufgeladen=¥ 100,00 Geschenkt=¥ 10,00' ] \
        && [ "$status" = 0 ] && [ ! -s "$work/err" ] && pass selftest \
        || fail "selftest: exit $status, '$out'" "$work/err"
fi
exit "$failed"
