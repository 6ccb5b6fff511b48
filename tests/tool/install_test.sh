#!/usr/bin/env bash
# The installed tree and the two packages: each holds the library, its
# public header, the tarvelo program and the documentation, and the program
# as installed finds the library installed beside it and signs a channel on.
# Usage: install_test.sh CMAKE CPACK BUILD_DIR LIBDIR DOCDIR
set -euo pipefail
cmake_cmd=$1 cpack_cmd=$2 build=$3 libdir=$4 docdir=$5

work=$(mktemp -d /tmp/tarvelo-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

expected=(
  "$libdir/libtarvelo.so"
  include/tarvelo.h
  bin/tarvelo
  "$docdir/README.md"
  "$docdir/operators-guide.md"
  "$docdir/messages.md"
  "$docdir/partner-protocol.md"
)

# Runs the demo of an installed tree; it must load that tree's library.
demo_in() {
  local root=$1 out log
  out=$(cd "$work" && "$root/bin/tarvelo" demo) || fail "demo in $root exited $?: $out"
  log=$(sed -n 's/^log file \(\/tmp\/tarvelo-[A-Za-z0-9]*\.log\):.*/\1/p' <<<"$out")
  [ -n "$log" ] && rm -f "$log"
  grep -qF "library    $(cd "$root" && pwd -P)/$libdir/libtarvelo.so, entry point TARVELO" <<<"$out" ||
    fail "the demo in $root did not use the library installed there: $(grep library <<<"$out")"
  [ "$(tail -n 1 <<<"$out")" = "channel TO.PARTNER signed on: both sides proved the password" ] ||
    fail "the demo in $root did not sign on: $(tail -n 1 <<<"$out")"
}

# cmake --install
"$cmake_cmd" --install "$build" --prefix "$work/prefix" >/dev/null
for f in "${expected[@]}"; do
  [ -f "$work/prefix/$f" ] || fail "cmake --install did not install $f"
done
demo_in "$work/prefix"

# The packages, made from the same build.
(cd "$work" && "$cpack_cmd" --config "$build/CPackConfig.cmake" -G "TGZ;DEB" -B "$work/packages" >/dev/null)
tgz=$(ls "$work"/packages/*.tar.gz)
deb=$(ls "$work"/packages/*.deb)

mkdir "$work/unpacked"
tar -xzf "$tgz" -C "$work/unpacked"
top=$(ls "$work/unpacked")
for f in "${expected[@]}"; do
  [ -f "$work/unpacked/$top/$f" ] || fail "the .tar.gz lacks $f"
done
demo_in "$work/unpacked/$top"

listing=$(dpkg-deb -c "$deb")
for f in "${expected[@]}"; do
  grep -q " \./usr/$f\$" <<<"$listing" || fail "the .deb lacks /usr/$f"
done
depends=$(dpkg-deb -f "$deb" Depends)
grep -q "libc6" <<<"$depends" || fail "the .deb does not depend on the C library: $depends"
[ "$(dpkg-deb -f "$deb" Package)" = tarvelo ] || fail "the .deb is not named tarvelo"

echo "installed tree, $(basename "$tgz") and $(basename "$deb") hold ${#expected[@]} files each; the installed demo signed on"
