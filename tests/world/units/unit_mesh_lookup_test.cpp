// The pipeline steps' view of unit meshes: found by resource and mesh name while the unit
// resource is loaded, not found otherwise, and gone once the lookup is removed.
#include "render/generators/resource_generator.h"
#include "render/world/render_mesh_object.h"
#include "tests/resource/resource_fixture.h"
#include "tests/support/resource_test_data.h"
#include "tests/support/writers/unit_mesh_writer.h"
#include "world/units/unit_mesh_lookup.h"
#include "world/units/unit_resource.h"

#include <gtest/gtest.h>

namespace tallow::test {
namespace {

u32 id32(const char *name) { return NameId32(name).value(); }

/// Light proxies: a box "cube" with geometry and a mesh "broken" whose geometry index
/// points past the unit's geometries.
std::string proxies_unit()
{
    UnitSource unit;
    const u32 root = unit.add_node("root", matrix4x4_identity, no_parent);
    UnitSourceMesh cube{id32("cube"), root, {0, 0}, 1};
    add_mesh_geometry(unit, cube, box_mesh(1.0f, 1.0f, 1.0f, "plain"));
    unit.meshes.push_back(cube);
    unit.meshes.push_back(UnitSourceMesh{id32("broken"), root, {7, 0}, 1});
    const std::vector<u8> bytes = write_unit_resource(unit);
    return std::string(bytes.begin(), bytes.end());
}

class UnitMeshLookupTest : public ResourceFixture {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(write_database(files, {{"package", "proxies", package_resource({{"unit", "core/proxies"}})},
                                           {"unit", "core/proxies", proxies_unit()}}));
        start(true);
        ASSERT_TRUE(manager->register_type(NameId64("unit"), unit_resource_callbacks()));
        package = database_package("proxies");
        register_unit_mesh_lookup(*manager);
    }
    void TearDown() override
    {
        unregister_unit_mesh_lookup();
        ResourceFixture::TearDown();
    }
    bool find(const char *resource, const char *mesh, MeshDesc *out)
    {
        const GeneratorMeshLookup &lookup = default_mesh_lookup();
        return lookup.find && lookup.find(lookup.context, NameId64(resource).value(), id32(mesh), out);
    }

    ResourcePackage *package = nullptr;
};

TEST_F(UnitMeshLookupTest, FindsMeshesOfLoadedUnitsOnly)
{
    MeshDesc desc;
    EXPECT_FALSE(find("core/proxies", "cube", &desc)) << "not loaded yet";
    package->load();
    package->flush();

    struct Case {
        const char *resource;
        const char *mesh;
        bool found;
    };
    const Case cases[] = {
        {"core/proxies", "cube", true},
        {"core/proxies", "sphere", false}, // no mesh of that name
        {"core/proxies", "broken", false}, // its geometry is not in the unit
        {"core/other", "cube", false},     // no such resource
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.resource << " " << c.mesh);
        MeshDesc d;
        EXPECT_EQ(find(c.resource, c.mesh, &d), c.found);
    }
    ASSERT_TRUE(find("core/proxies", "cube", &desc));
    EXPECT_EQ(desc.vertex_count, 24u);
    EXPECT_EQ(desc.index_count, 36u);
    EXPECT_NE(desc.vertices, nullptr);
    EXPECT_NE(desc.indices, nullptr);
    EXPECT_EQ(desc.box_min[0], -1.0f);
    EXPECT_EQ(desc.box_max[2], 1.0f);

    // Unloaded: not found again; removed: the default lookup finds nothing at all.
    package->unload();
    EXPECT_FALSE(find("core/proxies", "cube", &desc));
    unregister_unit_mesh_lookup();
    EXPECT_EQ(default_mesh_lookup().find, nullptr);
    unregister_unit_mesh_lookup(); // harmless twice
}

} // namespace
} // namespace tallow::test
