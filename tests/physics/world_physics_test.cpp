// The physics service in a whole World: units with actors from their resources and the
// physics properties, stepped by World::update, their nodes moved by the simulation, and
// the World going with units and actors alive.
#include "physics_fixture.h"
#include "tests/support/log_capture.h"

#include "foundation/memory/trace_allocator.h"
#include "physics/world_physics_service.h"
#include "tests/support/writers/unit_resource_writer.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <cstring>

namespace tallow::test {
namespace {

u32 bits(f32 v)
{
    u32 b;
    memcpy(&b, &v, 4);
    return b;
}

class WorldPhysics : public ::testing::Test {
  protected:
    void SetUp() override
    {
        PhysicsPropertiesWriter w;
        w.material("wood", {0, 0.5f, 0.1f, 0.6f, 0, 0});
        w.shape_template("default", 0, {1, 1});
        w.actor_template("dynamic", actor_template(actor_dynamic, 5));
        w.actor_template("static", actor_template(0, 0));
        properties = read_properties(w.write());
        ASSERT_TRUE(properties);
        set_current_physics_properties(properties.get());
        sdk = create_physics_sdk(default_allocator(), nullptr);
        crate = make_unit("dynamic", {0.5f, 0.5f, 0.5f});
        ground = make_unit("static", {20, 20, 0.5f});
    }
    void TearDown() override
    {
        destroy_unit_resource(crate, default_allocator());
        destroy_unit_resource(ground, default_allocator());
        release_physics_sdk(default_allocator(), sdk);
        set_current_physics_properties(nullptr);
    }
    UnitResource *make_unit(const char *actor_template_name, Vector3 half, const char *material = "wood",
                            const char *name = "")
    {
        UnitSource u;
        u.add_node("root", matrix4x4_identity, no_parent);
        UnitSourceActor a;
        a.name_id = NameId32("body").value();
        a.actor_template = NameId32(actor_template_name).value();
        UnitSourceShape s;
        s.kind = 1;
        s.material = NameId32(material).value();
        s.shape_template = NameId32("default").value();
        s.parameters = {bits(half.x), bits(half.y), bits(half.z)};
        a.shapes.push_back(s);
        u.actors.push_back(a);
        std::vector<u8> bytes = write_unit_resource(u);
        return read_unit_resource(bytes.data(), bytes.size(), default_allocator(), NameId64(name));
    }

