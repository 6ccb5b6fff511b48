#!/usr/bin/env bash
# Cross-builds tarvelo.dll for 32-bit Windows with MinGW-w64 and runs the
# test suite under Wine, in both calling conventions of the entry point:
#   build-win-stdcall  the shipped DLL (__stdcall): the whole suite
#   build-win-cdecl    TARVELO_WIN32_CDECL=ON: the DLL's tables, the calling
#                      convention and the end-to-end tests
# GoogleTest is built for MinGW from the sources that Debian's googletest
# package ships (build-win-gtest). Wine runs in a 32-bit prefix of its own
# (build-win-wine), created on first use. Each stage prints its seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${TARVELO_JOBS:-2}
toolchain=$root/cmake/mingw-w64-i686.cmake
gtest_build=$root/build-win-gtest

export WINEPREFIX=$root/build-win-wine WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

stage_start=$SECONDS
stage_done() {
  echo "-- $1: $((SECONDS - stage_start)) s"
  stage_start=$SECONDS
}

# Runs CTest with GoogleTest's full report kept in a file: printed whole on
# failure, else only the summaries of CTest and of each test program.
run_tests() {
  local build=$1
  shift
  if ! ctest --test-dir "$build" -V "$@" >"$build/ctest.log" 2>&1; then
    cat "$build/ctest.log"
    return 1
  fi
  grep -E '^[0-9]+: \[  (PASSED|SKIPPED|FAILED) +\]|Test +#[0-9]+:|tests passed' "$build/ctest.log"
}

# Wine's 32-bit loader is a package of Debian's i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture i386; else sudo dpkg --add-architecture i386; fi
fi
scripts/setup.sh g++-mingw-w64-i686-posix wine wine32:i386 googletest
stage_done "packages"

if [ ! -f "$gtest_build/prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  mkdir -p "$gtest_build"
  { cmake -S /usr/src/googletest -B "$gtest_build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
      -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$gtest_build/prefix" &&
    cmake --build "$gtest_build" --target install -j "$jobs"; } >"$gtest_build/build.log" 2>&1 ||
    { cat "$gtest_build/build.log"; exit 1; }
fi
gtest_dir=$gtest_build/prefix/lib/cmake/GTest
stage_done "GoogleTest for MinGW"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >"$WINEPREFIX/wineboot.log" 2>&1 || { cat "$WINEPREFIX/wineboot.log"; exit 1; }
fi
# One wine server for all the test programs, ended when the script ends
# (the prefix is this build's own). The one that wineboot started is let
# finish first.
wineserver -w
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
stage_done "Wine prefix"

cmake -S . -B build-win-stdcall -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGTest_DIR="$gtest_dir" >/dev/null
cmake --build build-win-stdcall -j "$jobs"
stage_done "build (__stdcall)"

run_tests build-win-stdcall
stage_done "tests (__stdcall)"

cmake -S . -B build-win-cdecl -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGTest_DIR="$gtest_dir" \
  -DTARVELO_WIN32_CDECL=ON -DTARVELO_BUILD_TOOLS=OFF >/dev/null
cmake --build build-win-cdecl -j "$jobs" --target tarvelo platform_tests exit_tests
stage_done "build (__cdecl)"

run_tests build-win-cdecl -R '^(exit_tests|platform_tests|dll_tables.*)$'
stage_done "tests (__cdecl)"
