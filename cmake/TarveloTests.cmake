# tarvelo_discover_tests(<target>): registers a GoogleTest program with CTest.
#
# Built for this machine, each test case becomes a CTest test of its own
# (discovered when CTest runs). Cross-built (the Windows DLL's tests, run
# under Wine), the program is registered once and runs all its cases in one
# process with GoogleTest's own report: starting Wine for each of a hundred
# cases would cost more than the whole suite.
include(GoogleTest)

function(tarvelo_discover_tests target)
  if(CMAKE_CROSSCOMPILING)
    # add_test runs a target through CMAKE_CROSSCOMPILING_EMULATOR. A crash
    # ends the program with Wine's backtrace; the timeout is for a hang.
    add_test(NAME ${target} COMMAND ${target} --gtest_color=no)
    set_tests_properties(${target} PROPERTIES TIMEOUT 600)
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST)
  endif()
endfunction()
