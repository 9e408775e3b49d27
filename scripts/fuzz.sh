#!/usr/bin/env bash
# Builds the libFuzzer harnesses under fuzz/ with clang 16 into build-fuzz/ (or
# $CREDITGAUGE_FUZZ_BUILD_DIR) and runs each for $CREDITGAUGE_FUZZ_SECONDS (60) seconds, two at a
# time, starting from its seed corpus in fuzz/corpus/. Fails on a crash, undefined behaviour, a
# leak, an input that takes over 2 s, a single allocation over 256 MB or a process over 2 GB; the
# input that did it is left in the build folder's artifacts/. Prints the executions each harness
# reached.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CREDITGAUGE_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${CREDITGAUGE_FUZZ_SECONDS:-60}

bash "$root/scripts/install-deps.sh" run test
cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-16 >/dev/null
cmake --build "$build" --parallel "$(nproc)"

harnesses=(fuzz_responses fuzz_appcast fuzz_format fuzz_version_order)
# AddressSanitizer holds 256 MB of freed memory back by default to catch late uses; 16 MB still
# catches them here. The process still grows by a few MB a second while the live heap stays near
# 25 MB: the sanitizer keeps every distinct allocation stack it has seen, and the JSON parser's
# recursion through arrays and objects nested in ever new orders keeps making new ones (300 MB
# after 75 s here, over 512 MB on a faster machine). The 2 GB ceiling leaves room for that; the
# per-allocation limit is what catches an input that asks for too much at once.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}
mkdir -p "$build/artifacts"
run() {
    local name=$1 corpus=$build/corpus/$1
    mkdir -p "$corpus"
    # The first folder collects what the run finds; the seeds in the tree are only read.
    "$build/$name" -max_total_time="$seconds" -timeout=2 -rss_limit_mb=2048 -malloc_limit_mb=256 -detect_leaks=1 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
        "$corpus" "$root/fuzz/corpus/$name" >"$build/$name.log" 2>&1
}

status=0
for ((i = 0; i < ${#harnesses[@]}; i += 2)); do
    pids=()
    for name in "${harnesses[@]:i:2}"; do
        run "$name" &
        pids+=($!)
    done
    for j in "${!pids[@]}"; do
        name=${harnesses[i + j]}
        if wait "${pids[j]}"; then
            runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$name.log")
            printf '%-20s %12s executions in %s s\n' "$name" "$runs" "$seconds"
        else
            echo "FAIL $name:"
            grep -E 'ERROR|SUMMARY|Test unit written|==[0-9]+==' "$build/$name.log" | head -n 20
            status=1
        fi
    done
done
exit "$status"
