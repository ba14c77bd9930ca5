// Writes shader library seeds with the shared writer: make_shader_library_seeds <dir>.
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/writers/shader_library_writer.h"

#include <cstdio>
#include <string>

using namespace tallow;

namespace {
void save(const std::string &path, const std::vector<u8> &bytes) { fuzz::write_seed(path, bytes.data(), bytes.size()); }
u32 id(const char *name) { return NameId32(name).value(); }
} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_shader_library_seeds <dir>\n");
        return 2;
    }
    memory_globals_init();
    const std::string dir = argv[1];
    save(dir + "/empty.shader_library", test::write_shader_library({}));
    test::ShaderLibrarySource library;
    library.shaders.push_back(test::build_shader(
        {"mesh",
         {{"world", ShaderValueType::Matrix4x4}, {"camera_pos", ShaderValueType::Vector3}, {"alpha", ShaderValueType::Scalar}},
         {"diffuse_map"},
         {{"opaque", "vs", "ps", {{1, 2, 3, 4}}, {{"diffuse_map", {{10, 2, 1, 0}}}}}, {"", "vs"}}}));
    library.shaders.push_back(test::build_shader({"sky", {{"view_proj", ShaderValueType::Matrix4x4}}, {}, {{"transparent", "", "ps"}}, true}));
    library.templates.push_back({id("mesh"),
                                 {{id("default"), {{id("mesh"), test::condition_blob("deferred = true")}, {id("sky"), {}}}},
                                  {id("shadow"), {{id("sky"), {}}}}}});
    save(dir + "/two_shaders.shader_library", test::write_shader_library(library));
    save(dir + "/group.shader_library_group", test::write_shader_library_group({"a", "b"}));
    return 0;
}
