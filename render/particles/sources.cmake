target_sources(tallow_render PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/particle_effect_resource.cpp
    ${CMAKE_CURRENT_LIST_DIR}/particle_ops.cpp
    ${CMAKE_CURRENT_LIST_DIR}/particle_effect.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_particle_world.cpp
    ${CMAKE_CURRENT_LIST_DIR}/particle_world.cpp
)
