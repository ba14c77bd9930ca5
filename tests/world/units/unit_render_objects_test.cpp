// Units make their meshes, cameras, lights and LOD objects from the unit resource in a real
// render world, and take them all away again.
#include "foundation/strings/name_id.h"
#include "tests/render/world/render_scene_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/writers/unit_mesh_writer.h"
#include "tests/support/writers/unit_resource_writer.h"
#include "world/units/unit.h"
#include "world/units/unit_render_objects.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tallow {
namespace {

// Every World draws its own debug lines through three line drawers of its render world.
constexpr u32 world_line_drawers = 3;

using namespace test;

u32 bits(f32 f)
{
    u32 b;
    memcpy(&b, &f, 4);
    return b;
}

/// A unit with a box mesh, a camera, a spot light and a LOD object over two more boxes.
std::vector<u8> lamp_unit()
{
    UnitSource u;
    const u32 root = u.add_node("root", matrix4x4_identity, no_parent);
    const u32 top = u.add_node("top", placed_at(0, 0, 3), root);
    UnitSourceMesh body{NameId32("body").value(), root, {0, 0}, 1};
    add_mesh_geometry(u, body, box_mesh(0.5f, 0.5f, 1.5f, "crate"));
    u.meshes.push_back(body);
    for (const char *name : {"near", "far"}) {
        UnitSourceMesh m{NameId32(name).value(), top, {0, 0}, 9}; // main set, no record of its own
        add_mesh_geometry(u, m, box_mesh(0.2f, 0.2f, 0.2f, "crate"));
        u.meshes.push_back(m);
    }
    u.cameras.push_back({NameId32("eye").value(), top, {0, bits(50.0f), bits(0.8f)}});
    UnitSourceLight light{NameId32("lamp").value(), top, {}};
    const f32 settings[8] = {1, 0.9f, 0.7f, 0, 6, 1, 0, 1.2f};
    for (int i = 0; i < 8; ++i)
        light.settings[i] = bits(settings[i]);
    light.settings[8] = 1; // spot
    u.lights.push_back(light);
    UnitSourceLod lod;
    lod.word = top;
    lod.entries.push_back({{bits(1.0f), bits(0.02f)}, {1}});
    lod.entries.push_back({{bits(0.02f), bits(0.0f)}, {2}});
    for (int i = 0; i < 3; ++i) {
        lod.box.min[i] = -0.2f;
        lod.box.max[i] = 0.2f;
    }
    lod.last_word = 1;
    u.lod_objects.push_back(lod);
    u.visibility_groups.push_back({NameId32("shell").value(), {0}});
    return write_unit_resource(u);
}

struct UnitRenderFixture : ::testing::Test {
    UnitRenderFixture()
    {
        bytes = lamp_unit();
        resource = read_unit_resource(bytes.data(), bytes.size(), default_allocator(), NameId64("units/lamp"));
        materials.entries.push_back(&scene.material);
        WorldParams params;
        params.render_world = scene.world.get();
        params.render_link = scene.link.get();
        world = std::make_unique<World>(default_allocator(), params);
    }
    ~UnitRenderFixture() override
    {
        world.reset();
        materials.entries.clear();
        destroy_unit_resource(resource, default_allocator());
    }
    void step()
    {
        world->update(1.0f / 30);
        scene.frame();
        EXPECT_TRUE(scene.world->validate());
    }

