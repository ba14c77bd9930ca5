target_sources(tallow_render PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/branch_modifier.cpp
    ${CMAKE_CURRENT_LIST_DIR}/cascaded_shadow_mapping.cpp
    ${CMAKE_CURRENT_LIST_DIR}/compute_kernel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/deferred_shading.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fullscreen_pass.cpp
    ${CMAKE_CURRENT_LIST_DIR}/light_constants.cpp
    ${CMAKE_CURRENT_LIST_DIR}/loop_modifier.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mesh_renderer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/modifier_inputs.cpp
    ${CMAKE_CURRENT_LIST_DIR}/nv_stereo_params.cpp
    ${CMAKE_CURRENT_LIST_DIR}/proxy_mesh.cpp
    ${CMAKE_CURRENT_LIST_DIR}/resource_generator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/shadow_casters.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tiled_deferred_shading.cpp
    ${CMAKE_CURRENT_LIST_DIR}/variable_override_map.cpp
)
