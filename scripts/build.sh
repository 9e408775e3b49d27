#!/usr/bin/env bash
# Installs what building and running need, and builds CreditGauge into build/ (or
# $CREDITGAUGE_BUILD_DIR): the targets named, or everything.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CREDITGAUGE_BUILD_DIR:-$root/build}

bash "$root/scripts/install-deps.sh" run
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
[ $# -eq 0 ] || targets=(--target "$@")
cmake --build "$build" --parallel "$(nproc)" "${targets[@]}"
