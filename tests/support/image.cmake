# PNG images and golden-image comparison (stb), without GoogleTest: shared by the drawing
# tests and the frame capture program.
add_library(tallow_golden_image STATIC ${CMAKE_CURRENT_LIST_DIR}/image/golden_image.cpp)
target_link_libraries(tallow_golden_image PUBLIC tallow_foundation)

# Pictures of whole engine runs through the OpenGL backend (image/frame_capture.h).
add_library(tallow_frame_capture STATIC ${CMAKE_CURRENT_LIST_DIR}/image/frame_capture.cpp)
target_link_libraries(tallow_frame_capture PUBLIC tallow_golden_image tallow_engine_setup tallow_d3d11)

# capture_frame OUTPUT.png DATA_DIR [FRAMES] [ENGINE OPTIONS...]
add_executable(capture_frame ${CMAKE_CURRENT_LIST_DIR}/image/capture_frame_main.cpp)
target_link_libraries(capture_frame PRIVATE tallow_frame_capture)
set_target_properties(capture_frame PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The README's picture of the sample: the frame the sample's golden test compares.
#   cmake --build build/test --target readme_picture
add_custom_target(readme_picture
    COMMAND $<TARGET_FILE:capture_frame> ${CMAKE_SOURCE_DIR}/docs/sample_frame.png ${CMAKE_BINARY_DIR}/data 120
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    COMMENT "Writing docs/sample_frame.png"
    VERBATIM)
add_dependencies(readme_picture capture_frame tallow_data)
