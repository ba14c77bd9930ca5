target_sources(foundation_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/config_value_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/config_text_test.cpp
)
