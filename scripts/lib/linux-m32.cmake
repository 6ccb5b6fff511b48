# 32-bit x86 Linux on an x86-64 Debian machine (gcc -m32, from CFLAGS,
# CXXFLAGS and LDFLAGS): scripts/ci-linux32.sh gives it to every CMake
# project of its stage, the host project of the install test included.
#
# Debian's multiarch directory for i386, named: CMake takes it from the
# compiler's library directories, which name it only where some i386
# package has made /usr/lib/i386-linux-gnu. Without it, the build installs
# the exit and its package files under lib/, and a host project's
# find_package does not look under lib/i386-linux-gnu/.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
