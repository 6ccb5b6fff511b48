#!/usr/bin/env bash
# Static checks, failing on any finding:
#   clang-tidy   with .clang-tidy (tests/ and tools/ refine it) over every
#                translation unit the build compiles for this machine, each
#                read again only when something it reads changed since a
#                clean read (scripts/clang_tidy_cached.py, the CI cache);
#   clang-format with .clang-format over every tracked C and C++ file.
#
#   scripts/ci-static.sh [tidy|format ...]   (default: both)
#
# To fix formatting: git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
. "$(dirname "$0")/lib/ci.sh"
root=$ci_root
checks=("$@")
[ ${#checks[@]} -gt 0 ] || checks=(tidy format)

scripts/setup.sh clang clang-tidy clang-format libssl-dev >/dev/null

check_tidy() {
  local dir=$root/build-static
  echo "== clang-tidy"
  local options=(-DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTARVELO_BUILD_TESTS=ON -DTARVELO_BUILD_TOOLS=ON)
  # The benchmarks too, where Google Benchmark is installed.
  if dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q "install ok installed"; then
    options+=(-DTARVELO_BUILD_BENCHMARKS=ON)
  else
    echo "(libbenchmark-dev not installed: bench/ not checked)"
  fi
  # Nothing is compiled here: no compiler launcher in compile_commands.json.
  CC=clang CXX=clang++ ci_configure "$dir" "${options[@]}" -DCMAKE_C_COMPILER_LAUNCHER= \
    -DCMAKE_CXX_COMPILER_LAUNCHER= || return 1
  # Each unit read without a finding is kept in the CI cache by the hash of
  # all it read (scripts/clang_tidy_cached.py), and not read again.
  local log=$dir/clang-tidy.log summary status=0 cache="" units read_now
  [ -z "$ci_cache" ] || cache=$ci_cache/clang-tidy
  python3 "$root/scripts/clang_tidy_cached.py" "$dir" "$root" --cache "$cache" --jobs "$ci_jobs" \
    --log "$log" >"$dir/clang-tidy.findings" || status=$?
  summary=$(tail -n 1 "$dir/clang-tidy.findings")
  if [ $status -ne 0 ]; then
    cat "$dir/clang-tidy.findings"
    echo "!! clang-tidy: findings above (full output: $log)"
    return 1
  fi
  echo "$summary, no finding"
  if [ -n "$cache" ]; then
    read -r units read_now <<<"$(sed -E 's/^clang-tidy: ([0-9]+) translation units, ([0-9]+) read.*/\1 \2/' <<<"$summary")"
    ci_cache_use $((units - read_now)) "$units" "clang-tidy's clean reads"
  fi
}

check_format() {
  echo "== clang-format"
  local files bad=()
  mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
  for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
  done
  if [ ${#bad[@]} -gt 0 ]; then
    printf '   %s\n' "${bad[@]}"
    echo "!! clang-format: ${#bad[@]} of ${#files[@]} files differ from .clang-format"
    return 1
  fi
  echo "clang-format: ${#files[@]} files, all formatted"
}

status=0
for check in "${checks[@]}"; do
  case $check in
  tidy | format) "check_$check" || status=1 ;;
  *)
    echo "unknown check: $check" >&2
    exit 2
    ;;
  esac
done
exit $status
