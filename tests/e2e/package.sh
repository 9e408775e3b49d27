#!/usr/bin/env bash
# The Debian package cpack makes: whether apt could install it (as root), and the unpacked
# program's --version and text-bar mode, whose module it finds where the package puts it, not
# beside it as in the build tree. lintian is scripts/package.sh's.
# Usage: package.sh BUILD_DIR CPACK. Exits 77 when a tool is missing.
# shellcheck disable=SC2015 # every "A && B && pass || fail" means to fail unless all hold
set -euo pipefail
# shellcheck source=netns-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns-lib.sh"
require_tools "$2" dpkg-deb apt-get
build=$1 cpack=$2 work=$(mktemp -d) failed=0
trap 'rm -rf "$work"' EXIT
pass() { echo "PASS $1"; }
fail() { echo "FAIL $1"; [ $# -lt 2 ] || cat "$2"; failed=1; }

# cpack installs the build tree into its own staging folder under -B; build/ is only read.
(cd "$work" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") \
    >"$work/cpack.log" 2>&1 || { fail cpack "$work/cpack.log"; exit 1; }
deb=$(echo "$work"/out/*.deb) version=$(dpkg-deb -f "$deb" Version)
[ "$(id -u)" -ne 0 ] || { apt-get install --simulate "$deb" >"$work/apt" 2>&1 && pass installable ||
    fail installable "$work/apt"; }

root=$work/root
dpkg-deb -x "$deb" "$root"
# The private libraries come from the package, by the program's run path, not from build/.
base=$(env -u LD_LIBRARY_PATH ldd "$root/usr/bin/creditgauge" | sed -n 's/.*libcreditgauge-base.so => \(.*\) (.*/\1/p')
[[ $(readlink -f "$base") == "$root"/* ]] && pass libraries || fail "libraries: base from '$base'"
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
