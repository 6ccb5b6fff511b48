#!/usr/bin/env bash
# What the .deb gives operators, checked with Debian's own tools; called by
# scripts/ci-package.sh with the .deb, after installing logrotate and
# prometheus (for promtool):
#   mtail      /etc/mtail/tarvelo.mtail is the package's one conffile, and
#              the maintainer scripts stop no service of their own but the
#              retired report timer;
#   alerts     the alert rules pass promtool check rules and their unit tests,
#              promtool test rules, with a test for every alert; the scrape
#              job, with the rules, passes promtool check config;
#   logrotate  the example configuration names no user and replaces the
#              log itself, never by logrotate's rename or create; aimed at a
#              directory of the test, it rotates the log several times,
#              forced, while tarvelo load writes to it: every line load wrote
#              is in the rotated set (the .gz members included), once, every
#              line is whole, nothing was moved out of the set, the log is
#              there after each rotation with the rotated one's mode, and
#              tarvelo report --rotated reads every line of it.
# mtail following the log through the same rotations, and Prometheus
# alerting on it, are scripts/ci-metrics.sh's.
# Usage: ci-ops-examples.sh DEB
set -euo pipefail
deb=$(realpath "$1")
cd "$(dirname "$0")/.."
work=$(mktemp -d /tmp/tvXXXX) # short: the log path must fit the exit data
trap 'rm -rf "$work"' EXIT
status=0
fail() {
  echo "!! $*"
  status=1
}

root=$work/root
dpkg-deb -x "$deb" "$root"
examples=$root/usr/share/doc/tarvelo/examples

echo "-- the package's conffiles and maintainer scripts"
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = /etc/mtail/tarvelo.mtail ] ||
  fail "the conffiles: $(cat "$work/control/conffiles")"
