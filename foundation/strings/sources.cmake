target_sources(tallow_foundation PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/dynamic_string.cpp
    ${CMAKE_CURRENT_LIST_DIR}/utf.cpp
    ${CMAKE_CURRENT_LIST_DIR}/path.cpp
    ${CMAKE_CURRENT_LIST_DIR}/command_line.cpp
)
