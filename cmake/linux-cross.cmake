# Cross-build for Linux on another processor with Debian's cross compilers
# (g++-s390x-linux-gnu, g++-powerpc64le-linux-gnu, g++-aarch64-linux-gnu):
#
#   cmake -S . -B build-s390x -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/linux-cross.cmake \
#         -DTARVELO_CROSS_TRIPLET=s390x-linux-gnu
#
# The target's C library and C++ runtime lie in /usr/<triplet>, where the
# cross compiler finds them by itself. Programs built here run on this
# machine under Debian's qemu-user (scripts/lib/emulate.sh), named as
# CMAKE_CROSSCOMPILING_EMULATOR by scripts/ci-cross.sh.
if(NOT TARVELO_CROSS_TRIPLET)
  message(FATAL_ERROR "cmake/linux-cross.cmake needs -DTARVELO_CROSS_TRIPLET, "
                      "e.g. s390x-linux-gnu")
endif()
# The compiler checks CMake makes configure projects of their own, which
# read this file again: the triplet goes with them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVELO_CROSS_TRIPLET)
string(REGEX REPLACE "-.*" "" tarvelo_cross_processor ${TARVELO_CROSS_TRIPLET})
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${tarvelo_cross_processor})
# Debian's multiarch directory for the target, as a native build there has.
set(CMAKE_LIBRARY_ARCHITECTURE ${TARVELO_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${TARVELO_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARVELO_CROSS_TRIPLET}-g++)

# Libraries and headers of the target only; programs of the build machine.
# Packages (GoogleTest) come from a prefix built for this target and named
# with GTest_DIR.
set(CMAKE_FIND_ROOT_PATH /usr/${TARVELO_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
