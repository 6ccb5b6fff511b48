#!/usr/bin/env bash
# The mutation stage: small faults put into exit/, auth/ and log/ one at a
# time (scripts/mutate.py, which says which and how they are chosen), each
# built and run against the fast suites. Fails on a survivor that
# scripts/mutants-equivalent.txt does not explain.
#
# To stay within CI's time (with the coverage stage, about 15 minutes on a
# two-processor machine), a fixed sample of the mutants runs: a mutant runs
# when the SHA-1 of its key ("FILE | MUTATION | LINE"), as a number, modulo
# 100 is below TARVELO_MUTANTS_PERCENT (default 5: about 45 of some 930).
# The sample depends on the mutants' own text only, so every commit runs the
# same ones and an edit changes only those of the lines it touches. The
# budget (TARVELO_MUTANTS_BUDGET seconds, the unmutated build included)
# stops it in any case; the mutants left are reported as not run, beside
# killed, survived, timed out and did not compile.
set -euo pipefail
. "$(dirname "$0")/lib/ci.sh"

scripts/setup.sh python3 >/dev/null
percent=${TARVELO_MUTANTS_PERCENT:-5}
budget=${TARVELO_MUTANTS_BUDGET:-660}
status=0
# The unmutated build and every mutant's through the compiler cache: the
# sample is the same from run to run, and so are its mutants' objects.
ci_ccache
nice -n 5 env "${ci_launcher[@]#-D}" python3 scripts/mutate.py --percent "$percent" --budget "$budget" --jobs "$ci_jobs" |
  tee "$ci_root/build-mutation.txt" || status=$?
ci_note "mutation (${percent} % of the mutants, by SHA-1 of each): $(sed -n 's/^mutants: \(.* run of .*\)/\1/p' "$ci_root/build-mutation.txt")"
rm -f "$ci_root/build-mutation.txt"
ci_step_done "mutants (a budget of $budget s)" fixed
exit $status
