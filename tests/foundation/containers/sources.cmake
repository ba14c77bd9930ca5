target_sources(foundation_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/array_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/hash_map_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/hash_set_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sort_map_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ordered_map_test.cpp
)
