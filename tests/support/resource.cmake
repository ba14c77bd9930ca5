# Compiled resource inputs (bundles, patches, the loose-file database) for every test,
# built with the engine's resource writers.
target_sources(tallow_test_support PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/resource_test_data.cpp
)
target_link_libraries(tallow_test_support PUBLIC tallow_resource_writer)
