// Unit sources with meshes: boxes, full geometry with a skin, LOD objects, and the mistakes
// the compiler refuses.
#include "foundation/memory/memory_globals.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/strings/name_id.h"
#include "tools/world/unit_compiler.h"
#include "world/units/unit_render_objects.h"
#include "world/units/unit_resource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tallow {
namespace {

struct Compiled {
    UnitResource *resource = nullptr;
    std::string error;
    explicit Compiled(const char *source)
    {
        std::vector<u8> bytes;
        if (compile_unit_source(source, strlen(source), bytes, error))
            resource = read_unit_resource(bytes.data(), bytes.size(), default_allocator(), NameId64("units/t"));
    }
    ~Compiled() { destroy_unit_resource(resource, default_allocator()); }
};

TEST(UnitMeshCompiler, BoxesGeometrySkinsAndLodsBecomeRecordsTheBuilderReads)
{
    Compiled c("nodes = [ { name = \"root\" } { name = \"arm\" parent = \"root\" position = [1 0 0] } ]\n"
               "meshes = [\n"
               "  { name = \"crate\" node = \"root\" box = [0.5 1 2] material = \"wood\" }\n"
               "  { name = \"arm\" node = \"arm\" flags = 9 geometry = {\n"
               "      channels = [ \"position\" \"blend_indices\" ]\n"
               "      vertices = [ 0 0 0  0 0 0 0   1 0 0  1 0 0 0   0 1 0  0 1 0 0 ]\n"
               "      indices = [ 0 1 2 ]\n"
               "      materials = [ \"skin\" \"cloth\" ]\n"
               "      batches = [ { start = 0 triangles = 1 material = \"cloth\" bones = 0 } ]\n"
               "      bones = [ { node = \"arm\" } { node = \"root\" } ]\n"
               "      bone_lists = [ [1 0] ]\n"
               "  } }\n"
               "]\n"
               "lods = [ { node = \"arm\" bounds = { min = [-1 -1 -1] max = [1 1 1] }\n"
               "           steps = [ { upper = 1 lower = 0.25 meshes = [\"arm\"] } ] } ]\n");
    ASSERT_NE(c.resource, nullptr) << c.error;
    const UnitResource &r = *c.resource;
    ASSERT_EQ(r.geometries.size(), 2u);
    ASSERT_EQ(r.skins.size(), 1u);

    TraceAllocator a("unit_mesh_compiler_test", default_allocator());
    UnitMeshBuilder builder(a);
    MeshDesc box;
    ASSERT_TRUE(builder.build(r, 0, 5, nullptr, box));
    EXPECT_EQ(box.vertex_count, 24u);
    EXPECT_EQ(box.vertex_stride, 20u);
    EXPECT_EQ(box.index_count, 36u);
    EXPECT_FALSE(box.index_32bit);
    ASSERT_EQ(box.channel_count, 2u);
    EXPECT_EQ(box.channels[1].semantic, 4u); // texcoord
    EXPECT_EQ(box.channels[1].channel_type, 1u);
    EXPECT_EQ(box.box_max[2], 2.0f);
    EXPECT_EQ(box.mask, 1u);
    EXPECT_EQ(box.skin, nullptr);
    ASSERT_EQ(builder.material_names.size(), 1u);
    EXPECT_EQ(builder.material_names[0], NameId32("wood").value());

    MeshDesc arm;
    ASSERT_TRUE(builder.build(r, 1, 5, nullptr, arm));
    EXPECT_EQ(arm.vertex_count, 3u);
    EXPECT_EQ(arm.vertex_stride, 28u);
    EXPECT_EQ(arm.channels[1].semantic, 6u);
    EXPECT_EQ(arm.box_max[1], 1.0f); // from the positions
    EXPECT_EQ(arm.mask, 9u);
    ASSERT_EQ(arm.batch_count, 1u);
    EXPECT_EQ(arm.batches[0].material, 1u);
    EXPECT_EQ(arm.batches[0].bone_list, 0u);
    ASSERT_NE(arm.skin, nullptr);
    ASSERT_EQ(arm.skin->bone_count, 2u);
    EXPECT_EQ(arm.skin->bone_nodes[0], 1u);
    EXPECT_EQ(arm.skin->inverse_binds[1], matrix4x4_identity);
    ASSERT_EQ(arm.skin->list_count, 1u);
    EXPECT_EQ(arm.skin->lists[0].count, 2u);
    EXPECT_EQ(arm.skin->lists[0].bones[0], 1u);
    u32 second_vertex_index;
    memcpy(&second_vertex_index, static_cast<const u8 *>(arm.vertices) + 28 + 12, 4);
    EXPECT_EQ(second_vertex_index, 1u); // integers stay integers

    Array<LodStepDesc> steps(a);
    Array<u32> handles(a);
    LodObjectDesc lod;
    const u32 mesh_handles[2] = {40, 41};
    build_unit_lod(r, 0, 5, mesh_handles, 2, steps, handles, lod);
    EXPECT_EQ(lod.node, 1u);
    ASSERT_EQ(lod.step_count, 1u);
    EXPECT_EQ(lod.steps[0].lower, 0.25f);
    ASSERT_EQ(lod.steps[0].mesh_count, 1u);
    EXPECT_EQ(lod.steps[0].meshes[0], 41u);
}

TEST(UnitMeshCompiler, MistakesAreRefusedWithWhereTheyAre)
{
    struct Case {
        const char *name;
        const char *meshes;
        const char *error; // part of the message
    };
    const Case cases[] = {
        {"box without material", "{ name = \"m\" node = \"root\" box = [1 1 1] }", "a box mesh needs a 'material'"},
        {"box and geometry", "{ name = \"m\" node = \"root\" box = [1 1 1] material = \"x\" geometry = {} }",
         "a box or a geometry"},
        {"unknown channel", "{ name = \"m\" node = \"root\" geometry = { channels = [\"colour\"] } }", "unknown channel 'colour'"},
        {"vertices not whole",
         "{ name = \"m\" node = \"root\" geometry = { channels = [\"position\"] vertices = [0 0] indices = [0 0 0] } }",
         "3 numbers per vertex"},
        {"index past the vertices",
         "{ name = \"m\" node = \"root\" geometry = { channels = [\"position\"] vertices = [0 0 0] indices = [0 0 1] "
         "materials = [\"x\"] batches = [ { material = \"x\" } ] } }",
         "names no vertex"},
        {"batch names a missing slot",
         "{ name = \"m\" node = \"root\" geometry = { channels = [\"position\"] vertices = [0 0 0] indices = [0 0 0] "
         "materials = [\"x\"] batches = [ { material = \"y\" } ] } }",
         "no material slot named 'y'"},
        {"bone list past the bones",
         "{ name = \"m\" node = \"root\" geometry = { channels = [\"position\"] vertices = [0 0 0] indices = [0 0 0] "
         "materials = [\"x\"] bones = [ { node = \"root\" } ] bone_lists = [ [0 3] ] batches = [ { material = \"x\" } ] } }",
         "names bone 3"},
        {"misspelled geometry key",
         "{ name = \"m\" node = \"root\" geometry = { channel = [\"position\"] } }", "unknown key 'channel'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = std::string("nodes = [ { name = \"root\" } ]\nmeshes = [ ") + c.meshes + " ]\n";
        Compiled compiled(source.c_str());
        EXPECT_EQ(compiled.resource, nullptr);
        EXPECT_NE(compiled.error.find(c.error), std::string::npos) << compiled.error;
    }
    Compiled lod("nodes = [ { name = \"root\" } ]\nlods = [ { node = \"root\" steps = [ { meshes = [\"nothing\"] } ] } ]\n");
    EXPECT_NE(lod.error.find("no mesh named 'nothing'"), std::string::npos) << lod.error;
}

} // namespace
} // namespace tallow
