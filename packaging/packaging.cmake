# Installation, and the packages that CPack makes of the same tree: the
# .tar.gz and the .deb, the .rpm of a build configured for Red Hat-family
# hosts (-DCMAKE_INSTALL_LIBDIR=lib64), and the .zip of a Windows build; each
# with its SHA-256 checksum beside it (<package>.sha256, for sha256sum -c).
# Included at the end of the top-level CMakeLists.txt, after every target.
#
# The layout, under any prefix (/usr for the .deb and the .rpm; lib64 in
# place of lib/<multiarch> in the .rpm):
#   lib/<multiarch>/tarvelo/libtarvelo.so   the exit: a plug-in that hosts
#                                           load by path, off the dynamic
#                                           linker's path (no ldconfig)
#   bin/tarvelo                             the program, which finds the exit
#                                           relative to itself
#   include/tarvelo.h, tarvelo_version.h    for host developers
#   lib/<multiarch>/pkgconfig/tarvelo.pc    the include directory and the
#   lib/<multiarch>/cmake/tarvelo/          exit's path, for host projects
#   share/man/man1/tarvelo.1.gz, man7/tarvelo-exit.7.gz
#   share/doc/tarvelo/                      README, guides (in docs/), copyright,
#                                           changelog.gz (and LICENSE, but
#                                           not in the .deb: Debian has the
#                                           text in /usr/share/common-licenses)
#   share/doc/tarvelo/examples/             logrotate configuration, alert
#                                           rules and their tests, scrape job
#   etc/mtail/tarvelo.mtail                 mtail's program for the exit's
#                                           log (under /usr: in /etc; not in
#                                           the .rpm)
# A Windows build puts tarvelo.dll beside tarvelo.exe in bin/, both with a
# version resource, the headers in include/, and the documentation as text
# with Windows line ends in doc/ (README.txt, the guides, LICENSE.txt); no
# pkg-config or CMake files, which no Windows host project reads.
include(CMakePackageConfigHelpers)

