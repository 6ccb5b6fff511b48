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
# report_bench measures "tarvelo report" in lines per second; then the
# program itself reads a generated 1 GiB log under /tmp (removed after),
# beside cat and wc -l of the same file (REPORT_FILE=0 skips that).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench-release}
[ $# -gt 0 ] && shift

"$root/scripts/setup.sh" libbenchmark-dev libssl-dev
cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" \
    -DTARVELO_BUILD_BENCHMARKS=ON -DTARVELO_BUILD_TESTS=OFF -DTARVELO_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j2 --target exit_bench md5_bench report_bench tarvelo_tool

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

# "tarvelo report" over a 1 GiB log, each run beside cat and wc -l of the
# same file (read from the page cache, so the baseline is the fastest a
# disk can be), with the load on the machine at the time.
report_file() {
    local free_kib log
    free_kib=$(df -Pk /tmp | awk 'NR == 2 { print $4 }')
    if [ "$free_kib" -lt $((2 * 1024 * 1024)) ]; then
        echo "(less than 2 GiB free under /tmp: the 1 GiB log is not written)"
        return
    fi
    log=$(mktemp /tmp/tarvelo-report-XXXXXX.log)
    # shellcheck disable=SC2064 # the name is fixed now: removed however the script ends
    trap "rm -f '$log'" EXIT
    "$build/bench/report_bench" --write-log="$log" --bytes=$((1 << 30))
    cat "$log" >/dev/null
    local TIMEFORMAT='%R s elapsed, %U s user, %S s system'
    for round in 1 2 3; do
        echo "-- round $round, $(uptime | sed 's/.*load/load/')"
        printf '%-32s' "cat >/dev/null"
        time cat "$log" >/dev/null
        printf '%-32s' "wc -l"
        time wc -l "$log" >/dev/null
        printf '%-32s' "tarvelo report --format json"
        time run "$build/tools/tarvelo" report --format json "$log" >/dev/null
    done
    rm -f "$log"
}

if [ -x "$build/bench/report_bench" ] && [ -z "${EXIT_ONLY:-}" ]; then
    echo
    echo "== report_bench (goal: at least 1 million lines per second)"
    run "$build/bench/report_bench" \
        --benchmark_repetitions="${REPETITIONS:-9}" \
        --benchmark_enable_random_interleaving=true \
        --benchmark_min_time="${MIN_TIME:-0.2}" \
        --benchmark_display_aggregates_only=true
    if [ "${REPORT_FILE:-1}" != 0 ]; then
        echo
        echo "== tarvelo report over a 1 GiB log"
        report_file 2>&1
    fi
fi
