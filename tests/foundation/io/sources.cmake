target_sources(foundation_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/archive_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/compressed_buffer_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/disk_file_system_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chunk_store_test.cpp
)
