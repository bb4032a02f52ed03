# What `cmake --install` puts in place, and the Debian package that
# `cpack -G DEB` makes of it in the build directory: the program, the sample
# station files and a Dire Wolf configuration in share/palavoro, the systemd
# unit, the configuration in etc/palavoro, the manual page and the package's
# documentation (debian/), and the maintainer scripts in this directory.

install(FILES ${CMAKE_SOURCE_DIR}/examples/Palavoro.INI ${CMAKE_SOURCE_DIR}/examples/direwolf.conf
  DESTINATION share/palavoro)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/TEXT DESTINATION share/palavoro)

# The unit names the program where this installation puts it, which is known
# only when installing (cpack installs with the prefix /usr).
install(CODE "
  set(BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/palavoro.service.in\" \"${CMAKE_BINARY_DIR}/install/palavoro.service\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/install/palavoro.service DESTINATION lib/systemd/system)

# The configuration lives in /etc when installed under /usr (the package), as
# the FHS has it; under another prefix, in its etc/. Manual page and changelog
# are compressed as Debian's policy asks (gzip -9n: the same bytes every time).
set(PALAVORO_DEBIAN ${CMAKE_CURRENT_LIST_DIR}/debian)
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(sysconf /etc)
  else()
    set(sysconf \"\${CMAKE_INSTALL_PREFIX}/etc\")
  endif()
  file(INSTALL \"${CMAKE_SOURCE_DIR}/examples/Palavoro.INI\" DESTINATION \"\${sysconf}/palavoro\")
  foreach(page palavoro.1 changelog)
    execute_process(COMMAND gzip -9n -c \"${PALAVORO_DEBIAN}/\${page}\"
      OUTPUT_FILE \"${CMAKE_BINARY_DIR}/install/\${page}.gz\" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
")
install(FILES ${CMAKE_BINARY_DIR}/install/palavoro.1.gz DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${PALAVORO_DEBIAN}/copyright DESTINATION share/doc/palavoro)
install(FILES ${CMAKE_BINARY_DIR}/install/changelog.gz DESTINATION share/doc/palavoro RENAME changelog.Debian.gz)
install(FILES ${PALAVORO_DEBIAN}/palavoro.lintian-overrides DESTINATION share/lintian/overrides RENAME palavoro)

set(PALAVORO_DEB_MAINTAINER "Palavoro maintainers <palavoro@example.org>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME palavoro)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "chat server for amateur packet radio")
# Lines of at most 80 columns, as the control file's long description wants them.
set(CPACK_PACKAGE_DESCRIPTION "Palavoro is a chat (conference) server for AX.25 packet radio. Stations
connect to the server's callsign in connected mode; it puts them in chat
areas, relays their lines to the others in the area and answers slash
commands. It drives no radio itself: it is a client of an AGWPE-compatible
engine such as Dire Wolf, and waits for the engine when it goes away.
A status page in the browser shows the link, the stations and the areas.")
# Installed with DESTDIR and the prefix /usr, so that the unit names /usr/bin/palavoro.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PALAVORO_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the program links (Qt, the C++ runtime), as
# dpkg-shlibdeps finds them; adduser for the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS direwolf)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/prerm ${CMAKE_CURRENT_LIST_DIR}/postrm
  ${PALAVORO_DEBIAN}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
