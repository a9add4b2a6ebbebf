# SLP user agent: wire codec, client API, SLPService, and end-to-end runs
# against orvel-slpd and orvel-slptool on loopback.
orvel_add_gtest(NAME slp_client_tests MODULE slp
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/wire_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/slp_service_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/ua_client_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/ua_client_agents_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/fake_agent.cc
  LIBS orvel_slp orvel_msg orvel_http orvel_net
  TIMEOUT 300)

# Runs the built orvel-slpd and orvel-slptool on free loopback ports.
orvel_add_gtest(NAME slp_e2e_tests MODULE slp
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/slp_e2e_test.cc
  LIBS orvel_slp orvel_msg orvel_http orvel_net
  TIMEOUT 300)
if(TARGET orvel-slpd AND TARGET orvel-slptool)
  add_dependencies(slp_e2e_tests orvel-slpd orvel-slptool)
endif()
