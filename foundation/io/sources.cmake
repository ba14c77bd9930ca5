# Archives, buffers, segment-compressed streams, the disk file system, the chunk store and
# the render settings store.
target_sources(tallow_foundation PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/memory_buffer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/input_archive.cpp
    ${CMAKE_CURRENT_LIST_DIR}/output_archive.cpp
    ${CMAKE_CURRENT_LIST_DIR}/compressed_buffer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/file_buffer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/disk_file_system.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chunk_store.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_settings_store.cpp
)
