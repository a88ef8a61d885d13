# What goes beside the executables, the unit and the udev rule: man pages and the copyright, and
# the Debian package made of the whole install (`cpack --preset release`, or `cpack -G DEB` in
# any build folder).

find_program(GZIP gzip REQUIRED)

# Man pages, from scdoc sources, compressed as Debian wants them.
option(CORVASSEL_MAN "Build and install the man pages (needs scdoc)" ON)
if(CORVASSEL_MAN)
  find_program(SCDOC scdoc REQUIRED)
  set(CORVASSEL_MAN_PAGES)
  set(pages corvassel-helper.1 corvassel-prefs.1 corvassel-sim.1 corvassel-uinputd.8)
  if(CORVASSEL_SETTINGS_WINDOW)
    list(APPEND pages corvassel-settings.1)
  endif()
  foreach(page ${pages})
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/doc/${page}.scd)
    set(page_file ${CMAKE_CURRENT_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${page_file}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND sh -c "\"$0\" <\"$1\" >\"$2\"" ${SCDOC} ${source} ${page_file}
      COMMAND ${GZIP} -9nf ${page_file}
      DEPENDS ${source}
      COMMENT "Man page ${page}"
      VERBATIM)
    list(APPEND CORVASSEL_MAN_PAGES ${page_file}.gz)
    string(REGEX REPLACE ".*\\." "" section ${page})
    install(FILES ${page_file}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(corvassel_man ALL DEPENDS ${CORVASSEL_MAN_PAGES})
endif()

# The copyright in Debian's machine-readable form, and the package's changelog (a native
# package's changelog.gz, in Debian's format, of the version being built).
set(CORVASSEL_DEB_MAINTAINER "Corvassel helper maintainers <maintainers@corvassel.org>"
  CACHE STRING "Maintainer field of the Debian package")
configure_file(packaging/changelog.in changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  COMMAND sh -c "\"$0\" -9nc \"$1\" >\"$2\"" ${GZIP} ${CMAKE_CURRENT_BINARY_DIR}/changelog
    ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog
  VERBATIM)
add_custom_target(corvassel_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
# The README holds the first-run steps that the line after installing points to.
install(FILES packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Completions for corvassel-prefs, where each shell looks for them under the prefix. zsh reads a
# package's from vendor-completions, and only a local install's from site-functions.
install(FILES packaging/completions/corvassel-prefs.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME corvassel-prefs)
install(FILES packaging/completions/corvassel-prefs.fish
  DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(zsh_folder vendor-completions)
  else()
    set(zsh_folder site-functions)
  endif()
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/zsh/\${zsh_folder}\"
    TYPE FILE FILES \"${CMAKE_CURRENT_SOURCE_DIR}/packaging/completions/_corvassel-prefs\")")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvassel-helper)
set(CPACK_PACKAGE_VENDOR "The corvassel-helper developers")
set(CPACK_PACKAGE_CONTACT "${CORVASSEL_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "any two mouse buttons as back and forward
A per-user background helper that makes two chosen mouse buttons go back and
forward. On Linux a press of either becomes a click of the side button that
browsers and file managers take as back or forward, on X11 and Wayland alike,
so that buttons 5 to 15, which applications ignore, go back and forward too.
Optional scripts can run instead. It grabs the mice through evdev and
re-emits each on an output device of its own made through uinput, which keeps
the mouse's name and ids, so that the hardware database, libinput and the
desktop's per-device settings treat it as the mouse.

The package holds the helper, its systemd user unit, a udev rule that lets
the user at the seat read the mice, corvassel-uinputd (a system service that
makes the helper's virtual devices, no more capable than the mice they stand
for, so that the user needs no access to /dev/uinput), corvassel-settings (a
window) and corvassel-prefs to choose the buttons and say what keeps them
from working, completions for bash, zsh and fish, and corvassel-sim to try
the helper in a simulated world.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb/postinst ${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb/prerm
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE CORVASSEL_DEB_ARCH
  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT CORVASSEL_DEB_ARCH)
  set(CORVASSEL_DEB_ARCH amd64)
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CORVASSEL_DEB_ARCH})
set(CORVASSEL_DEB_FILE ${CPACK_PACKAGE_NAME}_${PROJECT_VERSION}_${CORVASSEL_DEB_ARCH}.deb)
set(CPACK_DEBIAN_FILE_NAME ${CORVASSEL_DEB_FILE})
include(CPack)
