// The unit synchronizer: two Worlds in one process, each with its own networked game over
// the in-memory transport. The owner's unit appears kinematic in the other world and
// follows it; migration swaps the roles; units destroyed behind its back are let go.
#include "network/unit_synchronizer.h"
#include "tests/support/writers/network_config_writer.h"
#include "tests/support/log_capture.h"
#include "tests/support/fakes/network_game_peer.h"
#include "tests/world/world_fixture.h"

#include <gtest/gtest.h>

namespace tallow::test {
namespace {

using namespace network;

const u64 box_name = NameId64("units/box").value();

NetworkConfigSpec synchronized_spec()
{
    NetworkConfigSpec spec;
    spec.types.push_back({"unit",
                          {vector3_field("position", 20, -100, 100, 0.001f), quaternion_field("rotation", 32, 0.0001f),
                           id_field("unit_name"), int_field("synchronizer_id", 8, 0)}});
    spec.types.push_back({"ball", {float_field("height", 8, 0, 10)}});
    return spec;
}

class UnitSynchronizerTest : public ::testing::Test {
  protected:
    UnitSynchronizerTest() : cluster(5, {}, write_network_config(synchronized_spec()), 2, create_unit_synchronizer)
    {
        factories.render = [](const WorldServiceParams &p) -> IWorldRenderLink * {
            return make_new<RecordingRenderLink>(p.allocator, p.allocator);
        };
        factories.physics = [](const WorldServiceParams &p) -> IPhysicsWorld * {
            FakePhysicsWorld *made = make_new<FakePhysicsWorld>(p.allocator);
            made->dynamic_templates[7] = true;
            return made;
        };
        WorldParams params;
        params.factories = &factories;
        for (u32 i = 0; i < 2; ++i)
            worlds[i] = make_new<World>(allocator, allocator, params);

        UnitSource s; // a root, a loose node, and a dynamic actor
        s.add_node("root", matrix4x4_identity, no_parent);
        s.add_node("loose", translation_matrix(0, 0, 1), no_parent);
        UnitSourceActor actor;
        actor.actor_template = 7;
        s.actors.push_back(actor);
        bytes = write_unit_resource(s);
        box = read_unit_resource(bytes.data(), bytes.size(), default_allocator());

        unit_type = cluster.config.object_type_index(*cluster.config.find_object_type(NameId32("unit").value()));
        ball_type = 1 - unit_type;
        cluster.host(0);
        EXPECT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
        for (u32 i = 0; i < 2; ++i) {
            sync[i] = static_cast<UnitSynchronizer *>(cluster[i].game()->unit_synchronizer());
            sync[i]->set_world(worlds[i]);
            sync[i]->set_resource_source({[](void *user, u64 name) -> const UnitResource * {
                                              return name == box_name ? static_cast<const UnitResource *>(user) : nullptr;
                                          },
                                          box});
        }
    }
    ~UnitSynchronizerTest() override
    {
        for (World *w : worlds) {
            EXPECT_TRUE(w->validate());
            delete_with_allocator(allocator, w);
        }
        destroy_unit_resource(box, default_allocator());
    }

    void step()
    {
        for (World *w : worlds)
            w->update(0.01f);
        cluster.step(0.01f);
    }
    template <typename F> bool run_until(F done, u32 steps = 400)
    {
        for (u32 i = 0; i < steps && !done(); ++i)
            step();
        return done();
    }
    Unit *unit(u32 peer, u32 object) { return worlds[peer]->unit(sync[peer]->unit_of(object)); }
    bool kinematic(Unit *u) { return FakePhysicsWorld::fake(u->actor(0))->kinematic; }

