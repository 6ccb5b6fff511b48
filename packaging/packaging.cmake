# Installation, and the .tar.gz and .deb that CPack makes of the same tree.
# Included at the end of the top-level CMakeLists.txt, after every target.
#
# The layout, under any prefix (/usr for the .deb):
#   lib/<multiarch>/tarvelo/libtarvelo.so   the exit: a plug-in that hosts
#                                           load by path, off the dynamic
#                                           linker's path (no ldconfig)
#   bin/tarvelo                             the program, which finds the exit
#                                           relative to itself
#   include/tarvelo.h, tarvelo_version.h    for host developers
#   lib/<multiarch>/pkgconfig/tarvelo.pc    the include directory and the
#   lib/<multiarch>/cmake/tarvelo/          exit's path, for host projects
#   share/man/man1/tarvelo.1.gz, man7/tarvelo-exit.7.gz
#   share/doc/tarvelo/                      README, guides, copyright,
#                                           changelog.gz (and LICENSE, but
#                                           not in the .deb: Debian has the
#                                           text in /usr/share/common-licenses)
# A Windows build puts tarvelo.dll beside tarvelo.exe in bin/.
include(CMakePackageConfigHelpers)

install(TARGETS tarvelo
  LIBRARY DESTINATION ${TARVELO_INSTALL_EXITDIR} COMPONENT library
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library)
install(FILES exit/tarvelo.h ${PROJECT_BINARY_DIR}/include/tarvelo_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT library)
install(FILES README.md packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT library)
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT library
  FILES_MATCHING PATTERN "*.md")
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT licence)

# For host projects: find_package(tarvelo) gives the interface target
# tarvelo::header and TARVELO_EXIT_LIBRARY; pkg-config gives the include
# directory and the variable "exit". Both work from wherever the tree is
# unpacked. Hosts load the exit by path and never link against it.
set(tarvelo_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tarvelo)
install(TARGETS tarvelo_header EXPORT tarvelo-targets COMPONENT library)
install(EXPORT tarvelo-targets NAMESPACE tarvelo:: DESTINATION ${tarvelo_cmake_dir}
  COMPONENT library)
configure_package_config_file(packaging/tarvelo-config.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/tarvelo-config.cmake
  INSTALL_DESTINATION ${tarvelo_cmake_dir}
  PATH_VARS TARVELO_EXIT_INSTALL_PATH)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/tarvelo-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/tarvelo-config.cmake
              ${PROJECT_BINARY_DIR}/packaging/tarvelo-config-version.cmake
  DESTINATION ${tarvelo_cmake_dir} COMPONENT library)
file(RELATIVE_PATH tarvelo_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" tarvelo_pc_to_prefix ${tarvelo_pc_to_prefix})
get_filename_component(tarvelo_exit_install_dir ${TARVELO_EXIT_INSTALL_PATH} DIRECTORY)
get_filename_component(tarvelo_exit_file ${TARVELO_EXIT_INSTALL_PATH} NAME)
configure_file(packaging/tarvelo.pc.in ${PROJECT_BINARY_DIR}/packaging/tarvelo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/tarvelo.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT library)

# The manual pages and the changelog, compressed as Debian installs them:
# gzip -9n, with no name or time stamp inside, so that a rebuild makes the
# same bytes.
if(NOT WIN32)
  find_program(TARVELO_GZIP gzip REQUIRED)
  # tarvelo_gzip(<source> <output>)
  function(tarvelo_gzip source output)
    get_filename_component(uncompressed ${output} NAME_WLE)
    get_filename_component(directory ${output} DIRECTORY)
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${source} ${directory}/${uncompressed}
      COMMAND ${TARVELO_GZIP} -9nf ${directory}/${uncompressed}
      DEPENDS ${PROJECT_SOURCE_DIR}/${source}
      COMMENT "Compressing ${source}")
  endfunction()
  set(gz ${PROJECT_BINARY_DIR}/packaging)
  tarvelo_gzip(man/tarvelo.1 ${gz}/man1/tarvelo.1.gz)
  tarvelo_gzip(man/tarvelo-exit.7 ${gz}/man7/tarvelo-exit.7.gz)
  tarvelo_gzip(packaging/changelog ${gz}/changelog.gz)
  add_custom_target(tarvelo_compressed_docs ALL
    DEPENDS ${gz}/man1/tarvelo.1.gz ${gz}/man7/tarvelo-exit.7.gz ${gz}/changelog.gz)
  if(TARVELO_BUILD_TOOLS)
    install(FILES ${gz}/man1/tarvelo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  endif()
  install(FILES ${gz}/man7/tarvelo-exit.7.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man7
    COMPONENT library)
  install(FILES ${gz}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT library)
  # Only for the .deb, never by "cmake --install".
  install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    RENAME tarvelo COMPONENT debian EXCLUDE_FROM_ALL)
endif()

# The changelog's newest entry is the version being packaged.
file(STRINGS packaging/changelog tarvelo_changelog_head LIMIT_COUNT 1)
if(NOT tarvelo_changelog_head MATCHES "^tarvelo \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with \"${tarvelo_changelog_head}\": "
                      "add an entry for version ${PROJECT_VERSION}")
endif()

set(CPACK_PACKAGE_NAME tarvelo)
set(CPACK_PACKAGE_VENDOR "TARVELO maintainers")
set(CPACK_PACKAGE_CONTACT "TARVELO maintainers <maintainers@tarvelo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "channel security exit for message-queuing hosts (MD5 sign-on)")
set(CPACK_PACKAGE_DESCRIPTION [[
libtarvelo.so is a channel security exit: a message-queuing host (a queue
manager) loads it into its own process and calls its one entry point,
TARVELO, whenever one of its channels starts. The exit signs the channel on
to the partner sign-on service (the KOR service) by a mutual MD5 challenge
and response, and writes numbered message lines to standard output and an
optional log file.

The tarvelo program demonstrates and load-tests the exit as a host would run
it, and computes challenges and responses for partner engineers. Host
developers get the header, a pkg-config file and a CMake package.]])
set(CPACK_GENERATOR "TGZ;DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The library needs only the C library; the program also needs the C++
# runtime. dpkg-shlibdeps works that out where it is installed.
find_program(TARVELO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARVELO_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
# What each package holds, and how its binaries are stripped: see
# packaging/cpack-options.cmake.in.
get_cmake_property(tarvelo_components COMPONENTS)
set(TARVELO_DEB_COMPONENTS ${tarvelo_components})
list(REMOVE_ITEM TARVELO_DEB_COMPONENTS licence)
set(TARVELO_ARCHIVE_COMPONENTS ${tarvelo_components})
list(REMOVE_ITEM TARVELO_ARCHIVE_COMPONENTS debian)
configure_file(packaging/cpack-options.cmake.in ${PROJECT_BINARY_DIR}/packaging/cpack-options.cmake
  @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/cpack-options.cmake)
include(CPack)
