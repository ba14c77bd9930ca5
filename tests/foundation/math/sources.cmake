target_sources(foundation_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/math_test.cpp
)
