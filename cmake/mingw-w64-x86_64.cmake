# Cross-build for 64-bit Windows with Debian's MinGW-w64 compilers.
#
#   cmake -S . -B build-win64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The shipped DLL is 32-bit (cmake/mingw-w64-i686.cmake, which this file
# follows in everything but the target). This build runs the same Windows
# code under 64-bit Wine where the machine cannot run 32-bit programs at all
# (a kernel without IA-32 emulation).
set(TARVELO_MINGW_TRIPLE x86_64-w64-mingw32)
set(TARVELO_MINGW_PROCESSOR AMD64)
set(TARVELO_WINE_RUN_OPTIONS --win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake)
