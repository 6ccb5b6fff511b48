#!/usr/bin/env bash
# Static checks, failing on any finding:
#   clang-tidy   with .clang-tidy (tests/ and tools/ refine it) over every
#                translation unit the build compiles for this machine;
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
  CC=clang CXX=clang++ ci_configure "$dir" "${options[@]}" || return 1
  local units
  units=$(grep -c '"file":' "$dir/compile_commands.json")
  local log=$dir/clang-tidy.log
  if ! run-clang-tidy -p "$dir" -j "$ci_jobs" -quiet >"$log" 2>&1; then
    sed 's/\x1b\[[0-9;]*m//g' "$log" | grep -E "(warning|error):" | sort -u
    echo "!! clang-tidy: findings above (full output: $log)"
    return 1
  fi
  echo "clang-tidy: $units translation units, no finding"
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
