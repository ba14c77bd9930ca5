# Navigation mesh blocks (ai/nav_mesh.h) for the AI tests, fuzz seeds and benchmarks; the
# writer library is defined with the tools (tools/CMakeLists.txt), which share it.
target_link_libraries(tallow_test_support PUBLIC tallow_nav_mesh_writer)
