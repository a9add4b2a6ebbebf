# SLP lookup rate and latency against orvel-slpd, next to a UDP echo floor.
# Run from the build directory: bench/slp_bench tools/orvel-slpd/orvel-slpd
add_executable(slp_bench ${CMAKE_CURRENT_LIST_DIR}/slp_bench.cc)
target_link_libraries(slp_bench PRIVATE orvel_slp orvel_msg orvel_http orvel_net)
