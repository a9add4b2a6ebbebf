# The cost of sharing registrations through etcd: registrations and
# look-ups of an etcd-backed orvel-slpd against a standalone one (plain
# program; it starts etcd and both agents itself).
add_executable(slp_etcd_bench ${CMAKE_CURRENT_LIST_DIR}/slp_etcd_bench.cc)
target_link_libraries(slp_etcd_bench PRIVATE orvel_static Threads::Threads)
target_include_directories(slp_etcd_bench PRIVATE ${PROJECT_SOURCE_DIR}/liborvel)
