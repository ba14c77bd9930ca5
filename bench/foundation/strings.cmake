add_executable(name_id_bench ${CMAKE_CURRENT_LIST_DIR}/name_id_bench.cpp)
target_link_libraries(name_id_bench PRIVATE tallow_foundation benchmark::benchmark)
