target_sources(tallow_render PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/render_interface.cpp
)

# The Application's render service sits above both the render library and the
# application, so neither links the other.
add_library(tallow_render_service STATIC ${CMAKE_CURRENT_LIST_DIR}/render_service.cpp)
target_link_libraries(tallow_render_service PUBLIC tallow_render tallow_application)
