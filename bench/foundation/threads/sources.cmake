# thread_pool_bench: tiny jobs and a parallel loop against oneTBB (Debian libtbb-dev,
# installed by bench.sh) and a plain mutex-and-condition-variable pool.
# locked_ring_buffer_bench: ring push/pop against a mutex-guarded std::deque.
find_package(TBB REQUIRED)
add_executable(thread_pool_bench ${CMAKE_CURRENT_LIST_DIR}/thread_pool_bench.cpp)
target_link_libraries(thread_pool_bench PRIVATE tallow_foundation tallow_bench_support TBB::tbb)
add_executable(locked_ring_buffer_bench ${CMAKE_CURRENT_LIST_DIR}/locked_ring_buffer_bench.cpp)
target_link_libraries(locked_ring_buffer_bench PRIVATE tallow_foundation tallow_bench_support)
