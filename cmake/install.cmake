# Installing: the program with its start page beside it (the program serves the index.html in its
# own directory), a systemd user unit that runs it with the graphical session, and a Debian package.

install(TARGETS tovel-host RUNTIME DESTINATION bin)
install(FILES ${CMAKE_SOURCE_DIR}/web/index.html DESTINATION bin)

# The unit names the program by its installed path, and the prefix is only known for certain at
# install time (`cmake --install --prefix` overrides the configured one), so it is written then.
set(TOVEL_UNIT_TEMPLATE ${CMAKE_SOURCE_DIR}/cmake/tovel-host.service.in)
set(TOVEL_UNIT_FILE ${CMAKE_BINARY_DIR}/generated/tovel-host.service)
install(CODE "
  set(TOVEL_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${TOVEL_UNIT_TEMPLATE}\" \"${TOVEL_UNIT_FILE}\" @ONLY)
")
install(FILES ${TOVEL_UNIT_FILE} DESTINATION lib/systemd/user)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovel-host)
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_CONTACT "Tovel Host developers <tovel-host@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Use a phone or browser as touchpad, keyboard and screen viewer for this desktop")
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tovel Host listens on TCP port 8096 of the local network, serves a touchpad web
app to phones and browsers, injects their pointer and key input into the X11
desktop and streams the screen back as Motion JPEG or H.264. A systemd user
unit starts it with the graphical session.")
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The library dependencies come from the program's own links, through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