    TraceAllocator allocator{"unit_synchronizer_test", default_allocator()};
    GameCluster cluster;
    WorldServiceFactories factories;
    World *worlds[2] = {};
    std::vector<u8> bytes;
    UnitResource *box = nullptr;
    UnitSynchronizer *sync[2] = {};
    u32 unit_type = 0; // types are sorted by name id
    u32 ball_type = 1;
};

TEST_F(UnitSynchronizerTest, TheOwnersUnitAppearsKinematicFollowsAndMigrates)
{
    Unit *owned = sync[0]->spawn_unit(box_name, translation_matrix(1, 2, 3), unit_type);
    ASSERT_NE(owned, nullptr);
    const u32 object = sync[0]->object_of(owned->handle());
    ASSERT_NE(object, 0xFFFFFFFFu);
    EXPECT_TRUE(sync[0]->is_owned(owned->handle()));
    EXPECT_FALSE(kinematic(owned));
    // The object carries the four fields.
    const GameObjectType *type = cluster[0].game()->object_type(object);
    u64 name;
    memcpy(&name, cluster[0].game()->object_state(object) + type->field_offset(2), 8);
    EXPECT_EQ(name, box_name);

    ASSERT_TRUE(run_until([&] { return unit(1, object) != nullptr; }));
    Unit *remote = unit(1, object);
    EXPECT_TRUE(kinematic(remote));
    EXPECT_FALSE(sync[1]->is_owned(remote->handle()));
    EXPECT_EQ(remote->scene_graph().parent(1), 0u) << "loose nodes follow the root";
    EXPECT_TRUE(near(remote->scene_graph().local_pose(0), translation_matrix(1, 2, 3), 1e-3f));

    // The owner moves it; the remote copy follows.
    owned->scene_graph().set_local_pose(0, pose_matrix(0.5f, 1, {4, 5, 6}));
    worlds[0]->wake_unit(*owned, 2);
    ASSERT_TRUE(run_until([&] { return near(remote->scene_graph().local_pose(0), pose_matrix(0.5f, 1, {4, 5, 6}), 2e-3f); }));

    // Migration to peer 1: its unit is respawned owned and simulated, ours remote.
    const UnitHandle old_handle = owned->handle();
    ASSERT_TRUE(cluster[0].game()->migrate_object(object, cluster[1].id));
    ASSERT_TRUE(run_until([&] { return unit(1, object) && sync[1]->is_owned(sync[1]->unit_of(object)); }));
    EXPECT_EQ(worlds[0]->unit(old_handle), nullptr) << "the old unit was replaced";
    Unit *mine = unit(1, object);
    Unit *theirs = unit(0, object);
    ASSERT_NE(theirs, nullptr);
    const UnitHandle theirs_handle = theirs->handle();
    EXPECT_FALSE(kinematic(mine));
    EXPECT_TRUE(kinematic(theirs));
    EXPECT_FALSE(sync[0]->is_owned(theirs->handle()));
    EXPECT_TRUE(near(mine->scene_graph().local_pose(0), pose_matrix(0.5f, 1, {4, 5, 6}), 2e-3f))
        << "the new owner starts at the last received pose";
    mine->scene_graph().set_local_pose(0, translation_matrix(-7, 0, 1));
    worlds[1]->wake_unit(*mine, 2);
    ASSERT_TRUE(run_until([&] { return near(theirs->scene_graph().local_pose(0), translation_matrix(-7, 0, 1), 2e-3f); }));

    // The owner destroys it: it vanishes everywhere.
    ASSERT_TRUE(sync[1]->destroy_unit(mine->handle()));
    ASSERT_TRUE(run_until([&] { return sync[0]->unit_count() == 0; }));
    EXPECT_EQ(worlds[0]->unit(theirs_handle), nullptr);
}

TEST_F(UnitSynchronizerTest, UnitsDestroyedBehindItsBackAreLetGo)
{
    Unit *owned = sync[0]->spawn_unit(box_name, translation_matrix(0, 0, 0), unit_type);
    ASSERT_NE(owned, nullptr);
    const u32 object = sync[0]->object_of(owned->handle());
    ASSERT_TRUE(run_until([&] { return unit(1, object) != nullptr; }));
    // A script destroys the remote copy; values keep arriving and are skipped.
    worlds[1]->destroy_unit(*unit(1, object));
    owned->scene_graph().set_local_pose(0, translation_matrix(3, 0, 0));
    worlds[0]->wake_unit(*owned, 10);
    for (u32 i = 0; i < 50; ++i)
        step();
    EXPECT_EQ(sync[1]->unit_of(object), null_unit_handle);
    // A script destroys the owned unit: its object goes too.
    worlds[0]->destroy_unit(*owned);
    step();
    EXPECT_EQ(cluster[0].game()->object_state(object), nullptr);
    EXPECT_EQ(sync[0]->unit_count(), 0u);
    // A released world is never touched.
    sync[0]->set_world(nullptr);
    EXPECT_EQ(sync[0]->spawn_unit(box_name, matrix4x4_identity, unit_type), nullptr);
}

TEST_F(UnitSynchronizerTest, ObjectsNotMeantForItAreIgnored)
{
    LogCapture log;
    // A type without the four fields cannot be synchronized.
    EXPECT_FALSE(sync[0]->can_synchronize(ball_type));
    EXPECT_EQ(sync[0]->spawn_unit(box_name, matrix4x4_identity, ball_type), nullptr);
    EXPECT_EQ(worlds[0]->units().size(), 0u);
    // Objects of another type, or of another synchronizer id, make no units.
    const u8 ball[4] = {}; // the ball type's state: one float
    ASSERT_NE(cluster[0].game()->create_object(ball_type, ball), 0xFFFFFFFFu);
    u8 state[64] = {};
    const i32 other = 3;
    const GameObjectType *type = cluster.config.object_type(unit_type);
    memcpy(state + type->field_offset(2), &box_name, 8);
    memcpy(state + type->field_offset(3), &other, 4);
    ASSERT_NE(cluster[0].game()->create_object(unit_type, state), 0xFFFFFFFFu);
    for (u32 i = 0; i < 100; ++i)
        step();
    EXPECT_EQ(cluster[1].game()->object_count(), 2u);
    EXPECT_EQ(sync[1]->unit_count(), 0u);
    EXPECT_EQ(worlds[1]->units().size(), 0u);
    // Ids that map to nothing are skipped.
    const u32 ids[] = {1, 2, 0xFFFF};
    sync[1]->apply(0.01f, ids, 3);
    sync[1]->object_event(0xFFFF, ObjectEvent::Destroyed);
    sync[1]->object_event(0xFFFF, ObjectEvent::Created);
}


TEST_F(UnitSynchronizerTest, ObjectsWithUnusablePosesMakeNoUnits)
{
    LogCapture log;
    const GameObjectType *type = cluster.config.object_type(unit_type);
    struct Case {
        const char *name;
        f32 position[3];
        f32 rotation[4];
        bool spawns;
    };
    const Case cases[] = {{"far out", {1e30f, 0, 0}, {0, 0, 0, 1}, false},
                          {"far out below", {0, -2e6f, 0}, {0, 0, 0, 1}, false},
                          {"no rotation", {1, 2, 3}, {0, 0, 0, 0}, false},
                          {"fine", {1, 2, 3}, {0, 0, 0, 1}, true}};
    u32 spawned = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        u8 state[64] = {};
        memcpy(state + type->field_offset(0), c.position, 12);
        memcpy(state + type->field_offset(1), c.rotation, 16);
        memcpy(state + type->field_offset(2), &box_name, 8);
        const u32 object = cluster[0].game()->create_object(unit_type, state);
        ASSERT_NE(object, 0xFFFFFFFFu);
        ASSERT_TRUE(run_until([&] { return cluster[1].game()->object_state(object) != nullptr; }));
        step();
        spawned += c.spawns;
        EXPECT_EQ(sync[1]->unit_count(), spawned);
        EXPECT_EQ(unit(1, object) != nullptr, c.spawns);
    }
}

} // namespace
} // namespace tallow::test
