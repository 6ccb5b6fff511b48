#!/usr/bin/env bash
# Builds the library, the stand-in host and partner, the program and the
# whole test suite for Linux on another processor, with Debian's cross
# compilers, and runs the suite there under Debian's qemu-user:
#
#   scripts/ci-cross.sh ARCH...     (s390x, ppc64le, aarch64; default: s390x aarch64)
#
# Hosts run on mainframes (s390x, big-endian: the one byte order that
# differs from x86's), on POWER servers (ppc64le) and on ARM servers
# (aarch64). GoogleTest is built for each from the sources that Debian's
# googletest package ships. Build directories: build-ARCH-gtest, build-ARCH.
# Each step prints its seconds.
#
# CTest hands each test program to qemu (CMAKE_CROSSCOMPILING_EMULATOR); the
# programs those start (the tarvelo program, the stand-in partner) reach it
# through a binfmt_misc handler that lasts as long as the tests
# (scripts/lib/emulate.sh).
set -euo pipefail
. "$(dirname "$0")/lib/ci.sh"
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(s390x aarch64)

# Tests that need what qemu-user 7.2 does not give a guest:
#  - a seccomp filter: the emulator refuses to install one, to keep the
#    calls it makes itself ("the seccomp filter could not be put in place");
#  - a Ctrl-C that lands while threads allocate (under qemu-i386 it corrupts
#    the guest's heap; see scripts/ci-linux32.sh).
# They run in the x86-64 and 32-bit suites.
unsupported='HostileHost.LivesReturnsPromptlyAndWritesEachLineOnce|Load.CountsSignOnsRefusalsAndTheLinesInBothPlaces'

# cross ARCH: one architecture, from packages to tests.
cross() {
  local arch=$1 triplet package machine debian_arch
  case $arch in
  s390x) triplet=s390x-linux-gnu machine='.*S/390' debian_arch=s390x ;;
  ppc64le) triplet=powerpc64le-linux-gnu machine='PowerPC64' debian_arch=ppc64el ;;
  aarch64) triplet=aarch64-linux-gnu machine='AArch64' debian_arch=arm64 ;;
  *)
    echo "!! unknown architecture $arch (s390x, ppc64le or aarch64)" >&2
    return 2
    ;;
  esac
  package=g++-$triplet
  local gtest_build=$ci_root/build-$arch-gtest build=$ci_root/build-$arch
  local toolchain=(-DCMAKE_TOOLCHAIN_FILE="$ci_root/cmake/linux-cross.cmake"
    -DTARVELO_CROSS_TRIPLET="$triplet")

  scripts/setup.sh "$package" googletest >/dev/null && ci_install_qemu >/dev/null || return 1
  # The program's zlib, for compressed logs: the target's own, Debian's
  # $debian_arch zlib1g-dev from a root of its own (ci_foreign_zlib in
  # scripts/lib/ci.sh), linked in whole (the emulated loader looks for
  # shared libraries under the cross compiler's root alone). Installed on
  # the machine instead, it would need the machine's package lists for
  # $debian_arch, and the very version of the machine's own zlib. Without it
  # the program is built without, and says so when it meets a compressed log.
  local zlib=(-DTARVELO_ZLIB=OFF)
  if ci_foreign_zlib "$debian_arch" "$triplet" "$ci_root/build-$arch-zlib-root" \
    >"$ci_root/build-$arch-zlib.log" 2>&1; then
    zlib=("${ci_zlib[@]}")
  else
    ci_note "BUILT WITHOUT zlib for $arch: Debian's zlib1g-dev:$debian_arch could not be had" \
      "(see build-$arch-zlib.log); the program there reads no compressed log, and says so"
  fi
  ci_step_done "$arch: packages"

  ci_build_gtest "$gtest_build" "${toolchain[@]}" || return 1
  ci_step_done "$arch: GoogleTest"

  # The build itself runs one of its programs (the one that makes mtail's
  # program from the catalogue), outside the tests' emulate.sh: the
  # emulator is told where the target's loader and libraries lie.
  ci_configure "$build" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${ci_no_debug_info[@]}" \
    -DGTest_DIR="$ci_gtest_dir" -DCMAKE_CROSSCOMPILING_EMULATOR="/usr/bin/qemu-$arch" "${zlib[@]}" &&
    QEMU_LD_PREFIX=/usr/$triplet ci_build "$build" || return 1
  # Every binary of the build must be the target's, or the suite proves
  # nothing.
  local f
  for f in "$build"/libtarvelo.so "$build"/tests/unit_tests "$build"/tests/exit_tests \
    "$build"/tests/stress_tests "$build"/tools/tarvelo; do
    readelf -h "$f" | grep -q "Machine: *$machine" || { echo "!! not built for $arch: $f"; return 1; }
  done
  ci_step_done "$arch: build"

  # What the cross build leaves out, said where the reader sees it.
  [ -x "$build/fuzz/arithmetic_replay" ] ||
    ci_note "NOT BUILT for $arch: fuzz_corpus_arithmetic (its reference MD5 is OpenSSL's, and" \
      "no libcrypto for $arch is installed: Debian's libssl-dev:$debian_arch installs only while its" \
      "version matches the machine's own, which the archives do not promise); unit_tests checks" \
      "the digest against every vector instead"
  ci_note "NOT BUILT for $arch: Install.HostProjectFindsTheHeaderAndTheExit (it builds a host" \
    "project with the build machine's own CMake package search); it runs in the x86-64 suite"
  ci_note "NOT RUN under qemu-$arch: ${unsupported//|/, } (a seccomp filter, and Ctrl-C" \
    "while threads allocate, are beyond the emulator); they run in the x86-64 suite"

  local status=0
  ci_emulate "$arch" ctest --test-dir "$build" --output-on-failure -j "$ci_jobs" \
    -E "^($unsupported)\$" || status=$?
  ci_step_done "$arch: tests under qemu-$arch" fixed
  return $status
}

status=0
for arch in "${arches[@]}"; do
  cross "$arch" || { status=1; echo "!! $arch failed"; }
done
exit $status
