# segment_stream_bench: the segment-compressed reader against zlib's uncompress of the same
# segments.
add_executable(segment_stream_bench ${CMAKE_CURRENT_LIST_DIR}/segment_stream_bench.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/writers/segment_stream_writer.cpp)
target_link_libraries(segment_stream_bench PRIVATE tallow_foundation tallow_bench_support)
