# Install layout of a POSIX build. The Debian package (debian/, dpkg-buildpackage) is what
# this installs, plus the files of the package alone (copyright, changelogs, logrotate file,
# maintainer script, lintian overrides).
#
#   bindir/ostrel                      the program
#   sysconfdir/corvex.ini              settings read when the start directory holds no
#                                      ostrel.ini; never overwritten once it exists
#   sysconfdir/pam.d/ostrel            the PAM service the Dovecot examples name; never
#                                      overwritten once it exists
#   sbindir/ostrel-setup-slapd         prepares Debian's slapd for Ostrel's accounts
#   sbindir/ostrel-doctor              checks who owns the settings, log, store and password
#                                      files, as the user that needs them
#   mandir/man1/ostrel.1.gz            the manual page
#   mandir/man1/ostrel-migrate.1.gz    the manual page of the migration tool
#   mandir/man1/ostrel-import.1.gz     the manual page of the import of hashes
#   mandir/man8/ostrel-setup-slapd.8.gz, mandir/man8/ostrel-doctor.8.gz
#   datadir/ostrel/ostrel-schema.ldif  the directory schema ostrel-setup-slapd loads
#   localstatedir/lib/ostrel/          the account store (ostrel.db), mode 0750
#   localstatedir/log/ostrel/          the log (ostrel.log), mode 0750
#
#   libdir/security/pam_ostrel.so      the PAM module (src/pam/CMakeLists.txt)
#   libdir/ostrel/pam_ostrel_core.so   the module's code, which it loads
#   docdir/examples/                   Dovecot, Postfix and PAM configurations on Ostrel's
#                                      accounts; the one that holds a password is readable by
#                                      root only; fail2ban's filter and jail for Ostrel's log,
#                                      copied to /etc/fail2ban by the administrator who uses it
#
# The settings file goes to the absolute sysconfdir that is compiled into the program
# (with the prefix /usr that is /etc, not /usr/etc), so that the installed program finds
# the file it installed. An install into another prefix (cmake --install --prefix) keeps
# everything inside that prefix: etc/ and var/ below it, with the settings naming them.

set(OSTREL_STATE_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/ostrel")
set(OSTREL_LOG_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/ostrel")
set(OSTREL_SETTINGS_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/corvex.ini")

configure_file(${PROJECT_SOURCE_DIR}/examples/corvex.ini.in ${PROJECT_BINARY_DIR}/corvex.ini @ONLY)

# Manual pages are installed compressed (gzip -n: no name or time stamp, so that the same
# source gives the same package).
set(OSTREL_COMPRESSED)
function(ostrel_gzip source output)
  add_custom_command(OUTPUT ${output} COMMAND gzip -9n -c ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
  set(OSTREL_COMPRESSED ${OSTREL_COMPRESSED} ${output} PARENT_SCOPE)
endfunction()
foreach(page IN ITEMS ostrel.1 ostrel-migrate.1 ostrel-import.1 ostrel-setup-slapd.8
                    ostrel-doctor.8)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  ostrel_gzip(${PROJECT_SOURCE_DIR}/docs/${page} ${PROJECT_BINARY_DIR}/man/${page}.gz)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man)
add_custom_target(ostrel_compressed ALL DEPENDS ${OSTREL_COMPRESSED})

install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/ostrel-setup-slapd/ostrel-setup-slapd
        ${PROJECT_SOURCE_DIR}/tools/ostrel-doctor/ostrel-doctor
        DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/tests/ldap/ostrel-schema.ldif
        DESTINATION ${CMAKE_INSTALL_DATADIR}/ostrel)
# A file that holds a password (the read-only directory or domain account's) is readable by
# root only, so that a copy made with cp --preserve=mode or install -m keeps it so.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/dovecot ${PROJECT_SOURCE_DIR}/examples/postfix
        ${PROJECT_SOURCE_DIR}/examples/pam.d ${PROJECT_SOURCE_DIR}/examples/fail2ban
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        PATTERN dovecot-ostrel-ldap.conf.ext PERMISSIONS OWNER_READ OWNER_WRITE
        PATTERN dovecot-ostrel-ad.conf.ext PERMISSIONS OWNER_READ OWNER_WRITE)

if(NOT OSTREL_FALLBACK_DIR STREQUAL CMAKE_INSTALL_FULL_SYSCONFDIR)
  install(CODE "message(WARNING \"This build reads its fallback settings from \"
                \"${OSTREL_FALLBACK_DIR}, not ${CMAKE_INSTALL_FULL_SYSCONFDIR}: \"
                \"configure with -DOSTREL_TESTS=OFF for a build to install.\")")
endif()

# Where this install puts the settings, store and log: the configured places, or the
# same places below the prefix the install was given (an absolute sysconfdir or
# localstatedir, such as Debian's /etc and /var, counts from the prefix too).
string(REGEX REPLACE "^/+" "" OSTREL_RELATIVE_SYSCONFDIR "${CMAKE_INSTALL_SYSCONFDIR}")
string(REGEX REPLACE "^/+" "" OSTREL_RELATIVE_LOCALSTATEDIR "${CMAKE_INSTALL_LOCALSTATEDIR}")
install(CODE "
  if(\"\${CMAKE_INSTALL_PREFIX}\" STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
    set(ostrel_etc \"${CMAKE_INSTALL_FULL_SYSCONFDIR}\")
    set(ostrel_var \"${CMAKE_INSTALL_FULL_LOCALSTATEDIR}\")
    set(ostrel_ini \"${PROJECT_BINARY_DIR}/corvex.ini\")
  else()
    set(ostrel_etc \"\${CMAKE_INSTALL_PREFIX}/${OSTREL_RELATIVE_SYSCONFDIR}\")
    set(ostrel_var \"\${CMAKE_INSTALL_PREFIX}/${OSTREL_RELATIVE_LOCALSTATEDIR}\")
    set(ostrel_ini \"${PROJECT_BINARY_DIR}/prefix/corvex.ini\")
    set(OSTREL_LOG_DIR \"\${ostrel_var}/log/ostrel\")
    set(OSTREL_STATE_DIR \"\${ostrel_var}/lib/ostrel\")
    configure_file(\"${PROJECT_SOURCE_DIR}/examples/corvex.ini.in\" \"\${ostrel_ini}\" @ONLY)
  endif()")

# An operator's settings file and PAM service stay as they are: the example is only put
# where none exists.
install(CODE "
  foreach(pair IN ITEMS \"\${ostrel_ini}|corvex.ini\"
                        \"${PROJECT_SOURCE_DIR}/examples/pam.d/ostrel|pam.d/ostrel\")
    string(REPLACE \"|\" \";\" pair \"\${pair}\")
    list(GET pair 0 source)
    list(GET pair 1 target)
    if(EXISTS \"\$ENV{DESTDIR}\${ostrel_etc}/\${target}\")
      message(STATUS \"Keeping: \$ENV{DESTDIR}\${ostrel_etc}/\${target}\")
    else()
      get_filename_component(folder \"\${ostrel_etc}/\${target}\" DIRECTORY)
      get_filename_component(name \"\${target}\" NAME)
      file(INSTALL DESTINATION \"\${folder}\" TYPE FILE RENAME \"\${name}\"
           PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES \"\${source}\")
    endif()
  endforeach()")

# The store and log directories, empty; the store holds password hashes.
install(CODE "
  foreach(parent IN ITEMS lib log)
    file(INSTALL DESTINATION \"\${ostrel_var}/\${parent}\" TYPE DIRECTORY
         FILES \"${PROJECT_BINARY_DIR}/empty/ostrel\"
         DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
  endforeach()")
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/empty/ostrel)
