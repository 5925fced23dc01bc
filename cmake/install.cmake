# Installing the Linux host, by `cmake --install` and in the Debian package that CPack makes
# (target `package`): the program in bin/, its module in lib/tarnwick/, the seed files in
# share/tarnwick/, the man pages, the bash completion and the systemd user units.

# An installed program must not let an environment variable fail its file operations, nor carry the
# sanitizers: only a build without the test seams (the release preset) is installed.
if(TARNWICK_FAULT_INJECTION OR TARNWICK_SANITIZE)
  install(CODE "message(FATAL_ERROR \"This build has test seams (TARNWICK_FAULT_INJECTION or \"
                \"TARNWICK_SANITIZE) and is not installed: install the release build (cmake --preset release)\")")
endif()

install(TARGETS tarnwick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS Tarnwick LIBRARY DESTINATION ${TARNWICK_INSTALL_MODULE_DIR})
install(FILES ${TARNWICK_SEED_FILES} DESTINATION ${TARNWICK_INSTALL_SEED_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/dist/bash-completion/tarnwick
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The man pages, written in scdoc's format (docs/man), made at build time when scdoc is there.
find_program(TARNWICK_SCDOC scdoc)
if(TARNWICK_SCDOC)
  set(man_pages)
  foreach(page tarnwick.1 tarnwick-config.5)
    set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.scd)
    set(made ${CMAKE_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${made}
      COMMAND ${CMAKE_COMMAND} -DSCDOC=${TARNWICK_SCDOC} -DSOURCE=${source} -DPAGE=${CMAKE_BINARY_DIR}/man/${page}
              -P ${PROJECT_SOURCE_DIR}/cmake/scdoc.cmake
      DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/scdoc.cmake
      COMMENT "Making the man page ${page}"
      VERBATIM)
    string(REGEX MATCH "[0-9]$" section ${page})
    install(FILES ${made} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    list(APPEND man_pages ${made})
  endforeach()
  add_custom_target(man ALL DEPENDS ${man_pages})
else()
  message(STATUS "scdoc not found: no man pages, and installing needs them (Debian package scdoc)")
  install(CODE "message(FATAL_ERROR \"The man pages need scdoc (Debian package scdoc): install it, then build again\")")
endif()

# The systemd user units, in systemd's folder for them below the installation prefix. They name the
# program where the installation puts it, so they are made as it installs (CPack installs with the
# package's prefix, /usr).
find_package(PkgConfig REQUIRED)
pkg_get_variable(systemd_user_units systemd systemduserunitdir)
if(systemd_user_units MATCHES "^/(usr/)?(.+)$")
  set(systemd_user_units ${CMAKE_MATCH_2})
else()
  set(systemd_user_units lib/systemd/user)
endif()
set(TARNWICK_SYSTEMD_USER_UNIT_DIR ${systemd_user_units} CACHE STRING
    "Where the systemd user units are installed, below the installation prefix")
set(units ${CMAKE_BINARY_DIR}/systemd)
install(CODE "
  if(IS_ABSOLUTE \"${CMAKE_INSTALL_BINDIR}\")
    set(TARNWICK_PROGRAM \"${CMAKE_INSTALL_BINDIR}/tarnwick\")
  else()
    set(TARNWICK_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tarnwick\")
  endif()
  foreach(unit tarnwick-watch.service tarnwick-watch-imap.service tarnwick-run.service)
    configure_file(\"${PROJECT_SOURCE_DIR}/dist/systemd/\${unit}.in\" \"${units}/\${unit}\" @ONLY)
  endforeach()")
install(FILES ${units}/tarnwick-watch.service ${units}/tarnwick-watch-imap.service ${units}/tarnwick-run.service
              ${PROJECT_SOURCE_DIR}/dist/systemd/tarnwick-run.timer
        DESTINATION ${TARNWICK_SYSTEMD_USER_UNIT_DIR})

# The Debian package: tarnwick_<version>_<arch>.deb, its dependencies found by dpkg-shlibdeps
# (package dpkg-dev) where it is there.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarnwick maintainers <tarnwick@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "challenge-response spam filter for a Maildir")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Tarnwick keeps mail from unknown senders out of the inbox until they answer a challenge.\n"
       "The program tarnwick filters a Maildir from cron, as a systemd user service, or at delivery\n"
       "time from procmail, maildrop, Postfix or Dovecot's Sieve.")
# The install runs with the package's prefix (and DESTDIR for the staging folder), so what it
# writes into files (the units' ExecStart) is the installed path.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Sender authentication reads the Public Suffix List that Debian keeps up to date.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS publicsuffix)
find_program(TARNWICK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARNWICK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, libglib2.0-0, libgmime-3.0-0, libpsl5, libetpan20, libgnutls30, libsasl2-modules")
endif()
include(CPack)
