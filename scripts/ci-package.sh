#!/usr/bin/env bash
# The packages as distributions check them, failing on any finding:
#   lintian      on the .deb that CPack makes of build/ (the README's build,
#                which the test suite then reuses): no error and no warning,
#                and no hardening tag either, although lintian reports those
#                only as information; each tag overridden has its reason in
#                packaging/lintian-overrides;
#   rpmlint      on the .rpm that CPack makes of build-rpm/, the library and
#                the program configured for Red Hat-family hosts
#                (-DCMAKE_INSTALL_LIBDIR=lib64): no error and no warning, each
#                finding let through with its reason in packaging/rpmlint.toml;
#                and
#                its file list: the exit in /usr/lib64/tarvelo/, the program
#                in /usr/bin, the headers, tarvelo.pc naming /usr, the
#                manual pages, the documents and the licence;
#   checksums    every package has its .sha256 beside it, and sha256sum -c
#                verifies each;
#   man          the manual pages through man --warnings;
#   operations   the conffile and maintainer scripts, the alert rules
#                through promtool test rules, the scrape job through promtool
#                check config, and the logrotate example rotating a log that
#                tarvelo load writes, with no line lost or split
#                (scripts/ci-ops-examples.sh).
# Prints lintian's full output (information tags and overrides included),
# the package's contents, and how the library and the program were linked
# (RELRO and immediate binding).
set -euo pipefail
. "$(dirname "$0")/lib/ci.sh"

scripts/setup.sh lintian man-db rpm rpmlint cpio >/dev/null
# Debian's own tools for what the .deb gives operators; node_exporter and
# Prometheus' server are not needed, so no recommends.
scripts/setup.sh --no-install-recommends logrotate prometheus >/dev/null
ci_configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ci_build build
ci_configure build-rpm -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_LIBDIR=lib64 \
  -DTARVELO_BUILD_TESTS=OFF
ci_build build-rpm
ci_step_done "builds"

packages=build/ci-package
rpm_packages=build-rpm/ci-package
rm -rf "$packages" "$rpm_packages"
ci_quiet "$packages.log" cpack --config build/CPackConfig.cmake -G "DEB;TGZ" -B "$packages"
ci_quiet "$rpm_packages.log" cpack --config build-rpm/CPackConfig.cmake -G RPM -B "$rpm_packages"
ci_step_done "packages"
deb=$(ls "$packages"/*.deb)
echo "-- dpkg -c $(basename "$deb")"
dpkg -c "$deb"

status=0
echo "-- $(lintian --version), failing on errors and warnings"
# Shown in full, overridden tags and their reasons too; judged without them
# shown, as lintian counts an overridden warning it shows as a warning.
findings=$(lintian --display-info --pedantic --show-overrides "$deb" 2>&1) || status=1
lintian --fail-on error,warning --pedantic "$deb" >/dev/null 2>&1 || status=1
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

rpm_file=$(ls "$rpm_packages"/*.rpm)
echo "-- rpm -qlp $(basename "$rpm_file")"
rpm_list=$(rpm -qlp "$rpm_file" 2>/dev/null)
echo "$rpm_list"
rpm -qip "$rpm_file" 2>/dev/null | sed -n '/^Name/,/^Description/p'
for f in /usr/lib64/tarvelo/libtarvelo.so /usr/bin/tarvelo /usr/include/tarvelo.h \
  /usr/include/tarvelo_version.h /usr/lib64/pkgconfig/tarvelo.pc \
  /usr/lib64/cmake/tarvelo/tarvelo-config.cmake /usr/share/man/man1/tarvelo.1.gz \
  /usr/share/man/man7/tarvelo-exit.7.gz /usr/share/doc/tarvelo/README.md \
  /usr/share/doc/tarvelo/docs/operators-guide.md /usr/share/doc/tarvelo/changelog.gz \
  /usr/share/doc/tarvelo/LICENSE; do
  grep -qx "$f" <<<"$rpm_list" || { echo "!! the .rpm lacks $f"; status=1; }
done
if grep -E -e '-linux-gnu|lintian|^/usr/lib/[^.]' <<<"$rpm_list"; then
  echo "!! the .rpm holds Debian's paths above"
  status=1
fi
pc=$(rpm2cpio "$rpm_file" | cpio -i --quiet --to-stdout ./usr/lib64/pkgconfig/tarvelo.pc)
grep -qx 'prefix=/usr' <<<"$pc" || { echo "!! the .rpm's tarvelo.pc: $pc"; status=1; }
echo "-- rpmlint $(rpmlint --version 2>&1 | head -n 1), failing on errors and warnings"
findings=$(rpmlint -c packaging/rpmlint.toml "$rpm_file" 2>&1) || true
echo "$findings"
if grep -qE '^ *[0-9]+ packages? and [0-9]+ specfiles? checked; 0 errors, 0 warnings' <<<"$findings"; then
  echo "rpmlint: no error, no warning"
else
  echo "!! rpmlint: errors or warnings above"
  status=1
fi

echo "-- checksums (sha256sum -c)"
for package in "$packages"/*.deb "$packages"/*.ddeb "$packages"/*.tar.gz "$rpm_file"; do
  if [ ! -f "$package.sha256" ]; then
    echo "!! no checksum beside $package"
    status=1
  elif ! (cd "$(dirname "$package")" && sha256sum -c "$(basename "$package").sha256"); then
    status=1
  fi
done

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

echo "-- the conffile, the alert rules, the scrape job and the logrotate example"
scripts/ci-ops-examples.sh "$deb" || status=1
ci_step_done "checks of the packages" fixed
exit $status
