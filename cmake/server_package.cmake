# The "server" install component (update-server, make-package, the systemd
# unit, the operator's docs) and the Debian package made from it alone:
#   cmake --install build --component server      by hand, to /usr/local
#   cmake --build build --target package           build/autoupdate-server_*.deb

set(AUTOUPDATE_SERVER_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/autoupdate-server")

# README's links to docs/ keep working beside the installed copy.
install(FILES README.md DESTINATION ${AUTOUPDATE_SERVER_DOCDIR} COMPONENT server)
install(FILES docs/fast-mode.md docs/scale.md DESTINATION ${AUTOUPDATE_SERVER_DOCDIR}/docs COMPONENT server)

# The unit names the binary and the README by absolute path, and the prefix is
# known only when installing (cpack installs to /usr, a hand install to
# /usr/local unless told otherwise), so the installed unit is written then.
install(CODE "
  set(AUTOUPDATE_UNIT_SOURCE \"${PROJECT_SOURCE_DIR}/packaging/update-server.service\")
  set(AUTOUPDATE_UNIT_STAGING \"${PROJECT_BINARY_DIR}/installed-unit\")
  set(AUTOUPDATE_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(AUTOUPDATE_DOCDIR \"${AUTOUPDATE_SERVER_DOCDIR}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/install_server_unit.cmake\")
  " COMPONENT server)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME autoupdate-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "AutoUpdate package server and package builder")
# CPack puts the summary first and indents these lines for the control file.
set(CPACK_PACKAGE_DESCRIPTION "update-server serves the game client's update packages over TCP to the
AutoUpdate updater (a systemd unit runs it as the system user autoupdate from
/srv/autoupdate); make-package builds those packages from a directory tree.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "AutoUpdate maintainers <maintainers@users.noreply.c-seed-1743ce00.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries come from what the binaries link (dpkg-shlibdeps); the
# maintainer scripts add the user with adduser.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/packaging/debian/postinst;${PROJECT_SOURCE_DIR}/packaging/debian/prerm;${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Only the server component, installed with the prefix /usr itself (not a
# staging path) so that the unit written at install time names /usr/bin.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};server;/")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
