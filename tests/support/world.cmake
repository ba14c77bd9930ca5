# Unit resource bytes for the world tests, fuzz seeds and benchmarks; the same writer
# serves the unit compiler (tools/compile_unit), which defines the library.
target_link_libraries(tallow_test_support PUBLIC tallow_unit_resource_writer)
# Flow graph and level bytes (world/flow/flow_graph.h, world/levels/level.h), defined with the tools.
target_link_libraries(tallow_test_support PUBLIC tallow_level_writer)
