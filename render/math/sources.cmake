target_sources(tallow_render PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/camera_math.cpp
    ${CMAKE_CURRENT_LIST_DIR}/shadow_math.cpp
)