    std::unique_ptr<PhysicsProperties> properties;
    PhysicsSdk *sdk = nullptr;
    UnitResource *crate = nullptr;
    UnitResource *ground = nullptr;
};

TEST_F(WorldPhysics, UnitActorFallsOntoTheGroundAndItsNodeFollows)
{
    WorldServiceFactories factories;
    factories.physics = create_physics_service;
    WorldParams params;
    params.factories = &factories;
    World world(default_allocator(), params);
    PhysicsWorld *pw = physics_world_of(world.physics());
    ASSERT_TRUE(pw);
    world.spawn_unit_from_resource(*ground, nullptr, at(0, 0, -0.5f));
    Unit *box = world.spawn_unit_from_resource(*crate, nullptr, at(1, 1, 4));
    ASSERT_TRUE(box);
    ASSERT_TRUE(box->actor(0));
    EXPECT_EQ(pw->actor_count(), 2u);
    EXPECT_TRUE(world.physics().is_dynamic(box->actor(0)));
    for (int i = 0; i < 240; ++i)
        world.update(1.0f / 60);
    Vector3 p = translation(box->scene_graph().world_pose(0));
    EXPECT_NEAR(p.z, 0.5f, 0.002f); // grown by the shapes' skin, and sunk by it
    EXPECT_NEAR(p.x, 1.0f, 1e-3f);
    EXPECT_TRUE(pw->validate());
}

// Debug lines switched on go into a line object of the world's, refilled every step, and
// the line object goes when they are switched off.
TEST_F(WorldPhysics, DebugLinesAreDrawnThroughALineObjectOfTheWorld)
{
    WorldServiceFactories factories;
    factories.physics = create_physics_service;
    WorldParams params;
    params.factories = &factories;
    World world(default_allocator(), params);
    PhysicsWorld *pw = physics_world_of(world.physics());
    ASSERT_TRUE(pw);
    world.spawn_unit_from_resource(*crate, nullptr, at(0, 0, 4));
    EXPECT_EQ(pw->debug_line_object(), nullptr);
    pw->set_debug_lines(true);
    const LineObject *lines = pw->debug_line_object();
    ASSERT_NE(lines, nullptr);
    EXPECT_TRUE(world.owns_line_object(lines));
    world.update(1.0f / 60);
    ASSERT_FALSE(pw->debug_lines().empty());
    ASSERT_EQ(lines->lines().size(), pw->debug_lines().size());
    // The box's 12 edges, around where it is.
    EXPECT_GE(lines->lines().size(), 12u);
    world.update(1.0f / 60);
    EXPECT_EQ(lines->lines().size(), pw->debug_lines().size()) << "refilled, not added to";
    pw->set_debug_lines(false);
    EXPECT_EQ(pw->debug_line_object(), nullptr);
    EXPECT_FALSE(world.owns_line_object(lines));
    pw->set_debug_lines(true); // and on again as the world goes: nothing is left behind
}

TEST_F(WorldPhysics, ActorsWithoutTheirTemplatesAreNotMade)
{
    WorldServiceFactories factories;
    factories.physics = create_physics_service;
    WorldParams params;
    params.factories = &factories;
    World world(default_allocator(), params);
    set_current_physics_properties(nullptr);
    Unit *box = world.spawn_unit_from_resource(*crate, nullptr, at(0, 0, 4));
    ASSERT_TRUE(box);
    EXPECT_EQ(box->actor(0), nullptr);
    PhysicsPropertiesWriter w; // no templates at all
    auto empty = read_properties(w.write());
    set_current_physics_properties(empty.get());
    Unit *other = world.spawn_unit_from_resource(*crate, nullptr, at(0, 0, 4));
    EXPECT_EQ(other->actor(0), nullptr);
    set_current_physics_properties(properties.get());
}

// A name the physics properties do not hold is reported once, with the unit and the actor
// that named it; a misspelt material used to change friction without a word.
TEST_F(WorldPhysics, UnresolvedNamesAreLoggedOnceWithWhatNamedThem)
{
    struct Case {
        const char *name;
        const char *actor_template, *material, *unit;
        const char *expect;
        bool made;
    };
    char expect_template[128], expect_material[128];
    snprintf(expect_template, sizeof expect_template,
             "unit %016llx, actor %08x: actor template %08x is not in the physics properties",
             (unsigned long long)NameId64("units/misspelt_template").value(), NameId32("body").value(),
             NameId32("dynamc").value());
    snprintf(expect_material, sizeof expect_material,
             "unit %016llx, actor %08x: physics material %08x is not in the physics properties",
             (unsigned long long)NameId64("units/misspelt_material").value(), NameId32("body").value(),
             NameId32("wod").value());
    const Case cases[] = {
        {"actor template", "dynamc", "wood", "units/misspelt_template", expect_template, false},
        {"physics material", "dynamic", "wod", "units/misspelt_material", expect_material, true},
    };
    WorldServiceFactories factories;
    factories.physics = create_physics_service;
    WorldParams params;
    params.factories = &factories;
    World world(default_allocator(), params);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        UnitResource *r = make_unit(c.actor_template, {0.5f, 0.5f, 0.5f}, c.material, c.unit);
        ASSERT_TRUE(r);
        LogCapture log("physics");
        for (int i = 0; i < 3; ++i) {
            Unit *u = world.spawn_unit_from_resource(*r, nullptr, at(0, 0, 4));
            ASSERT_TRUE(u);
            EXPECT_EQ(u->actor(0) != nullptr, c.made);
        }
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_NE(log.lines()[0].find(c.expect), std::string::npos) << log.lines()[0];
        for (Unit *u : std::vector<Unit *>(world.units().begin(), world.units().end()))
            world.destroy_unit(*u);
        world.update(1.0f / 60);
        destroy_unit_resource(r, default_allocator());
    }
}

TEST_F(WorldPhysics, CookedMeshActorsAreMadeEachTimeTheirUnitSpawns)
{
    UnitSource u;
    u.add_node("root", matrix4x4_identity, no_parent);
    UnitSourceActor a;
    a.name_id = NameId32("rock").value();
    a.actor_template = NameId32("dynamic").value();
    UnitSourceShape s;
    s.kind = 4;
    s.material = NameId32("wood").value();
    s.shape_template = NameId32("default").value();
    s.mesh_data = write_convex_mesh({{-0.5f, -0.5f, -0.5f}, {0.5f, -0.5f, -0.5f}, {0, 0.5f, -0.5f}, {0, 0, 0.5f}});
    a.shapes.push_back(s);
    UnitSourceActor broken = a;
    broken.shapes[0].mesh_data.resize(10); // truncated cooked bytes
    u.actors.push_back(a);
    u.actors.push_back(broken);
    std::vector<u8> bytes = write_unit_resource(u);
    UnitResource *rock = read_unit_resource(bytes.data(), bytes.size(), default_allocator());
    ASSERT_TRUE(rock);
    {
        WorldServiceFactories factories;
        factories.physics = create_physics_service;
        WorldParams params;
        params.factories = &factories;
        World world(default_allocator(), params);
        Unit *first = world.spawn_unit_from_resource(*rock, nullptr, at(0, 0, 2));
        world.destroy_unit(*first);
        Unit *second = world.spawn_unit_from_resource(*rock, nullptr, at(0, 0, 2));
        ASSERT_TRUE(second);
        EXPECT_TRUE(second->actor(0));      // the same cooked bytes again
        EXPECT_EQ(second->actor(1), nullptr); // broken bytes make no actor
        EXPECT_EQ(sdk->sdk().mesh_count(), 1u); // one mesh, shared by content
    }
    EXPECT_EQ(sdk->sdk().mesh_count(), 0u);
    destroy_unit_resource(rock, default_allocator());
}

TEST_F(WorldPhysics, WorldGoesWithUnitsAndActorsAlive)
{
    TraceAllocator trace("world_physics_test", default_allocator());
    {
        WorldServiceFactories factories;
        factories.physics = create_physics_service;
        WorldParams params;
        params.factories = &factories;
        World world(trace, params);
        world.spawn_unit_from_resource(*ground, nullptr, at(0, 0, -0.5f));
        for (int i = 0; i < 20; ++i)
            world.spawn_unit_from_resource(*crate, nullptr, at(f32(i % 5), f32(i / 5), 2));
        for (int i = 0; i < 30; ++i)
            world.update(1.0f / 60);
    }
    EXPECT_EQ(trace.allocation_count(), 0u);
}

} // namespace
} // namespace tallow::test

