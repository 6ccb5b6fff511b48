#!/bin/sh
# Builds the benchmarks in Release (g++ unless CXX says otherwise) into a
# build directory of their own and runs md5_bench with repetitions in random
# order; the bench prints the medians and the ratios ours/OpenSSL at the end.
#   scripts/bench-md5.sh [build-dir] [extra md5_bench arguments...]
#   CXX=clang++ scripts/bench-md5.sh build-bench-clang
#   REPETITIONS=15 BUILD_TYPE=RelWithDebInfo scripts/bench-md5.sh
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
compiler=${CXX:-g++}
build=${1:-$root/build-bench-$(basename "$compiler")}
[ $# -gt 0 ] && shift
cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" \
    -DCMAKE_CXX_COMPILER="$compiler" \
    -DTARVELO_BUILD_BENCHMARKS=ON -DTARVELO_BUILD_TESTS=OFF -DTARVELO_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --target md5_bench
exec "$build/bench/md5_bench" \
    --benchmark_repetitions="${REPETITIONS:-9}" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_min_time="${MIN_TIME:-0.2}" \
    --benchmark_display_aggregates_only=true "$@"
