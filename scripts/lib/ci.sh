# The pieces the CI scripts share. Sourced, never run:
#
#   . "$(dirname "$0")/lib/ci.sh"
#
# It moves to the project's root and sets ci_root, and ci_jobs (TARVELO_JOBS,
# default 2: the machines this runs on have two processors).
# shellcheck shell=bash

ci_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
ci_jobs=${TARVELO_JOBS:-2}

# The CI cache: what one run keeps for the next, outside the checkout, in
# TARVELO_CI_CACHE (default ~/.cache/tarvelo-ci; set empty, none at all).
# Never required: absent or empty, every stage runs whole, and a hosted CI
# system may keep the directory between runs or not. It holds
#   ccache/      the compiler cache (ci_ccache);
#   googletest/  GoogleTest built for each toolchain (ci_build_gtest);
#   clang-tidy/  the translation units clang-tidy read without a finding
#                (scripts/clang_tidy_cached.py);
#   apt/         the packages of the private roots (ci_foreign_root);
#   wine/        Wine's prefixes (scripts/ci-windows.sh).
ci_cache=${TARVELO_CI_CACHE-${HOME:-/root}/.cache/tarvelo-ci}

# One path for every checkout, for the cache's sake: the builds bake
# absolute paths into the tests (the exit's and the program's paths in the
# build, the documents' directory), which no compiler cache maps from one
# clone to another, so a fresh clone at another path would compile every
# test again. Where TARVELO_CI_PATH names a path (.ci/run sets
# /run/tarvelo-ci/checkout), the cache is on and this runs as root, the
# script that sourced this file runs again in a mount namespace of its own,
# with the checkout bound at that path: every run sees its own checkout
# there, concurrent runs too, and nothing outside the run sees it. The
# build directories then name that path, and belong to runs made the same
# way.
ci_script=$(realpath "$0" 2>/dev/null) || ci_script=""
if [ -n "${TARVELO_CI_PATH:-}" ] && [ -n "$ci_cache" ] && [ "$ci_root" != "$TARVELO_CI_PATH" ] &&
  [ "${ci_script#"$ci_root"/}" != "$ci_script" ] && [ "$(id -u)" -eq 0 ] &&
  mkdir -p "$TARVELO_CI_PATH" 2>/dev/null && unshare --mount --propagation private true 2>/dev/null; then
  # shellcheck disable=SC2016 # expanded by the inner shell
  exec unshare --mount --propagation private -- bash -c \
    'mount --bind "$1" "$2" && cd "$2" && shift 2 && exec bash "$@"' bash "$ci_root" "$TARVELO_CI_PATH" \
    "$TARVELO_CI_PATH/${ci_script#"$ci_root"/}" "$@"
fi
cd "$ci_root"

# Step timing: ci_step_done NAME [fixed] prints the seconds since the
# previous step ended (or since the script began); "fixed" marks them as
# the stage's work by design (ci_fixed below).
ci_step_start=$SECONDS
ci_step_done() {
  echo "-- $1: $((SECONDS - ci_step_start)) s"
  [ "${2:-}" != fixed ] || ci_fixed $((SECONDS - ci_step_start)) "$1"
  ci_step_start=$SECONDS
}

# ci_cache_use HITS LOOKUPS WHAT: what a cache gave a stage, for .ci/run's
# table of stages (the compiler cache's own figures it reads itself).
ci_cache_use() {
  echo "-- cache: $3: $1 of $2 from the cache"
  [ -z "${TARVELO_CI_STAGE_LOG:-}" ] || echo "cache $1 $2 $3" >>"$TARVELO_CI_STAGE_LOG"
}

# ci_fixed SECONDS WHAT: time of a stage that is its work by design (a
# fuzzer's fixed time, memcheck over every program, a suite under an
# emulator), which no cache shortens: .ci/run's table shows it apart, so
# that a new stage is planned against what is left.
ci_fixed() {
  [ -z "${TARVELO_CI_STAGE_LOG:-}" ] || echo "fixed $1 $2" >>"$TARVELO_CI_STAGE_LOG"
}