# A DLL's import library is for programs that link against it, which hosts
# never do: only an install of that component asks for it.
install(TARGETS tarvelo
  LIBRARY DESTINATION ${TARVELO_INSTALL_EXITDIR} COMPONENT library
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT import-library EXCLUDE_FROM_ALL)
install(FILES exit/tarvelo.h ${PROJECT_BINARY_DIR}/include/tarvelo_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT library)
if(WIN32)
  # Text as Notepad shows it: .txt files with CR LF line ends, made again
  # when a document changes.
  set(tarvelo_windows_docs README.md LICENSE)
  file(GLOB tarvelo_guides RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS docs/*.md)
  foreach(document IN LISTS tarvelo_windows_docs tarvelo_guides)
    get_filename_component(name ${document} NAME_WLE)
    file(READ ${PROJECT_SOURCE_DIR}/${document} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${PROJECT_BINARY_DIR}/packaging/doc/${name}.txt "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${document})
    if(document STREQUAL "LICENSE")
      set(component licence)
    else()
      set(component library)
    endif()
    install(FILES ${PROJECT_BINARY_DIR}/packaging/doc/${name}.txt DESTINATION doc
      COMPONENT ${component})
  endforeach()

  # The version resource of each Windows binary, in an object library of
  # its own: the resource compiler takes none of the C++ compiler's options.
  # tarvelo_version_resource(<target> <file name> <description> <file type>)
  function(tarvelo_version_resource target file description filetype)
    set(tarvelo_rc_name ${target})
    set(tarvelo_rc_file ${file})
    set(tarvelo_rc_description ${description})
    set(tarvelo_rc_filetype ${filetype})
    configure_file(${PROJECT_SOURCE_DIR}/packaging/version.rc.in
      ${PROJECT_BINARY_DIR}/packaging/${target}_version.rc @ONLY)
    add_library(${target}_version OBJECT ${PROJECT_BINARY_DIR}/packaging/${target}_version.rc)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_version>)
  endfunction()
  tarvelo_version_resource(tarvelo tarvelo.dll "TARVELO channel security exit" VFT_DLL)
  if(TARVELO_BUILD_TOOLS)
    tarvelo_version_resource(tarvelo_tool tarvelo.exe
      "TARVELO program: demonstrates and load-tests the exit, computes responses" VFT_APP)
  endif()
else()
  install(FILES README.md packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT library)
  # The guides keep their place beside the README, in docs/, so that the
  # installed README's links lead to them.
  install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT library
    FILES_MATCHING PATTERN "*.md")
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT licence)
  # Examples for operators: the rotation of the exit's logs, Prometheus'
  # alert rules on what mtail counts with their unit tests, and the scrape
  # job that collects it.
  install(FILES packaging/examples/logrotate.conf packaging/examples/tarvelo-alerts.yml
                packaging/examples/tarvelo-alerts.test.yml packaging/examples/prometheus-scrape.yml
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT library)
endif()

# The program with which mtail counts the exit's log for Prometheus
# (packaging/mtail/mtail.cmake), installed as /etc/mtail/tarvelo.mtail, a
# conffile of the .deb (packaging/install-mtail.cmake). The .deb's
# maintainer scripts retire what 1.1.0 shipped for the same purpose (the
# report's systemd timer and service, /etc/default/tarvelo and the report
# they left in node_exporter's textfile directory) and have mtail load the
# program (packaging/maintainer-script.in).
if(NOT WIN32)
  install(CODE "set(tarvelo_mtail_program \"${TARVELO_MTAIL_PROGRAM}\")
    include(\"${PROJECT_SOURCE_DIR}/packaging/install-mtail.cmake\")" COMPONENT mtail)
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/debian/conffiles "/etc/mtail/tarvelo.mtail\n")
  set(tarvelo_maintainer_scripts "")
  foreach(script preinst postinst postrm)
    set(TARVELO_MAINTAINER_SCRIPT ${script})
    configure_file(packaging/maintainer-script.in ${PROJECT_BINARY_DIR}/packaging/debian/${script}
      @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
      WORLD_READ WORLD_EXECUTE)
    list(APPEND tarvelo_maintainer_scripts ${PROJECT_BINARY_DIR}/packaging/debian/${script})
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/debian/conffiles
    ${tarvelo_maintainer_scripts})
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The engine the program is for, and the one that alerts on what it counts.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mtail, prometheus, logrotate")
endif()

# For host projects: find_package(tarvelo) gives the interface target
# tarvelo::header and TARVELO_EXIT_LIBRARY; pkg-config gives the include
# directory and the variable "exit". Hosts load the exit by path and never
# link against it. Not for Windows.
if(NOT WIN32)
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

  # tarvelo.pc names the prefix it is installed under (/usr in the .deb
  # and the .rpm), so that pkg-config gives plain paths (-I/usr/include),
  # written when the tree is installed. Only in a .tar.gz, which may be
  # unpacked anywhere, is the prefix found from the file's own place
  # (${pcfiledir}/../../..): packaging/cpack-options.cmake asks for that.
  file(RELATIVE_PATH tarvelo_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" tarvelo_pc_to_prefix ${tarvelo_pc_to_prefix})
  get_filename_component(tarvelo_exit_install_dir ${TARVELO_EXIT_INSTALL_PATH} DIRECTORY)
  get_filename_component(tarvelo_exit_file ${TARVELO_EXIT_INSTALL_PATH} NAME)
  set(TARVELO_PC_PREFIX "@TARVELO_PC_PREFIX@") # filled in at install time
  configure_file(packaging/tarvelo.pc.in ${PROJECT_BINARY_DIR}/packaging/tarvelo.pc.install @ONLY)
  install(CODE "set(tarvelo_pc_template \"${PROJECT_BINARY_DIR}/packaging/tarvelo.pc.install\")
    set(tarvelo_pc_dir \"${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
    set(tarvelo_pc_to_prefix \"${tarvelo_pc_to_prefix}\")
    include(\"${PROJECT_SOURCE_DIR}/packaging/install-pc.cmake\")" COMPONENT library)
endif()

# The manual pages and the changelog, compressed as Debian installs them:
# gzip -9n, with no name or time stamp inside, so that a rebuild makes the
# same bytes. The manual pages' headers take the version from the build
# (@PROJECT_VERSION@ in their sources).
if(NOT WIN32)
  find_program(TARVELO_GZIP gzip REQUIRED)
  # tarvelo_gzip(<file> <output>): <file> in the build tree, or in the
  # source tree when relative.
  function(tarvelo_gzip file output)
    get_filename_component(uncompressed ${output} NAME_WLE)
    get_filename_component(directory ${output} DIRECTORY)
    get_filename_component(file ${file} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E copy ${file} ${directory}/${uncompressed}
      COMMAND ${TARVELO_GZIP} -9nf ${directory}/${uncompressed}
      DEPENDS ${file}
      COMMENT "Compressing ${file}")
  endfunction()
  set(gz ${PROJECT_BINARY_DIR}/packaging)
  foreach(page man/tarvelo.1 man/tarvelo-exit.7)
    configure_file(${page} ${PROJECT_BINARY_DIR}/${page} @ONLY)
  endforeach()
  tarvelo_gzip(${PROJECT_BINARY_DIR}/man/tarvelo.1 ${gz}/man1/tarvelo.1.gz)
  tarvelo_gzip(${PROJECT_BINARY_DIR}/man/tarvelo-exit.7 ${gz}/man7/tarvelo-exit.7.gz)
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
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR "TGZ;DEB")
endif()
# <package>.sha256 beside each package, in sha256sum's format.
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The library needs only the C library; the program also needs the C++
# runtime and zlib. dpkg-shlibdeps works that out where it is installed, for this
# machine's own architecture: a cross compiler's libraries are no package
# of the target architecture that it could read.
find_program(TARVELO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARVELO_DPKG_SHLIBDEPS AND NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  # The program reads compressed logs with zlib.
  if(TARVELO_ZLIB)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", zlib1g")
  endif()
endif()
# A cross build's packages are for its target, which dpkg and uname, asked
# by CPack, would take for this machine.
if(CMAKE_CROSSCOMPILING AND NOT WIN32)
  set(tarvelo_debian_arches s390x=s390x ppc64le=ppc64el aarch64=arm64 i686=i386)
  foreach(pair IN LISTS tarvelo_debian_arches)
    string(REPLACE "=" ";" pair ${pair})
    list(GET pair 0 processor)
    list(GET pair 1 debian_arch)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL processor)
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${debian_arch})
    endif()
  endforeach()
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
endif()

# The .rpm, for Red Hat-family hosts: from a build configured with
# -DCMAKE_INSTALL_LIBDIR=lib64 (packaging/cpack-options.cmake refuses a
# multiarch one), so that the exit lies in /usr/lib64/tarvelo/.
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_SUMMARY "Channel security exit for message-queuing hosts (MD5 sign-on)")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_LICENSE "Apache-2.0")
set(CPACK_RPM_PACKAGE_GROUP "System Environment/Libraries")
set(CPACK_RPM_PACKAGE_URL "https://tarvelo.invalid/")
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_RELEASE_DIST OFF)
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}")
# Directories that the system's own packages own.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
  /usr/${CMAKE_INSTALL_LIBDIR}/pkgconfig /usr/${CMAKE_INSTALL_LIBDIR}/cmake
  /usr/share/man /usr/share/man/man1 /usr/share/man/man7 /usr/share/doc)
# The changelog, in RPM's form, from packaging/changelog: each entry's
# trailer (" -- who  Tue, 08 Dec 2026 ...") becomes its heading
# ("* Tue Dec 08 2026 who - VERSION"), each item a "- " line.
file(READ packaging/changelog tarvelo_changelog)
string(REPLACE ";" "<semicolon>" tarvelo_changelog "${tarvelo_changelog}")
string(REPLACE "\n" ";" tarvelo_changelog "${tarvelo_changelog}")
set(tarvelo_rpm_changelog "")
foreach(line IN LISTS tarvelo_changelog)
  if(line MATCHES "^tarvelo \\(([^)]+)\\)")
    set(entry_version ${CMAKE_MATCH_1})
    set(entry_items "")
  elseif(line MATCHES "^  \\* (.*)")
    string(APPEND entry_items "- ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^    (.*)")
    string(APPEND entry_items "  ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^ -- (.+)  ([A-Z][a-z][a-z]), ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9]+) ")
    string(APPEND tarvelo_rpm_changelog
      "* ${CMAKE_MATCH_2} ${CMAKE_MATCH_4} ${CMAKE_MATCH_3} ${CMAKE_MATCH_5} ${CMAKE_MATCH_1}"
      " - ${entry_version}-${CPACK_RPM_PACKAGE_RELEASE}\n${entry_items}\n")
  endif()
endforeach()
string(REPLACE "<semicolon>" ";" tarvelo_rpm_changelog "${tarvelo_rpm_changelog}")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/rpm-changelog "${tarvelo_rpm_changelog}")
set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/packaging/rpm-changelog)

# Archives of the same files make the same bytes (a .zip or .tar.gz rebuilt
# from another checkout, at another time): every file and directory gets the
# time of the newest changelog entry (or SOURCE_DATE_EPOCH) and plain
# permissions before CPack archives them (packaging/reproducible.cmake).
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(TARVELO_RELEASE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  file(STRINGS packaging/changelog tarvelo_release_trailer REGEX "^ -- " LIMIT_COUNT 1)
  string(REGEX REPLACE "^ -- .*  " "" tarvelo_release_date "${tarvelo_release_trailer}")
  execute_process(COMMAND date -u -d "${tarvelo_release_date}" +%s
    OUTPUT_VARIABLE TARVELO_RELEASE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE tarvelo_date_status)
  if(NOT tarvelo_date_status EQUAL 0 OR NOT TARVELO_RELEASE_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "the date of packaging/changelog's newest entry, "
                        "\"${tarvelo_release_date}\", could not be read")
  endif()
endif()

# What each package holds, and how its binaries are stripped: see
# packaging/cpack-options.cmake.in.
get_cmake_property(tarvelo_components COMPONENTS)
set(TARVELO_DEB_COMPONENTS ${tarvelo_components})
list(REMOVE_ITEM TARVELO_DEB_COMPONENTS licence)
list(REMOVE_ITEM TARVELO_DEB_COMPONENTS import-library)
set(TARVELO_ARCHIVE_COMPONENTS ${tarvelo_components})
list(REMOVE_ITEM TARVELO_ARCHIVE_COMPONENTS debian import-library)
# Red Hat-family systems package no mtail: its program is for the .deb, the
# .tar.gz and "cmake --install".
set(TARVELO_RPM_COMPONENTS ${TARVELO_ARCHIVE_COMPONENTS})
list(REMOVE_ITEM TARVELO_RPM_COMPONENTS mtail)
configure_file(packaging/cpack-options.cmake.in ${PROJECT_BINARY_DIR}/packaging/cpack-options.cmake
  @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/cpack-options.cmake)
include(CPack)
