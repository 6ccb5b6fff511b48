#!/usr/bin/env bash
# The .deb as a distribution checks it, failing on any finding:
#   lintian      on the .deb that CPack makes of build/ (the README's build,
#                which the test suite then reuses): no error and no warning,
#                and no hardening tag either, although lintian reports those
#                only as information; each tag overridden has its reason in
#                packaging/lintian-overrides;
#   man          the manual pages through man --warnings.
# Prints lintian's full output (information tags and overrides included),
# the package's contents, and how the library and the program were linked
# (RELRO and immediate binding).
set -euo pipefail
. "$(dirname "$0")/lib/ci.sh"

scripts/setup.sh lintian man-db >/dev/null
ci_configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ci_build build

packages=build/ci-package
rm -rf "$packages"
cpack --config build/CPackConfig.cmake -G DEB -B "$packages" >"$packages.log" 2>&1 ||
  { cat "$packages.log"; exit 1; }
rm -f "$packages.log"
deb=$(ls "$packages"/*.deb)
echo "-- dpkg -c $(basename "$deb")"
dpkg -c "$deb"

status=0
echo "-- $(lintian --version), failing on errors and warnings"
findings=$(lintian --fail-on error,warning --display-info --pedantic --show-overrides "$deb" 2>&1) ||
  status=1
grep -v '^running with root privileges' <<<"$findings" || true
if [ $status -eq 0 ]; then
  echo "lintian: no error, no warning"
else
  echo "!! lintian: errors or warnings above"
fi
if grep -q ' hardening-' <<<"$findings"; then
  echo "!! lintian: hardening tags above"
  status=1
else
  echo "lintian: no hardening tag"
fi

echo "-- how the shipped binaries were linked (readelf)"
for f in build/libtarvelo.so build/tools/tarvelo; do
  echo "$f"
  readelf -lW "$f" | grep GNU_RELRO
  readelf -dW "$f" | grep FLAGS
done

echo "-- man --warnings"
for page in man/*.[1-9]; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "$page: $warnings"
    status=1
  else
    echo "$page: no warning"
  fi
done
exit $status
