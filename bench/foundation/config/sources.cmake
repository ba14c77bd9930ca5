# config_text_bench: config text parsing against RapidJSON's DOM parse (Debian
# rapidjson-dev, header only).
find_path(TALLOW_RAPIDJSON_INCLUDE rapidjson/document.h REQUIRED)
add_executable(config_text_bench ${CMAKE_CURRENT_LIST_DIR}/config_text_bench.cpp)
target_include_directories(config_text_bench PRIVATE ${TALLOW_RAPIDJSON_INCLUDE})
target_link_libraries(config_text_bench PRIVATE tallow_foundation tallow_bench_support)
