#!/usr/bin/env bash
# The exit's log counted end to end, as an operator runs it on Debian 12:
# the built .deb installed, a live mtail following the log with the
# packaged program, a real Prometheus scraping it every second with the
# shipped rules (evaluated every second), and the shipped logrotate example
# rotating and compressing while the exit writes. Everything on loopback,
# bounded in time, stopping by itself; the package, the group and every
# process it made are gone at the end. Runs as root.
#   program    mtail's program against the catalogue: the unit test, which
#              must run here, not skip;
#   upgrade    a stand-in for 1.1.0 (version 1.0.99 while the version
#              packaged is 1.1.0) with its /etc/default/tarvelo conffile,
#              the report's units, the timer enabled and its last report,
#              upgraded to the built .deb: nothing of the report is left;
#   recipes    the operator's guide's monitoring recipes, as typed, with a
#              directory, the host's user and the ports of the test;
#   load       tarvelo load, 10,000 channels with every hundredth refused,
#              then 200,000 more, while the logrotate example rotates and
#              compresses: what Prometheus has of mtail's counters is what
#              the set holds and what was written, message by message; at
#              most 400 series of ours for that host;
#   alerts     tarvelo run: 5 refusals of one channel within seconds (the
#              burst fires, once), an impersonation, with rotations between;
#              no alert from rotation or load;
#   restart    mtail stopped for longer than the burst's window and started
#              again: nothing fires again, what fired fires on;
#   mistyped   LOGS= naming no file: the absence alert fires, and what
#              fired fires on.
# Figures: series, mtail's resident memory; and uptime.
set -euo pipefail
. "$(dirname "$0")/lib/ci.sh"

scripts/setup.sh --no-install-recommends mtail prometheus logrotate jq curl >/dev/null
ci_configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ci_build build
ci_step_done "builds"

echo "-- mtail's program against the catalogue"
out=$(build/tests/unit_tests --gtest_filter='MtailProgram.*' 2>&1) || { echo "$out"; exit 1; }
if grep -q SKIPPED <<<"$out" || ! grep -q '^\[  PASSED  \] 1 test' <<<"$out"; then
  echo "$out"
  echo "!! the test of mtail's program did not run"
  exit 1
fi
echo "passed: $(mtail --version | head -n 1)"

packages=build/ci-metrics
rm -rf "$packages"
ci_quiet "$packages.log" cpack --config build/CPackConfig.cmake -G DEB -B "$packages"
deb=$(realpath "$(ls "$packages"/tarvelo_*.deb)")
version=$(dpkg-deb -f "$deb" Version)
ci_step_done "package"

work=$(mktemp -d /tmp/tvmXXXX) # short: the log path must fit the exit data
chmod 0755 "$work"
logs=$work/l
report=/var/lib/prometheus/node-exporter/tarvelo.prom
apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -qq)
made_textfiles=0
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  if dpkg-query -W -f='${Status}' tarvelo 2>/dev/null | grep -q 'ok installed'; then
    "${apt[@]}" purge -y tarvelo >/dev/null 2>&1 || true
  fi
  deluser mtail tarvelo-log >/dev/null 2>&1 || true
  delgroup tarvelo-log >/dev/null 2>&1 || true
  [ $made_textfiles -eq 0 ] || rm -rf /var/lib/prometheus/node-exporter
  rm -rf "$work"
}
trap cleanup EXIT
status=0
fail() {
  echo "!! $*"
  status=1
}
# What the test cannot go on without.
die() {
  echo "!! $*"
  [ ! -f "$work/mtail.log" ] || tail -n 20 "$work/mtail.log"
  exit 1
}

echo "-- upgrade from the release that shipped the report timer"
if dpkg-query -W -f='${Status}' tarvelo 2>/dev/null | grep -q 'ok installed'; then
  die "a tarvelo package is installed on this machine already"
