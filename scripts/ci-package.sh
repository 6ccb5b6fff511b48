#!/usr/bin/env bash
# The .deb as a distribution checks it, failing on any finding:
#   lintian      on the .deb that CPack makes of build/ (the README's build,
#                which the test suite then reuses): no error and no warning;
#                each tag overridden has its reason in packaging/lintian-overrides;
#   man          the manual pages through man --warnings.
# Prints lintian's full output (information tags and overrides included) and
# the package's contents.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh lintian man-db >/dev/null
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 >build/ci-package-build.log 2>&1 || { tail -50 build/ci-package-build.log; exit 1; }
rm -f build/ci-package-build.log

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
