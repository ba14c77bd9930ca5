// The sample units as the build compiles them from data/units/: the "sample_units" package
// loads through the resource manager in both modes and every unit spawns into a World.
#include "tests/resource/resource_fixture.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

namespace tallow::test {
namespace {

class SampleUnitsTest : public ResourceFixture {};

TEST_F(SampleUnitsTest, SampleUnitsLoadAndSpawnInBothModes)
{
    const char *names[] = {"units/crate", "units/lamp_post", "units/door"};
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode ? "bundles" : "database");
        ExplodedDatabase *db = mode ? nullptr : make_new<ExplodedDatabase>(allocator, TALLOW_BUILT_DATA_DIR, allocator);
        ResourceLoader *sample_loader = make_new<ResourceLoader>(allocator, &registry, db, allocator);
        ResourceManager *sample = make_new<ResourceManager>(allocator, *sample_loader, allocator);
        register_resource_types(*sample, nullptr);
        ASSERT_TRUE(sample->register_type(unit_type, unit_resource_callbacks()));
        DiskFileSystem bundles(TALLOW_BUILT_DATA_DIR "/bundles", default_allocator());
        ResourcePackage *units = create_resource_package(allocator, *sample, mode ? &bundles : nullptr,
                                                         NameId64("sample_units"), nullptr, 0);
        ASSERT_NE(units, nullptr);
        units->load();
        units->flush();
        {
            WorldParams params;
            params.resource_manager = sample;
            World world(allocator, params);
            for (const char *name : names) {
                SCOPED_TRACE(name);
                Unit *u = world.spawn_unit(NameId64(name), matrix4x4_identity);
                ASSERT_NE(u, nullptr);
                EXPECT_GT(u->scene_graph().node_count(), 0u);
                EXPECT_GT(u->actor_count(), 0u);
            }
            world.update(0.1f);
            EXPECT_TRUE(world.validate());
            const auto *door = static_cast<const UnitResource *>(sample->get(unit_type, NameId64("units/door")));
            ASSERT_NE(door, nullptr);
            EXPECT_EQ(door->joints.size(), 1u);
            EXPECT_TRUE(door->animated); // its state machine swings it
            EXPECT_GT(door->state_machine.size, 0u);
            // The player's character walks by its mover alone: no actor.
            const auto *character =
                static_cast<const UnitResource *>(sample->get(unit_type, NameId64("units/character")));
            ASSERT_NE(character, nullptr);
            EXPECT_EQ(character->movers.size(), 1u);
            EXPECT_TRUE(character->actors.empty());
        }
        units->unload();
        delete_with_allocator(allocator, units);
        delete_with_allocator(allocator, sample);
        delete_with_allocator(allocator, sample_loader);
        delete_with_allocator(allocator, db);
    }
}

} // namespace
} // namespace tallow::test
