target_sources(tallow_foundation PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/matrix4x4.cpp
    ${CMAKE_CURRENT_LIST_DIR}/oriented_box.cpp
    ${CMAKE_CURRENT_LIST_DIR}/rotation.cpp
    ${CMAKE_CURRENT_LIST_DIR}/timer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/random_seed.cpp
)
