#!/usr/bin/env bash
# Installs what is missing for building and running (no test tools), builds the application
# and starts it with the arguments given.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CREDITGAUGE_BUILD_DIR:-$root/build}

bash "$root/scripts/build.sh" creditgauge
exec "$build/src/creditgauge" "$@"