fi
# 1.1.0 itself once the version packaged is above it; until then a version
# just below.
old_version=1.1.0
dpkg --compare-versions "$old_version" lt "$version~" || old_version=1.0.99
old=$work/old
mkdir -p "$old/DEBIAN" "$old/etc/default" "$old/lib/systemd/system"
cat >"$old/DEBIAN/control" <<EOF
Package: tarvelo
Version: $old_version
Architecture: $(dpkg --print-architecture)
Maintainer: TARVELO maintainers <maintainers@tarvelo.invalid>
Description: stand-in for the release that shipped the report timer
EOF
echo /etc/default/tarvelo >"$old/DEBIAN/conffiles"
echo 'TARVELO_REPORT_ARGS="--rotated /var/log/tarvelo/tarvelo.log"' >"$old/etc/default/tarvelo"
printf '[Service]\nType=oneshot\nExecStart=/bin/true\n' >"$old/lib/systemd/system/tarvelo-report.service"
printf '[Timer]\nOnCalendar=minutely\n[Install]\nWantedBy=timers.target\n' >"$old/lib/systemd/system/tarvelo-report.timer"
dpkg-deb --root-owner-group --build "$old" "$work/old.deb" >/dev/null
"${apt[@]}" install -y "$work/old.deb" >/dev/null 2>&1 || die "the stand-in for 1.1.0 does not install"
mkdir -p /etc/systemd/system/timers.target.wants
ln -sf /lib/systemd/system/tarvelo-report.timer /etc/systemd/system/timers.target.wants/
if [ ! -d "$(dirname "$report")" ]; then
  mkdir -p "$(dirname "$report")"
  made_textfiles=1
fi
echo 'tarvelo_channel_starts_total{channel="TO.PARTNER"} 1' >"$report"
"${apt[@]}" install -y "$deb" >"$work/upgrade.log" 2>&1 || die "the upgrade: $(tail -n 5 "$work/upgrade.log")"
for left in /etc/default/tarvelo /lib/systemd/system/tarvelo-report.service \
  /lib/systemd/system/tarvelo-report.timer /etc/systemd/system/timers.target.wants/tarvelo-report.timer "$report"; do
  [ ! -e "$left" ] && [ ! -L "$left" ] || fail "the upgrade left $left"
done
[ "$(dpkg-query -W -f='${Version}' tarvelo)" = "$version" ] || fail "the upgrade did not install $version"
dpkg-query -W -f='${Conffiles}\n' tarvelo | grep -q '^ /etc/mtail/tarvelo.mtail ' ||
  fail "/etc/mtail/tarvelo.mtail is no conffile of the installed package"
echo "$old_version with the report enabled, upgraded to $version: $( [ $status -eq 0 ] && echo "nothing of the report left")"
ci_step_done "upgrade" fixed

# Ports of the test on loopback: mtail's, Prometheus'.
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
mport=$((20000 + RANDOM % 20000))
while ! port_free $mport || ! port_free $((mport + 1)); do mport=$((mport + 2)); done
pport=$((mport + 1))
api=http://127.0.0.1:$pport/api/v1

# The operator's commands as the guide has them, on this machine: root
# needs no sudo, and the test's mtail stands in for the service.
sudo() {
  if [ "$1" = -u ]; then
    local user=$2
    shift 2
    runuser -u "$user" -- "$@"
  else
    "$@"
  fi
}
start_mtail() {
  local logs_setting
  # shellcheck disable=SC1091
  logs_setting=$(. "$work/default-mtail" && echo "${LOGS:-}")
  [ -n "$logs_setting" ] || die "no LOGS= in $work/default-mtail"
  # As the service runs it: user mtail, with the groups it is in.
  setpriv --reuid=mtail --regid=mtail --init-groups -- mtail --progs /etc/mtail --logs "$logs_setting" \
    --address 127.0.0.1 --port $mport --logtostderr >>"$work/mtail.log" 2>&1 &
  mtail_pid=$!
  pids+=("$mtail_pid")
  for _ in $(seq 50); do
    curl -sf "http://127.0.0.1:$mport/metrics" >/dev/null && return 0
    sleep 0.2
  done
  die "mtail does not answer"
}
stop_mtail() {
  kill "$mtail_pid" || die "mtail had stopped by itself"
  wait "$mtail_pid" 2>/dev/null || true
  mtail_pid=""
}
systemctl() {
  [ "$*" = "restart mtail" ] || die "the guide runs systemctl $*"
  [ -z "${mtail_pid:-}" ] || stop_mtail
  start_mtail
}
cp /etc/default/mtail "$work/default-mtail"
mkdir -p "$work/prometheus" "$work/logrotate.d"
as_here() {
  sed -e "s|/var/log/tarvelo|$logs|g" -e "s|^host_user=.*|host_user=nobody|" \
    -e "s|/etc/default/mtail|$work/default-mtail|g" -e "s|/etc/prometheus/|$work/prometheus/|g" \
    -e "s|/etc/logrotate.d/|$work/logrotate.d/|g" -e "s|localhost:3903|127.0.0.1:$mport|g" <<<"$1"
}
# Prometheus: the shipped scrape job aimed at the test's mtail, every
# second; the shipped rules with an operator's threshold of a minute for a
# silent log.
write_prometheus_config() {
  local rules=$work/prometheus/tarvelo-alerts.yml
  [ -f "$rules" ] || die "the guide's recipes did not copy the rules"
  sed -i -e 's/ > 3600$/ > 60/' -e 's/^        for: 1h$/        for: 60s/' "$rules"
  {
    printf 'global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n'
    echo "rule_files: [$rules]"
    sed -e "s|localhost:3903|127.0.0.1:$mport|" -e 's/scrape_interval: 15s/scrape_interval: 1s/' \
      /usr/share/doc/tarvelo/examples/prometheus-scrape.yml
  } >"$work/prometheus/prometheus.yml"
}

