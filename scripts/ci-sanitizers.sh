#!/usr/bin/env bash
# The whole test suite under the checkers, each in its own build directory:
#   asan      AddressSanitizer with UndefinedBehaviorSanitizer and leak
#             checking, then a short libFuzzer run (clang) of each fuzz target
#             from the checked-in corpus;
#   tsan      ThreadSanitizer: the concurrency and stress tests included;
#   valgrind  memcheck over every test program of a plain build, with zero
#             bytes lost (definitely, indirectly or possibly) and no error.
# Fails on any finding.
#
#   scripts/ci-sanitizers.sh [asan|tsan|valgrind ...]   (default: all three)
#
# The checkers' builds carry line tables alone (ci_line_tables): a finding
# is reported with its file and line, and the compiles take less time.
#
# FUZZ_SECONDS (default 30) is the time each fuzzer gets in the asan stage;
# 0 skips the fuzzing.
set -euo pipefail
. "$(dirname "$0")/lib/ci.sh"
root=$ci_root
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(asan tsan valgrind)
fuzz_seconds=${FUZZ_SECONDS:-30}

scripts/setup.sh clang libclang-rt-14-dev libssl-dev valgrind libasan8 libubsan1 libtsan2 >/dev/null

configure() { # <dir> <cmake args...>
  local dir=$1
  shift
  ci_configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" && ci_build "$dir"
}

run_ctest() { # <dir> [ctest args...]
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure -j "$ci_jobs" "$@"
}

stage_asan() {
  local dir=$root/build-san-asan
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  # The suite with the project's own compiler; the fuzzers with clang.
  configure "$dir" -DTARVELO_SANITIZE=address,undefined "${ci_line_tables[@]}" || return 1
  ci_step_done "asan: build"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest "$dir" || return 1
  ci_step_done "asan: suite" fixed

  # A short run of each fuzzer from the corpus; the long runs are
  # scripts/fuzz.sh. New inputs go to a scratch corpus, never to fuzz/.
  if [ "$fuzz_seconds" -eq 0 ]; then
    echo "-- no fuzzing (FUZZ_SECONDS=0)"
    return 0
  fi
  dir=$root/build-san-fuzz
  CC=clang CXX=clang++ configure "$dir" -DTARVELO_SANITIZE=address,undefined,fuzzer-no-link \
    "${ci_line_tables[@]}" -DTARVELO_BUILD_FUZZERS=ON -DTARVELO_BUILD_TESTS=OFF || return 1
  ci_step_done "fuzzers: build"
  # As many at once as there are processors (ci_jobs): each fuzzer has one
  # of its own for its whole time, as it would alone.
  local name work names=() found=0
  for fuzzer in "$dir"/fuzz/*_fuzzer; do
    [ -x "$fuzzer" ] || { echo "!! no fuzz targets were built in $dir"; return 1; }
    name=$(basename "$fuzzer" _fuzzer)
    work=$dir/fuzz-work/$name
    rm -rf "$work"
    mkdir -p "$work/corpus"
    while [ "$(jobs -rp | wc -l)" -ge "$ci_jobs" ]; do wait -n || true; done
    echo "-- fuzzing $name for $fuzz_seconds s"
    names+=("$name")
    (
      status=0
      "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=1 -close_fd_mask=2 \
        -timeout=10 -artifact_prefix="$work/" "$work/corpus" "fuzz/corpus/$name" \
        >"$work/log" 2>&1 || status=$?
      echo "$status" >"$work/status"
    ) &
  done
  wait
  for name in "${names[@]}"; do
    work=$dir/fuzz-work/$name
    if [ "$(cat "$work/status" 2>/dev/null)" != 0 ]; then
      grep -E "ERROR|property does not hold|SUMMARY|Test unit written" "$work/log" | head -20
      echo "!! $name found something; the input is in $work/"
      found=1
      continue
    fi
    echo "$name:"
    grep -E "^stat::number_of_executed_units|^stat::average_exec_per_sec" "$work/log"
  done
  [ $found -eq 0 ] || return 1
  ci_step_done "fuzzing, $fuzz_seconds s each, ${ci_jobs} at once" fixed
}

stage_tsan() {
  local dir=$root/build-san-tsan
  echo "== ThreadSanitizer"
  configure "$dir" -DTARVELO_SANITIZE=thread "${ci_line_tables[@]}" || return 1
  ci_step_done "tsan: build"
  # The C library's time zone code races only in ThreadSanitizer's eyes:
  # see the suppressions file.
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan-suppressions.txt" \
    run_ctest "$dir" || return 1
  ci_step_done "tsan: suite" fixed
}

stage_valgrind() {
  local dir=$root/build-san-valgrind
  local logs=$dir/valgrind
  echo "== valgrind memcheck"
  # Every test command that names a test program runs under valgrind
  # (add_test and gtest discovery prepend the emulator).
  local memcheck="valgrind;--tool=memcheck;--error-exitcode=99;--leak-check=full"
  memcheck+=";--show-leak-kinds=definite,indirect,possible"
  memcheck+=";--errors-for-leak-kinds=definite,indirect,possible"
  memcheck+=";--log-file=$logs/%p.log"
  rm -rf "$logs"
  mkdir -p "$logs"
  # The secret-path test runs valgrind itself; ON makes its absence an error.
  # Neither option changes what is compiled: the build's objects are the
  # package stage's build/ (the README's), found in the compiler cache.
  configure "$dir" -DCMAKE_CROSSCOMPILING_EMULATOR="$memcheck" -DTARVELO_MEMCHECK_SECRETS=ON || return 1
  ci_step_done "valgrind: build"
  # The allocator that fails on purpose is preloaded; valgrind brings its own.
  run_ctest "$dir" -E '^AllocationFailure\.WithFailingAllocator$' || return 1
  ci_step_done "valgrind: memcheck over every test program" fixed

  # The exit code says "no error"; the logs say how much was lost.
  local runs lost
  runs=$(grep -l "ERROR SUMMARY" "$logs"/*.log | wc -l)
  lost=$(grep -hE "(definitely|indirectly|possibly) lost: [1-9]" "$logs"/*.log || true)
  if [ "$runs" -eq 0 ] || grep -qE "ERROR SUMMARY: [1-9]" "$logs"/*.log || [ -n "$lost" ]; then
    grep -lE "ERROR SUMMARY: [1-9]|lost: [1-9]" "$logs"/*.log
    echo "!! valgrind found errors or lost bytes"
    return 1
  fi
  echo "valgrind: $runs test processes, 0 errors, 0 bytes lost"
}

# Every stage runs, so that one run shows every finding; each step inside a
# stage returns at its first failure.
failed=()
for stage in "${stages[@]}"; do
  case $stage in
  asan | tsan | valgrind) "stage_$stage" || failed+=("$stage") ;;
  *)
    echo "unknown stage: $stage" >&2
    exit 2
    ;;
  esac
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "sanitizers: FAILED: ${failed[*]}"
  exit 1
fi
echo "sanitizers: all stages passed (${stages[*]})"
