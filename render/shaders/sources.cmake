target_sources(tallow_render PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/auto_variables.cpp
    ${CMAKE_CURRENT_LIST_DIR}/shader_constant_buffer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/shader_library.cpp
    ${CMAKE_CURRENT_LIST_DIR}/shader_library_loader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/shader_manager.cpp
)
