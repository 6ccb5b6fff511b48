#!/usr/bin/env bash
# Runs a command with every program of another architecture that it starts,
# at any depth, run by Debian's user-mode emulator for it (package
# qemu-user):
#
#   scripts/lib/emulate.sh ARCH COMMAND [ARGUMENTS...]
#
# ARCH is one of:
#   i386     32-bit x86, for machines whose kernel cannot start 32-bit
#            programs (IA-32 emulation turned off), and for any machine when
#            TARVELO_32BIT=emulate asks for the emulated route; its libraries
#            come from Debian's i386 architecture;
#   s390x    64-bit mainframes, big-endian;
#   ppc64le  64-bit POWER, little-endian;
#   aarch64  64-bit ARM;
# the last three cross-built with Debian's cross compilers, whose libraries
# (the C library, the C++ runtime) lie in /usr/<triplet>: qemu takes them
# from a guest root (QEMU_LD_PREFIX) that holds them as /lib and the
# machine's own directories beside them, so that "/" is the machine's root
# to the guest as well.
#
# Programs that the command starts itself can be handed to the emulator by
# name (CMake's CMAKE_CROSSCOMPILING_EMULATOR); those that they start in
# turn (a test starting the tarvelo program, Wine starting its services)
# reach it through a binfmt_misc handler, which the kernel consults for
# every program it starts. The handler is registered:
#   - in a user and mount namespace of the command's own, where the kernel
#     gives such a namespace a binfmt_misc of its own (Linux 6.7 and later):
#     nothing outside the command sees it, and it goes with the command's
#     last process, however the command ends;
#   - else, as root, for the whole machine, under a name of this run's own,
#     and removed when the command ends (on a signal too, but not on
#     SIGKILL). While it is there every such program on the machine runs
#     emulated, so the namespace is always tried first.
# Where neither can be done, it says so and runs the command anyway: what
# starts such programs of its own then fails, and shows it.
#
# The command also gets a /tmp of its own, in memory (tmpfs), wherever a
# mount namespace can be made: ext4 numbers directory entries with 64-bit
# offsets, which a 32-bit readdir cannot hold (EOVERFLOW). The kernel hands
# 32-bit programs 32-bit offsets, but under qemu-i386 it sees qemu's 64-bit
# calls, so a test listing its scratch directory in /tmp would see nothing.
# tmpfs numbers entries in order, from 2. The directory the command runs in
# stays visible there, should it lie in /tmp. (The 64-bit architectures do
# not need it, but get it too: their tests' scratch files stay theirs.)
#
# The first line of output says which of these ran. The exit status is the
# command's. Guest crashes leave no core files behind.
set -euo pipefail

# The ELF header of each architecture's programs as qemu's own binfmt
# configuration matches it (class, byte order, an executable or a shared
# object, machine), and the directory of its libraries.
arch=${1:-}
case $arch in
i386)
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  sysroot=""
  ;;
s390x)
  magic='\x7fELF\x02\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x16'
  mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff'
  sysroot=/usr/s390x-linux-gnu
  ;;
ppc64le)
  magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x15\x00'
  mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\x00'
  sysroot=/usr/powerpc64le-linux-gnu
  ;;
aarch64)
  magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
  mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  sysroot=/usr/aarch64-linux-gnu
  ;;
*)
  echo "usage: $0 i386|s390x|ppc64le|aarch64 COMMAND [ARGUMENTS...]" >&2
  exit 2
  ;;
esac
shift
qemu=/usr/bin/qemu-$arch
binfmt=/proc/sys/fs/binfmt_misc
if [ -n "$sysroot" ]; then
  [ -d "$sysroot/lib" ] || { echo "!! $sysroot/lib is missing: install Debian's cross compiler for $arch" >&2; exit 1; }
  export QEMU_LD_PREFIX=$sysroot
fi

# register <name>: P keeps the program's own argv[0]; F opens the emulator now,
# so that the handler works whatever the mount namespace of a later program.
register() {
  printf ':%s:M::%s:%s:%s:PF' "$1" "$magic" "$mask" "$qemu" >"$binfmt/register"
}

