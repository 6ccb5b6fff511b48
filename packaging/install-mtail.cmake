# Installs mtail's program for the exit's log (see packaging/packaging.cmake),
# run by "cmake --install" and by CPack with the prefix being installed to.
# Set by the caller: tarvelo_mtail_program, the program the build made.
#
# Under /usr (the .deb, or an install into the system) it goes where Debian's
# mtail reads its programs, /etc/mtail; under any other prefix, to
# etc/mtail beneath it.
get_filename_component(prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
cmake_path(NORMAL_PATH prefix)
string(REGEX REPLACE "(.)/$" "\\1" prefix "${prefix}")
if(prefix STREQUAL "/usr")
  set(mtail_dir /etc/mtail)
else()
  set(mtail_dir "${prefix}/etc/mtail")
endif()
# file(INSTALL) puts DESTDIR (CPack's staging directory) before it itself.
file(INSTALL "${tarvelo_mtail_program}" DESTINATION "${mtail_dir}"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
