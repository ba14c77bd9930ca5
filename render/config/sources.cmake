target_sources(tallow_render PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/global_resources.cpp
    ${CMAKE_CURRENT_LIST_DIR}/layer_config_set.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_branch.cpp
)
# Global textures and shader libraries are fetched from the resource manager.
target_link_libraries(tallow_render PUBLIC tallow_resource)
target_sources(tallow_render PRIVATE ${CMAKE_CURRENT_LIST_DIR}/render_configuration.cpp)
