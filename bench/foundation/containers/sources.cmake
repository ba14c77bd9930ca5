find_package(absl REQUIRED)
add_executable(hash_map_bench ${CMAKE_CURRENT_LIST_DIR}/hash_map_bench.cpp)
target_link_libraries(hash_map_bench PRIVATE tallow_foundation tallow_bench_support absl::flat_hash_map)
