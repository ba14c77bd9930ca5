target_sources(render_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/render_interface_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_state_stream_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_world_test.cpp
)
# The interface test drives a real window over the headless window system.
target_link_libraries(render_tests PRIVATE tallow_application)
