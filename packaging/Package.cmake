# What goes beside the executables, the unit and the udev rule: man pages and the copyright, and
# the Debian package made of the whole install (`cpack --preset release`, or `cpack -G DEB` in
# any build folder).

find_program(GZIP gzip REQUIRED)

# Man pages, from scdoc sources, compressed as Debian wants them.
option(CORVASSEL_MAN "Build and install the man pages (needs scdoc)" ON)
if(CORVASSEL_MAN)
  find_program(SCDOC scdoc REQUIRED)
  set(CORVASSEL_MAN_PAGES)
  foreach(page corvassel-helper corvassel-prefs corvassel-sim)
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/doc/${page}.1.scd)
    set(page_file ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1)
    add_custom_command(OUTPUT ${page_file}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND sh -c "\"$0\" <\"$1\" >\"$2\"" ${SCDOC} ${source} ${page_file}
      COMMAND ${GZIP} -9nf ${page_file}
      DEPENDS ${source}
      COMMENT "Man page ${page}(1)"
      VERBATIM)
    list(APPEND CORVASSEL_MAN_PAGES ${page_file}.gz)
  endforeach()
  add_custom_target(corvassel_man ALL DEPENDS ${CORVASSEL_MAN_PAGES})
  install(FILES ${CORVASSEL_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The copyright in Debian's machine-readable form, and the package's changelog (a native
# package's changelog.gz, in Debian's format, of the version being built).
set(CORVASSEL_DEB_MAINTAINER "The corvassel-helper developers <corvassel-helper@example.org>"
  CACHE STRING "Maintainer field of the Debian package")
configure_file(packaging/changelog.in changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  COMMAND sh -c "\"$0\" -9nc \"$1\" >\"$2\"" ${GZIP} ${CMAKE_CURRENT_BINARY_DIR}/changelog
    ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog
  VERBATIM)
add_custom_target(corvassel_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvassel-helper)
set(CPACK_PACKAGE_VENDOR "The corvassel-helper developers")
set(CPACK_PACKAGE_CONTACT "${CORVASSEL_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "mouse buttons as trackpad swipe back and forward
A per-user background helper that gives two mouse buttons the meaning of a
trackpad swipe back and swipe forward: it grabs the mice through evdev,
re-emits each on an output device of its own made through uinput, which keeps
the mouse's name and ids (a udev rule gives it what udev derives from the
mouse's bus, so that the hardware database and libinput treat it as the
mouse), and turns presses of the chosen buttons into the back and forward
buttons that browsers and file managers understand, on X11 and Wayland alike.

The package holds the helper, its systemd user unit, a udev rule that lets
the user at the seat use /dev/uinput, corvassel-prefs to change its settings
and corvassel-sim to try it in a simulated world.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb/postinst ${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb/postrm)
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
