#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test with ctest inside a private test
# session (see test-session.sh). Exits non-zero when any test fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CREDITGAUGE_BUILD_DIR:-$root/build}

bash "$root/scripts/build.sh"
cd "$build"
bash "$root/scripts/test-session.sh" ctest --output-on-failure --timeout 600 "$@"
