#!/usr/bin/env bash
# Cross-builds tarvelo.dll for 32-bit Windows with MinGW-w64 and runs the
# test suite under Wine, in both calling conventions of the entry point:
#   build-win-stdcall  the shipped DLL (__stdcall): the whole suite
#   build-win-cdecl    TARVELO_WIN32_CDECL=ON: the DLL's tables, the calling
#                      convention and the end-to-end tests
# GoogleTest is built for MinGW from the sources that Debian's googletest
# package ships (build-win-gtest). Wine runs in a 32-bit prefix of its own
# (build-win-wine), created on first use. Each stage prints its seconds.
#
# Some machines cannot run 32-bit programs at all (a kernel without IA-32
# emulation): there Wine's 32-bit loader cannot start. Then both 32-bit
# DLLs are still built and their tables checked, and the whole suite runs
# on a 64-bit build of the same code (build-win64) in 64-bit Wine
# (build-win64-wine), so the Windows code paths are still exercised.
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

# GoogleTest for one MinGW target: build_gtest <toolchain> <directory>.
build_gtest() {
  local toolchain_file=$1 dir=$2
  if [ ! -f "$dir/prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
    mkdir -p "$dir"
    { cmake -S /usr/src/googletest -B "$dir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain_file" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$dir/prefix" &&
      cmake --build "$dir" --target install -j "$jobs"; } >"$dir/build.log" 2>&1 ||
      { cat "$dir/build.log"; exit 1; }
  fi
}
build_gtest "$toolchain" "$gtest_build"
gtest_dir=$gtest_build/prefix/lib/cmake/GTest
stage_done "GoogleTest for MinGW"

if ! wine --version >/dev/null 2>&1; then
  echo "-- this machine cannot run 32-bit programs (Wine's 32-bit loader does not start):"
  echo "   the 32-bit DLLs are built and their tables checked, not run; the suite runs on"
  echo "   a 64-bit build of the same code in 64-bit Wine"
  scripts/setup.sh g++-mingw-w64-x86-64-posix wine64
  # The shipped DLL with everything that would test it, the other
  # convention's DLL alone.
  for convention in stdcall cdecl; do
    cdecl=OFF targets=()
    [ "$convention" = cdecl ] && cdecl=ON targets=(--target tarvelo)
    cmake -S . -B "build-win-$convention" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGTest_DIR="$gtest_dir" \
      -DTARVELO_WIN32_CDECL=$cdecl >/dev/null
    cmake --build "build-win-$convention" -j "$jobs" "${targets[@]}"
    run_tests "build-win-$convention" -R '^dll_tables'
  done
  stage_done "32-bit builds and DLL tables"

  toolchain=$root/cmake/mingw-w64-x86_64.cmake
  build_gtest "$toolchain" "$root/build-win64-gtest"
  export WINEPREFIX=$root/build-win64-wine WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    /usr/lib/wine/wine64 wineboot -i >"$WINEPREFIX/wineboot.log" 2>&1 ||
      { cat "$WINEPREFIX/wineboot.log"; exit 1; }
  fi
  /usr/lib/wine/wineserver -w
  /usr/lib/wine/wineserver -p
  trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
  cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DGTest_DIR="$root/build-win64-gtest/prefix/lib/cmake/GTest" >/dev/null
  cmake --build build-win64 -j "$jobs"
  stage_done "64-bit GoogleTest, Wine prefix and build"
  run_tests build-win64
  stage_done "tests (64-bit, under 64-bit Wine)"
  exit 0
fi

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
