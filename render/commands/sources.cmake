target_sources(tallow_render PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/command_buffer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_context.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sort_key.cpp
)
