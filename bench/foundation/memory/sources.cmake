# allocator_bench: the generic allocator against glibc malloc and mimalloc (a Debian
# package installed by bench.sh; linked only here).
find_library(TALLOW_MIMALLOC_LIBRARY mimalloc REQUIRED)
add_executable(allocator_bench ${CMAKE_CURRENT_LIST_DIR}/allocator_bench.cpp)
target_link_libraries(allocator_bench PRIVATE tallow_foundation tallow_bench_support ${TALLOW_MIMALLOC_LIBRARY})