#include "foundation/threads/thread_pool.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "tests/support/truth_check.h"

#include <cmath>
#include <functional>

namespace tallow::test {
namespace {

bool near(const Matrix4x4 &a, const Matrix4x4 &b, f32 eps = 1e-4f)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (!(std::fabs(a.m[i][j] - b.m[i][j]) <= eps))
                return false;
    return true;
}

// What the physics step moves reaches the render side in the same frame: a World over the
// Bullet physics service and a real render world, whose state buffer is applied after every
// update and compared node by node with the World's (tests/support/truth_check.h).
class WorldPhysicsTruth : public WorldPhysics {
  protected:
    /// A crate whose actor sits on its root, with a lid node above it.
    UnitResource *make_crate_with_lid()
    {
        UnitSource u;
        u.add_node("root", matrix4x4_identity, no_parent);
        u.add_node("lid", at(0, 0, 0.5f), 0);
        UnitSourceActor a;
        a.name_id = NameId32("body").value();
        a.actor_template = NameId32("dynamic").value();
        UnitSourceShape s;
        s.kind = 1;
        s.material = NameId32("wood").value();
        s.shape_template = NameId32("default").value();
        s.parameters = {bits(0.5f), bits(0.5f), bits(0.5f)};
        a.shapes.push_back(s);
        u.actors.push_back(a);
        std::vector<u8> bytes = write_unit_resource(u);
        return read_unit_resource(bytes.data(), bytes.size(), default_allocator());
    }

