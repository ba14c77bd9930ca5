target_sources(tallow_render PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/render_resource.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_resource_allocator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_resource_context.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_resource_handle_pool.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_resource_set.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_target.cpp
)
