#!/usr/bin/env bash
# The recipes of the README and the operator's guide, run as an operator
# types them: every "tarvelo report" command they show on a line of its own
# (a leading "$ " dropped), and every "tarvelo run --exit-data" naming a log
# there. /var/log/tarvelo is a short directory of the test (the only change
# to a command: a log path and TRACEON must fit the 32-byte exit data), and
# each report recipe runs against the logs as they lie:
#   fresh     before the exit's first line: no log yet;
#   first     lines in the log, before its first rotation;
#   moved     just after a rotation (mv), before the next line;
#   rotated   after three: a compressed copy, the one before, the log.
# Each must end with status 0 (1 allowed with --fail-on, for a flagged
# channel), and what it reports must count every line of the set: JSON
# gives the lines read. Each run recipe must sign its channel on, writing
# its lines, trace lines too where it asks for trace, to the log it names.
# (mtail's recipes, which need mtail, Prometheus and root, run in
# scripts/ci-metrics.sh.)
# Usage: guide_recipes_test.sh TARVELO_PROGRAM SOURCE_DIR [ZLIB]
# ZLIB is OFF for a program built without zlib (a target whose zlib could
# not be had): the rotated copies are then left uncompressed, and the output
# says so.
set -euo pipefail
program=$1 source=$2 zlib=${3:-ON}
gz=.gz
if [ "$zlib" = OFF ]; then
  gz=""
  echo "this program reads no compressed log: the rotated copies stay uncompressed"
fi
work=$(mktemp -d /tmp/tvrXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

logs=$work/l
mkdir -p "$logs" "$work/bin" "$work/gen"
ln -s "$(realpath "$program")" "$work/bin/tarvelo"
export PATH="$work/bin:$PATH"

# As typed, with the log directory the test's.
local_paths() {
  sed -e "s|/var/log/tarvelo/|$logs/|g" <<<"$1"
}

recipes=()
for doc in "$source/README.md" "$source/docs/operators-guide.md"; do
  while IFS= read -r line; do
    recipes+=("$line")
  done < <(sed -n -e 's/^ *\$ //' -e 's/^ *\(tarvelo report .*\/var\/log\/tarvelo\/.*\)$/\1/p' "$doc" |
    grep -v -- '\[--' || true)
  while IFS= read -r line; do
    recipes+=("$line")
  done < <(grep -o '`tarvelo report [^`]*/var/log/tarvelo/[^`]*`' "$doc" | tr -d '`' || true)
done
[ ${#recipes[@]} -ge 5 ] || fail "only ${#recipes[@]} recipes found: ${recipes[*]}"
runs=()
for doc in "$source/README.md" "$source/docs/operators-guide.md"; do
  while IFS= read -r line; do
    runs+=("$line")
  done < <(sed -n 's/^ *\(tarvelo run .*--exit-data "\/var\/log\/tarvelo\/.*\)$/\1/p' "$doc")
done
[ ${#runs[@]} -ge 1 ] || fail "no tarvelo run recipe with a log found"

# Lines of the exit for each log, made by tarvelo load under a short path
# (the exit data holds 32 bytes) and appended.
add_lines() {
  local log
  for log in tarvelo qm1 qm2; do
    rm -f "$work/gen/x.log"
    tarvelo load --channels 20 --refuse-every 4 --log "$work/gen/x.log" >/dev/null ||
      fail "tarvelo load exited $?"
    cat "$work/gen/x.log" >>"$logs/$log.log"
  done
}
rotate() { # as logrotate with delaycompress names the copies
  local log n
  for log in tarvelo qm1 qm2; do
    for ((n = 9; n >= 2; n--)); do
      [ ! -f "$logs/$log.log.$n$gz" ] || mv "$logs/$log.log.$n$gz" "$logs/$log.log.$((n + 1))$gz"
    done
    [ ! -f "$logs/$log.log.1" ] || mv "$logs/$log.log.1" "$logs/$log.log.2"
    [ -z "$gz" ] || [ ! -f "$logs/$log.log.2" ] || gzip "$logs/$log.log.2"
    [ ! -f "$logs/$log.log" ] || mv "$logs/$log.log" "$logs/$log.log.1"
  done
}
# What the rotated set of a log holds.
set_count() { # LOG PATTERN
  local f total=0 n
  for f in "$logs/$1".log*; do
    [ -e "$f" ] || continue
    n=$(zcat -f "$f" | grep -c "$2" || true)
    total=$((total + n))
  done
  echo $total
}

run_recipes() {
  local state=$1 recipe command status out lines
  for recipe in "${recipes[@]}"; do
    command=$(local_paths "$recipe")
    status=0
    out=$(cd "$work" && umask 022 && bash -o pipefail -c "$command" 2>"$work/stderr") || status=$?
    if [ $status -ne 0 ] && ! { [ $status -eq 1 ] && [[ "$recipe" == *--fail-on* ]]; }; then
      fail "$state: \"$recipe\" exited $status: $(cat "$work/stderr")"
    fi
    if [[ "$recipe" == *"--format json --rotated /var/log/tarvelo/tarvelo.log" ]]; then
      lines=$(sed -n 's/^"lines": \([0-9]*\),.*/\1/p' <<<"$out")
      [ "$lines" = "$(set_count tarvelo '')" ] ||
        fail "$state: \"$recipe\" read $lines lines of $(set_count tarvelo '')"
    fi
  done
}

# Each run recipe signs on, and writes to the log it names, trace lines
# where it asks for them.
for recipe in "${runs[@]}"; do
  command=$(local_paths "$recipe")
  log=$(sed -n 's/.*--exit-data "\([^ "]*\).*/\1/p' <<<"$command")
  out=$(cd "$work" && bash -c "$command" 2>&1) || fail "\"$recipe\" exited $?: $out"
  [[ "$out" == *"signed on: both sides proved the password"* ]] || fail "\"$recipe\": $out"
  [ "$(grep -c ' TARVELO001I ' "$log")" -eq 1 ] || fail "\"$recipe\" wrote no start to $log"
  if [[ "$recipe" == *TRACEON* ]]; then
    grep -q ' Trace ....> ' "$log" || fail "\"$recipe\" wrote no trace line to $log"
  fi
  rm -f "$log"
done

run_recipes fresh
add_lines
run_recipes first
rotate
run_recipes moved
add_lines
rotate
add_lines
rotate
add_lines
[ -f "$logs/tarvelo.log.2$gz" ] && [ -f "$logs/tarvelo.log.1" ] && [ -f "$logs/tarvelo.log" ] ||
  fail "the rotated set is not as logrotate leaves it: $(ls "$logs")"
run_recipes rotated
echo "${#recipes[@]} report recipes, each before the first line, before the first rotation, just after one and after three; ${#runs[@]} run recipes"
