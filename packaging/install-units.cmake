# Installs tarvelo-report.service, tarvelo-report.timer and the file of
# settings they read (see packaging/packaging.cmake), run by "cmake
# --install" and by CPack with the prefix being installed to. Set by the
# caller: tarvelo_service_template, tarvelo_timer_file, tarvelo_defaults_file,
# tarvelo_bindir and tarvelo_docdir (the last two under the prefix).
#
# Under /usr (the .deb, or an install into the system) the units go where
# Debian's packages put theirs, /lib/systemd/system, and the settings to
# /etc/default/tarvelo; under any other prefix, to lib/systemd/system and
# etc/default/tarvelo beneath it, naming the program installed there.
get_filename_component(prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
cmake_path(NORMAL_PATH prefix)
string(REGEX REPLACE "(.)/$" "\\1" prefix "${prefix}")
if(prefix STREQUAL "/usr")
  set(unit_dir /lib/systemd/system)
  set(TARVELO_DEFAULTS_FILE /etc/default/tarvelo)
else()
  set(unit_dir "${prefix}/lib/systemd/system")
  set(TARVELO_DEFAULTS_FILE "${prefix}/etc/default/tarvelo")
endif()
set(TARVELO_PROGRAM "${prefix}/${tarvelo_bindir}/tarvelo")
set(TARVELO_DOC_DIR "${prefix}/${tarvelo_docdir}")
foreach(made IN ITEMS "${unit_dir}/tarvelo-report.service" "${unit_dir}/tarvelo-report.timer"
                      "${TARVELO_DEFAULTS_FILE}")
  message(STATUS "Installing: $ENV{DESTDIR}${made}")
endforeach()
configure_file("${tarvelo_service_template}" "$ENV{DESTDIR}${unit_dir}/tarvelo-report.service" @ONLY)
file(COPY "${tarvelo_timer_file}" DESTINATION "$ENV{DESTDIR}${unit_dir}"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
configure_file("${tarvelo_defaults_file}" "$ENV{DESTDIR}${TARVELO_DEFAULTS_FILE}" COPYONLY)
file(CHMOD "$ENV{DESTDIR}${unit_dir}/tarvelo-report.service" "$ENV{DESTDIR}${TARVELO_DEFAULTS_FILE}"
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
