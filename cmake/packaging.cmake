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
#   libdir/security/pam_ostrel.so      the PAM module (src/pam/CMakeLists.txt)
#   docdir/examples/                   Dovecot, Postfix and PAM configurations on Ostrel's
#                                      accounts
#
# The settings file goes to the absolute sysconfdir that is compiled into the program
# (with the prefix /usr that is /etc, not /usr/etc), so that the installed program finds
# the file it installed. An install into another prefix (cmake --install --prefix) keeps
# everything inside that prefix: etc/ and var/ below it, with the settings naming them.

set(OSTREL_STATE_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/ostrel")
set(OSTREL_LOG_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/ostrel")
set(OSTREL_SETTINGS_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/corvex.ini")

configure_file(${PROJECT_SOURCE_DIR}/examples/corvex.ini.in ${PROJECT_BINARY_DIR}/corvex.ini @ONLY)

install(FILES ${PROJECT_SOURCE_DIR}/docs/ostrel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/ostrel-migrate.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/dovecot ${PROJECT_SOURCE_DIR}/examples/postfix
        ${PROJECT_SOURCE_DIR}/examples/pam.d DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

if(NOT OSTREL_FALLBACK_DIR STREQUAL CMAKE_INSTALL_FULL_SYSCONFDIR)
  install(CODE "message(WARNING \"This build reads its fallback settings from \"
                \"${OSTREL_FALLBACK_DIR}, not ${CMAKE_INSTALL_FULL_SYSCONFDIR}: \"
                \"configure with -DOSTREL_TESTS=OFF for a build to install.\")")
endif()

# Where this install puts the settings, store and log: the configured places, or the
# same places below the prefix the install was given.
install(CODE "
  if(\"\${CMAKE_INSTALL_PREFIX}\" STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
    set(ostrel_etc \"${CMAKE_INSTALL_FULL_SYSCONFDIR}\")
    set(ostrel_var \"${CMAKE_INSTALL_FULL_LOCALSTATEDIR}\")
    set(ostrel_ini \"${PROJECT_BINARY_DIR}/corvex.ini\")
  else()
    set(ostrel_etc \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}\")
    set(ostrel_var \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LOCALSTATEDIR}\")
    set(ostrel_ini \"${PROJECT_BINARY_DIR}/prefix/corvex.ini\")
    set(OSTREL_LOG_DIR \"\${ostrel_var}/log/ostrel\")
    set(OSTREL_STATE_DIR \"\${ostrel_var}/lib/ostrel\")
    configure_file(\"${PROJECT_SOURCE_DIR}/examples/corvex.ini.in\" \"\${ostrel_ini}\" @ONLY)
  endif()")

# An operator's settings file stays as it is: the example is only put where none exists.
install(CODE "
  if(EXISTS \"\$ENV{DESTDIR}\${ostrel_etc}/corvex.ini\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}\${ostrel_etc}/corvex.ini\")
  else()
    file(INSTALL DESTINATION \"\${ostrel_etc}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES \"\${ostrel_ini}\")
  endif()")

# The store and log directories, empty; the store holds password hashes.
install(CODE "
  foreach(parent IN ITEMS lib log)
    file(INSTALL DESTINATION \"\${ostrel_var}/\${parent}\" TYPE DIRECTORY
         FILES \"${PROJECT_BINARY_DIR}/empty/ostrel\"
         DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
  endforeach()")
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/empty/ostrel)

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
