#!/usr/bin/env bash
# The size of the tests beside the code, in non-blank lines of the files git tracks: src/'s .cpp
# and .h files, and every file under tests/ (C++, shell, Python, CMake, ...) except the fixtures
# and the planted faults, which are data and a tool. The tests are meant to stay at most 35 %.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
count() { git ls-files -z "$@" | xargs -0 -r grep -Hc . | awk -F: '{ n += $NF } END { print n + 0 }'; }
src=$(count 'src/*.cpp' 'src/*.h')
tests=$(count tests ':!tests/fixtures' ':!tests/faults')
echo "src/   $src lines"
echo "tests/ $tests lines"
awk -v t="$tests" -v s="$src" 'BEGIN { printf "tests are %.1f %% of src\n", 100 * t / s }'