echo "-- the guide's monitoring recipes, as typed"
guide=/usr/share/doc/tarvelo/docs/operators-guide.md
recipes=()
while IFS= read -r line; do
  recipes+=("$line")
done < <(sed -n '/^## Monitoring with mtail/,/^## /p' "$guide" |
  sed -n 's/^    \(host_user=.*\|sudo .*\|echo .*\|curl .*\|cd .*\|promtool .*\)$/\1/p')
[ ${#recipes[@]} -ge 10 ] || die "only ${#recipes[@]} recipes in the guide: ${recipes[*]}"
curl_recipe=""
for recipe in "${recipes[@]}"; do
  command=$(as_here "$recipe")
  echo "\$ $recipe"
  case $recipe in
  host_user=*) eval "$command" ;;
  curl*) curl_recipe=$command ;; # once there are lines to count
  *"systemctl restart mtail") systemctl restart mtail ;; # the test's mtail, in this shell
  *"promtool check config"*)
    write_prometheus_config
    (eval "$command") || die "\"$recipe\" failed"
    ;;
  *) (eval "$command") >"$work/recipe.out" 2>&1 || die "\"$recipe\" failed: $(cat "$work/recipe.out")" ;;
  esac
done
[ -n "${mtail_pid:-}" ] || die "the guide never starts mtail"
sed -i "s|/var/log/tarvelo/|$logs/|" "$work/logrotate.d/tarvelo"
log=$logs/tarvelo.log
[ "$(stat -c '%U %G %a' "$logs")" = "nobody tarvelo-log 2750" ] || fail "the directory: $(stat -c '%U %G %a' "$logs")"
[ "$(stat -c '%U %G %a %s' "$log")" = "nobody tarvelo-log 640 0" ] || fail "the log: $(stat -c '%U %G %a %s' "$log")"

prometheus --config.file="$work/prometheus/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
  --web.listen-address=127.0.0.1:$pport --log.level=warn >"$work/prometheus.log" 2>&1 &
pids+=($!)

# query EXPR: the value of a one-series result, empty for none.
query() {
  curl -sf "$api/query" --data-urlencode "query=$1" | jq -r '.data.result[0].value[1] // empty'
}
# until SECONDS DESCRIPTION COMMAND...: COMMAND succeeds within SECONDS.
until_true() {
  local seconds=$1 what=$2 end
  shift 2
  end=$((SECONDS + seconds))
  while ! "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || { fail "not within $seconds s: $what"; return 1; }
    sleep 1
  done
}
scraped() { [ "$(query 'up{job="tarvelo-mtail"}')" = 1 ]; }
until_true 60 "Prometheus scrapes mtail" scraped || die "$(tail -n 5 "$work/prometheus.log")"
ci_step_done "recipes" fixed

