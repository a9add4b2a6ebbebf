# orvel_add_gtest(NAME target MODULE module SOURCES a.cc b.cc LIBS orvel_msg ... [LABELS label]
#                 [TIMEOUT seconds] [TSAN gtest-filter] [SERIAL gtest-filter] [COST n])
# Builds one gtest binary; every TEST inside shows in ctest as "<module>.<Suite>.<Case>".
# TSAN names, as a gtest filter, the suites that exercise threads and are not
# bound by timing; they also carry the label "tsan" (scripts/tsan.sh).
# SERIAL names, as a gtest filter, the tests that load the whole machine:
# nothing runs beside them.  The binary's other tests then run one at a time
# (a resource lock on the binary), beside other binaries' tests.
# COST ranks long tests first when ctest has no timings of its own yet (a
# fresh build tree, as in CI), so they do not end the run alone.
# Tests are white-box: a test reaches a module's insides by naming the
# module's internal target (orvel_http_internal, ...) in LIBS.
# Tests find the built programs through ORVEL_BUILD_DIR.  Only one variable is
# passed: a list value would be split by the property list it travels in.
function(orvel_add_gtest)
  cmake_parse_arguments(T "" "NAME;MODULE;TIMEOUT;TSAN;SERIAL;COST" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} orvel_testutil GTest::gtest
                        GTest::gtest_main Threads::Threads)
  if(NOT T_MODULE)
    set(T_MODULE ${T_NAME})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # One label per test (the property list cannot carry a list value): the
  # first of LABELS if given, else the module.
  set(label ${T_MODULE})
  if(T_LABELS)
    list(GET T_LABELS 0 label)
  endif()
  set(props TIMEOUT ${T_TIMEOUT} LABELS ${label}
      ENVIRONMENT "ORVEL_BUILD_DIR=${PROJECT_BINARY_DIR}")
  if(T_COST)
    list(APPEND props COST ${T_COST})
  endif()
  set(discover ${T_NAME} TEST_PREFIX "${T_MODULE}." DISCOVERY_MODE PRE_TEST)
  if(T_TSAN AND T_SERIAL)
    message(FATAL_ERROR "orvel_add_gtest(${T_NAME}): TSAN and SERIAL exclude each other")
  elseif(T_SERIAL)
    gtest_discover_tests(${discover} TEST_FILTER "${T_SERIAL}" PROPERTIES ${props} RUN_SERIAL TRUE)
    gtest_discover_tests(${discover} TEST_FILTER "-${T_SERIAL}"
                         PROPERTIES ${props} RESOURCE_LOCK ${T_NAME})
  elseif(T_TSAN)
    # Discovered in two parts; a script ctest reads after discovery gives the
    # first part its second label, which PROPERTIES cannot carry.
    gtest_discover_tests(${discover} TEST_FILTER "${T_TSAN}" TEST_LIST ${T_NAME}_tsan
                         PROPERTIES ${props})
    gtest_discover_tests(${discover} TEST_FILTER "-${T_TSAN}" PROPERTIES ${props})
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_tsan_label.cmake")
    file(WRITE "${script}"
         "if(${T_NAME}_tsan)\n"
         "  set_tests_properties(\${${T_NAME}_tsan} PROPERTIES LABELS \"${label};tsan\")\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
  else()
    gtest_discover_tests(${discover} PROPERTIES ${props})
  endif()
endfunction()

# orvel_internal_headers(NAME target FOLDER name [DIR dir] [LINKS lib...] [HEADERS a.h ...])
# Makes the INTERFACE target NAME through which "FOLDER/x.h" includes reach
# the headers of DIR (default: the current source folder).  Each such
# target has an include root of its own in the build tree holding one link:
# to the whole folder, or with HEADERS to those files alone (a narrow view
# of a module).  A target that does not link NAME cannot include those
# headers at all.  LINKS is what NAME brings with it (the module's library,
# the base).  ORVEL_INTERNAL_ROOT_<NAME>, set in the caller's scope, is the
# root, for the module's own library to use PRIVATE.
function(orvel_internal_headers)
  cmake_parse_arguments(I "" "NAME;FOLDER;DIR" "LINKS;HEADERS" ${ARGN})
  if(NOT I_DIR)
    set(I_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  set(root ${PROJECT_BINARY_DIR}/internal-include/${I_NAME})
  if(I_HEADERS)
    file(MAKE_DIRECTORY ${root}/${I_FOLDER})
    foreach(h ${I_HEADERS})
      file(CREATE_LINK ${I_DIR}/${h} ${root}/${I_FOLDER}/${h} SYMBOLIC)
    endforeach()
  else()
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${I_DIR} ${root}/${I_FOLDER} SYMBOLIC)
  endif()
  add_library(${I_NAME} INTERFACE)
  target_include_directories(${I_NAME} INTERFACE ${root})
  if(I_LINKS)
    target_link_libraries(${I_NAME} INTERFACE ${I_LINKS})
  endif()
  set(ORVEL_INTERNAL_ROOT_${I_NAME} ${root} PARENT_SCOPE)
endfunction()
