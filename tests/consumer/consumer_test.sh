#!/usr/bin/env bash
# Installs the build into a fresh prefix and builds the host project beside
# this script against it, through find_package(tarvelo) and through
# pkg-config, with the build's own C compiler and sanitizers; then runs both
# host programs, which must load the installed exit by the path each was
# given and see the header's version.
# Usage: consumer_test.sh CMAKE GENERATOR MAKE_PROGRAM C_COMPILER BUILD_DIR VERSION [SANITIZE]
set -euo pipefail
cmake_cmd=$1 generator=$2 make_program=$3 c_compiler=$4 build=$5 version=$6 sanitize=${7:-}
source_dir=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d /tmp/tarvelo-consumer-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake_cmd" --install "$build" --prefix "$work/prefix" >/dev/null
prefix=$(cd "$work/prefix" && pwd -P)
pc=$(find "$prefix" -name tarvelo.pc)
[ -n "$pc" ] || fail "no tarvelo.pc was installed"

flags=()
if [ -n "$sanitize" ]; then
  # A sanitized exit needs its runtime in the host program too.
  flags+=("-DCMAKE_C_FLAGS=-fsanitize=$sanitize" "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=$sanitize")
fi
PKG_CONFIG_PATH=$(dirname "$pc") "$cmake_cmd" -S "$source_dir" -B "$work/build" -G "$generator" \
  -DCMAKE_MAKE_PROGRAM="$make_program" -DCMAKE_C_COMPILER="$c_compiler" \
  -DCMAKE_PREFIX_PATH="$prefix" -DTARVELO_VERSION="$version" "${flags[@]}" \
  >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "the host project does not configure"; }
"$cmake_cmd" --build "$work/build" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; fail "the host project does not build"; }

exit_library=$(find "$prefix" -name libtarvelo.so)
for host in host_cmake host_pkgconfig; do
  out=$("$work/build/$host") || fail "$host exited $?: $out"
  first=$(head -n 1 <<<"$out")
  # pkg-config's path runs through the .pc file's directory: compare files.
  given=${first#header $version, exit }
  [ "$given" != "$first" ] || fail "$host: $first (header version not $version)"
  [ "$given" -ef "$exit_library" ] || fail "$host was given $given, not the installed $exit_library"
  grep -q "TARVELO001I - KOR Security Exit Started Channel => CONSUMER" <<<"$out" &&
    grep -q "TARVELO008I" <<<"$out" || fail "$host: the exit did not start and end the channel: $out"
done
echo "find_package(tarvelo) and pkg-config both gave the installed header ($version) and exit"
