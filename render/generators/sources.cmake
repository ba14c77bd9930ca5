target_sources(tallow_render PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/branch_modifier.cpp
    ${CMAKE_CURRENT_LIST_DIR}/compute_kernel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fullscreen_pass.cpp
    ${CMAKE_CURRENT_LIST_DIR}/loop_modifier.cpp
    ${CMAKE_CURRENT_LIST_DIR}/modifier_inputs.cpp
    ${CMAKE_CURRENT_LIST_DIR}/resource_generator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/variable_override_map.cpp
)
