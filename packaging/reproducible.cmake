# Run by CPack after it has installed the files of an archive (.tar.gz,
# .zip) and before it archives them (CPACK_PRE_BUILD_SCRIPTS): whatever
# checkout and whenever they were built, the files get the same times and
# permissions, so that the same files make the same archive. The time is
# TARVELO_RELEASE_EPOCH, set by packaging/cpack-options.cmake: that of the
# newest changelog entry, or SOURCE_DATE_EPOCH.
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
