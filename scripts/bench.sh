#!/usr/bin/env bash
# Builds the exit in Release with the benchmarks into a build directory of its
# own and runs exit_bench: every figure beside its baseline in one process,
# repetitions in random order, then each ratio (medians) against its goal.
# Runs md5_bench too when it is there.
#   scripts/bench.sh [build-dir] [extra benchmark arguments...]
#   REPETITIONS=15 MIN_TIME=0.5 scripts/bench.sh
#   BUILD_TYPE=RelWithDebInfo scripts/bench.sh build-bench-shipped
#   TOP_PRIORITY=1 scripts/bench.sh     # as root: the benchmarks' own session
#                                        # gets the processors first, so that
#                                        # other work on the machine (builds,
#                                        # fuzzers) does not take the second core
# The growth benchmark writes a 1 GiB log file (and a sparse one) under /tmp
# and removes them at the end; it is skipped when the disk lacks 3 GiB.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench-release}
[ $# -gt 0 ] && shift

"$root/scripts/setup.sh" libbenchmark-dev libssl-dev
cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" \
    -DTARVELO_BUILD_BENCHMARKS=ON -DTARVELO_BUILD_TESTS=OFF -DTARVELO_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j2 --target exit_bench md5_bench

# Runs a benchmark, in its own session at the highest priority when asked.
run() {
    if [ -n "${TOP_PRIORITY:-}" ]; then
        setsid -w sh -c 'echo -20 2>/dev/null >/proc/self/autogroup ||
                           echo "(top priority refused: normal priority)" >&2
                         exec nice -n -20 "$@"' sh "$@"
    else
        "$@"
    fi
}

echo "== exit_bench ($(grep -m1 CMAKE_BUILD_TYPE: "$build/CMakeCache.txt" | cut -d= -f2))"
run "$build/bench/exit_bench" \
    --benchmark_repetitions="${REPETITIONS:-9}" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_min_time="${MIN_TIME:-0.2}" \
    --benchmark_display_aggregates_only=true "$@"

if [ -x "$build/bench/md5_bench" ] && [ -z "${EXIT_ONLY:-}" ]; then
    echo
    echo "== md5_bench"
    run "$build/bench/md5_bench" \
        --benchmark_repetitions="${REPETITIONS:-9}" \
        --benchmark_enable_random_interleaving=true \
        --benchmark_min_time="${MIN_TIME:-0.2}" \
        --benchmark_display_aggregates_only=true
fi
