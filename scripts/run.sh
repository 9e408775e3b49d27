#!/usr/bin/env bash
# Installs what is missing, builds, and starts CreditGauge with the arguments given.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CREDITGAUGE_BUILD_DIR:-$root/build}

bash "$root/scripts/build.sh"
exec "$build/src/creditgauge" "$@"
