# Install layout and the Debian package of a POSIX build.
#
#   bindir/ostrel                      the program
#   sysconfdir/corvex.ini              settings read when the start directory holds no
#                                      ostrel.ini; never overwritten once it exists
#   mandir/man1/ostrel.1               the manual page
#   mandir/man1/ostrel-migrate.1       the manual page of the migration tool
#   localstatedir/lib/ostrel/          the account store (ostrel.db), mode 0750
#   localstatedir/log/ostrel/          the log (ostrel.log), mode 0750
#
# The settings file goes to the absolute sysconfdir that is compiled into the program
# (with the prefix /usr that is /etc, not /usr/etc), so that the installed program finds
# the file it installed.

set(OSTREL_STATE_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/ostrel")
set(OSTREL_LOG_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/ostrel")
set(OSTREL_SETTINGS_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/corvex.ini")

configure_file(${PROJECT_SOURCE_DIR}/examples/corvex.ini.in ${PROJECT_BINARY_DIR}/corvex.ini @ONLY)

install(FILES ${PROJECT_SOURCE_DIR}/docs/ostrel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/ostrel-migrate.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# An operator's settings file stays as it is: the example is only put where none exists.
install(CODE "
  if(EXISTS \"\$ENV{DESTDIR}${OSTREL_SETTINGS_FILE}\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}${OSTREL_SETTINGS_FILE}\")
  else()
    file(INSTALL DESTINATION \"${CMAKE_INSTALL_FULL_SYSCONFDIR}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES \"${PROJECT_BINARY_DIR}/corvex.ini\")
  endif()")

# The store and log directories, empty; the store holds password hashes.
foreach(dir IN ITEMS ${OSTREL_STATE_DIR} ${OSTREL_LOG_DIR})
  install(DIRECTORY DESTINATION ${dir}
          DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
endforeach()

# Debian package: cpack -G DEB in a build configured with -DCMAKE_INSTALL_PREFIX=/usr.
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VENDOR "Brellan")
set(CPACK_PACKAGE_CONTACT "Ostrel maintainers <ostrel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "account service for a mail server suite")
set(CPACK_PACKAGE_DESCRIPTION
    "Ostrel is a small account service that mail servers start as a child process and\n"
    "drive over standard input and output, one command per line: check a password, look\n"
    "an account up, list accounts matching a pattern, create, update and delete accounts.\n"
    "Accounts live in an SQLite store with argon2id password hashes.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# The program's own version text is 1.0g; the package carries the same.
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}g")
set(CPACK_GENERATOR DEB)
# Absolute destinations (sysconfdir, localstatedir) must land in the staging tree.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_PACKAGE_NAME ostrel)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS sqlite3)
# dpkg never replaces a changed conffile silently.
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "${OSTREL_SETTINGS_FILE}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