# mtail looks at the log every 250 ms: a log renamed away twice between two
# looks is never read, and its lines are never counted. No rotation comes
# faster than an operator's forced one: a second after the last one ended.
rotations=0
rotated_at=0
rotate() {
  local wait=$((rotated_at + 1000000 - ${EPOCHREALTIME/./})) # microseconds
  [ "$wait" -le 0 ] || sleep "$((wait / 1000000)).$(printf '%06d' $((wait % 1000000)))"
  logrotate -f -s "$work/logrotate.state" "$work/logrotate.d/tarvelo" || fail "logrotate failed"
  rotated_at=${EPOCHREALTIME/./}
  rotations=$((rotations + 1))
}
as_host() { runuser -u nobody -- "$@"; }
# The set, as the files hold it; and what Prometheus has of mtail's counts.
in_set() { (cd "$logs" && for f in tarvelo.log*; do zcat -f "$f"; done) | grep -c -- "$1" || true; }
counted() { query "sum(tarvelo_lines_total{job=\"tarvelo-mtail\"$1})"; }
counts_agree() { [ "$(counted '')" = "$(in_set '')" ]; }
check_counts() {
  local stage=$1 written=$2 message n
  until_true 30 "$stage: Prometheus has all the lines counted" counts_agree || true
  [ "$(in_set '')" -eq "$written" ] || fail "$stage: $(in_set '') lines in the set, $written written"
  for message in TARVELO001I TARVELO003W TARVELO007E TARVELO008I; do
    n=$(counted ",message=\"$message\"")
    [ "${n:-0}" -eq "$(in_set " $message ")" ] || fail "$stage: $message counted ${n:-0}, $(in_set " $message ") in the set"
  done
  echo "$stage: $written lines written, $(in_set '') in the set, $(counted '') counted by mtail, after $rotations rotations"
}
loaded() { sed -n 's/^ *lines written *\([0-9]*\) to standard output.*/\1/p' "$1"; }

echo "-- load: 10,000 channels, every hundredth refused, while the log rotates"
as_host tarvelo load --channels 10000 --refuse-every 100 --log "$log" >"$work/load1.out" 2>&1 &
load=$!
sleep 0.1
rotate
wait $load || fail "tarvelo load: $(tail -n 3 "$work/load1.out")"
written=$(loaded "$work/load1.out")
check_counts "10,000 channels" "$written"
ours=$(query 'count({job="tarvelo-mtail",__name__=~"tarvelo_.+"})')
theirs=$(query 'count({job="tarvelo-mtail",__name__!~"tarvelo_.+"})')
refused=$(query 'count(tarvelo_channel_refusals_total{job="tarvelo-mtail"})')
rss=$(query 'process_resident_memory_bytes{job="tarvelo-mtail"}')
echo "series: $ours of tarvelo_* ($refused refused channels), $theirs of mtail's own; mtail resident: $((${rss%.*} / 1048576)) MiB"
[ "${refused:-0}" -eq 100 ] || fail "$refused refused channels counted, 100 refused"
[ "${ours:-999}" -le 400 ] || fail "$ours series of ours, over 400"
out=$(eval "$curl_recipe") || fail "\"curl ... | grep '^tarvelo_'\" found nothing"
echo "the guide's curl shows $(wc -l <<<"$out") series"

echo "-- load: 200,000 channels more, while the log rotates and compresses"
as_host tarvelo load --channels 200000 --log "$log" >"$work/load2.out" 2>&1 &
load=$!
before=$rotations
# The example keeps 14 rotated copies: at most 8 rotations here, 11 in all.
while kill -0 $load 2>/dev/null; do
  sleep 1
  [ $((rotations - before)) -ge 8 ] || rotate
done
wait $load || fail "tarvelo load: $(tail -n 3 "$work/load2.out")"
written=$((written + $(loaded "$work/load2.out")))
[ $((rotations - before)) -ge 3 ] || fail "only $((rotations - before)) rotations while load wrote"
check_counts "210,000 channels" "$written"
ci_step_done "load" fixed

echo "-- tarvelo run: a burst of refusals, an impersonation, rotations between"
run_lines() { local before n; before=$(wc -l <"$log"); "$@" >/dev/null 2>&1 || true; n=$(wc -l <"$log"); echo $((n - before)); }
for i in 1 2 3 4 5; do
  written=$((written + $(run_lines as_host tarvelo run --channel TO.BURST --partner-password WRONG --log "$log")))
  [ $i -ne 3 ] || rotate
