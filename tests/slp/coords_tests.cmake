# Coordinates file cache and coordinate monitor client.  The monitor tests
# bind 127.0.0.1:5646, hence the lock.
orvel_add_gtest(NAME coordinates_tests MODULE slp
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/coordinates_test.cc
  LIBS orvel_static
  RESOURCE_LOCK pelmmon_port)