# Inside the namespaces that the outer call made (root there, and only
# there): the handler if asked for, and /tmp.
if [ "${1:-}" = "--in-namespace" ] || [ "${1:-}" = "--private-tmp" ]; then
  if [ "$1" = "--in-namespace" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
    register "tarvelo-$arch"
  fi
  shift
  # The directory the command runs in may itself lie in /tmp (a fresh clone
  # in CI), and so may the CI cache (TARVELO_CI_CACHE): the top directory
  # of each there is bound into the new /tmp, through a descriptor opened
  # on it before the old /tmp is covered.
  keep=""
  case $PWD/ in /tmp/?*) keep=${PWD#/tmp/} && keep=${keep%%/*} ;; esac
  cache_keep=""
  case ${TARVELO_CI_CACHE:-}/ in /tmp/?*) cache_keep=${TARVELO_CI_CACHE#/tmp/} && cache_keep=${cache_keep%%/*} ;; esac
  [ "$cache_keep" != "$keep" ] && [ -d "/tmp/$cache_keep" ] || cache_keep=""
  [ -z "$keep" ] || exec 9<"/tmp/$keep"
  [ -z "$cache_keep" ] || exec 8<"/tmp/$cache_keep"
  mount -t tmpfs -o mode=1777 tarvelo-tmp /tmp
  if [ -n "$keep" ]; then
    mkdir "/tmp/$keep"
    mount --no-canonicalize --bind /proc/self/fd/9 "/tmp/$keep"
    exec 9<&-
  fi
  if [ -n "$cache_keep" ]; then
    mkdir "/tmp/$cache_keep"
    mount --no-canonicalize --bind /proc/self/fd/8 "/tmp/$cache_keep"
    exec 8<&-
  fi
  # The guest's root. qemu takes every absolute path that exists under
  # QEMU_LD_PREFIX from there, "/" itself included, so a program that walks
  # a path from "/" (the exit's log path, one part at a time) would find
  # the cross compiler's directory and no /tmp in it. The guest root holds
  # the target's libraries as /lib, and every other directory of the
  # machine's root bound in as it is: "/" then leads to what it leads to on
  # the target.
  if [ -n "$sysroot" ]; then
    guest=/tmp/.tarvelo-guest-root
    mkdir -p "$guest"
    for entry in /*; do
      name=${entry#/}
      case $name in lib | lib32 | lib64 | libx32) continue ;; esac
      if [ -d "$entry" ] && [ ! -L "$entry" ]; then
        mkdir -p "$guest/$name"
        mount --no-canonicalize --rbind "$entry" "$guest/$name"
      fi
    done
    for name in lib lib32 lib64 libx32; do
      [ ! -d "$sysroot/$name" ] || ln -s "$sysroot/$name" "$guest/$name"
    done
    export QEMU_LD_PREFIX=$guest
  fi
  ulimit -c 0
  exec "$@"
fi

[ $# -gt 0 ] || { echo "usage: $0 $arch COMMAND [ARGUMENTS...]" >&2; exit 2; }
[ -x "$qemu" ] || { echo "!! $qemu is missing: install Debian's qemu-user" >&2; exit 1; }
version=$("$qemu" --version | head -n 1)

namespace=(unshare --user --map-root-user --mount)
if "${namespace[@]}" sh -c "mount -t binfmt_misc binfmt_misc $binfmt" 2>/dev/null; then
  echo "-- $arch programs run emulated: $version, through a binfmt_misc handler in a namespace"
  echo "   of this command's own, with a /tmp of its own"
  exec "${namespace[@]}" --fork -- "$0" "$arch" --in-namespace "$@"
fi

ulimit -c 0
if [ "$(id -u)" -ne 0 ]; then
  echo "-- $arch programs run emulated: $version; NO binfmt_misc handler: this kernel gives a namespace"
  echo "   no binfmt_misc of its own, and only root may register one for the whole machine, so"
  echo "   $arch programs started by other $arch programs (or by Wine) cannot start"
  [ "$arch" != i386 ] ||
    echo "   and 32-bit programs cannot list directories in /tmp (ext4's 64-bit directory offsets)"
  exec "$@"
fi

mounted_here=0
if ! mountpoint -q "$binfmt"; then
  mount -t binfmt_misc binfmt_misc "$binfmt"
  mounted_here=1
fi
name=tarvelo-$arch-$$
remove_handler() {
  [ -e "$binfmt/$name" ] && echo -1 >"$binfmt/$name"
  # binfmt_misc is unmounted again if this run mounted it and nothing else
  # registered a handler meanwhile.
  if [ $mounted_here -eq 1 ] && [ -z "$(ls "$binfmt" | grep -vxE 'register|status')" ]; then
    umount "$binfmt"
  fi
  return 0
}
trap remove_handler EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
register "$name"
echo "-- $arch programs run emulated: $version, through the binfmt_misc handler $name registered"
echo "   for the whole machine (this kernel gives a namespace no binfmt_misc of its own), removed"
echo "   when this command ends; the command has a /tmp of its own"
status=0
unshare --mount --propagation private -- "$0" "$arch" --private-tmp "$@" || status=$?
exit $status