done
written=$((written + $(run_lines as_host tarvelo run --channel TO.RIVAL --answer wrong --log "$log")))
rotate
written=$((written + $(run_lines as_host tarvelo run --channel TO.PARTNER --log "$log")))
check_counts "runs" "$written"
firing() { # ALERTNAME [CHANNEL]: the alert's firing instances, "channel activeAt" each
  curl -sf "$api/alerts" | jq -r --arg a "$1" --arg c "${2:-}" \
    '.data.alerts[] | select(.state == "firing" and .labels.alertname == $a and ($c == "" or .labels.channel == $c)) | "\(.labels.channel) \(.activeAt)"'
}
fires() { [ -n "$(firing "$@")" ]; }
until_true 30 "the burst on TO.BURST fires" fires TarveloRefusalBurst TO.BURST
until_true 30 "the impersonation on TO.RIVAL fires" fires TarveloPartnerImpersonation TO.RIVAL
impersonation=$(firing TarveloPartnerImpersonation TO.RIVAL)
# Nothing from the load's refusals (one each) or from rotation.
noise=$(query 'count(max_over_time(ALERTS{alertstate="firing",channel=~"LOAD.*"}[15m]) or max_over_time(ALERTS{alertstate="firing",alertname=~"TarveloLog.*|TarveloMtail.*"}[15m]))')
[ -z "$noise" ] || fail "alerts from load or rotation: $(curl -sf "$api/query" --data-urlencode 'query=max_over_time(ALERTS{alertstate="firing"}[15m])' | jq -c '[.data.result[].metric | {alertname, channel}]')"

echo "firing: $(curl -sf "$api/alerts" | jq -r '[.data.alerts[] | select(.state == "firing") | "\(.labels.alertname) \(.labels.channel // "")"] | join(", ")')"
ci_step_done "alerts" fixed

echo "-- mtail stopped for longer than the burst's window (75 s), then started"
stop_mtail
sleep 80
systemctl restart mtail
written=$((written + $(run_lines as_host tarvelo run --channel TO.PARTNER --log "$log")))
counts_again() { [ "$(counted '')" -ge 1 ] 2>/dev/null; }
until_true 30 "mtail counts again" counts_again
sleep 10
! fires TarveloRefusalBurst || fail "the burst fired again after mtail's restart: $(firing TarveloRefusalBurst)"
[ "$(firing TarveloPartnerImpersonation TO.RIVAL)" = "$impersonation" ] ||
  fail "the impersonation did not fire on unchanged: $(firing TarveloPartnerImpersonation TO.RIVAL), was $impersonation"
# Once, over the whole run: Prometheus keeps the time an alert became
# active while it stays so (ALERTS_FOR_STATE), and a new one each time it
# fires again.
bursts=$(curl -sf "$api/query_range" --data-urlencode 'query=ALERTS_FOR_STATE{alertname="TarveloRefusalBurst"}' \
  --data-urlencode "start=$(($(date +%s) - 900))" --data-urlencode "end=$(date +%s)" --data-urlencode step=1 |
  jq -r '[.data.result[].values[][1]] | unique | join(" ")')
[ "$(wc -w <<<"$bursts")" = 1 ] || fail "the burst fired $(wc -w <<<"$bursts") times, active from $bursts"
echo "the burst fired once; after the restart nothing fired again, the impersonation fires on since $(cut -d' ' -f2 <<<"$impersonation")"
ci_step_done "restart" fixed

echo "-- a mistyped log path"
sed -i "s|^LOGS=.*|LOGS=$logs/*.lgo|" "$work/default-mtail"
systemctl restart mtail
until_true 150 "the absence alert fires" fires TarveloLogNotFollowed
fires TarveloPartnerImpersonation TO.RIVAL || fail "the impersonation was resolved by the mistyped path"
echo "firing: $(curl -sf "$api/alerts" | jq -r '[.data.alerts[] | select(.state == "firing") | .labels.alertname] | unique | join(", ")')"
ci_step_done "mistyped" fixed

echo "-- removal"
for pid in "${pids[@]}"; do
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
done
pids=()
"${apt[@]}" purge -y tarvelo >/dev/null 2>&1 || fail "apt-get purge tarvelo"
for left in /etc/mtail/tarvelo.mtail "$report"; do
  [ ! -e "$left" ] || fail "the purge left $left"
done
echo "$(uptime | sed 's/.*load/load/')"
exit $status
