// Units and levels point into the resources they were made from: unloading the package
// those came from leaves the data alive until the last unit or level using it goes.
#include "render/world/deferred_release_queue.h"
#include "tests/resource/resource_fixture.h"
#include "tests/support/writers/level_writer.h"
#include "tests/support/writers/unit_resource_writer.h"
#include "world/flow/flow_script.h"
#include "world/levels/level.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

namespace tallow::test {
namespace {

constexpr NameId64 crate_name("units/crate");
constexpr NameId64 yard_name("levels/yard");

std::string as_string(const std::vector<u8> &bytes) { return std::string(bytes.begin(), bytes.end()); }

class ResourceLifetimeTest : public ResourceFixture {
  protected:
    void SetUp() override
    {
        UnitSource crate;
        crate.add_node("root", matrix4x4_identity, no_parent);
        crate.add_node("lid", matrix4x4_identity, 0);
        UnitSource prototype;
        prototype.add_node("root", matrix4x4_identity, no_parent);
        LevelSource yard;
        yard.units.push_back({crate_name.value(), 0, {1, 2, 3}, {0, 0, 0, 1}});
        yard.prototype = write_unit_resource(prototype);
        ASSERT_TRUE(write_database(
            files, {{"package", "stuff", package_resource({{"unit", "units/crate"}, {"level", "levels/yard"}})},
                    {"unit", "units/crate", as_string(write_unit_resource(crate))},
                    {"level", "levels/yard", as_string(write_level_resource(yard))}}));
        start(true);
        ASSERT_TRUE(manager->register_type(unit_type, unit_resource_callbacks()));
        ASSERT_TRUE(manager->register_type(level_type, level_resource_callbacks()));
        package = database_package("stuff");
        ASSERT_NE(package, nullptr);
        package->load();
        package->flush();
        WorldParams params;
        params.resource_manager = manager;
        world = make_new<World>(allocator, allocator, params);
    }
    void TearDown() override
    {
        delete_with_allocator(allocator, world);
        if (package->part_count() && package->part(0).state() == PackageState::Flushed)
            package->unload();
        EXPECT_EQ(manager->loaded_count(), 0u) << "the last user let go of every resource";
        ResourceFixture::TearDown();
    }
    const void *crate_data() const { return manager->get(unit_type, crate_name); }
    /// The world updates after which records still on their way to the render side are
    /// done, and what the units and levels let go of is released.
    void settle()
    {
        for (u32 i = 0; i < render_handle_release_frames; ++i)
            world->update(1 / 30.0f);
    }
    const void *yard_data() const { return manager->get(level_type, yard_name); }

    ResourcePackage *package = nullptr;
    World *world = nullptr;
};

TEST_F(ResourceLifetimeTest, UnitsKeepTheirResourceUntilTheLastGoes)
{
    Unit *a = world->spawn_unit(crate_name, matrix4x4_identity);
    Unit *b = world->spawn_unit(crate_name, matrix4x4_identity);
    ASSERT_TRUE(a && b);
    const void *data = crate_data();
    ASSERT_EQ(&a->resource(), data);
    UnitHandle bh = b->handle();

    package->unload();
    EXPECT_EQ(crate_data(), data) << "two units still point into it";
    EXPECT_EQ(a->resource().node_count, 2u);
    world->update(1 / 30.0f);
    EXPECT_TRUE(world->validate());
    world->destroy_unit(*a);
    EXPECT_EQ(crate_data(), data) << "one unit still points into it";
    world->destroy_unit(*world->unit(bh));
    EXPECT_EQ(crate_data(), data) << "records of the unit may still be on their way";
    settle();
    EXPECT_EQ(crate_data(), nullptr) << "freed with its last unit";
    EXPECT_EQ(world->spawn_unit(crate_name, matrix4x4_identity), nullptr);
}

TEST_F(ResourceLifetimeTest, APackageLoadedAgainSharesTheDataItsUnitsKept)
{
    Unit *a = world->spawn_unit(crate_name, matrix4x4_identity);
    ASSERT_NE(a, nullptr);
    const void *data = crate_data();
    package->unload();
    ResourcePackage *again = database_package("stuff");
    again->load();
    again->flush();
    EXPECT_EQ(crate_data(), data);
    again->unload();
    EXPECT_EQ(crate_data(), data);
    world->destroy_unit(*a);
    settle();
    EXPECT_EQ(crate_data(), nullptr);
}

TEST_F(ResourceLifetimeTest, ALevelAndItsPrototypeUnitKeepTheLevelResource)
{
    auto *yard = static_cast<const LevelResource *>(yard_data());
    ASSERT_NE(yard, nullptr);
    Level *level = world->load_level(*yard, flow_no_script_reference);
    ASSERT_NE(level, nullptr);
    ASSERT_EQ(world->units().size(), 2u); // the crate and the prototype
    UnitHandle crate = world->units()[0]->handle();
    UnitHandle prototype = world->units()[1]->handle();
    EXPECT_EQ(&world->unit(prototype)->resource(), yard->prototype);

    package->unload();
    EXPECT_EQ(yard_data(), yard) << "the level still points into it";
    EXPECT_NE(crate_data(), nullptr) << "the level's crate still points into it";
    world->update(1 / 30.0f);
    EXPECT_EQ(level->resource().header(0), 1u);

    // A level made from other data replaces this one; its prototype unit stays in the world.
    std::vector<u8> empty = write_level_resource({});
    LevelResource *other = read_level_resource(empty.data(), empty.size(), allocator);
    ASSERT_NE(other, nullptr);
    world->load_level(*other, flow_no_script_reference);
    EXPECT_EQ(yard_data(), yard) << "the prototype unit still points into it";
    world->update(1 / 30.0f);
    EXPECT_EQ(world->unit(prototype)->resource().node_count, 1u);
    world->destroy_unit(*world->unit(prototype));
    settle();
    EXPECT_EQ(yard_data(), nullptr) << "freed with the level and its prototype";
    world->destroy_unit(*world->unit(crate));
    settle();
    EXPECT_EQ(crate_data(), nullptr);
    delete_with_allocator(allocator, world);
    world = nullptr;
    destroy_level_resource(other, allocator);
}

} // namespace
} // namespace tallow::test
