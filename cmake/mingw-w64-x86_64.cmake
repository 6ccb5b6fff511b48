# Cross-build for 64-bit Windows with Debian's MinGW-w64 compilers.
#
#   cmake -S . -B build-win64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The shipped DLL is 32-bit (cmake/mingw-w64-i686.cmake, which this file
# follows in everything but the target). This build runs the same Windows
# code under 64-bit Wine, natively on any x86-64 machine: CI's extra beside
# the 32-bit suite, and the Windows tests that emulated 32-bit Wine cannot
# run (see scripts/ci-windows.sh).
set(TARVELO_MINGW_TRIPLE x86_64-w64-mingw32)
set(TARVELO_MINGW_PROCESSOR AMD64)
set(TARVELO_WINE_RUN_OPTIONS --win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake)
