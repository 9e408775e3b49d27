#!/usr/bin/env bash
# Builds everything with AddressSanitizer (leaks checked) and UndefinedBehaviorSanitizer into
# build-asan/ (or $CREDITGAUGE_ASAN_BUILD_DIR) and runs every test with ctest inside a private
# test session. Any finding ends the test that hit it with a failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CREDITGAUGE_ASAN_BUILD_DIR:-$root/build-asan}

bash "$root/scripts/install-deps.sh" run test
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCREDITGAUGE_SANITIZE=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)"

# Full stacks for every allocation, so that a suppression can name the library it belongs to.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1:fast_unwind_on_malloc=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
cd "$build"
bash "$root/scripts/test-session.sh" ctest --output-on-failure --timeout 600 "$@"
