#!/usr/bin/env bash
# The recipes of the README and the operator's guide, run as an operator
# types them: every "tarvelo report" command they show on a line of its own
# (a leading "$ " dropped), and the command tarvelo-report.service runs
# with each TARVELO_REPORT_ARGS the guide and /etc/default/tarvelo show.
# Debian's directories are made under a directory of the test (the only
# change to a command), and each recipe runs against the logs as they lie:
#   fresh     before the exit's first line: no log yet;
#   first     lines in the log, before its first rotation;
#   moved     just after a rotation (mv), before the next line;
#   rotated   after three: a compressed copy, the one before, the log.
# Each must end with status 0 (1 allowed with --fail-on, for a flagged
# channel), and what it reports must count every line of the set: a report
# written with --output has mode 0644, gives no series twice, as many
# starts as the set holds, and with --host a host label for each host; JSON
# gives the lines read.
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

root=$work/root
logs=$root/var/log/tarvelo
textfiles=$root/var/lib/prometheus/node-exporter
mkdir -p "$logs" "$textfiles" "$work/bin" "$work/gen"
ln -s "$(realpath "$program")" "$work/bin/tarvelo"
export PATH="$work/bin:$PATH"

# As typed, with Debian's directories under the test's root.
local_paths() {
  sed -e "s|/var/log/tarvelo/|$logs/|g" -e "s|/var/lib/prometheus/node-exporter/|$textfiles/|g" <<<"$1"
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
# What the service runs, with each setting shown.
exec_start=$(sed -n 's/^ExecStart=@TARVELO_PROGRAM@ //p' "$source/packaging/systemd/tarvelo-report.service.in")
[[ "$exec_start" == *' $TARVELO_REPORT_ARGS' ]] || fail "the service runs: $exec_start"
while IFS= read -r setting; do
  # shellcheck disable=SC2016 # the variable is the service's, expanded below
  recipes+=("TARVELO_REPORT_ARGS=$setting; tarvelo ${exec_start% \$TARVELO_REPORT_ARGS} \$TARVELO_REPORT_ARGS")
done < <(sed -n 's/^ *#* *TARVELO_REPORT_ARGS=\(".*"\)$/\1/p' "$source/docs/operators-guide.md" \
  "$source/packaging/examples/tarvelo-report.default" | sort -u)
[ ${#recipes[@]} -ge 8 ] || fail "only ${#recipes[@]} recipes found: ${recipes[*]}"

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
  local state=$1 recipe command status out prom starts want lines twice log host
  for recipe in "${recipes[@]}"; do
    command=$(local_paths "$recipe")
    rm -f "$textfiles/tarvelo.prom"
    status=0
    out=$(cd "$work" && umask 022 && bash -o pipefail -c "$command" 2>"$work/stderr") || status=$?
    if [ $status -ne 0 ] && ! { [ $status -eq 1 ] && [[ "$recipe" == *--fail-on* ]]; }; then
      fail "$state: \"$recipe\" exited $status: $(cat "$work/stderr")"
    fi
    if [[ "$recipe" == *--output* ]]; then
      prom=$textfiles/tarvelo.prom
      [ -f "$prom" ] || fail "$state: \"$recipe\" wrote no report"
      [ "$(stat -c %a "$prom")" = 644 ] || fail "$state: the report's mode is $(stat -c %a "$prom")"
      [ -z "$(find "$textfiles" -type f ! -name tarvelo.prom)" ] ||
        fail "$state: \"$recipe\" left $(ls "$textfiles")"
      # node_exporter refuses a whole text file that gives one series twice.
      twice=$(grep -v '^#' "$prom" | sed 's/ [^ ]*$//' | sort | uniq -d | head -n 3)
      [ -z "$twice" ] || fail "$state: \"$recipe\" gives series twice: $twice"
      starts=$(awk '/^tarvelo_channel_starts_total/ {s += $NF} END {print s + 0}' "$prom")
      want=0
      for log in tarvelo qm1 qm2; do
        if [[ "$recipe" == *"/var/log/tarvelo/$log.log"* ]]; then
          want=$((want + $(set_count "$log" 'TARVELO001I')))
        fi
      done
      [ "$starts" -eq "$want" ] || fail "$state: \"$recipe\" counted $starts starts of $want"
      if [[ "$recipe" == *--host* ]] && [ "$want" -gt 0 ]; then
        for host in QM1 QM2; do
          grep -q "^tarvelo_channel_starts_total{.*host=\"$host\"" "$prom" ||
            fail "$state: no series of host $host: $(head -n 5 "$prom")"
        done
      fi
    elif [[ "$recipe" == *"--format json --rotated /var/log/tarvelo/tarvelo.log" ]]; then
      lines=$(sed -n 's/^"lines": \([0-9]*\),.*/\1/p' <<<"$out")
      [ "$lines" = "$(set_count tarvelo '')" ] ||
        fail "$state: \"$recipe\" read $lines lines of $(set_count tarvelo '')"
    fi
  done
}

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
echo "${#recipes[@]} recipes, each before the first line, before the first rotation, just after one and after three"
