# Runs inside cpack once the files are staged, before the Debian package is
# made: what Debian asks of a package beyond the installed files.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE copyright "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/orvel/copyright")
if(NOT copyright)
  message(FATAL_ERROR "no share/doc/orvel/copyright under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
list(GET copyright 0 copyright)
get_filename_component(docdir "${copyright}" DIRECTORY)
get_filename_component(usr "${docdir}/../../.." ABSOLUTE)

# A compressed changelog beside the copyright file.
string(TIMESTAMP now "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${docdir}/changelog"
"${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Built from the source tree by cpack.

 -- ${CPACK_PACKAGE_CONTACT}  ${now}
")
execute_process(COMMAND gzip -9nf "${docdir}/changelog" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip of ${docdir}/changelog failed")
endif()

# CPACK_STRIP_FILES strips programs and shared objects only; the static
# library loses its debug sections here (they name the build tree).
file(GLOB archives "${usr}/lib/*.a" "${usr}/lib/*/*.a")
foreach(a ${archives})
  execute_process(COMMAND strip --strip-debug --enable-deterministic-archives "${a}"
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "strip --strip-debug ${a} failed")
  endif()
endforeach()
