# Packaging: man pages, systemd units with their default files, the guides,
# and the Debian package that CPack builds from the build tree.

# --- Man pages -------------------------------------------------------------
# help2man turns each program's --help and --version into a page; the
# include file packaging/man/NAME.h2m adds what --help does not say (the
# NAME line, exit statuses, environment, files, examples).
set(ORVEL_MAN_PROGRAMS zemsynth zemclient zemproxy orvel-slpd orvel-slptool orvel-pelmmon
    orvel-load)
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
set(ORVEL_MAN_PAGES)
if(HELP2MAN AND GZIP)
  foreach(p ${ORVEL_MAN_PROGRAMS})
    if(NOT TARGET ${p})
      continue()
    endif()
    set(include_file ${PROJECT_SOURCE_DIR}/packaging/man/${p}.h2m)
    set(page ${PROJECT_BINARY_DIR}/man/${p}.1)
    add_custom_command(OUTPUT ${page} ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${PROJECT_SOURCE_DIR}/cmake/man-page.sh ${HELP2MAN} $<TARGET_FILE:${p}>
              ${include_file} ${page}
      COMMAND ${GZIP} -9nf -k ${page}
      DEPENDS ${p} ${include_file} ${PROJECT_SOURCE_DIR}/cmake/man-page.sh
      COMMENT "Man page ${p}.1"
      VERBATIM)
    list(APPEND ORVEL_MAN_PAGES ${page})
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
else()
  message(WARNING "help2man or gzip not found: no man pages (scripts/setup-deps.sh installs them)")
endif()
add_custom_target(man ALL DEPENDS ${ORVEL_MAN_PAGES})

# --- systemd units and their default files --------------------------------
# The units name the prefix the files are installed to, which is only known
# at install time (cmake --install --prefix, or /usr inside the package), so
# they are configured then.
set(ORVEL_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Folder of the systemd units, relative to the install prefix")
set(ORVEL_UNITS orvel-slpd zemsynth orvel-pelmmon)
install(CODE "
  set(ORVEL_UNITS \"${ORVEL_UNITS}\")
  set(ORVEL_UNIT_SOURCE_DIR \"${PROJECT_SOURCE_DIR}/packaging\")
  set(ORVEL_UNIT_STAGE_DIR \"${PROJECT_BINARY_DIR}/packaging-stage\")
  set(ORVEL_SYSTEMD_UNITDIR \"${ORVEL_SYSTEMD_UNITDIR}\")
  set(ORVEL_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(ORVEL_INSTALL_DATADIR \"${CMAKE_INSTALL_DATADIR}\")")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/InstallUnits.cmake)

# --- The units' ORVEL_PATH --------------------------------------------------
# The folder the units name as ORVEL_PATH, shipped with a note of what the
# site puts there (the ABone client and pelm.coords are not ours to ship).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/orvel-path/README
        DESTINATION ${CMAKE_INSTALL_DATADIR}/orvel)

# --- Guides ----------------------------------------------------------------
file(GLOB ORVEL_GUIDES ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${ORVEL_GUIDES}
              ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# --- Debian package --------------------------------------------------------
# cpack -G DEB in the build tree.  The files are installed with DESTDIR and
# the prefix /usr, so the units name /usr/bin and the default files land in
# /etc/default.  The daemons run as DynamicUser: no system user to create,
# so no maintainer scripts of our own (CPack adds ldconfig to postinst and
# postrm).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Orvel developers <orvel-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "overlay multicast synthesis service and SLP directory agent")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Orvel builds multicast transports for groups of end hosts and zones:
zemsynth answers synthesis requests, finding each member's proxy through
an SLP directory agent (orvel-slpd).  The package holds the programs,
their systemd units, the liborvel message library (shared and static,
headers, pkg-config file) and the guides.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianStage.cmake)
# The default files are conffiles, so an upgrade keeps an operator's edits;
# ldconfig runs from its trigger once the shared library is unpacked.
set(deb_control ${PROJECT_BINARY_DIR}/packaging-debian)
set(conffiles)
foreach(u ${ORVEL_UNITS})
  string(APPEND conffiles "/etc/default/${u}\n")
endforeach()
file(WRITE ${deb_control}/conffiles "${conffiles}")
file(WRITE ${deb_control}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb_control}/conffiles ${deb_control}/triggers)
include(CPack)

# --- Tests -----------------------------------------------------------------
if(ORVEL_BUILD_TESTS)
  set(pkg_tests ${PROJECT_SOURCE_DIR}/tests/packaging)
  add_test(NAME packaging.ManPages.Lexgrog
           COMMAND ${pkg_tests}/man_pages_test.sh ${PROJECT_BINARY_DIR} ${ORVEL_MAN_PROGRAMS})
  add_test(NAME packaging.Units.VerifyAndSecurity
           COMMAND ${pkg_tests}/units_test.sh ${PROJECT_BINARY_DIR} ${ORVEL_UNITS})
  add_test(NAME packaging.Deb.Contents
           COMMAND ${pkg_tests}/deb_test.sh ${PROJECT_BINARY_DIR} ${ORVEL_UNITS})
  set_tests_properties(packaging.ManPages.Lexgrog PROPERTIES LABELS "packaging" TIMEOUT 60)
  set_tests_properties(packaging.Units.VerifyAndSecurity PROPERTIES
                       LABELS "packaging" TIMEOUT 120 SKIP_RETURN_CODE 77)
  set_tests_properties(packaging.Deb.Contents PROPERTIES
                       LABELS "packaging;package" TIMEOUT 300 SKIP_RETURN_CODE 77 COST 100)
endif()
