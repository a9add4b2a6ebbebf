# Directory agent: predicates, attribute lists, registration store, request
# handling from bytes, and orvel-slpd end to end on loopback.
orvel_add_gtest(NAME slp_da_tests MODULE slp
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/predicate_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/da_store_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/da_handler_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/da_rrl_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/slpd_e2e_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/slpd_interop_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/standard_peer.cc
  LIBS orvel_slp_agent orvel_slp orvel_msg orvel_http orvel_net
  TIMEOUT 180)
if(TARGET orvel-slpd)
  add_dependencies(slp_da_tests orvel-slpd)
endif()
