target_sources(tallow_render PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/deferred_release_queue.cpp
    ${CMAKE_CURRENT_LIST_DIR}/frustum_culling.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_camera.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_light.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_lod_object.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_mesh_object.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_draw.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_object.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_record.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_scene_graph.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_shading_environment.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_state_queue.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_state_stream.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_world.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_world_render.cpp
)
