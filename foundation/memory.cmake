target_sources(tallow_foundation PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/memory_globals.cpp
)
