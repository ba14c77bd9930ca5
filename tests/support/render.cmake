# The recording render device: the oracle of render front-end tests, decoding update
# streams and sorted command lists.
target_sources(tallow_test_support PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/fakes/recording_render_device.cpp
)
target_link_libraries(tallow_test_support PUBLIC tallow_render)
# Shader library bytes (render/shaders/shader_library.h), defined with the tools.
target_link_libraries(tallow_test_support PUBLIC tallow_shader_library_writer)
# "shading_environment" bytes (render/world/render_shading_environment.h).
target_link_libraries(tallow_test_support PUBLIC tallow_shading_environment_writer)
