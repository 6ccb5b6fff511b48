# Archives of the same files make the same bytes, whatever checkout and
# whenever they were built. Run by CPack twice for an archive:
#
# - after it has installed the files and before it archives them
#   (CPACK_PRE_BUILD_SCRIPTS): every file and directory gets the time
#   TARVELO_RELEASE_EPOCH (set by packaging/cpack-options.cmake: that of the
#   newest changelog entry, or SOURCE_DATE_EPOCH) and plain permissions;
# - for the .zip, after it has archived them (CPACK_POST_BUILD_SCRIPTS,
#   which gives CPACK_PACKAGE_FILES): CPack's archive writer also stores
#   each file's access and status-change times, which no build can set, so
#   the .zip is made again from the same files with Info-ZIP's zip, in name
#   order, with the modification time alone (-X), in UTC.
if(NOT CPACK_PACKAGE_FILES)
  file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
  foreach(entry IN LISTS entries)
    if(IS_SYMLINK "${entry}")
      continue()
    elseif(IS_DIRECTORY "${entry}" OR entry MATCHES "/bin/[^/]+$|\\.(dll|exe|so)$")
      file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
           GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    else()
      file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
  endforeach()
  list(APPEND entries "${CPACK_TEMPORARY_DIRECTORY}")
  execute_process(COMMAND touch -h -d "@${TARVELO_RELEASE_EPOCH}" ${entries} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not set the times of the files to archive")
  endif()
  return()
endif()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.zip$")
    continue()
  endif()
  find_program(TARVELO_ZIP zip)
  if(NOT TARVELO_ZIP)
    message(FATAL_ERROR "the .zip is made again with Info-ZIP's zip, which is not installed "
                        "(Debian's package zip)")
  endif()
  # The archive's top directory, and the directory it lies in.
  get_filename_component(top "${CPACK_TEMPORARY_DIRECTORY}" NAME)
  get_filename_component(parent "${CPACK_TEMPORARY_DIRECTORY}" DIRECTORY)
  file(GLOB_RECURSE entries RELATIVE "${parent}" LIST_DIRECTORIES true "${parent}/${top}/*")
  list(APPEND entries "${top}")
  list(SORT entries)
  list(JOIN entries "\n" names)
  file(WRITE "${parent}/${top}.names" "${names}\n")
  file(REMOVE "${package}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${TARVELO_ZIP} -X -q -D@ "${package}"
    WORKING_DIRECTORY "${parent}" INPUT_FILE "${parent}/${top}.names" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "zip could not make ${package} again")
  endif()
endforeach()
