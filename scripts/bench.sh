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
# beside cat and wc -l of the same file (REPORT_FILE=0 skips that), after
# the million-channel log (its peak memory and lines per second).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench-release}
[ $# -gt 0 ] && shift

"$root/scripts/setup.sh" libbenchmark-dev libssl-dev time
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

# "tarvelo report" over the million-channel log: a million channels, each
# started at 03:00:00, and a TARVELO003W a second later on every second one
# (1.5 million lines; every channel left without a close, so every one is
# flagged). The goals: at most 200 MiB at the peak in every format, and at
# least a million lines per second for the whole program. The peak resident
# size and the times come from /usr/bin/time; the load on the machine is
# shown beside them.
million_channels() {
    local log
    log=$(mktemp /tmp/tarvelo-million-XXXXXX.log)
    # shellcheck disable=SC2064 # the name is fixed now: removed however the script ends
    trap "rm -f '$log'" EXIT
    awk 'BEGIN {
        for (i = 1; i <= 1000000; i++)
            printf "Wed Dec  9 03:00:00 2026 TARVELO001I - KOR Security Exit Started Channel => %-20s\n", sprintf("TO.P%07d", i)
        for (i = 2; i <= 1000000; i += 2)
            printf "Wed Dec  9 03:00:01 2026 TARVELO003W - KOR Password Violation channel => %-20s\n", sprintf("TO.P%07d", i)
    }' >"$log"
    local lines format
    lines=$(wc -l <"$log")
    for format in text json prometheus; do
        echo "-- --format $format, $(uptime | sed 's/.*load/load/')"
        run /usr/bin/time -f "%M %e %U %S" -o "$log.time" \
            "$build/tools/tarvelo" report --format "$format" "$log" >/dev/null
        read -r kib elapsed user system <"$log.time"
        awk -v kib="$kib" -v e="$elapsed" -v u="$user" -v s="$system" -v n="$lines" 'BEGIN {
            printf "peak %.0f MiB (goal: at most 200); %.2f s elapsed, %.2f s user, %.2f s system: %.2f million lines/s elapsed, %.2f of processor time\n",
                kib / 1024, e, u, s, n / e / 1e6, n / (u + s) / 1e6 }'
    done
    rm -f "$log" "$log.time"
}

if [ -x "$build/bench/report_bench" ] && [ -z "${EXIT_ONLY:-}" ]; then
    echo
    echo "== report_bench (goal: at least 1 million lines per second)"
    run "$build/bench/report_bench" \
        --benchmark_repetitions="${REPETITIONS:-9}" \
        --benchmark_enable_random_interleaving=true \
        --benchmark_min_time="${MIN_TIME:-0.2}" \
        --benchmark_display_aggregates_only=true
    echo
    echo "== tarvelo report over the million-channel log"
    million_channels 2>&1
    if [ "${REPORT_FILE:-1}" != 0 ]; then
        echo
        echo "== tarvelo report over a 1 GiB log"
        report_file 2>&1
    fi
fi
