# Directory agent look-ups against a bare UDP echo (plain program, no
# benchmark library needed).
add_executable(slp_da_bench ${CMAKE_CURRENT_LIST_DIR}/slp_da_bench.cc)
target_link_libraries(slp_da_bench PRIVATE orvel_slp_agent orvel_static Threads::Threads)
target_include_directories(slp_da_bench PRIVATE ${PROJECT_SOURCE_DIR}/liborvel)
