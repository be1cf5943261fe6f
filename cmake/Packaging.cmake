# Packages. scripts/package.sh makes them into dist/ (CPack only for the .deb):
#   Windows build: Vostrel-<version>-win64.zip (one folder, Vostrel-<version>/, with Vostrel.exe,
#                  vostrel-cli.exe, README-Windows.txt and LICENSE.txt) and Vostrel-<version>-win64.msi,
#                  both made from what `cmake --install --component windows` installs
#                  (packaging/make-zip.py, packaging/make-msi.py);
#   native build:  vostrel-cli_<version>-1_<arch>.deb with /usr/bin/vostrel-cli, its manual page,
#                  the copyright file and the Debian changelog.
# Only the component named for the platform is installed (windows, cli): nothing of the tests, the
# benchmarks or cardsim. Installing builds only what it packs (the packaging script builds those
# targets first), not the whole tree.

# The project's name and address, for the .deb's Maintainer and changelog and the installer's
# Manufacturer and contact: written here only. (package.sh reads it from contact.txt below.)
set(VOSTREL_CONTACT "The Vostrel developers <developers@vostrel.example>")

set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(VOSTREL_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${VOSTREL_PACKAGING_DIR})
file(CONFIGURE OUTPUT ${VOSTREL_PACKAGING_DIR}/contact.txt CONTENT "${VOSTREL_CONTACT}\n")

set(CPACK_PACKAGE_NAME Vostrel)
set(CPACK_PACKAGE_VENDOR "The Vostrel developers")
set(CPACK_PACKAGE_VERSION ${VOSTREL_VERSION_FULL})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Switches the CD-ROM autorun and download mode of USB 3G data cards")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_SOURCE_DIR}/dist)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The text files with Windows line ends, for every editor there; the licence as LICENSE.txt, so
  # that it opens with a double click.
  foreach(text packaging/README-Windows.txt LICENSE)
    get_filename_component(name ${text} NAME_WE)
    file(READ ${CMAKE_SOURCE_DIR}/${text} content)
    file(CONFIGURE OUTPUT ${VOSTREL_PACKAGING_DIR}/${name}.txt CONTENT "${content}" @ONLY NEWLINE_STYLE WIN32)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${text})
  endforeach()
  install(TARGETS Vostrel vostrel-cli RUNTIME DESTINATION . COMPONENT windows)
  install(FILES ${VOSTREL_PACKAGING_DIR}/README-Windows.txt ${VOSTREL_PACKAGING_DIR}/LICENSE.txt
          DESTINATION . COMPONENT windows)
else()
  # The manual page, from the program's --help and its exit statuses, whenever the program changes.
  set(VOSTREL_MANPAGE ${VOSTREL_PACKAGING_DIR}/vostrel-cli.1.gz)
  add_custom_command(OUTPUT ${VOSTREL_MANPAGE}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/make-manpage.py
            $<TARGET_FILE:vostrel-cli> ${CMAKE_SOURCE_DIR}/cli/CliStatus.h ${VOSTREL_MANPAGE}
    DEPENDS vostrel-cli ${CMAKE_SOURCE_DIR}/tools/make-manpage.py ${CMAKE_SOURCE_DIR}/cli/CliStatus.h
    COMMENT "Writing vostrel-cli's manual page from its --help")
  add_custom_target(vostrel-cli-manpage ALL DEPENDS ${VOSTREL_MANPAGE})

  # Debian's copyright file (machine-readable form) around the licence's text.
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence)
  string(REGEX REPLACE "^MIT License\n\n" "" licence "${licence}")
  string(REGEX REPLACE "\n+$" "" licence "${licence}")
  string(REPLACE "\n\n" "\n.\n" licence "${licence}")
  string(REPLACE "\n" "\n " licence "${licence}")
  file(CONFIGURE OUTPUT ${VOSTREL_PACKAGING_DIR}/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: vostrel-cli

Files: *
Copyright: 2026 The Vostrel developers
License: Expat
 ${licence}
")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)

  # The Debian changelog: one entry for this version, dated at its commit (SOURCE_DATE_EPOCH when
  # set, as package.sh sets it; else the commit's time), compressed without a name or time in the
  # gzip header, so that the same commit gives the same bytes.
  set(VOSTREL_DEB_REVISION 1)
  set(_vostrel_epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(NOT _vostrel_epoch AND GIT_FOUND AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _vostrel_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT _vostrel_epoch MATCHES "^[0-9]+$")
    set(_vostrel_epoch 0)
  endif()
  set(_vostrel_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
  set(ENV{SOURCE_DATE_EPOCH} ${_vostrel_epoch})   # string(TIMESTAMP) then gives that time
  string(TIMESTAMP _vostrel_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(ENV{SOURCE_DATE_EPOCH} "${_vostrel_saved_epoch}")
  file(CONFIGURE OUTPUT ${VOSTREL_PACKAGING_DIR}/changelog.Debian @ONLY CONTENT
"vostrel-cli (${VOSTREL_VERSION_FULL}-${VOSTREL_DEB_REVISION}) unstable; urgency=medium

  * vostrel-cli ${VOSTREL_VERSION_FULL}, packaged from its sources.

 -- ${VOSTREL_CONTACT}  ${_vostrel_date}
")
  execute_process(COMMAND gzip -9 -n -c ${VOSTREL_PACKAGING_DIR}/changelog.Debian
                  OUTPUT_FILE ${VOSTREL_PACKAGING_DIR}/changelog.Debian.gz RESULT_VARIABLE _vostrel_result)
  if(NOT _vostrel_result EQUAL 0)
    message(FATAL_ERROR "gzip of the Debian changelog failed: ${_vostrel_result}")
  endif()

  install(TARGETS vostrel-cli RUNTIME DESTINATION bin COMPONENT cli)
  install(FILES ${VOSTREL_MANPAGE} DESTINATION share/man/man1 COMPONENT cli)
  install(FILES ${VOSTREL_PACKAGING_DIR}/copyright ${VOSTREL_PACKAGING_DIR}/changelog.Debian.gz
          DESTINATION share/doc/vostrel-cli COMPONENT cli)
  # Each tag lintian is told to accept has its reason beside it in that file.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides DESTINATION share/lintian/overrides
          RENAME vostrel-cli COMPONENT cli)

  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE VOSTREL_DEB_ARCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT VOSTREL_DEB_ARCH)
    set(VOSTREL_DEB_ARCH amd64)
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};Vostrel;cli;/")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME vostrel-cli)
  set(CPACK_DEBIAN_PACKAGE_VERSION ${VOSTREL_VERSION_FULL})
  # The packaging's own revision: a changed package of the same program counts it up.
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${VOSTREL_DEB_REVISION})
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VOSTREL_DEB_ARCH})
  set(CPACK_DEBIAN_FILE_NAME vostrel-cli_${VOSTREL_VERSION_FULL}-${VOSTREL_DEB_REVISION}_${VOSTREL_DEB_ARCH}.deb)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VOSTREL_CONTACT}")
  set(CPACK_DEBIAN_PACKAGE_SECTION comm)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The synopsis line is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the text below it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "vostrel-cli finds USB 3G data cards through udev and sends them the AT\n"
    "commands that close or open their CD-ROM autorun and enter or exit their\n"
    "download mode, on one card or on every card at once, with plain or JSON\n"
    "output for scripts.")
  string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
  # The libraries' packages from what the program links (dpkg-shlibdeps); named by hand without it.
  find_program(VOSTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(VOSTREL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, libudev1, libsqlite3-0, libpq5")
  endif()
  include(CPack)
endif()
