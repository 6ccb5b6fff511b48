# The recipe "cmake --build build --target docs" as a developer runs it,
# on a copy of the documents: the program makes each generated part again
# in place, from a fresh copy and again over its own output, and changes
# nothing in documents that agree with the tables (the unit tests hold the
# checked-in documents to them). A copy whose part was edited by hand is
# made right again.
#   cmake -DPROGRAM=tarvelo_docgen -DSOURCE=dir -DWORK=dir -P docs_made_again_test.cmake
file(REMOVE_RECURSE "${WORK}")
foreach(doc docs/messages.md docs/partner-protocol.md man/tarvelo-exit.7)
  configure_file("${SOURCE}/${doc}" "${WORK}/${doc}" COPYONLY)
endforeach()
file(READ "${WORK}/docs/messages.md" reference)
string(REPLACE "the sending channel of the pair is not running yet" "edited by hand"
       edited "${reference}")
if(edited STREQUAL reference)
  message(FATAL_ERROR "the cause to edit is not in the message reference")
endif()
file(WRITE "${WORK}/docs/messages.md" "${edited}")
foreach(round 1 2)
  execute_process(COMMAND "${PROGRAM}" "${WORK}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} failed: ${status}")
  endif()
endforeach()
foreach(doc docs/messages.md docs/partner-protocol.md man/tarvelo-exit.7)
  file(READ "${SOURCE}/${doc}" want)
  file(READ "${WORK}/${doc}" have)
  if(NOT have STREQUAL want)
    message(FATAL_ERROR "${doc}: made again, it differs from the checked-in one")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK}")
