#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the test suite with ctest inside a
# private test session (see test-session.sh), the same again built with AddressSanitizer and
# UndefinedBehaviorSanitizer (test-sanitizers.sh), and each fuzz harness for a minute
# (fuzz.sh). Exits non-zero when any of them fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CREDITGAUGE_BUILD_DIR:-$root/build}

bash "$root/scripts/install-deps.sh" run test package
bash "$root/scripts/build.sh"
(cd "$build" && bash "$root/scripts/test-session.sh" ctest --output-on-failure --timeout 600 "$@")
echo "== the same, with AddressSanitizer and UndefinedBehaviorSanitizer"
bash "$root/scripts/test-sanitizers.sh" "$@"
echo "== fuzzing"
bash "$root/scripts/fuzz.sh"