[ -f "$root/etc/mtail/tarvelo.mtail" ] || fail "no /etc/mtail/tarvelo.mtail in the .deb"
# Only the retired timer is stopped, and no unit is enabled or started.
if grep -hE 'deb-systemd-(invoke|helper)' "$work/control"/*inst "$work/control"/*rm |
  grep -vE 'tarvelo-report\.(timer|service)|mtail\.service|command -v' | grep -q .; then
  fail "a maintainer script acts on a unit other than the retired timer and mtail"
fi
! grep -qE 'deb-systemd-helper (enable|unmask)|deb-systemd-invoke (start|restart)|systemctl ' "$work/control"/*inst ||
  fail "a maintainer script enables or starts a unit"
echo "conffile /etc/mtail/tarvelo.mtail; maintainer scripts: $(cd "$work/control" && echo *inst *rm)"

echo "-- $(promtool --version 2>&1 | head -n 1): promtool check rules, test rules"
if ! (cd "$examples" && promtool check rules tarvelo-alerts.yml && promtool test rules tarvelo-alerts.test.yml); then
  fail "the alert rules or their tests"
fi
alerts=$(sed -n 's/^ *- alert: //p' "$examples/tarvelo-alerts.yml")
[ "$(wc -w <<<"$alerts")" -ge 8 ] || fail "only these alerts: $alerts"
for rule in $alerts; do
  grep -q "alertname: $rule\$" "$examples/tarvelo-alerts.test.yml" || fail "no test of the alert $rule"
done
# The scrape job as the guide has it added to prometheus.yml, with the rules.
{
  echo "rule_files: [$examples/tarvelo-alerts.yml]"
  cat "$examples/prometheus-scrape.yml"
} >"$work/prometheus.yml"
promtool check config "$work/prometheus.yml" >/dev/null || fail "the scrape job: $(promtool check config "$work/prometheus.yml" 2>&1)"
grep -q 'job_name: tarvelo-mtail' "$examples/prometheus-scrape.yml" &&
  grep -q 'job="tarvelo-mtail"' "$examples/tarvelo-alerts.yml" || fail "the rules and the scrape job name different jobs"

echo "-- $(logrotate --version 2>&1 | head -n 1): rotations while tarvelo load writes"
example=$examples/logrotate.conf
for directive in copy delaycompress compress postrotate; do
  grep -q "^ *$directive\$" "$example" || fail "the logrotate example lacks $directive"
done
# Truncating loses the lines written after the copy; logrotate's own
# rename leaves the log missing, and its create races the exit, which
# creates the log itself, and moves its lines out of the set as a
# ".backup"; and a user named there is no operator's.
! grep -qE '^ *(copytruncate|create|nocopy|su)( |$)' "$example" ||
  fail "the logrotate example truncates, renames, creates or names a user"
umask 022
logs=$work/log
mkdir -m 0750 "$logs"
sed -e "s|/var/log/tarvelo/|$logs/|" "$example" >"$work/logrotate.conf"
chmod 0644 "$work/logrotate.conf"
missing_after=0
rotate() {
  logrotate -f -s "$work/logrotate.state" "$work/logrotate.conf" || return 1
  # The new log is there at once, whether the exit or the example made it.
  [ -f "$logs/t.log" ] || missing_after=$((missing_after + 1))
}
channels=${TARVELO_ROTATION_CHANNELS:-100000}
build/tools/tarvelo load --channels "$channels" --log "$logs/t.log" >"$work/load.out" 2>&1 &
load=$!
# At most 10 rotations while it writes and 2 after: the example keeps 14
# rotated copies, and deletes the oldest beyond.
rotations=0
while kill -0 $load 2>/dev/null; do
  sleep 0.5
  if [ -s "$logs/t.log" ] && [ $rotations -lt 10 ]; then
    rotate || fail "logrotate failed"
    rotations=$((rotations + 1))
  fi
done
wait $load || fail "tarvelo load exited $?: $(tail -n 3 "$work/load.out")"
written=$(sed -n 's/^ *lines written *\([0-9]*\) to standard output.*/\1/p' "$work/load.out")
# The last lines, too, into the compressed part of the set.
rotate
rotate
rotations=$((rotations + 2))
set=$(ls "$logs")
gz=$(ls "$logs" | grep -c '\.gz$' || true)
total=$(cd "$logs" && for f in *; do zcat -f "$f"; done | wc -l)
whole='^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} TARVELO[0-9]{3}[IWES] - '
split=$(cd "$logs" && for f in *; do zcat -f "$f"; done | grep -cvE "$whole" || true)
unended=0
for f in "$logs"/*; do
  if [ -s "$f" ] && [ "$(zcat -f "$f" | tail -c 1 | od -An -c | tr -d ' ')" != '\n' ]; then
    unended=$((unended + 1))
  fi
done
echo "$rotations forced rotations; set: $(echo $set); $gz compressed"
echo "$written lines written by load, $total in the rotated set, $split not whole, $unended files not ending in a line feed"
[ "$rotations" -ge 5 ] || fail "only $rotations rotations while load wrote"
[ "$gz" -ge 2 ] || fail "only $gz compressed members in the set"
[ -n "$written" ] && [ "$total" -eq "$written" ] || fail "lines lost or doubled in rotation: $total of $written"
[ "$split" -eq 0 ] && [ "$unended" -eq 0 ] || fail "lines split in rotation"
# The report reads the set as logrotate left it, compressed copies too.
read_by_report=$(build/tools/tarvelo report --format json --rotated "$logs/t.log" |
  sed -n 's/^"lines": \([0-9]*\),.*/\1/p')
echo "tarvelo report --rotated read $read_by_report lines"
[ "$read_by_report" = "$written" ] || fail "tarvelo report --rotated read $read_by_report lines of $written"
[ -z "$(find "$logs" -name '*.backup' -o -name '*.new.*')" ] || fail "a log was moved out of the set: $(ls "$logs")"
[ "$missing_after" -eq 0 ] || fail "$missing_after rotations left no log behind them"
# Each new log is the exit's own: 0640 under the umask of 022 set above.
perms=$(stat -c %a "$logs/t.log.1")
[ "$perms" = 640 ] || fail "the newest rotated log has mode $perms, not 0640"
exit $status
