# Coordinates file cache and coordinate monitor client.  The monitor tests
# use free loopback ports.
orvel_add_gtest(NAME coordinates_tests MODULE slp
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/coordinates_test.cc
  LIBS orvel_static)
