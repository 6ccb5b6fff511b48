#!/usr/bin/env bash
# The mutation stage: small faults put into exit/, auth/ and log/ one at a
# time (scripts/mutate.py, which says which and how they are chosen), each
# built and run against the fast suites. Fails on a survivor that
# scripts/mutants-equivalent.txt does not explain.
#
# To stay within CI's time, a fixed share of the mutants runs, chosen by the
# mutants' own text (TARVELO_MUTANTS_PERCENT, default below); the budget
# stops it in any case, saying how many were left.
set -euo pipefail
. "$(dirname "$0")/lib/ci.sh"

scripts/setup.sh python3 >/dev/null
percent=${TARVELO_MUTANTS_PERCENT:-15}
budget=${TARVELO_MUTANTS_BUDGET:-840}
status=0
nice -n 5 python3 scripts/mutate.py --percent "$percent" --budget "$budget" --jobs "$ci_jobs" |
  tee "$ci_root/build-mutation.txt" || status=$?
ci_note "mutation (${percent} % of the mutants, by SHA-1 of each): $(sed -n 's/^mutants: \(.* run of .*\)/\1/p' "$ci_root/build-mutation.txt")"
rm -f "$ci_root/build-mutation.txt"
exit $status
