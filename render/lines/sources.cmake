target_sources(tallow_render PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/line_object.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_line_object_drawer.cpp
)