# ci_ccache: the compiler cache for every build configured after it, in
# ci_launcher (CMake arguments: Debian's ccache as every compiler's
# launcher, gcc, clang, MinGW-w64 and the cross compilers alike). Paths
# under the checkout are handed to the compiler relative to the build
# directory (base_dir) and the working directory is not hashed (hash_dir
# false), so that two clones at different paths share their results; the
# debug information of an object found in the cache then names the
# directory of the clone that compiled it first, which only a debugger
# reads. Where the cache is off or ccache cannot be installed, ci_launcher
# clears any launcher a build directory kept from before.
ci_launcher=()
ci_ccache() {
  [ ${#ci_launcher[@]} -eq 0 ] || return 0
  ci_launcher=(-DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER=)
  [ -n "$ci_cache" ] || return 0
  if ! command -v ccache >/dev/null; then
    ci_apt_install ccache >/dev/null 2>&1 || {
      echo "-- no compiler cache: Debian's ccache could not be installed"
      return 0
    }
  fi
  export CCACHE_DIR=$ci_cache/ccache CCACHE_BASEDIR=$ci_root CCACHE_NOHASHDIR=1
  export CCACHE_MAXSIZE=${TARVELO_CI_CCACHE_SIZE:-6G}
  ci_launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
}

# ci_ccache_counts: "HITS MISSES" of the compiler cache so far (0 0 where
# there is none).
ci_ccache_counts() {
  if [ -n "$ci_cache" ] && [ -d "$ci_cache/ccache" ] && command -v ccache >/dev/null; then
    CCACHE_DIR=$ci_cache/ccache ccache --print-stats | awk '
      $1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" { hits += $2 }
      $1 == "cache_miss" { misses += $2 }
      END { print hits + 0, misses + 0 }'
  else
    echo "0 0"
  fi
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

# The run's own state, in TARVELO_CI_RUN: a directory that .ci/run makes
# afresh for each run and every stage of it shares; a stage script run on
# its own makes one of its own (build-ci-run.PID, removed when it ends),
# shared by what it starts.
if [ -z "${TARVELO_CI_RUN:-}" ]; then
  export TARVELO_CI_RUN=$ci_root/build-ci-run.$$
  rm -rf "$TARVELO_CI_RUN"
  trap 'rm -rf "$TARVELO_CI_RUN"' EXIT
fi
mkdir -p "$TARVELO_CI_RUN"

# ci_apt_install [APT-GET INSTALL OPTIONS...] PACKAGE...: installs the
# packages that are not installed yet, after updating the package lists.
#
# The lists are updated once in a run (TARVELO_CI_RUN), and again only
# when the machine's architectures change (ci_add_i386). A mirror in
# mid-sync serves an index that does not match its Release file ("File has
# unexpected size ... Mirror sync in progress?"), for an hour or more: an
# update that fails on an index not seen failing before in the run is tried
# again (TARVELO_APT_TRIES times in all, default 2, TARVELO_APT_WAIT seconds
# apart, default 30); the indexes that still fail are written down
# (apt-failed), and no later update of the run waits on them again: one
# that fails only on those is taken as it is. The install then uses
# whatever lists there are (older lists may still hold the packages), and
# is tried again only where a download failed. Where the packages still
# cannot be installed, it fails with a message on stderr that names them
# and the indexes that could not be fetched, so that a stage stops there
# and then, not at a compiler error about a missing header later. Other
# builds may be installing on the same machine: apt waits up to 15 minutes
# for their lock.
ci_apt_install() {
  local options=() missing=() lock status=0
  while [ $# -gt 0 ] && [ "${1#--}" != "$1" ]; do
    options+=("$1")
    shift
  done
  mapfile -t missing < <(ci_apt_missing "$@")
  [ ${#missing[@]} -gt 0 ] || return 0
  # The installs of a run take turns on its lock, should two of its stages
  # ever install at once: neither then finds apt's locks taken, each sees
  # the lists the other updated, and what the other installed meanwhile is
  # not installed again.
  exec {lock}>>"$TARVELO_CI_RUN/apt.lock"
  flock "$lock"
  mapfile -t missing < <(ci_apt_missing "$@")
  [ ${#missing[@]} -eq 0 ] || ci_apt_install_missing || status=$?
  exec {lock}>&-
  return $status
}
# ci_apt_missing PACKAGE...: those not installed, one to a line.
ci_apt_missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}
# ci_apt_install_missing: ci_apt_install's own work, on its options and
# missing packages (its locals), with its lock held.
ci_apt_install_missing() {
  local try tries=${TARVELO_APT_TRIES:-2} wait=${TARVELO_APT_WAIT:-30}
  echo "installing: ${missing[*]}"
  local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900)
  local log failed=$TARVELO_CI_RUN/apt-failed updated=$TARVELO_CI_RUN/apt-updated architectures
  log=$(mktemp /tmp/tarvelo-apt-XXXXXX)
  touch "$failed"
  architectures="$(dpkg --print-architecture) $(dpkg --print-foreign-architectures | paste -sd ' ')"
  local fresh=0 unfetched="" new
  if [ "$(cat "$updated" 2>/dev/null)" = "$architectures" ]; then
    fresh=1
  else
    for ((try = 1; try <= tries; try++)); do
      if ci_as_root "${apt[@]}" update -qq >"$log" 2>&1 && ! grep -q '^[WE]: Failed to fetch' "$log"; then
        fresh=1
        break
      fi
      unfetched=$(grep -oE 'Failed to fetch [^ ]+' "$log" | sed 's/^Failed to fetch //' | sort -u || true)
      new=$(comm -23 <(echo "$unfetched") <(sort -u "$failed"))
      {
        echo "apt-get update, try $try of $tries, failed:"
        grep -E '^[WE]: ' "$log" | sed 's/^/  /' || true
      } >&2
      # Only the indexes that failed before in this run: not waited on again.
      if [ -z "$new" ] && [ -n "$unfetched" ]; then
        echo "  (each of these failed earlier in this run: not waited on again)" >&2
        break
      fi
      [ "$try" -eq "$tries" ] || sleep "$wait"
    done
    if [ -n "$unfetched" ]; then
      sort -u "$failed" - <<<"$unfetched" >"$failed.new" && mv "$failed.new" "$failed"
    fi
    # The lists are as good as this run will get them.
    if [ $fresh -eq 1 ] || [ -n "$unfetched" ]; then
      echo "$architectures" >"$updated"
    fi
  fi
  [ -s "$failed" ] && unfetched=$(cat "$failed")
  local installed=0
  for ((try = 1; try <= 2; try++)); do
    if ci_as_root "${apt[@]}" install -y -qq "${options[@]}" "${missing[@]}" >>"$log" 2>&1; then
      installed=1
      break
    fi
    grep -qE '(Failed|Unable) to fetch' "$log" || break
    [ "$try" -eq 2 ] || sleep "$wait"
  done
  if [ $installed -eq 0 ]; then
    {
      echo "!! could not install these Debian packages: ${missing[*]}"
      if [ -n "$unfetched" ]; then
        echo "   the package lists could not all be updated in this run; the indexes that could"
        echo "   not be fetched (a mirror in mid-sync serves indexes that do not match their"
        echo "   Release file for a while; try again later):"
        sed 's/^/     /' <<<"$unfetched"
      fi
      echo "   apt said:"
      grep -E '^(E|W): ' "$log" | sort -u | sed 's/^/     /' || true
    } >&2
    rm -f "$log"
    return 1
  fi
  [ -z "$unfetched" ] || {
    echo "NOTE: installed ${missing[*]} from package lists that could not all be updated:"
    sed 's/^/  /' <<<"$unfetched"
  } >&2
  rm -f "$log"
}

# Debug information, for builds that no one debugs. gcc and clang make the
# same instructions and data with -g as without (the debug information is
# sections of its own), so a suite runs the very code it ran with it; but
# writing it takes about a quarter of a compile's time. ci_no_debug_info:
# CMake arguments for a build whose debug information nobody reads (a
# suite on another processor, under an emulator or Wine): RelWithDebInfo's
# -O2 -DNDEBUG without -g. ci_line_tables: for a checker's build, line
# tables alone (-g1), which its reports need for the file and line of a
# finding. The builds whose debug information is read keep -g: the
# README's (its packages carry it), the shipped DLL's, memcheck's.
ci_no_debug_info=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG")
ci_line_tables=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")

# ci_configure DIR [CMAKE ARGUMENTS...]: a quiet configure with Ninja.
ci_configure() {
  local dir=$1
  shift
  ci_ccache
  mkdir -p "$dir"
  ci_quiet "$dir/configure.log" cmake -S "$ci_root" -B "$dir" -G Ninja "${ci_launcher[@]}" "$@"
}

# ci_build DIR [BUILD ARGUMENTS...]: a quiet build.
ci_build() {
  local dir=$1
  shift
  ci_quiet "$dir/build.log" cmake --build "$dir" -j "$ci_jobs" "$@"
}

# ci_add_i386: Debian's i386 architecture, for 32-bit libraries and Wine's
# 32-bit loader. scripts/setup.sh updates the package lists when it installs
# (ci_apt_install).
ci_add_i386() {
  dpkg --print-foreign-architectures | grep -qx i386 || ci_as_root dpkg --add-architecture i386
}

# ci_multilib: the package of the machine's own g++ for -m32 (g++-12-multilib
# on Debian 12), which brings gcc's too. Not Debian's g++-multilib: that
# depends on gcc-multilib, which the cross compilers of ci-cross.sh
# conflict with, so that each stage of a run would remove the other's
# (ci_m32_flags gives what gcc-multilib held).
ci_multilib() {
  "$ci_root/scripts/setup.sh" >/dev/null || return 1
  echo "g++-$(g++ -dumpversion | cut -d. -f1)-multilib"
}

# ci_m32_flags: the compiler flags for -m32 on this x86-64 machine: -m32,
# and where the kernel's headers for it (<asm/...>) lie. Debian's
# gcc-multilib is nothing but /usr/include/asm, a link to the x86-64 ones,
# which serve both; since the cross compilers conflict with it, the same
# link lies in build-m32-include/, for the stage's compiles alone.
ci_m32_flags() {
  mkdir -p "$ci_root/build-m32-include" &&
    ln -sfn "/usr/include/$(gcc -print-multiarch)/asm" "$ci_root/build-m32-include/asm" &&
    echo "-m32 -isystem $ci_root/build-m32-include"
}

# ci_foreign_root ARCH DIR PACKAGE...: Debian's PACKAGEs for the
# architecture ARCH (Debian's name: i386, s390x, ppc64el, arm64), with
# everything they depend on, unpacked into DIR: nothing is installed on the
# machine, no package script runs, and the machine's package lists are not
# touched. For what the machine's own lists cannot give: a library of
# another architecture installed beside its amd64 twin must be of the very
# same version, and once the amd64 one has a security update, its twin
# comes only from the security archive's index for that architecture,
# which a mirror in mid-sync withholds (apt then finds no way to install it
# at all). The lists used here are Debian 12's main archive and its updates
# only, whose versions agree with each other; apt checks them against their
# signed Release files, as it does the machine's own, and each package
# against them. What lies in DIR is used from there: qemu takes it as the
# root of a program's libraries (QEMU_LD_PREFIX), a build links its static
# libraries. TARVELO_DEBIAN_MIRROR names another mirror (default
# http://deb.debian.org/debian). Made once: kept while it holds the same
# packages; DIR.apt/versions lists each package unpacked with its version
# ("Package: wine32 Version: 8.0~repack-4").
ci_foreign_root() {
  local arch=$1 dir=$2 mirror=${TARVELO_DEBIAN_MIRROR:-http://deb.debian.org/debian} try deb
  shift 2
  local state=$dir.apt wanted="$arch $*"
  [ "$(cat "$dir/.tarvelo-packages" 2>/dev/null)" = "$wanted" ] && return 0
  rm -rf "$dir" "$state"
  # The packages are kept in the CI cache, by root: those the lists still
  # name are not downloaded again (apt checks each against them as ever).
  local archives=$state/archives
  [ -z "$ci_cache" ] || archives=$ci_cache/apt/$(basename "$dir")
  mkdir -p "$state/lists/partial" "$archives/partial" "$dir"
  : >"$state/status"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  printf 'deb [arch=%s signed-by=%s] %s %s main\n' \
    "$arch" "$keyring" "$mirror" bookworm "$arch" "$keyring" "$mirror" bookworm-updates \
    >"$state/sources.list"
  local apt=(apt-get -o APT::Architecture="$arch" -o APT::Architectures::="$arch"
    -o Dir::State="$state" -o Dir::State::lists="$state/lists" -o Dir::State::status="$state/status"
    -o Dir::Cache="$state" -o Dir::Cache::archives="$archives"
    -o Dir::Etc::sourcelist="$state/sources.list" -o Dir::Etc::sourceparts=-
    -o Dir::Etc::preferencesparts=- -o APT::Install-Recommends=false -o Debug::NoLocking=true)
  for ((try = 1; try <= 3; try++)); do
    if "${apt[@]}" update -qq >"$state/update.log" 2>&1 && ! grep -q '^[WE]: ' "$state/update.log"; then
      break
    fi
    echo "apt-get update of the private $arch lists, try $try of 3, failed:" >&2
    sed 's/^/  /' "$state/update.log" >&2
    [ $try -eq 3 ] && return 1
    sleep 30
  done
  # The packages the lists give, with everything they depend on.
  local debs=() name version kept=0 resolved
  resolved=$("${apt[@]}" -s install "$@" 2>/dev/null | sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*/\1 \2/p')
  while read -r name version; do
    deb=$archives/${name}_${version//:/%3a}_
    [ -z "$(compgen -G "$deb*.deb")" ] || kept=$((kept + 1))
    debs+=("$deb")
  done <<<"$resolved"
  [ -n "$resolved" ] || { echo "!! apt names no package to unpack for: $*" >&2; return 1; }
  # The root as unpacked is kept too, by the very versions it holds: found,
  # it is the same files, without unpacking every package again.
  local unpacked=""
  if [ -n "$ci_cache" ]; then
    unpacked=$ci_cache/apt/$(basename "$dir")-$(echo "$arch $resolved" | sha256sum | cut -c1-16).tar
    if [ -f "$unpacked" ] && tar -xf "$unpacked" -C "$dir" && [ -f "$dir/.tarvelo-versions" ]; then
      mv "$dir/.tarvelo-versions" "$state/versions"
      echo "-- private $arch root $dir: ${#debs[@]} packages, as unpacked before"
      ci_cache_use 1 1 "the unpacked $(basename "$dir")"
      echo "$wanted" >"$dir/.tarvelo-packages"
      return 0
    fi
    rm -rf "$dir" && mkdir -p "$dir"
  fi
  ci_quiet "$state/download.log" "${apt[@]}" install -y --download-only "$@" || return 1
  for deb in "${debs[@]}"; do
    deb=$(compgen -G "$deb*.deb" | head -n 1)
    dpkg-deb -x "$deb" "$dir" && dpkg-deb -f "$deb" Package Version | paste -sd ' ' || return 1
  done >"$state/versions"
  echo "-- private $arch root $dir: ${#debs[@]} packages, $(du -sh "$dir" | cut -f1)"
  if [ -n "$ci_cache" ]; then
    ci_cache_use "$kept" "${#debs[@]}" "packages of $(basename "$dir")"
    ci_cache_use 0 1 "the unpacked $(basename "$dir")"
    # Older versions go, and older unpacked roots.
    for deb in "$archives"/*.deb; do
      grep -qxF "$(dpkg-deb -f "$deb" Package Version | paste -sd ' ')" "$state/versions" || rm -f "$deb"
    done
    rm -f "$ci_cache/apt/$(basename "$dir")"-*.tar
    cp "$state/versions" "$dir/.tarvelo-versions" &&
      tar -cf "$unpacked.part" -C "$dir" . && mv "$unpacked.part" "$unpacked"
    rm -f "$dir/.tarvelo-versions"
  else
    rm -rf "$archives"
  fi
  echo "$wanted" >"$dir/.tarvelo-packages"
}

# ci_foreign_zlib ARCH TRIPLET DIR: Debian's zlib1g-dev for ARCH from a
# private root (ci_foreign_root) in DIR, for a program that links zlib in
# whole. Sets ci_zlib to the CMake arguments that name its static library
# and its two headers alone (the root's C library headers stay out of the
# build), and its version in ci_zlib_version.
ci_foreign_zlib() {
  local arch=$1 triplet=$2 dir=$3
  ci_foreign_root "$arch" "$dir" zlib1g-dev && [ -f "$dir/usr/lib/$triplet/libz.a" ] || return 1
  mkdir -p "$dir.include"
  cp "$dir/usr/include/zlib.h" "$dir/usr/include/zconf.h" "$dir.include/" || return 1
  ci_zlib=(-DTARVELO_ZLIB=ON -DZLIB_INCLUDE_DIR="$dir.include" -DZLIB_LIBRARY="$dir/usr/lib/$triplet/libz.a")
  ci_zlib_version=$(sed -n 's/^Package: zlib1g-dev Version: //p' "$dir.apt/versions")
}

# ci_build_gtest DIR [CMAKE ARGUMENTS...]: GoogleTest for the target the
# arguments name (a toolchain file, -m32 flags), built in DIR from the
# sources in Debian's googletest package (libgtest-dev holds the build
# machine's own libraries only) and installed once: into the CI cache,
# under DIR's name and a key of everything the build depends on (the
# arguments, the toolchain file, CFLAGS, CXXFLAGS and LDFLAGS, the versions
# of googletest, CMake and the compiler packages), else into DIR/prefix.
# Sets ci_gtest_dir, for -DGTest_DIR.
ci_build_gtest() {
  local dir=$1 prefix
  shift
  ci_ccache
  prefix=$dir/prefix
  [ -z "$ci_cache" ] || prefix=$ci_cache/googletest/$(basename "$dir")-$(ci_gtest_key "$dir" "$@")
  ci_gtest_dir=$prefix/lib/cmake/GTest
  if [ -f "$ci_gtest_dir/GTestConfig.cmake" ]; then
    [ -z "$ci_cache" ] || ci_cache_use 1 1 "GoogleTest ($(basename "$dir"))"
    return 0
  fi
  # Installed beside its place and moved there whole: a build that stops
  # half-way leaves nothing a later run would take for GoogleTest.
  rm -rf "$dir" "$prefix.part"
  mkdir -p "$dir"
  ci_quiet "$dir/configure.log" cmake -S /usr/src/googletest -B "$dir" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$prefix.part" \
    "${ci_launcher[@]}" "$@" &&
    ci_build "$dir" --target install || return 1
  rm -rf "$prefix"
  mv "$prefix.part" "$prefix"
  [ -z "$ci_cache" ] || ci_cache_use 0 1 "GoogleTest ($(basename "$dir"))"
}

# ci_gtest_key DIR [CMAKE ARGUMENTS...]: the key of ci_build_gtest's
# cache: the arguments, the toolchain file, the flags from the environment,
# GoogleTest's and CMake's versions, and the C++ compiler's own account of
# itself with its Debian package's version (the compiler the toolchain file
# names, else CXX or c++).
ci_gtest_key() {
  local dir=$1 a toolchain="" defines=() compiler
  shift
  for a in "$@"; do
    case $a in
    -DCMAKE_TOOLCHAIN_FILE=*) toolchain=${a#*=} ;;
    -D*) defines+=("$a") ;;
    esac
  done
  compiler=${CXX:-c++}
  if [ -n "$toolchain" ]; then
    # shellcheck disable=SC2016 # CMake's variables
    echo 'include(${CMAKE_TOOLCHAIN_FILE})
message(NOTICE "${CMAKE_CXX_COMPILER}")' >"$dir.compiler.cmake"
    compiler=$(cmake "${defines[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -P "$dir.compiler.cmake" 2>&1)
    rm -f "$dir.compiler.cmake"
    # A toolchain file that names no compiler (-m32's) leaves the default.
    [ -n "$compiler" ] || compiler=${CXX:-c++}
  fi
  compiler=$(command -v "$compiler") || compiler=""
  {
    printf '%s\n' "${@//$ci_root/ROOT}"
    [ -z "$toolchain" ] || cat "$toolchain"
    echo "CFLAGS=${CFLAGS:-} CXXFLAGS=${CXXFLAGS:-} LDFLAGS=${LDFLAGS:-}"
    cmake --version | head -n 1
    dpkg-query -W -f='${Version}\n' googletest
    if [ -n "$compiler" ]; then
      "$compiler" -v 2>&1
      dpkg-query -W -f='${Version}\n' "$(dpkg -S "$(readlink -f "$compiler")" | cut -d: -f1)"
    fi
  } 2>/dev/null | sha256sum | cut -c1-16
}

# ci_32bit_route PROBE [ARGUMENTS...]: how this stage runs 32-bit programs,
# in ci_32bit_route, from TARVELO_32BIT:
#   auto (the default)  native where PROBE, a 32-bit program, starts here;
#                       emulated where the kernel refuses it ("Exec format
#                       error", status 126);
#   emulate             emulated, even where the kernel could start it, so
#                       that any machine can check that route;
#   native              native, or the stage fails.
# Emulated means under Debian's qemu-i386 (scripts/lib/emulate.sh).
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

# ci_emulate ARCH COMMAND...: runs the command with every program for ARCH
# (i386, s390x, ppc64le, aarch64) that it starts under Debian's qemu for
# that architecture (see scripts/lib/emulate.sh).
ci_emulate() {
  "$ci_root/scripts/lib/emulate.sh" "$@"
}

# ci_install_qemu: Debian's qemu-user without its recommended
# qemu-user-binfmt, which would register handlers for the whole machine for
# good.
ci_install_qemu() {
  "$ci_root/scripts/setup.sh" --no-install-recommends qemu-user
}