    RenderScene scene;
    std::vector<u8> bytes;
    UnitResource *resource = nullptr;
    MaterialResource materials{default_allocator()};
    std::unique_ptr<World> world;
};

TEST_F(UnitRenderFixture, UnitsMakeTheirMeshesCamerasLightsAndLodObjects)
{
    ASSERT_NE(resource, nullptr);
    Unit *unit = world->spawn_unit_from_resource(*resource, &materials, placed_at(0, 10, 0));
    ASSERT_NE(unit, nullptr);
    step();
    // Scene graph, three meshes with a material each, camera, light, LOD object.
    EXPECT_EQ((scene.world->live_object_count() - world_line_drawers), 10u);
    EXPECT_EQ(scene.world->flag1_set().count(), 2u); // the body and the LOD object
    EXPECT_EQ(scene.world->light_set().count(), 1u);

    // Seen from the built-in camera: the body and the LOD object's near step.
    RenderWorldStats stats = scene.render();
    EXPECT_EQ(stats.visible_records - world_line_drawers, 2u);
    EXPECT_EQ(stats.visible_lights, 1u);
    auto draws = scene.draws();
    ASSERT_EQ(draws.size(), 2u);
    std::vector<u32> triangles = {draws[0].draw.primitive_count, draws[1].draw.primitive_count};
    EXPECT_EQ(triangles, (std::vector<u32>{12, 12}));

    // The game-side objects behind the unit's records.
    ASSERT_NE(unit->camera(0), nullptr);
    EXPECT_EQ(unit->camera(0)->far_range(), 50.0f);
    EXPECT_EQ(unit->camera(0)->near_range(), 0.1f); // a 0 word keeps the default
    ASSERT_NE(unit->light(0), nullptr);
    EXPECT_EQ(unit->light(0)->block().type, light_spot);
    EXPECT_EQ(unit->light(0)->block().falloff_end, 6.0f);
    ASSERT_NE(unit->mesh(0), nullptr);
    EXPECT_NE(unit->mesh(0)->material(NameId32("crate").value()), no_render_handle);
    EXPECT_EQ(unit->mesh(0)->material(NameId32("stone").value()), no_render_handle);
    EXPECT_EQ(unit->mesh(5), nullptr);
    EXPECT_EQ(unit->camera(1), nullptr);

    // The unit's box holds the body (0.5 x 0.5 x 1.5 half extents at the root) and the
    // LOD meshes at the top (z 3 +- 0.2).
    const OrientedBox box = unit->box();
    EXPECT_EQ(translation(box.pose).y, 10.0f);
    EXPECT_NEAR(box.min.z, -1.5f, 1e-5f);
    EXPECT_NEAR(box.max.z, 3.2f, 1e-5f);
    EXPECT_NEAR(box.max.x, 0.5f, 1e-5f);

    // Hidden by its visibility group, the body draws no more.
    EXPECT_TRUE(unit->set_visibility(NameId32("shell").value(), false));
    step();
    stats = scene.render();
    EXPECT_EQ(scene.draws().size(), 1u);

    // Through the unit's own camera (at its top, along y, narrower) the body below is out
    // of view; the LOD object's box around the lens is in, at its nearest step.
    stats = scene.render(unit->camera_handle(0));
    EXPECT_EQ(stats.visible_records - world_line_drawers, 1u);
    ASSERT_EQ(scene.draws().size(), 1u);
}

TEST_F(UnitRenderFixture, AUnitSpawnedAndDestroyedEveryFrameLeavesNoRenderObjectBehind)
{
    ASSERT_NE(resource, nullptr);
    u32 most_slots = 0;
    for (int frame = 0; frame < 30; ++frame) {
        Unit *unit = world->spawn_unit_from_resource(*resource, &materials, placed_at(0, 10, 0));
        ASSERT_NE(unit, nullptr);
        step();
        EXPECT_EQ((scene.world->live_object_count() - world_line_drawers), 10u);
        scene.render();
        EXPECT_EQ(scene.draws().size(), 2u);
        world->destroy_unit(*unit);
        step();
        EXPECT_EQ((scene.world->live_object_count() - world_line_drawers), 0u);
        EXPECT_EQ(scene.world->flag1_set().count(), 0u);
        EXPECT_EQ(scene.world->light_set().count(), 0u);
        most_slots = std::max(most_slots, scene.world->slot_count());
    }
    // Slots are reused: one unit's worth, never one per frame.
    EXPECT_EQ(most_slots - world_line_drawers, 10u);
    scene.render();
    EXPECT_TRUE(scene.draws().empty());
}

TEST_F(UnitRenderFixture, MeshesWithoutSoundGeometryAreLeftOut)
{
    UnitSource u;
    const u32 root = u.add_node("root", matrix4x4_identity, no_parent);
    UnitSourceMesh none{NameId32("ghost").value(), root, {7, 0}, 1}; // names a geometry the unit lacks
    u.meshes.push_back(none);
    UnitSourceMesh short_indices{NameId32("short").value(), root, {0, 0}, 1};
    MeshSource box = box_mesh(1, 1, 1, "crate");
    add_mesh_geometry(u, short_indices, box);
    u.geometries.back().pairs[2] = 400; // more indices than its bytes hold
    u.meshes.push_back(short_indices);
    UnitSourceMesh wide{NameId32("wide").value(), root, {0, 0}, 1};
    add_mesh_geometry(u, wide, box);
    u.geometries.back().pairs[3] = 3; // an index size of 3 bytes
    u.meshes.push_back(wide);
    const std::vector<u8> b = write_unit_resource(u);
    UnitResource *r = read_unit_resource(b.data(), b.size(), default_allocator(), NameId64("units/odd"));
    ASSERT_NE(r, nullptr);
    {
        test::LogCapture log("world");
        Unit *unit = world->spawn_unit_from_resource(*r, &materials, matrix4x4_identity);
        ASSERT_NE(unit, nullptr);
        EXPECT_TRUE(log.contains("names geometry 7 of 2"));
        EXPECT_TRUE(log.contains("does not hold"));
        EXPECT_EQ(unit->mesh_handle(0), no_render_handle);
        EXPECT_EQ(unit->mesh_handle(1), no_render_handle);
        EXPECT_EQ(unit->mesh_handle(2), no_render_handle);
        step();
        EXPECT_EQ((scene.world->live_object_count() - world_line_drawers), 1u); // the scene graph only
        world->destroy_unit(*unit);
        step();
    }
    destroy_unit_resource(r, default_allocator());
}

} // namespace
} // namespace tallow
