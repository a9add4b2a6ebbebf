# Runs at install time (from cmake_install.cmake): configures the systemd
# units and their default files for the prefix being installed to, then
# installs them.  Set before: ORVEL_UNITS, ORVEL_UNIT_SOURCE_DIR,
# ORVEL_UNIT_STAGE_DIR, ORVEL_SYSTEMD_UNITDIR, ORVEL_INSTALL_BINDIR,
# ORVEL_INSTALL_DATADIR.

# As GNUInstallDirs has it: the prefix /usr keeps its settings in /etc.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(ORVEL_SYSCONFDIR "/etc")
else()
  set(ORVEL_SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(ORVEL_BINDIR "${CMAKE_INSTALL_PREFIX}/${ORVEL_INSTALL_BINDIR}")
set(ORVEL_DATADIR "${CMAKE_INSTALL_PREFIX}/${ORVEL_INSTALL_DATADIR}")

# One staging folder per destination: installs to two prefixes may run at once.
string(MD5 stage_id "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(stage "${ORVEL_UNIT_STAGE_DIR}/${stage_id}")
set(units)
set(defaults)
foreach(u ${ORVEL_UNITS})
  configure_file("${ORVEL_UNIT_SOURCE_DIR}/systemd/${u}.service.in" "${stage}/${u}.service" @ONLY)
  configure_file("${ORVEL_UNIT_SOURCE_DIR}/default/${u}.in" "${stage}/default/${u}" @ONLY)
  list(APPEND units "${stage}/${u}.service")
  list(APPEND defaults "${stage}/default/${u}")
endforeach()
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${ORVEL_SYSTEMD_UNITDIR}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES ${units})
file(INSTALL DESTINATION "${ORVEL_SYSCONFDIR}/default" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES ${defaults})
file(REMOVE_RECURSE "${stage}")
