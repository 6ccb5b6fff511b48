#!/usr/bin/env bash
# What the .deb gives operators, checked with Debian's own tools; called by
# scripts/ci-package.sh with the .deb, after installing systemd, logrotate
# and prometheus (for promtool):
#   units      tarvelo-report.service and .timer pass systemd-analyze verify
#              in a root made of the unpacked .deb and the system's own units
#              (verify looks for the program the service runs: there, the
#              packaged one), and a root without the program fails it;
#              systemd-analyze security rates the service's sandbox at
#              most 2.5;
#              /etc/default/tarvelo is a conffile, and no maintainer script
#              enables the timer;
#   alerts     the alert rules pass promtool check rules and their unit tests,
#              promtool test rules;
#   logrotate  the example configuration, aimed at a directory of the test,
#              rotates the log several times, forced, while tarvelo load
#              writes to it: every line load wrote is in the rotated set
#              (the .gz members included), every line is whole, nothing
#              was moved out of the set, and tarvelo report --rotated reads
#              every line of it.
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

echo "-- $(systemd-analyze --version | head -n 1): systemd-analyze verify"
# The system's units (sysinit.target, timers.target, ...) beside the
# package's, as on a machine where it is installed. The service names the
# operator's guide as its documentation, not a manual page, so that verify
# holds where no man is installed; says so.
mkdir -p "$root/lib/systemd/system"
cp -an /usr/lib/systemd/system/. "$root/lib/systemd/system/"
units=(/lib/systemd/system/tarvelo-report.service /lib/systemd/system/tarvelo-report.timer)
if out=$(systemd-analyze verify --root="$root" "${units[@]}" 2>&1) && [ -z "$out" ]; then
  echo "units: verified"
else
  fail "systemd-analyze verify: $out"
fi
# How much the service could do if the program were subverted, as systemd
# rates it (0 to 10): it runs as root, so its sandbox is what keeps it to
# reading logs and writing one directory. Above 2.5 fails.
exposure=$(systemd-analyze security --offline=yes --root="$root" --threshold=25 "${units[0]}" 2>&1) ||
  fail "the service's sandbox has weakened: $(tail -n 1 <<<"$exposure")"
tail -n 1 <<<"$exposure"
mv "$root/usr/bin/tarvelo" "$work/tarvelo.moved"
if systemd-analyze verify --root="$root" "${units[0]}" >/dev/null 2>&1; then
  fail "systemd-analyze verify passes a service whose program is missing: it checks nothing"
fi
mv "$work/tarvelo.moved" "$root/usr/bin/tarvelo"
grep -q '^EnvironmentFile=/etc/default/tarvelo$' "$root${units[0]}" ||
  fail "the service does not read /etc/default/tarvelo"
grep -q '^ExecStart=/usr/bin/tarvelo report --format prometheus --output /var/lib/prometheus/node-exporter/tarvelo.prom \$TARVELO_REPORT_ARGS$' \
  "$root${units[0]}" || fail "the service's ExecStart: $(grep ExecStart "$root${units[0]}")"
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/default/tarvelo "$work/control/conffiles" || fail "/etc/default/tarvelo is no conffile"
if grep -rqs -e enable -e systemctl -e deb-systemd "$work/control"; then
  fail "a maintainer script enables or starts the timer: $(ls "$work/control")"
fi
# The settings as shipped give the report a log that need not exist yet.
# shellcheck disable=SC1091
TARVELO_REPORT_ARGS=$(. "$root/etc/default/tarvelo" && echo "$TARVELO_REPORT_ARGS")
[[ "$TARVELO_REPORT_ARGS" == --rotated\ /* ]] ||
  fail "/etc/default/tarvelo sets TARVELO_REPORT_ARGS=$TARVELO_REPORT_ARGS"

echo "-- $(promtool --version 2>&1 | head -n 1): promtool check rules, test rules"
if ! (cd "$examples" && promtool check rules tarvelo-alerts.yml && promtool test rules tarvelo-alerts.test.yml); then
  fail "the alert rules or their tests"
fi
for rule in TarveloRefusalsRising TarveloPartnerImpersonation TarveloRefusalBurst TarveloReportStale; do
  grep -q "alertname: $rule\$" "$examples/tarvelo-alerts.test.yml" || fail "no test of the alert $rule"
done

echo "-- $(logrotate --version 2>&1 | head -n 1): rotations while tarvelo load writes"
example=$examples/logrotate.conf
for directive in nocreate delaycompress compress 'su '; do
  grep -q "^ *$directive" "$example" || fail "the logrotate example lacks $directive"
done
# Truncating loses the lines written after the copy; creating the new log
# races the exit, which creates it itself, and loses lines as a ".backup".
! grep -qE '^ *(copytruncate|create)' "$example" || fail "the logrotate example truncates or creates"
umask 022
logs=$work/log
mkdir -m 0750 "$logs"
user="$(id -un) $(id -gn)"
sed -e "s|/var/log/tarvelo/|$logs/|" -e "s|qmadmin qmadmin|$user|" "$example" >"$work/logrotate.conf"
chmod 0644 "$work/logrotate.conf"
rotate() {
  logrotate -f -s "$work/logrotate.state" "$work/logrotate.conf"
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
[ -z "$(find "$logs" -name '*.backup')" ] || fail "logrotate moved a log out of the set"
# Each new log is the exit's own: 0640 under the umask of 022 set above.
perms=$(stat -c %a "$logs/t.log.1")
[ "$perms" = 640 ] || fail "the newest rotated log has mode $perms, not 0640"
exit $status
