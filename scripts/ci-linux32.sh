#!/usr/bin/env bash
# Builds the library, the stand-in host and partner and the whole test suite
# for 32-bit x86 Linux (-m32) and runs the suite: hosts may be 32-bit
# processes. GoogleTest is built for 32 bits from the sources that Debian's
# googletest package ships, since libgtest-dev holds 64-bit libraries only.
#
# Build directories: build-m32-gtest (GoogleTest), build-m32 (the project).
# Each stage prints the seconds it took. On a machine that cannot run 32-bit
# programs at all (a kernel without IA-32 emulation) the build is made and
# checked, and the script says plainly that the suite could not run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
gtest_build=$root/build-m32-gtest
build=$root/build-m32
jobs=${TARVELO_JOBS:-2}

stage_start=$SECONDS
stage_done() {
  echo "-- $1: $((SECONDS - stage_start)) s"
  stage_start=$SECONDS
}

# 32-bit libraries come from Debian's i386 architecture: OpenSSL's
# libcrypto, the fuzz corpus replays' reference MD5.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture i386; else sudo dpkg --add-architecture i386; fi
fi
scripts/setup.sh g++-multilib googletest libssl-dev:i386
stage_done "packages"

export CFLAGS="-m32" CXXFLAGS="-m32" LDFLAGS="-m32"

if [ ! -f "$gtest_build/prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  mkdir -p "$gtest_build"
  cmake -S /usr/src/googletest -B "$gtest_build" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_INSTALL_PREFIX="$gtest_build/prefix" >"$gtest_build/build.log" 2>&1 ||
    { cat "$gtest_build/build.log"; exit 1; }
  cmake --build "$gtest_build" --target install -j "$jobs" >>"$gtest_build/build.log" 2>&1 ||
    { cat "$gtest_build/build.log"; exit 1; }
fi
stage_done "GoogleTest for -m32"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DGTest_DIR="$gtest_build/prefix/lib/cmake/GTest" >/dev/null
cmake --build "$build" -j "$jobs"
# Every binary of the build must be 32-bit, or the suite proves nothing.
for f in "$build"/libtarvelo.so "$build"/tests/unit_tests "$build"/tests/exit_tests; do
  readelf -h "$f" | grep -q "Class: *ELF32" || { echo "not a 32-bit ELF file: $f"; exit 1; }
done
stage_done "build (-m32)"

# A kernel without IA-32 emulation refuses to start any 32-bit program:
# "Exec format error", which the shell reports as status 126.
status=0
"$build"/tests/unit_tests --gtest_list_tests >/dev/null 2>&1 || status=$?
if [ "$status" -eq 126 ]; then
  echo "-- this machine cannot run 32-bit programs: the -m32 build is made and checked"
  echo "   to be 32-bit throughout, but its tests cannot run here"
  exit 0
fi
ctest --test-dir "$build" --output-on-failure -j "$jobs"
stage_done "tests (-m32)"
