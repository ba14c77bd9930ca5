# "physics_properties" and cooked mesh bytes for the physics tests; the writer library is
# defined with the tools (the physics_properties compiler uses it too).
target_link_libraries(tallow_test_support PUBLIC tallow_physics_writer)
