target_sources(tallow_foundation PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/memory_globals.cpp
    ${CMAKE_CURRENT_LIST_DIR}/trace_allocator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/scratch_pool.cpp
    ${CMAKE_CURRENT_LIST_DIR}/temp_allocator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/page_allocator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/system_allocator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/slot_allocator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/region_heap.cpp
    ${CMAKE_CURRENT_LIST_DIR}/heap_allocator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/arena_allocator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/static_allocator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/page_owner_map.cpp
    ${CMAKE_CURRENT_LIST_DIR}/generic_allocator.cpp
)