    /// Runs `frames` frames of `body` (called before each update with the frame number) on
    /// `workers` job workers; after each, the render side must hold the World's matrices.
    void run(u32 workers, u32 frames, const std::function<void(World &, u32)> &setup,
             const std::function<void(World &, u32)> &body)
    {
        ThreadRegistry registry{default_allocator(), "main"};
        ThreadPool pool{default_allocator(), workers, registry};
        RenderWorld render_world(default_allocator(), nullptr);
        WorldRenderLink link(default_allocator(), render_world.acquire_state_buffer());
        WorldServiceFactories factories;
        factories.physics = create_physics_service;
        WorldParams params;
        params.factories = &factories;
        params.thread_pool = &pool;
        params.render_world = &render_world;
        params.render_link = &link;
        World world(default_allocator(), params);
        world.spawn_unit_from_resource(*ground, nullptr, at(0, 0, -0.5f));
        setup(world, 0);
        for (u32 frame = 1; frame <= frames; ++frame) {
            body(world, frame);
            world.update(1.0f / 60);
            RenderStateQueue *filled = link.swap_state(render_world.acquire_state_buffer());
            render_world.update_state(*filled, nullptr);
            render_world.release_state_buffer(filled);
            ASSERT_TRUE(world.validate());
            const std::vector<TruthDifference> d = compare_render_side(world, render_world);
            ASSERT_TRUE(d.empty()) << "frame " << frame << ":\n" << describe_differences(d);
        }
    }
};

TEST_F(WorldPhysicsTruth, AFallingUnitIsAwakeFromItsFirstStepAndItsChildNodesFollowIt)
{
    UnitResource *lidded = make_crate_with_lid();
    ASSERT_TRUE(lidded);
    for (u32 workers : {1u, 8u}) {
        SCOPED_TRACE(workers);
        Unit *box = nullptr;
        run(workers, 120, [&](World &world, u32) { box = world.spawn_unit_from_resource(*lidded, nullptr, at(1, 1, 4)); },
            [&](World &world, u32 frame) {
                if (frame == 2) {
                    EXPECT_NE(box->awake_index(), unit_not_listed) << "in the awake list from its first step";
                    EXPECT_LT(translation(box->scene_graph().world_pose(0)).z, 4.0f);
                }
                const SceneGraph &g = box->scene_graph();
                EXPECT_TRUE(near(g.world_pose(1), g.local_pose(1) * g.world_pose(0))) << "frame " << frame;
                (void)world;
            });
        ASSERT_TRUE(box);
    }
    destroy_unit_resource(lidded, default_allocator());
}

// A unit with a dynamic actor linked under a moving node: the step writes its root against
// the matrix it took from that node (never outside its own graph), and the linked update
// carries it along.
TEST_F(WorldPhysicsTruth, AUnitWithADynamicActorLinkedUnderAMovingUnitFollowsIt)
{
    UnitResource *lidded = make_crate_with_lid();
    ASSERT_TRUE(lidded);
    UnitSource bare;
    bare.add_node("root", matrix4x4_identity, no_parent);
    bare.add_node("arm", at(0, 0, 2), 0);
    std::vector<u8> bytes = write_unit_resource(bare);
    UnitResource *carrier_resource = read_unit_resource(bytes.data(), bytes.size(), default_allocator());
    ASSERT_TRUE(carrier_resource);
    for (u32 workers : {1u, 8u}) {
        SCOPED_TRACE(workers);
        Unit *carrier = nullptr, *rider = nullptr;
        run(workers, 90,
            [&](World &world, u32) {
                carrier = world.spawn_unit_from_resource(*carrier_resource, nullptr, at(-3, 0, 1));
                rider = world.spawn_unit_from_resource(*lidded, nullptr, at(5, 5, 6));
                ASSERT_TRUE(carrier && rider);
                ASSERT_TRUE(world.link_unit(*rider, *carrier, 1));
            },
            [&](World &world, u32 frame) {
                carrier->scene_graph().set_local_pose(0, at(-3 + 0.05f * f32(frame), 0, 1));
                world.wake_unit(*carrier, 1);
                if (frame > 1) {
                    const SceneGraph &g = rider->scene_graph();
                    for (u32 n = 0; n < g.node_count(); ++n)
                        for (int i = 0; i < 4; ++i)
                            for (int j = 0; j < 4; ++j)
                                ASSERT_TRUE(std::isfinite(g.world_pose(n).m[i][j]));
                    EXPECT_TRUE(near(g.world_pose(0), g.local_pose(0) * carrier->scene_graph().world_pose(1), 1e-3f))
                        << "frame " << frame << ": the root sits where its link puts it";
                }
            });
    }
    destroy_unit_resource(carrier_resource, default_allocator());
    destroy_unit_resource(lidded, default_allocator());
}

} // namespace
} // namespace tallow::test
