# check_dll_tables.cmake: checks a built tarvelo.dll as a Windows host and a
# Windows machine see it.
#
#   cmake -DOBJDUMP=i686-w64-mingw32-objdump -DDLL=tarvelo.dll [-DBITS=64] -P check_dll_tables.cmake
#
# The export table must hold exactly one name, the undecorated "TARVELO"
# (a host looks the entry point up by that name, whatever the calling
# convention); the import table may name only DLLs that every Windows
# machine has: a DLL of MinGW's runtime (libstdc++, libgcc, winpthread)
# would stop the host from loading the exit. bcrypt.dll, the system's random
# generator, is part of every supported Windows. The image must be a DLL of
# the build's word size: 32-bit x86, the shipped one, unless BITS is 64.
cmake_minimum_required(VERSION 3.20)
if(NOT OBJDUMP OR NOT DLL)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=<objdump> -DDLL=<file> -P check_dll_tables.cmake")
endif()
execute_process(COMMAND ${OBJDUMP} -p ${DLL}
                OUTPUT_VARIABLE dump ERROR_VARIABLE dump_error RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${status}): ${dump_error}")
endif()

set(problems "")

if(BITS STREQUAL "64")
  set(format pei-x86-64)
else()
  set(format pei-i386)
endif()
if(NOT dump MATCHES "file format ${format}")
  string(APPEND problems "  not a ${format} image\n")
endif()
# IMAGE_FILE_DLL (0x2000) in the file header's characteristics.
if(dump MATCHES "\nCharacteristics (0x[0-9a-fA-F]+)")
  math(EXPR dll_flag "${CMAKE_MATCH_1} & 0x2000")
else()
  set(dll_flag 0)
endif()
if(dll_flag EQUAL 0)
  string(APPEND problems "  not marked as a DLL\n")
endif()

# Exported names: the lines "[   n] NAME" after "[Ordinal/Name Pointer] Table".
set(exports "")
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at GREATER_EQUAL 0)
  string(SUBSTRING "${dump}" ${at} 4096 tail)
  string(REPLACE "\n" ";" lines "${tail}")
  list(REMOVE_AT lines 0)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
      list(APPEND exports "${CMAKE_MATCH_1}")
    elseif(NOT line STREQUAL "")
      break()
    endif()
  endforeach()
endif()
if(NOT exports STREQUAL "TARVELO")
  string(APPEND problems "  exported names are [${exports}], not exactly [TARVELO]\n")
endif()

# Imported DLLs: the Windows API, its random generator and the system C
# runtime only.
string(REGEX MATCHALL "DLL Name: [^\n]+" imported "${dump}")
set(imports "")
foreach(entry IN LISTS imported)
  string(REGEX REPLACE "^DLL Name: " "" name "${entry}")
  string(STRIP "${name}" name)
  list(APPEND imports "${name}")
  string(TOLOWER "${name}" lower)
  if(NOT lower MATCHES "^(kernel32|bcrypt|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
    string(APPEND problems "  imports ${name}, which a Windows machine does not have\n")
  endif()
endforeach()
if(NOT "kernel32.dll" IN_LIST imports AND NOT "KERNEL32.dll" IN_LIST imports)
  string(APPEND problems "  imports no KERNEL32.dll: the import table was not read\n")
endif()

if(problems)
  message(FATAL_ERROR "${DLL}:\n${problems}")
endif()
message(STATUS "${DLL}: exports [${exports}], imports [${imports}]")
