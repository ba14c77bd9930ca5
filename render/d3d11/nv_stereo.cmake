# Stereo access through the driver's interface library, loaded at run time.
add_library(tallow_nv_stereo STATIC
    ${CMAKE_CURRENT_LIST_DIR}/nv_stereo.cpp
)
target_link_libraries(tallow_nv_stereo PUBLIC tallow_foundation ${CMAKE_DL_LIBS})
