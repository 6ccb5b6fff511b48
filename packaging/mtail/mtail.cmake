# The program with which mtail counts the exit's log for Prometheus, made
# from the message catalogue by a program of the build (run under the
# emulator in a cross build), so that no message can be left out of it.
# Sets TARVELO_MTAIL_PROGRAM, the file made, for the tests and the
# installation (packaging/packaging.cmake).
add_executable(tarvelo_mtail_maker ${PROJECT_SOURCE_DIR}/packaging/mtail/make_program.cpp)
target_include_directories(tarvelo_mtail_maker PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(tarvelo_mtail_maker PRIVATE tarvelo_warnings)
set(TARVELO_MTAIL_PROGRAM ${PROJECT_BINARY_DIR}/packaging/mtail/tarvelo.mtail)
add_custom_command(OUTPUT ${TARVELO_MTAIL_PROGRAM}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging/mtail
  COMMAND tarvelo_mtail_maker ${TARVELO_MTAIL_PROGRAM}
  DEPENDS tarvelo_mtail_maker
  COMMENT "Making the mtail program from the message catalogue")
add_custom_target(tarvelo_mtail_program ALL DEPENDS ${TARVELO_MTAIL_PROGRAM})
