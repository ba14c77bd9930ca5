target_sources(tallow_test_support PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/fakes/recording_allocator.cpp
)
