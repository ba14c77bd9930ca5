# The truth check (truth_check.h): the render side's node matrices against the World's,
# for the world, physics and application tests.
add_library(tallow_truth_check STATIC ${CMAKE_CURRENT_LIST_DIR}/truth_check.cpp)
target_link_libraries(tallow_truth_check PUBLIC tallow_world)
