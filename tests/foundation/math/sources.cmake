target_sources(foundation_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/math_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/state_hasher_test.cpp
)
