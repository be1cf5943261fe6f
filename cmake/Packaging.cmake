# Packages, made by CPack (scripts/package.sh runs it for both builds into dist/):
#   Windows build: dist/Vostrel-<version>-win64.zip with Vostrel.exe, vostrel-cli.exe,
#                  README-Windows.txt and LICENSE at its top level;
#   native build:  dist/vostrel-cli_<version>_<arch>.deb with /usr/bin/vostrel-cli, its manual page
#                  and the copyright file.
# Only the component named for the platform is packed (windows, cli): nothing of the tests, the
# benchmarks or cardsim is installed. Installing builds only what it packs (the packaging script
# builds those targets first), not the whole tree.

set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(VOSTREL_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${VOSTREL_PACKAGING_DIR})

set(CPACK_PACKAGE_NAME Vostrel)
set(CPACK_PACKAGE_VENDOR "The Vostrel developers")
set(CPACK_PACKAGE_VERSION ${VOSTREL_VERSION_FULL})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Switches the CD-ROM autorun and download mode of USB 3G data cards")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_SOURCE_DIR}/dist)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The text files with Windows line ends, for every editor there.
  foreach(text packaging/README-Windows.txt LICENSE)
    get_filename_component(name ${text} NAME)
    file(READ ${CMAKE_SOURCE_DIR}/${text} content)
    file(CONFIGURE OUTPUT ${VOSTREL_PACKAGING_DIR}/${name} CONTENT "${content}" @ONLY NEWLINE_STYLE WIN32)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${text})
  endforeach()
  install(TARGETS Vostrel vostrel-cli RUNTIME DESTINATION . COMPONENT windows)
  install(FILES ${VOSTREL_PACKAGING_DIR}/README-Windows.txt ${VOSTREL_PACKAGING_DIR}/LICENSE
          DESTINATION . COMPONENT windows)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};Vostrel;windows;/")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGE_FILE_NAME Vostrel-${VOSTREL_VERSION_FULL}-win64)
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

  install(TARGETS vostrel-cli RUNTIME DESTINATION bin COMPONENT cli)
  install(FILES ${VOSTREL_MANPAGE} DESTINATION share/man/man1 COMPONENT cli)
  install(FILES ${VOSTREL_PACKAGING_DIR}/copyright DESTINATION share/doc/vostrel-cli COMPONENT cli)

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
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VOSTREL_DEB_ARCH})
  set(CPACK_DEBIAN_FILE_NAME vostrel-cli_${VOSTREL_VERSION_FULL}_${VOSTREL_DEB_ARCH}.deb)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Vostrel developers")
  set(CPACK_DEBIAN_PACKAGE_SECTION comms)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The synopsis line is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the text below it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "vostrel-cli finds USB 3G data cards through udev and sends them the AT commands that\n"
    "close or open their CD-ROM autorun and enter or exit their download mode, on one card\n"
    "or on every card at once, with plain or JSON output for scripts.")
  string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
  # The libraries' packages from what the program links (dpkg-shlibdeps); named by hand without it.
  find_program(VOSTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(VOSTREL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, libudev1")
  endif()
endif()

include(CPack)
