// The navigation mesh compiler: a source compiles into a block the reader takes, with the
// neighbours and tree worked out; sources it cannot turn into a sound mesh fail with the
// polygon or vertex named.
#include "ai/nav_mesh.h"
#include "foundation/memory/memory_globals.h"
#include "tools/world/level_compiler.h"
#include "tools/ai/nav_mesh_compiler.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tallow {
namespace {

bool compile(const std::string &text, std::vector<u8> &out, std::string &error)
{
    return compile_nav_mesh_source(text.data(), text.size(), out, error);
}

TEST(NavMeshCompiler, SourceCompilesIntoAMeshWithNeighboursAndATree)
{
    std::vector<u8> block;
    std::string error;
    ASSERT_TRUE(compile("vertices = [ [0 0 0] [10 0 0] [10 10 0] [0 10 0] [20 0 1] [20 10 1] ]\n"
                        "polygons = [ [0 1 2 3] [1 4 5 2] ]\n",
                        block, error))
        << error;
    NavMesh *mesh = read_nav_mesh(block.data(), block.size(), default_allocator());
    ASSERT_NE(mesh, nullptr);
    EXPECT_EQ(mesh->polygon_count(), 2u);
    EXPECT_EQ(mesh->polygon(0).neighbours[1], 1u); // across the shared edge 1-2
    EXPECT_EQ(mesh->polygon(1).neighbours[3], 0u); // across 2-1
    EXPECT_GT(mesh->node_count(), 0u);
    EXPECT_EQ(mesh->closest_polygon({15, 5, 3}), 1u);
    EXPECT_EQ(mesh->closest_polygon({5, 5, 3}), 0u);
    destroy_nav_mesh(mesh, default_allocator());
}

TEST(NavMeshCompiler, SourcesThatMakeNoSoundMeshFailWithTheirReason)
{
    struct Case {
        const char *source;
        const char *message;
    };
    const Case cases[] = {
        {"vertices = [ [0 0 0] [1 0 0] ]\npolygons = [ [0 1] ]", "polygon 0 must list 3 to 6 vertex indices"},
        {"vertices = [ [0 0 0] [1 0 0] [1 1 0] ]\npolygons = [ [0 1 7] ]", "polygon 0: vertex index out of range"},
        {"vertices = [ [0 0 0] [1 0] ]\npolygons = [ ]", "vertex 1 must be [x y z]"},
        {"vertices = [ [0 0 0] [1 0 0] [2 0 0] ]\npolygons = [ [0 1 2] ]", "first three corners make no plane"},
        {"vertices = [ [0 0 0] [0 0 0] [1 1 0] ]\npolygons = [ [0 1 2] ]", "edge of zero length"},
        {"vertices = [ ]\npolygons = [ ]\nedges = [ ]", "unknown key 'edges'"},
        {"polygons = [ ]", "'vertices' and 'polygons' must be arrays"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.source);
        std::vector<u8> block;
        std::string error;
        EXPECT_FALSE(compile(c.source, block, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    // Inside a level source the same mistakes fail the level.
    const std::string level = "navigation_mesh = { vertices = [ [0 0 0] ] polygons = [ [0 0 0] ] }\n";
    std::vector<u8> bytes;
    std::string error;
    EXPECT_FALSE(compile_level_source(level.data(), level.size(), bytes, error));
    EXPECT_NE(error.find("navigation mesh"), std::string::npos) << error;
}

} // namespace
} // namespace tallow
