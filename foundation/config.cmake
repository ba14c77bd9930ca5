target_sources(tallow_foundation PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/config_value.cpp
    ${CMAKE_CURRENT_LIST_DIR}/const_config_value.cpp
)
