#!/bin/sh
# Runs a Windows program under Wine for CTest and the build.
#
# Wine's helper processes (the wine server and friends) outlive the program
# and inherit its standard output; when that is CTest's pipe, CTest waits
# seconds for them after every test. So the program's output goes to a file,
# which is printed once the program has ended, and its exit status is kept.
#
# The prefix is WINEPREFIX when set (scripts/ci-windows.sh sets one in its
# build directory), else TARVELO_WINEPREFIX, else ~/.wine-tarvelo32; it is
# 32-bit, and made on first use, which takes some seconds. Wine's own
# messages and the Mono and Gecko installers are turned off.
#
# With --win64 first, a 64-bit program runs in 64-bit Wine, in a 64-bit
# prefix (~/.wine-tarvelo64 by default).
#
# TARVELO_WINE_GTEST_SKIP, when set, holds GoogleTest patterns (A.b*:C.*)
# that are left out of a --gtest_filter argument: scripts/ci-windows.sh
# names there the tests that Wine under user-mode emulation cannot run, and
# says so. GoogleTest prints the filter it ran with.
set -u
# TARVELO_WINE32_LOADER: Wine's 32-bit loader where it is not installed in
# its place (scripts/ci-windows.sh unpacks it when it cannot be installed).
wine=${TARVELO_WINE32_LOADER:-wine}
arch=32
if [ "${1:-}" = "--win64" ]; then
  shift
  wine=/usr/lib/wine/wine64
  export WINELOADER=$wine
  arch=64
fi
: "${WINEPREFIX:=${TARVELO_WINEPREFIX:-$HOME/.wine-tarvelo$arch}}"
export WINEPREFIX
export WINEARCH=win$arch
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY

if [ -n "${TARVELO_WINE_GTEST_SKIP:-}" ]; then
  for argument; do
    shift
    case $argument in
    --gtest_filter=*-*) argument=$argument:$TARVELO_WINE_GTEST_SKIP ;;
    --gtest_filter=*) argument=$argument-$TARVELO_WINE_GTEST_SKIP ;;
    esac
    set -- "$@" "$argument"
  done
fi

output=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 125
"$wine" "$@" >"$output" 2>&1 </dev/null
status=$?
cat "$output"
rm -f "$output"
exit $status
