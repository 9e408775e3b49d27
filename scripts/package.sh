#!/usr/bin/env bash
# Installs what is missing, builds the Debian package into build-deb/ (or
# $CREDITGAUGE_DEB_BUILD_DIR) and checks it with lintian; prints the package's path last.
#
# A build folder of its own: the package installs under /usr (so the private libraries go to
# /usr/lib/<triplet>/creditgauge, where no ldconfig run is needed) and is compiled with
# Debian's hardening flags, while build/ keeps its /usr/local prefix for `cmake --install`.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CREDITGAUGE_DEB_BUILD_DIR:-$root/build-deb}

bash "$root/scripts/install-deps.sh" run package
cd "$root"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DCREDITGAUGE_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build" --parallel "$(nproc)"

cd "$build"
cpack -G DEB | tee cpack.log
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' cpack.log)
[ -f "$deb" ] || { echo "cpack made no package" >&2; exit 1; }
echo "== lintian"
# As root lintian says it would rather not be; it reads the package, runs nothing from it.
lintian --display-info --fail-on error "$deb" 2>&1 | { grep -v '^running with root privileges' || true; }
echo "$deb"
