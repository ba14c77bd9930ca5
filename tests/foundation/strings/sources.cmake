target_sources(foundation_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/name_id_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dynamic_string_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/utf_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/path_test.cpp
)
