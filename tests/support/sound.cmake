# "wav" and "sound_environment" bytes for the sound tests; the writer library is defined
# with the tools (the sound compiler uses it too).
target_link_libraries(tallow_test_support PUBLIC tallow_sound_writer)
