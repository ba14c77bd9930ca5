# The "particles" writer (render/particles/particle_effect_resource.h), defined with the tools.
target_link_libraries(tallow_test_support PUBLIC tallow_particle_writer)
