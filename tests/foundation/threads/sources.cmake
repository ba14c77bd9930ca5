target_sources(foundation_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/thread_registry_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/thread_pool_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/locked_ring_buffer_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/command_thread_test.cpp
)
# The kernel library the registry test loads by name ("libtallow_test_kernel.so"), placed
# beside the test program, where the registry looks first.
add_library(tallow_test_kernel SHARED ${CMAKE_CURRENT_LIST_DIR}/tallow_test_kernel.cpp)
set_target_properties(tallow_test_kernel PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
add_dependencies(foundation_tests tallow_test_kernel)
