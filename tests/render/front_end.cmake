target_sources(render_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/render_state_stream_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/render_world_test.cpp
)
