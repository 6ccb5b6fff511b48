# Cross-build for 32-bit Windows with Debian's MinGW-w64 compilers.
#
#   cmake -S . -B build-win -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
#
# The posix thread model compilers are used: the win32 one has no std::mutex
# or std::thread, which the test suite needs. Programs built here run on
# Linux through Wine (cmake/wine-run.sh), so CTest can run the test suite.
#
# cmake/mingw-w64-x86_64.cmake sets the three TARVELO_ variables below for
# 64-bit Windows and includes this file.
if(NOT TARVELO_MINGW_TRIPLE)
  set(TARVELO_MINGW_TRIPLE i686-w64-mingw32)
  set(TARVELO_MINGW_PROCESSOR x86)
  set(TARVELO_WINE_RUN_OPTIONS "")
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TARVELO_MINGW_PROCESSOR})

set(CMAKE_C_COMPILER ${TARVELO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVELO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVELO_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${TARVELO_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump for PE files")

# Libraries and headers of the target only; programs of the build machine.
# Packages (GoogleTest) may come from a prefix built for this target and
# named with CMAKE_PREFIX_PATH or GTest_DIR.
set(CMAKE_FIND_ROOT_PATH /usr/${TARVELO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Every program and library carries its own C++ runtime, libgcc and thread
# library: a Windows machine (or a Wine prefix) has none of MinGW's DLLs.
# No link time in the PE headers, so that a rebuild makes the same bytes.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")

# Test programs run under Wine, through a wrapper that keeps Wine's helper
# processes away from CTest's output pipe.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${TARVELO_WINE_RUN_OPTIONS})
