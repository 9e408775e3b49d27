#!/usr/bin/env bash
# Plants each fault of tests/faults/ in turn in a scratch copy of the repository, builds it and
# runs the whole test suite in a private test session. One line per fault:
#   KILLED   NN-name  (by TestX)    a test failed, as it should
#   SURVIVED NN-name                every test passed: no test guards that rule
#   BROKEN   NN-name  (...)         the patch does not apply or does not build
# The suite must pass without any fault first. A test that fails with a fault but passes when run
# again failed for the machine's load; the suite then gets a second try. The copy holds the
# tracked files as they are in the working tree and lives on between runs
# (${XDG_CACHE_HOME:-~/.cache}/creditgauge-faults), so each run rebuilds only what changed. The
# caller's tree is never touched. A tool for now and then: not a test, not run in CI.
#
# Usage: scripts/faults.sh [--build DIR] [--tests REGEX] [PATCH...]
#   (default: every tests/faults/*.patch; --tests runs only the tests whose names match, a
#   quick look while changing those tests, not a verdict on the suite)
set -euo pipefail

command -v rsync >/dev/null || { echo "faults.sh needs rsync (apt-get install rsync)" >&2; exit 1; }
repo=$(git -C "$(dirname "${BASH_SOURCE[0]}")" rev-parse --show-toplevel)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/creditgauge-faults
src=$cache/src
build=$cache/build
only=()
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=$(realpath -m "$2") ;;
    --tests) only=(-R "$2") ;;
    *) break ;;
    esac
    shift 2
done
[ $# -gt 0 ] || set -- "$repo"/tests/faults/*.patch
patches=()
for patch in "$@"; do
    patches+=("$(realpath "$patch")")
done

mkdir -p "$src" "$cache/logs"
exec 9>"$cache/lock"
flock -n 9 || { echo "faults.sh: another run is using $cache" >&2; exit 1; }

# Only files whose contents differ are copied (and so get a new time); the rest keep theirs.
# The copy is a repository of its own only so that git apply has a root to work in.
[ -d "$src/.git" ] || git init -q "$src"
git -C "$repo" ls-files -z | rsync -rlpc --from0 --files-from=- --ignore-missing-args "$repo/" "$src/"
comm -13 <(git -C "$repo" -c core.quotepath=off ls-files | sort) \
    <(cd "$src" && find . -path ./.git -prune -o -type f -printf '%P\n' | sort) |
    (cd "$src" && xargs -r -d '\n' rm -f --)

last=$cache/logs/last-ctest.log
applied=
# However the run ends, the copy is left without the fault.
trap '[ -z "$applied" ] || git -C "$src" apply -R "$applied"' EXIT
trap 'exit 130' INT TERM HUP

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER="$CMAKE_CXX_COMPILER_LAUNCHER"} \
        >"$cache/logs/configure.log"
fi

# suite LOG [CTEST-ARGS...]: runs the tests in a private session, adds what they print to LOG
# (the last run alone stays in $last); false when one failed.
suite() {
    local log=$1 status=0
    shift
    (cd "$build" && bash "$src/scripts/test-session.sh" \
        ctest -j2 --stop-on-failure --timeout 180 --output-on-failure "${only[@]}" "$@") >"$last" 2>&1 || status=$?
    cat "$last" >>"$log"
    return "$status"
}
# killers LOG: the tests that fail, nothing when all pass. A test that passes when run again
# failed for the machine's load, not for the fault: the whole suite then gets one more try.
killers() {
    local log=$1 failed
    for _ in 1 2; do
        suite "$log" && return
        failed=$(sed -n '/tests FAILED:/,$ s/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' "$last" |
            paste -sd ' ')
        if suite "$log" --rerun-failed; then
            echo "faults.sh: $failed passed when run again" >>"$log"
            continue
        fi
        echo "${failed:-?}"
        return
    done
}

# Faults are judged against a suite that passes without them.
started=$SECONDS
if ! cmake --build "$build" -j"$(nproc)" >"$cache/logs/unchanged.log" 2>&1; then
    echo "faults.sh: the unchanged tree does not build; see $cache/logs/unchanged.log" >&2
    exit 1
fi
by=$(killers "$cache/logs/unchanged.log")
if [ -n "$by" ]; then
    echo "faults.sh: without any fault, $by fail; see $cache/logs/unchanged.log" >&2
    exit 1
fi

killed=0 survived=0 broken=0
for patch in "${patches[@]}"; do
    name=$(basename "$patch" .patch)
    log=$cache/logs/$name.log
    if ! git -C "$src" apply "$patch" >"$log" 2>&1; then
        echo "BROKEN   $name  (does not apply)"
        broken=$((broken + 1))
        continue
    fi
    applied=$patch
    if ! cmake --build "$build" -j"$(nproc)" >>"$log" 2>&1; then
        echo "BROKEN   $name  (does not build)"
        broken=$((broken + 1))
    elif by=$(killers "$log") && [ -n "$by" ]; then
        echo "KILLED   $name  (by $by)"
        killed=$((killed + 1))
    else
        echo "SURVIVED $name"
        survived=$((survived + 1))
    fi
    git -C "$src" apply -R "$patch"
    applied=
done
echo "${#patches[@]} faults: $killed killed, $survived survived, $broken broken" \
    "($(((SECONDS - started) / 60)) min; logs in $cache/logs)"
