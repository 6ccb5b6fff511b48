# Installs tarvelo.pc (see packaging/packaging.cmake), run by "cmake
# --install" and by CPack with the prefix being installed to. Set by the
# caller: tarvelo_pc_template (the file with @TARVELO_PC_PREFIX@ left in
# it), tarvelo_pc_dir (its directory under the prefix) and
# tarvelo_pc_to_prefix (the way from there up to the prefix).
#
# The prefix is written out, normalised, so that pkg-config gives plain
# paths; TARVELO_PC_RELOCATABLE in the environment (CPack's .tar.gz) asks for
# a prefix found from the file's own place instead.
if("$ENV{TARVELO_PC_RELOCATABLE}")
  set(TARVELO_PC_PREFIX "\${pcfiledir}/${tarvelo_pc_to_prefix}")
else()
  get_filename_component(TARVELO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
  cmake_path(NORMAL_PATH TARVELO_PC_PREFIX)
  string(REGEX REPLACE "(.)/$" "\\1" TARVELO_PC_PREFIX "${TARVELO_PC_PREFIX}")
endif()
set(tarvelo_pc "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${tarvelo_pc_dir}/tarvelo.pc")
message(STATUS "Installing: ${tarvelo_pc}")
configure_file("${tarvelo_pc_template}" "${tarvelo_pc}" @ONLY)
