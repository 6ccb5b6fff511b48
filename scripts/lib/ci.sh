# The pieces the CI scripts share. Sourced, never run:
#
#   . "$(dirname "$0")/lib/ci.sh"
#
# It moves to the project's root and sets ci_root, and ci_jobs (TARVELO_JOBS,
# default 2: the machines this runs on have two processors).
# shellcheck shell=bash

ci_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$ci_root"
ci_jobs=${TARVELO_JOBS:-2}

# Step timing: ci_step_done NAME prints the seconds since the previous step
# ended (or since the script began).
ci_step_start=$SECONDS
ci_step_done() {
  echo "-- $1: $((SECONDS - ci_step_start)) s"
  ci_step_start=$SECONDS
}

# ci_note TEXT...: a line that the reader of a whole CI run must see (which
# 32-bit route ran, what could not run): printed now, and again under
# .ci/run's table of stages (TARVELO_CI_NOTES names the file it collects).
ci_note() {
  echo "NOTE: $*"
  [ -z "${TARVELO_CI_NOTES:-}" ] || echo "$(basename "$0") $*" >>"$TARVELO_CI_NOTES"
}

# ci_as_root COMMAND...: through sudo unless root already.
ci_as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# ci_quiet LOG COMMAND...: the command's output goes to LOG, which is shown
# (its end) only when the command fails; the command's status is returned.
ci_quiet() {
  local log=$1 status=0
  shift
  "$@" >"$log" 2>&1 || status=$?
  if [ $status -ne 0 ]; then
    tail -n 80 "$log"
    echo "!! failed with status $status: $* (whole output: $log)"
    return $status
  fi
  rm -f "$log"
}

# ci_configure DIR [CMAKE ARGUMENTS...]: a quiet configure with Ninja.
ci_configure() {
  local dir=$1
  shift
  mkdir -p "$dir"
  ci_quiet "$dir/configure.log" cmake -S "$ci_root" -B "$dir" -G Ninja "$@"
}

# ci_build DIR [BUILD ARGUMENTS...]: a quiet build.
ci_build() {
  local dir=$1
  shift
  ci_quiet "$dir/build.log" cmake --build "$dir" -j "$ci_jobs" "$@"
}

# ci_add_i386: Debian's i386 architecture, for 32-bit libraries and Wine's
# 32-bit loader. scripts/setup.sh updates the package lists when it installs.
ci_add_i386() {
  dpkg --print-foreign-architectures | grep -qx i386 || ci_as_root dpkg --add-architecture i386
}

# ci_build_gtest DIR [CMAKE ARGUMENTS...]: GoogleTest for the target the
# arguments name (a toolchain file, -m32 flags), built once into DIR/prefix
# from the sources in Debian's googletest package: libgtest-dev holds the
# build machine's own libraries only. Sets ci_gtest_dir, for -DGTest_DIR.
ci_build_gtest() {
  local dir=$1
  shift
  ci_gtest_dir=$dir/prefix/lib/cmake/GTest
  [ -f "$ci_gtest_dir/GTestConfig.cmake" ] && return 0
  mkdir -p "$dir"
  ci_quiet "$dir/configure.log" cmake -S /usr/src/googletest -B "$dir" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$dir/prefix" "$@" &&
    ci_build "$dir" --target install
}

# ci_32bit_route PROBE [ARGUMENTS...]: how this stage runs 32-bit programs,
# in ci_32bit_route, from TARVELO_32BIT:
#   auto (the default)  native where PROBE, a 32-bit program, starts here;
#                       emulated where the kernel refuses it ("Exec format
#                       error", status 126);
#   emulate             emulated, even where the kernel could start it, so
#                       that any machine can check that route;
#   native              native, or the stage fails.
# Emulated means under Debian's qemu-i386 (scripts/lib/emulate-i386.sh).
# Prints the route and why.
ci_32bit_route() {
  local wanted=${TARVELO_32BIT:-auto} status=0
  case $wanted in
  auto | native | emulate) ;;
  *)
    echo "!! TARVELO_32BIT=$wanted: it takes auto, native or emulate"
    return 2
    ;;
  esac
  if [ "$wanted" = emulate ]; then
    ci_32bit_route=emulated
    ci_note "32-bit route: emulated (TARVELO_32BIT=emulate)"
    return 0
  fi
  "$@" >/dev/null 2>&1 </dev/null || status=$?
  if [ $status -ne 126 ]; then
    ci_32bit_route=native
    ci_note "32-bit route: native (this kernel starts 32-bit programs)$(ci_i386_handlers)"
  elif [ "$wanted" = native ]; then
    echo "!! TARVELO_32BIT=native, but this kernel cannot start 32-bit programs: $1 gives status 126"
    return 1
  else
    ci_32bit_route=emulated
    ci_note "32-bit route: emulated (this kernel cannot start 32-bit programs: $1 gives status 126)"
  fi
}

# A binfmt_misc handler of the machine's for i386 programs would take them
# even where the kernel could start them: named, so that "native" never
# hides it.
ci_i386_handlers() {
  local entry found=()
  for entry in /proc/sys/fs/binfmt_misc/*; do
    case ${entry##*/} in register | status) continue ;; esac
    grep -qx enabled "$entry" 2>/dev/null && grep -q '^magic 7f454c460101.*0300' "$entry" 2>/dev/null &&
      found+=("${entry##*/} ($(sed -n 's/^interpreter //p' "$entry"))")
  done
  [ ${#found[@]} -eq 0 ] || echo "; but the machine's binfmt_misc hands them to ${found[*]}"
}

# ci_emulate_i386 COMMAND...: runs the command with every 32-bit program it
# starts under qemu-i386 (see scripts/lib/emulate-i386.sh).
ci_emulate_i386() {
  "$ci_root/scripts/lib/emulate-i386.sh" "$@"
}

# ci_install_qemu: Debian's qemu-user without its recommended
# qemu-user-binfmt, which would register handlers for the whole machine for
# good.
ci_install_qemu() {
  "$ci_root/scripts/setup.sh" --no-install-recommends qemu-user
}
