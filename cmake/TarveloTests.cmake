# tarvelo_discover_tests(<target> [FILTER <gtest filter>]): registers a
# GoogleTest program with CTest, the cases the filter selects (all by default).
#
# Built for Linux, each test case becomes a CTest test of its own
# (discovered when CTest runs; cross-built, through the emulator): qemu-user
# starts a program in a moment. Built for Windows (the DLL's tests, run
# under Wine), the program is registered once and runs all its cases in one
# process with GoogleTest's own report: starting Wine for each of a hundred
# cases would cost more than the whole suite.
include(GoogleTest)

function(tarvelo_discover_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "FILTER" "")
  if(NOT arg_FILTER)
    set(arg_FILTER "*")
  endif()
  if(CMAKE_CROSSCOMPILING AND WIN32)
    # add_test runs a target through CMAKE_CROSSCOMPILING_EMULATOR. A crash
    # ends the program with Wine's backtrace; the timeout is for a hang.
    add_test(NAME ${target} COMMAND ${target} --gtest_color=no --gtest_filter=${arg_FILTER})
    set_tests_properties(${target} PROPERTIES TIMEOUT 600)
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST TEST_FILTER ${arg_FILTER})
  endif()
endfunction()
