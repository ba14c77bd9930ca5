target_sources(render_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/render_interface_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_service_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_state_stream_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_world_test.cpp
)
# The interface and service tests drive a real window and Application over the headless
# window system.
target_link_libraries(render_tests PRIVATE tallow_render_service)
