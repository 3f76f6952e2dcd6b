# Install layout and the Debian package of a POSIX build.
#
#   bindir/ostrel                      the program
#   sysconfdir/corvex.ini              settings read when the start directory holds no
#                                      ostrel.ini; never overwritten once it exists
#   sbindir/ostrel-setup-slapd         prepares Debian's slapd for Ostrel's accounts
#   mandir/man1/ostrel.1.gz            the manual page
#   mandir/man1/ostrel-migrate.1.gz    the manual page of the migration tool
#   mandir/man8/ostrel-setup-slapd.8.gz
#   datadir/ostrel/ostrel-schema.ldif  the directory schema ostrel-setup-slapd loads
#   localstatedir/lib/ostrel/          the account store (ostrel.db), mode 0750
#   localstatedir/log/ostrel/          the log (ostrel.log), mode 0750
#
#   libdir/security/pam_ostrel.so      the PAM module (src/pam/CMakeLists.txt)
#   libdir/ostrel/pam_ostrel_core.so   the module's code, which it loads
#   docdir/examples/                   Dovecot, Postfix and PAM configurations on Ostrel's
#                                      accounts; the one that holds a password is readable by
#                                      root only
#   docdir/copyright, changelog.Debian.gz, sysconfdir/logrotate.d/ostrel: the package only
#
# The settings file goes to the absolute sysconfdir that is compiled into the program
# (with the prefix /usr that is /etc, not /usr/etc), so that the installed program finds
# the file it installed. An install into another prefix (cmake --install --prefix) keeps
# everything inside that prefix: etc/ and var/ below it, with the settings naming them.

set(OSTREL_STATE_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/ostrel")
set(OSTREL_LOG_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/ostrel")
set(OSTREL_SETTINGS_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/corvex.ini")

configure_file(${PROJECT_SOURCE_DIR}/examples/corvex.ini.in ${PROJECT_BINARY_DIR}/corvex.ini @ONLY)

# Manual pages and the changelog are installed compressed (gzip -n: no name or time
# stamp, so that the same source gives the same package).
set(OSTREL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging/deb)
set(OSTREL_COMPRESSED)
function(ostrel_gzip source output)
  add_custom_command(OUTPUT ${output} COMMAND gzip -9n -c ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
  set(OSTREL_COMPRESSED ${OSTREL_COMPRESSED} ${output} PARENT_SCOPE)
endfunction()
foreach(page IN ITEMS ostrel.1 ostrel-migrate.1 ostrel-setup-slapd.8)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  ostrel_gzip(${PROJECT_SOURCE_DIR}/docs/${page} ${PROJECT_BINARY_DIR}/man/${page}.gz)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man)
ostrel_gzip(${OSTREL_PACKAGING_DIR}/changelog ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
add_custom_target(ostrel_compressed ALL DEPENDS ${OSTREL_COMPRESSED})

install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/ostrel-setup-slapd/ostrel-setup-slapd
        DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/tests/ldap/ostrel-schema.ldif
        DESTINATION ${CMAKE_INSTALL_DATADIR}/ostrel)
# A file that holds a password (the read-only directory or domain account's) is readable by
# root only, so that a copy made with cp --preserve=mode or install -m keeps it so.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/dovecot ${PROJECT_SOURCE_DIR}/examples/postfix
        ${PROJECT_SOURCE_DIR}/examples/pam.d DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        PATTERN dovecot-ostrel-ldap.conf.ext PERMISSIONS OWNER_READ OWNER_WRITE
        PATTERN dovecot-ostrel-ad.conf.ext PERMISSIONS OWNER_READ OWNER_WRITE)

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
    "Ostrel is a small account service that mail servers start as a child\n"
    "process and drive over standard input and output, one command per line:\n"
    "check a password, look an account up, list accounts matching a pattern,\n"
    "create, update and delete accounts. Accounts live in an SQLite store with\n"
    "argon2id password hashes, in an LDAP directory or in the host's own files.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# The program's own version text is 1.0g; the package carries the same.
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}g")
set(CPACK_GENERATOR DEB)
# Absolute destinations (sysconfdir, localstatedir) must land in the staging tree.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_PACKAGE_NAME ostrel)
# The release is the newest entry of packaging/deb/changelog.
set(OSTREL_DEB_RELEASE 2 CACHE STRING "Debian release of the package (the part after the dash)")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${OSTREL_DEB_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends is computed by dpkg-shlibdeps from every ELF file in the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# sqlite3 backs the store up; slapd and ldap-utils are what ostrel-setup-slapd drives.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sqlite3, slapd, ldap-utils, logrotate")
# dpkg never replaces a changed conffile silently.
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles
     "${OSTREL_SETTINGS_FILE}\n${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/ostrel\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles
    ${OSTREL_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Files of the package alone: copyright, changelog, logrotate file, lintian overrides.
configure_file(${OSTREL_PACKAGING_DIR}/ostrel.logrotate.in ${PROJECT_BINARY_DIR}/debian/ostrel.logrotate @ONLY)
configure_file(${OSTREL_PACKAGING_DIR}/package-files.cmake.in
               ${PROJECT_BINARY_DIR}/debian/package-files.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_BINARY_DIR}/debian/package-files.cmake)
include(CPack)
