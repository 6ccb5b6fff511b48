#!/usr/bin/env bash
# Branch coverage of the exit's code, joined over every suite that calls it:
# a clang build with source-based coverage, the whole CTest suite run once
# (unit, exit, the preloaded allocator, stress, tool and the fuzz corpus
# replays; not the install tests, which only copy the same programs, nor the
# memcheck of the secret path, nor the check of the libraries the exit needs,
# which the profile runtime's own needs would fail), every run's profile
# merged.
#
# Then, for each file of exit/, auth/, log/ and os/: regions, lines and
# branches covered (scripts/coverage_report.py). Fails on a branch side left
# untaken that scripts/coverage-uncovered.txt does not explain, and on an
# entry there that is now taken, and on a directory below its goal: every
# branch of exit/ and auth/, 95 % of those of log/ and os/, counting the
# sides a test can take (those the list explains as never taken here, such
# as the other byte order's side, are left out of the count; both figures
# are printed).
#
# The exit's code is counted where it runs as the exit (libtarvelo.so, in
# whichever test process loaded it) and where the unit tests and the
# arithmetic replay call it directly; the stand-in partner's own copy of the
# digest does not count as a test of it.
set -euo pipefail
. "$(dirname "$0")/lib/ci.sh"
dir=$ci_root/build-coverage

scripts/setup.sh clang llvm-14 libclang-rt-14-dev >/dev/null
ci_step_done "install"

# Atomic counters: the stress and concurrency tests run the exit on many
# threads at once, and plain increments lost there leave the counts that
# are derived by subtraction (the true side of the left of an ||, say) off
# by a few, even at zero for a side that a test takes. They are asked for
# as the option that the driver's -fprofile-update=atomic sets, which the
# compiler cache (ci_ccache) takes, where it refuses the driver's.
#
# For the compiler cache, too: the profile's default file is a fixed one,
# /dev/null (every test process is given LLVM_PROFILE_FILE below; one that
# clears its environment wrote default.profraw in its directory before,
# which no report read either), and the coverage mapping names the
# directory it was compiled in as a fixed one, /tarvelo-coverage/build,
# which the report below turns into this checkout. Both would otherwise be
# this clone's path, and no other clone would find the build in the cache.
mapped=/tarvelo-coverage/build
flags="-fprofile-instr-generate=/dev/null -fcoverage-mapping -mllvm -instrprof-atomic-counter-update-all"
flags+=" -fcoverage-compilation-dir=$mapped"
# Debug's -O0 without its -g: the report reads the coverage mapping, never
# the debug information, and the compiles take less time without it.
CC=clang-14 CXX=clang++-14 ci_configure "$dir" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate \
  -DCMAKE_SHARED_LINKER_FLAGS=-fprofile-instr-generate
ci_build "$dir"
ci_step_done "build"

# %m: one pool of files for each program or library, merged into as each
# process ends (and as the exit is unloaded), so that thousands of test
# processes leave a few files.
profiles=$dir/profiles
rm -rf "$profiles"
mkdir -p "$profiles"
# The hosts that the stress suite forks end with _exit: preloaded, this
# ends them through exit, so that their counts are written too.
clang-14 -shared -fPIC -O1 -o "$dir/libprofile_on_exit.so" scripts/lib/profile_on_exit.c
# As root (through sudo where need be): the planted-log rows give files
# away to another user.
ci_as_root env LLVM_PROFILE_FILE="$profiles/%4m.profraw" LD_PRELOAD="$dir/libprofile_on_exit.so" \
  ctest --test-dir "$dir" --output-on-failure -j "$ci_jobs" \
  -E '^(Install\.|SecretsUnderMemcheck\.|Library\.NeedsOnlyTheCLibrary$)' >"$dir/ctest.log" 2>&1 || {
  tail -n 60 "$dir/ctest.log"
  echo "!! the suite failed in the coverage build (whole output: $dir/ctest.log)"
  exit 1
}
tail -n 3 "$dir/ctest.log"
ci_step_done "suite" fixed

llvm-profdata-14 merge -sparse "$profiles"/*.profraw -o "$dir/merged.profdata"
objects=("$dir/libtarvelo.so" -object "$dir/tests/unit_tests")
[ ! -x "$dir/fuzz/arithmetic_replay" ] || objects+=(-object "$dir/fuzz/arithmetic_replay")
# Files the compiler was handed relative to the build directory (through
# the compiler cache) are named from the mapped directory: named again as
# the files of this checkout.
llvm-cov-14 export -format=text -instr-profile="$dir/merged.profdata" "${objects[@]}" \
  -path-equivalence="$mapped/..,$ci_root" \
  "$ci_root/exit" "$ci_root/auth" "$ci_root/log" "$ci_root/os" |
  sed -e "s|\"$mapped/\\.\\./|\"$ci_root/|g" -e "s|\"$mapped/|\"$dir/|g" >"$dir/coverage.json"
status=0
python3 scripts/coverage_report.py "$dir/coverage.json" "$ci_root" \
  scripts/coverage-uncovered.txt | tee "$dir/report.txt" || status=$?
ci_note "coverage: $(sed -n 's/^summary: //p' "$dir/report.txt")"
ci_step_done "report"
exit $status
