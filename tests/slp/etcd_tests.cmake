# Registrations shared through etcd (orvel-slpd --etcd): the codec, and the
# agents end to end against an etcd the tests start on loopback.
if(TARGET orvel_slpd_etcd)
  add_library(slp_etcd_testutil STATIC ${CMAKE_CURRENT_LIST_DIR}/etcd_test_util.cc)
  target_include_directories(slp_etcd_testutil PUBLIC ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(slp_etcd_testutil PUBLIC orvel_slpd_etcd orvel_testutil)
  orvel_add_gtest(NAME slp_etcd_tests MODULE slp
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/etcd_codec_test.cc
            ${CMAKE_CURRENT_LIST_DIR}/slpd_etcd_test.cc
    LIBS slp_etcd_testutil orvel_slpd_etcd
    TIMEOUT 120)
  add_dependencies(slp_etcd_tests orvel-slpd)
  orvel_add_gtest(NAME slp_etcd_stress_tests MODULE stress
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/etcd_cluster_stress_test.cc
    LIBS slp_etcd_testutil orvel_slpd_etcd LABELS stress TIMEOUT 300)
  add_dependencies(slp_etcd_stress_tests orvel-slpd)
endif()
