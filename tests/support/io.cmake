target_sources(tallow_test_support PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/writers/segment_stream_writer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/temp_directory.cpp
)
