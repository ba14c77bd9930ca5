target_sources(foundation_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/trace_allocator_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/slot_allocator_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/heap_allocator_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/arena_allocator_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/static_allocator_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/page_allocator_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/generic_allocator_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/global_allocators_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/scratch_pool_test.cpp
)
