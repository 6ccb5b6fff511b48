#!/usr/bin/env bash
# Long fuzzing runs: each fuzzer for a given time, one after the other, then
# the coverage of the library's code reached by the corpus they grew.
#
#   scripts/fuzz.sh [SECONDS] [FUZZER...]     (default: 600 s, entry arithmetic report)
#
# Fuzzers run with AddressSanitizer and UndefinedBehaviorSanitizer, starting
# from fuzz/corpus/<name> and growing a working corpus in
# build-fuzz-run/corpus/<name> (kept between runs; the checked-in corpus is
# not touched unless FUZZ_MERGE=1, which merges the new inputs that add
# coverage into fuzz/corpus/<name>). Findings land in
# build-fuzz-run/artifacts/. Coverage is measured by replaying the working
# corpus through a build with clang's source-based coverage; the report
# covers exit/, auth/ and log/ as they are in the shipped library, and
# tools/report/ for the report target.
# FUZZ_MAX_LEN (default 512) caps the input size: an entry input of 512
# bytes already holds the longest call sequence the fuzzer plays.
# Exits non-zero when a fuzzer finds something.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-600}
shift || true
fuzzers=("$@")
[ ${#fuzzers[@]} -gt 0 ] || fuzzers=(entry arithmetic report)

scripts/setup.sh clang llvm libclang-rt-14-dev libssl-dev >/dev/null

run_dir=$root/build-fuzz-run
cov_dir=$root/build-fuzz-cov
CC=clang CXX=clang++ cmake -S . -B "$run_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARVELO_BUILD_TESTS=OFF -DTARVELO_BUILD_FUZZERS=ON \
  -DTARVELO_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
ninja -C "$run_dir" -j2 $(printf '%s_fuzzer ' "${fuzzers[@]}") >/dev/null

cov_flags="-fprofile-instr-generate -fcoverage-mapping"
CC=clang CXX=clang++ cmake -S . -B "$cov_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS="$cov_flags" -DCMAKE_CXX_FLAGS="$cov_flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$cov_flags" -DCMAKE_SHARED_LINKER_FLAGS="$cov_flags" \
  -DTARVELO_BUILD_TESTS=ON >/dev/null
ninja -C "$cov_dir" -j2 tarvelo $(printf '%s_replay ' "${fuzzers[@]}") >/dev/null

status=0
summary=()
for name in "${fuzzers[@]}"; do
  corpus=$run_dir/corpus/$name
  artifacts=$run_dir/artifacts
  log=$run_dir/$name.log
  mkdir -p "$corpus" "$artifacts"
  echo "== $name: fuzzing for $seconds s (log: $log)"
  # -close_fd_mask=2: the exit's complaints about unopenable log files stay
  # out of the log; libFuzzer and the sanitizers still report on stderr.
  if ! "$run_dir/fuzz/${name}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
      -close_fd_mask=2 -artifact_prefix="$artifacts/$name-" -timeout=10 -rss_limit_mb=2048 -max_len="${FUZZ_MAX_LEN:-512}" \
      "$corpus" "fuzz/corpus/$name" >"$log" 2>&1; then
    echo "!! $name found something:"
    grep -E "ERROR|property does not hold|SUMMARY|Test unit written" "$log" | head -20
    status=1
  fi
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  edges=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  units=$(find "$corpus" -type f | wc -l)
  echo "   executions: ${executed:-?} (${rate:-?}/s), $edges, working corpus: $units inputs"

  if [ "${FUZZ_MERGE:-0}" = 1 ]; then
    "$run_dir/fuzz/${name}_fuzzer" -merge=1 -close_fd_mask=2 "fuzz/corpus/$name" "$corpus" \
      >"$run_dir/$name.merge.log" 2>&1
    echo "   merged into fuzz/corpus/$name: $(find "fuzz/corpus/$name" -type f | wc -l) inputs"
  fi

  # Coverage: the replay executable over the working corpus and the seeds.
  profiles=$cov_dir/profiles/$name
  rm -rf "$profiles"
  mkdir -p "$profiles"
  LLVM_PROFILE_FILE="$profiles/%m-%p.profraw" \
    "$cov_dir/fuzz/${name}_replay" "$corpus" "fuzz/corpus/$name" >/dev/null 2>&1 || true
  llvm-profdata merge -sparse "$profiles"/*.profraw -o "$profiles/merged.profdata"
  # The entry fuzzer reaches the code through the shipped library; the
  # arithmetic fuzzer links the same sources.
  if [ "$name" = entry ]; then
    object=$cov_dir/libtarvelo.so
  else
    object=$cov_dir/fuzz/${name}_replay
  fi
  echo "   coverage of the library's code ($(basename "$object")):"
  sources=("$root/exit" "$root/auth" "$root/log")
  [ "$name" != report ] || sources=("$root/tools/report" "$root/log")
  llvm-cov report "$object" -instr-profile="$profiles/merged.profdata" \
    "${sources[@]}" | sed 's/^/     /'
  summary+=("$name: ${executed:-?} executions, $edges")
done

echo "== summary"
printf '   %s\n' "${summary[@]}"
exit $status
