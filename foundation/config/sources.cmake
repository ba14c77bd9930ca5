# Config value trees, the read-only flat blob, and the config text reader and writer.
target_sources(tallow_foundation PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/config_value.cpp
    ${CMAKE_CURRENT_LIST_DIR}/const_config_value.cpp
    ${CMAKE_CURRENT_LIST_DIR}/config_text_parser.cpp
    ${CMAKE_CURRENT_LIST_DIR}/config_text_writer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/config_blob.cpp
)
