#include "tests/world/world_fixture.h"

#include "foundation/strings/murmur_hash.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "tests/support/log_capture.h"
#include "world/flow/timed_events.h"

#include <algorithm>
#include <map>
#include <memory>
#include <random>

namespace tallow::test {
namespace {

/// The nodes of each record by render handle; a graph with two records fails the test.
std::map<u32, std::vector<u32>> records_by_handle(const std::vector<ChangeRecord> &records)
{
    std::map<u32, std::vector<u32>> out;
    for (const ChangeRecord &r : records)
        EXPECT_TRUE(out.emplace(r.render_handle, r.nodes).second) << "two records for graph " << r.render_handle;
    return out;
}

// Timed events --------------------------------------------------------------------------

TEST(TimedEvents, RandomDelaysFireInDueOrder)
{
    TraceAllocator allocator("timed_events_test", default_allocator());
    {
        TimedEvents events(allocator);
        std::mt19937 random(7);
        std::uniform_real_distribution<f32> delay(0.01f, 5.0f);
        std::vector<std::pair<f32, u32>> expected;
        for (u32 i = 0; i < 500; ++i) {
            TimedDelay d{delay(random), i};
            expected.push_back({d.delay, i});
            events.schedule(0, 1, &d, 1, [](void *, u32, u32) { FAIL() << "nothing fires at scheduling"; }, nullptr);
            ASSERT_TRUE(events.validate());
        }
        std::stable_sort(expected.begin(), expected.end(), [](auto &a, auto &b) { return a.first < b.first; });
        std::vector<u32> fired;
        for (f32 t = 0; t < 6; t += 0.1f) {
            events.run(t, [](void *c, u32, u32 target) { static_cast<std::vector<u32> *>(c)->push_back(target); },
                       &fired);
            ASSERT_TRUE(events.validate());
        }
        ASSERT_EQ(fired.size(), expected.size());
        // Within one run events come out by due time; across runs too.
        std::vector<f32> due;
        for (u32 target : fired)
            for (auto &e : expected)
                if (e.second == target)
                    due.push_back(e.first);
        EXPECT_TRUE(std::is_sorted(due.begin(), due.end()));
    }
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

// A callback that schedules an earlier event while the queue runs must not make the fired
// event fire again or lose another.
TEST(TimedEvents, CallbackSchedulingDuringRunFiresEachOnce)
{
    TraceAllocator allocator("timed_events_test", default_allocator());
    {
        TimedEvents events(allocator);
        const TimedDelay delays[] = {{1, 1}, {2, 2}, {3, 3}};
        struct Context {
            TimedEvents *events;
            std::vector<u32> fired;
        } c{&events, {}};
        events.schedule(0, 9, delays, 3, [](void *, u32, u32) {}, nullptr);
        auto fire = [](void *p, u32, u32 target) {
            auto &c = *static_cast<Context *>(p);
            c.fired.push_back(target);
            if (target == 1) {
                const TimedDelay more[] = {{-5, 10}, {0.5f, 11}};
                c.events->schedule(2.5f, 9, more, 2, [](void *, u32, u32) {}, nullptr);
            }
        };
        // 10 is due at -2.5, so it rises above 2 and fires next; 11 (due 3.0 at 2.5 + 0.5)
        // waits for the next run.
        events.run(2.5f, fire, &c);
        EXPECT_EQ(c.fired, (std::vector<u32>{1, 10, 2}));
        events.run(3.5f, fire, &c);
        EXPECT_EQ(c.fired.size(), 5u);
        EXPECT_EQ(std::count(c.fired.begin(), c.fired.end(), 3u), 1);
        EXPECT_EQ(std::count(c.fired.begin(), c.fired.end(), 11u), 1);
        EXPECT_EQ(events.count(), 0u);
    }
}

class WorldTest : public WorldFixture {};

TEST_F(WorldTest, TimedEventTable)
{
    const UnitResource &r = chain(1);
    Unit *u = spawn(r);
    UnitHandle h = u->handle();
    struct Case {
        const char *name;
        f32 delay;
        u32 frames_until_fired; // 0 = during scheduling
    };
    // Frames are 0.25 s: exact in binary, so "strictly greater" is tested at the boundary.
    const Case cases[] = {
        {"zero fires at once", 0.0f, 0},
        {"NaN fires at once, blocks nothing", std::nanf(""), 0},
        {"exactly one frame fires after the second", 0.25f, 2},
        {"just under one frame", 0.2f, 1},
        {"negative fires at the next update", -1.0f, 1},
    };
    u32 target = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        flow_calls.clear();
        TimedDelay d{c.delay, target};
        world->schedule_timed_events(h, &d, 1);
        u32 frames = 0;
        while (flow_calls.empty() && frames < 10) {
            step(0.25f);
            ++frames;
        }
        ASSERT_EQ(flow_calls.size(), 1u);
        EXPECT_EQ(flow_calls[0].target, target);
        EXPECT_EQ(frames, c.frames_until_fired);
        ++target;
    }
    // Events of destroyed units vanish.
    TimedDelay d{0.1f, 99};
    world->schedule_timed_events(h, &d, 1);
    world->destroy_unit(*u);
    flow_calls.clear();
    step(1);
    EXPECT_TRUE(flow_calls.empty());
    EXPECT_EQ(world->timed_events().count(), 0u);
}

// Idle dropping ---------------------------------------------------------------------------

TEST_F(WorldTest, IdleUnitsLeaveRoundRobinAtMostTwentyPerFrame)
{
    const UnitResource &r = chain(2);
    std::vector<Unit *> units;
    for (u32 i = 0; i < 47; ++i) {
        units.push_back(spawn(r));
        world->wake_unit(*units.back(), 1 + i % 3); // some stay longer
    }
    EXPECT_EQ(world->update_list().size(), 47u);
    // Units 5 and 6 stay awake for good.
    world->wake_unit(*units[5], 1000);
    world->wake_unit(*units[6], 1000);
    u32 previous = world->update_list().size();
    for (u32 frame = 0; frame < 10; ++frame) {
        step();
        u32 now = world->update_list().size();
        EXPECT_LE(previous - now, World::idle_checks_per_frame);
        previous = now;
    }
    ASSERT_EQ(world->update_list().size(), 2u);
    EXPECT_NE(units[5]->update_index(), unit_not_listed);
    EXPECT_NE(units[6]->update_index(), unit_not_listed);
    // ceil(47 / 20) frames after the last wake ran out, all idle units are gone.
}

TEST_F(WorldTest, WakeForOneFrameKeepsTheUnitThroughTheNextDropCheck)
{
    const UnitResource &r = chain(1);
    Unit *u = spawn(r);
    world->wake_unit(*u, 1);
    step();
    EXPECT_NE(u->update_index(), unit_not_listed) << "awake-until = frame counter at the first check";
    step();
    EXPECT_EQ(u->update_index(), unit_not_listed);
}

TEST_F(WorldTest, AwakeListFollowsDynamicActors)
{
    UnitSource s;
    s.add_node("root", matrix4x4_identity, no_parent);
    UnitSourceActor a;
    a.actor_template = 7;
    s.actors.push_back(a);
    const UnitResource &r = resource(s);
    physics->dynamic_templates[7] = true;
    Unit *u = spawn(r);
    world->add_to_awake_list_locked(*u);
    step();
    EXPECT_NE(u->awake_index(), unit_not_listed);
    FakePhysicsWorld::fake(u->actor(0))->sleeping = true;
    step();
    EXPECT_EQ(u->awake_index(), unit_not_listed);
}

// A unit woken during the physics step sits past the masks sized before it: its records
// must be bounds-checked, not written past the array.
TEST_F(WorldTest, UnitWokenDuringPhysicsStep)
{
    const UnitResource &r = chain(2);
    std::vector<Unit *> units;
    for (u32 i = 0; i < 5; ++i)
        units.push_back(spawn(r));
    step();
    step();
    ASSERT_EQ(world->update_list().size(), 0u);
    physics->on_step = [&] {
        for (Unit *u : units) {
            world->wake_unit(*u, 2);
            world->add_to_awake_list_locked(*u);
        }
    };
    step();
    physics->on_step = nullptr;
    EXPECT_EQ(world->update_list().size(), 5u);
    step();
}

// Units of the update list are reflected as soon as their graphs are updated, unless the
// frame updates them again (awake or linked): those get one record of all that changed.
// A unit the physics step moves after its record gets a second one, later in the frame's
// records, so the render side ends on the moved pose.
TEST_F(WorldTest, UpdateListRecordsComeEarlyAndAMoveDuringPhysicsFollowsThem)
{
    const UnitResource &r = chain(2);
    Unit *plain = spawn(r), *awake = spawn(r), *moved = spawn(r), *parent = spawn(r), *linked = spawn(r);
    ASSERT_TRUE(world->link_unit(*linked, *parent, 1));
    step();
    step();
    (void)render->take_records();
    for (Unit *u : {plain, awake, moved, linked}) {
        u->scene_graph().set_local_pose(1, translation_matrix(0, 2, 0));
        world->wake_unit(*u, 1);
    }
    world->add_to_awake_list_locked(*awake);
    parent->scene_graph().set_local_pose(0, translation_matrix(5, 0, 0));
    world->wake_unit(*parent, 1);
    physics->on_step = [&] {
        moved->scene_graph().set_local_pose(0, translation_matrix(0, 0, 7));
        world->add_to_awake_list_locked(*moved);
    };
    step();
    physics->on_step = nullptr;

    std::map<u32, std::vector<std::vector<u32>>> by_handle;
    for (const ChangeRecord &c : render->take_records())
        by_handle[c.render_handle].push_back(c.nodes);
    using Records = std::vector<std::vector<u32>>;
    EXPECT_EQ(by_handle[plain->scene_graph().render_handle()], (Records{{1}}));
    EXPECT_EQ(by_handle[awake->scene_graph().render_handle()], (Records{{1}}));
    EXPECT_EQ(by_handle[parent->scene_graph().render_handle()], (Records{{0, 1}}));
    EXPECT_EQ(by_handle[linked->scene_graph().render_handle()], (Records{{0, 1}})) << "one record of both changes";
    EXPECT_EQ(by_handle[moved->scene_graph().render_handle()], (Records{{1}, {0, 1}})) << "the physics move comes last";
    EXPECT_EQ(translation(moved->scene_graph().world_pose(1)), (Vector3{0, 2, 7}));
}

// Linking ----------------------------------------------------------------------------------

TEST_F(WorldTest, LinkedChainIsRightAfterOneUpdateWhateverTheLinkOrder)
{
    const UnitResource &r = chain(2);
    Unit *root = spawn(r, translation_matrix(10, 0, 0));
    Unit *child = spawn(r);
    Unit *grandchild = spawn(r);
    ASSERT_TRUE(world->link_unit(*grandchild, *child, 1)); // grandchild first
    ASSERT_TRUE(world->link_unit(*child, *root, 1));
    root->scene_graph().set_local_pose(0, translation_matrix(20, 0, 0));
    world->wake_unit(*root, 1);
    step();
    // root node 1 at 21; child root at 21, its node 1 at 22; grandchild root at 22, node 1 at 23.
    EXPECT_EQ(translation(child->scene_graph().world_pose(0)).x, 21.0f);
    EXPECT_EQ(translation(grandchild->scene_graph().world_pose(0)).x, 22.0f);
    EXPECT_EQ(translation(grandchild->scene_graph().world_pose(1)).x, 23.0f);
    // Bit 0 is inherited down the chain.
    world->wake_unit(*root, 5);
    EXPECT_TRUE(grandchild->needs_update() & unit_needs_scene_update);
}

// Linking places the child on the parent's node at once, before any update: its root takes
// the node's world matrix and its other nodes follow, so a query (or an unlink) right after
// the link sees the linked pose.
TEST_F(WorldTest, LinkedUnitTakesItsParentNodesPoseAtOnce)
{
    const UnitResource &r = chain(2);
    Unit *parent = spawn(r, pose_matrix(0.7f, 2.0f, {10, 0, 0}));
    Unit *child = spawn(r, translation_matrix(-5, 3, 0));
    step();
    const Matrix4x4 node = parent->scene_graph().world_pose(1);
    ASSERT_TRUE(world->link_unit(*child, *parent, 1));
    EXPECT_TRUE(near(child->scene_graph().world_pose(0), node));
    EXPECT_TRUE(near(child->scene_graph().world_pose(1), child->scene_graph().local_pose(1) * node));

    // Unlinked in the same frame, it stays on the node it was linked to.
    world->unlink_unit(*child);
    world->wake_unit(*child, 1);
    step();
    EXPECT_TRUE(near(child->scene_graph().world_pose(0), node));
}

TEST_F(WorldTest, LinkCyclesAreRefused)
{
    const UnitResource &r = chain(2);
    Unit *a = spawn(r);
    Unit *b = spawn(r);
    EXPECT_FALSE(world->link_unit(*a, *a, 0));
    ASSERT_TRUE(world->link_unit(*b, *a, 1));
    EXPECT_FALSE(world->link_unit(*a, *b, 0)) << "a under its own descendant";
    EXPECT_FALSE(world->link_unit(*a, *b, 7)) << "no such node";
    step();
}

TEST_F(WorldTest, UnlinkKeepsTheWorldPose)
{
    const UnitResource &r = chain(2);
    Unit *parent = spawn(r, pose_matrix(0.7f, 2.0f, {1, 2, 3}));
    Unit *child = spawn(r);
    ASSERT_TRUE(world->link_unit(*child, *parent, 1));
    step();
    Matrix4x4 linked_pose = child->scene_graph().world_pose(1);
    world->unlink_unit(*child);
    world->wake_unit(*child, 1);
    parent->scene_graph().set_local_pose(0, translation_matrix(50, 0, 0)); // moving the old parent changes nothing
    world->wake_unit(*parent, 1);
    step();
    EXPECT_TRUE(near(child->scene_graph().world_pose(1), linked_pose));
    EXPECT_EQ(child->parent_unit(), nullptr);
}

TEST_F(WorldTest, DestroyingAParentFreesItsLinkedChildrenWhereTheyStand)
{
    const UnitResource &r = chain(2);
    Unit *parent = spawn(r, translation_matrix(5, 0, 0));
    Unit *child = spawn(r);
    ASSERT_TRUE(world->link_unit(*child, *parent, 1));
    step();
    world->destroy_unit(*parent);
    EXPECT_EQ(child->parent_unit(), nullptr);
    EXPECT_EQ(child->linked_index(), unit_not_listed);
    world->wake_unit(*child, 1);
    step();
    EXPECT_EQ(translation(child->scene_graph().world_pose(0)).x, 6.0f);
}

// Reflection -------------------------------------------------------------------------------

TEST_F(WorldTest, ReflectionRecordsHoldExactlyTheChangedNodes)
{
    const UnitResource &r = chain(4);
    std::vector<Unit *> units;
    for (u32 i = 0; i < 45; ++i) // three batches
        units.push_back(spawn(r));
    step();
    step();
    render->take_records();
    ASSERT_EQ(world->update_list().size(), 0u);

    units[3]->scene_graph().set_local_pose(2, translation_matrix(0, 1, 0)); // nodes 2, 3
    world->wake_unit(*units[3], 1);
    units[40]->scene_graph().set_local_pose(0, translation_matrix(0, 0, 1)); // all four
    world->wake_unit(*units[40], 1);
    world->wake_unit(*units[41], 1); // awake but unchanged: no record
    step();
    std::vector<ChangeRecord> records = render->take_records();
    ASSERT_EQ(records.size(), 2u) << "a record for each changed unit only";
    EXPECT_EQ(records[0].render_handle, units[3]->scene_graph().render_handle());
    EXPECT_EQ(records[0].nodes, (std::vector<u32>{2, 3}));
    EXPECT_EQ(records[1].render_handle, units[40]->scene_graph().render_handle());
    EXPECT_EQ(records[1].nodes, (std::vector<u32>{0, 1, 2, 3}));

    step(); // nothing moved
    EXPECT_TRUE(render->take_records().empty());
}

TEST_F(WorldTest, LinkedUnitInNoListStillReachesTheRenderSide)
{
    const UnitResource &r = chain(2);
    Unit *parent = spawn(r);
    Unit *child = spawn(r);
    ASSERT_TRUE(world->link_unit(*child, *parent, 1));
    step();
    step();
    ASSERT_EQ(child->update_index(), unit_not_listed);
    render->take_records();
    parent->scene_graph().set_local_pose(0, translation_matrix(3, 0, 0));
    world->wake_unit(*parent, 1);
    step();
    std::vector<ChangeRecord> records = render->take_records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].nodes, (std::vector<u32>{0, 1}));
}

// Units that did not change are passed over from what the World keeps beside its unit
// list: after destroys in the middle of the list and rebuilds that give new render
// handles, the changed units' records name their own graphs, in spawn order, and nobody
// else gets one.
TEST_F(WorldTest, ChangedUnitsRecordsFollowDestroyAndReload)
{
    const UnitResource &r = chain(2);
    const UnitResource &bigger = chain(3);
    std::vector<Unit *> units;
    for (u32 i = 0; i < 50; ++i)
        units.push_back(spawn(r));
    step();
    world->destroy_unit(*units[0]);
    world->destroy_unit(*units[17]);
    units.erase(units.begin() + 17);
    units.erase(units.begin());
    units[5]->reload(bigger);               // on its own
    world->reload_units_of_resource(r, bigger); // then all the others
    Unit *late = spawn(r);
    units.push_back(late);
    render->take_records();
    step();
    EXPECT_TRUE(render->take_records().empty()) << "rebuilt units start from their current matrices";

    struct Move {
        u32 unit, node;
        std::vector<u32> nodes; // in its record
    };
    const Move moves[] = {{0, 0, {0, 1, 2}}, {5, 2, {2}}, {16, 1, {1, 2}}, {30, 1, {1, 2}}, {48, 0, {0, 1}}};
    for (const Move &m : moves) {
        units[m.unit]->scene_graph().set_local_pose(m.node, translation_matrix(0, 2, 0));
        world->wake_unit(*units[m.unit], 1);
    }
    step();
    std::vector<ChangeRecord> records = render->take_records();
    ASSERT_EQ(records.size(), std::size(moves));
    for (u32 i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(moves[i].unit);
        EXPECT_EQ(records[i].render_handle, units[moves[i].unit]->scene_graph().render_handle());
        EXPECT_EQ(records[i].nodes, moves[i].nodes);
    }
}

TEST_F(WorldTest, EmptyWorldUpdates)
{
    step();
    EXPECT_TRUE(render->take_records().empty());
    EXPECT_EQ(render->releases, 1u);
}

// Lifecycle --------------------------------------------------------------------------------

TEST_F(WorldTest, DestroyKeepsSpawnOrderAndFixesEveryList)
{
    const UnitResource &r = chain(2);
    Unit *a = spawn(r);
    Unit *b = spawn(r);
    Unit *c = spawn(r);
    Unit *parent = spawn(r);
    world->wake_unit(*b, 10);
    world->add_to_awake_list(*b);
    ASSERT_TRUE(world->link_unit(*b, *parent, 0));
    world->wake_unit(*c, 10);
    world->add_to_awake_list(*c);
    UnitHandle hb = b->handle();
    world->destroy_unit(*b);
    EXPECT_EQ(world->unit(hb), nullptr);
    ASSERT_EQ(world->units().size(), 3u);
    EXPECT_EQ(world->units()[0], a);
    EXPECT_EQ(world->units()[1], c);
    EXPECT_EQ(world->units()[2], parent);
    EXPECT_TRUE(world->validate());
    step();
}

TEST_F(WorldTest, SpawnFlowThatDestroysItsOwnUnit)
{
    UnitSource s;
    s.add_node("root", matrix4x4_identity, no_parent);
    s.flow_graph = {1, 2, 3, 4};
    const UnitResource &r = resource(s);
    flow_action = [](World &w, Unit &u, u32 target) {
        if (target == unit_spawn_event) {
            const TimedDelay now{0, 5};
            w.schedule_timed_events(u.handle(), &now, 1); // fires at once, inside the spawn run
        } else if (target == 5) {
            w.destroy_unit(u);
            EXPECT_EQ(u.type_tag(), unit_type_tag) << "still whole inside the run";
        }
    };
    Unit *u = world->spawn_unit_from_resource(r, nullptr, matrix4x4_identity);
    EXPECT_EQ(u, nullptr) << "destroyed by its own spawn flow";
    ASSERT_EQ(flow_calls.size(), 2u);
    EXPECT_EQ(flow_calls[0].target, unit_spawn_event);
    EXPECT_EQ(world->units().size(), 0u);
    EXPECT_EQ(unit_handle_table().get(flow_calls[0].handle), nullptr);
    step();
}

// A joint that names an actor the unit does not have leaves the unit whole: it loads and
// spawns, and that joint alone is skipped, with a log line, each time it would be created.
TEST_F(WorldTest, JointNamingAMissingActorIsSkipped)
{
    UnitSource s;
    s.add_node("root", matrix4x4_identity, no_parent);
    UnitSourceActor shell;
    shell.name_id = NameId32("shell").value();
    s.actors = {shell};
    UnitSourceJoint stray;
    stray.joint.words[0] = NameId32("stray").value();
    stray.joint.words[2] = shell.name_id;
    stray.joint.words[3] = NameId32("missing").value();
    UnitSourceJoint bound;
    bound.joint.words[0] = NameId32("bound").value();
    bound.joint.words[2] = shell.name_id;
    s.joints = {stray, bound};
    std::vector<u8> bytes = write_unit_resource(s);
    UnitResource *r = read_unit_resource(bytes.data(), bytes.size(), default_allocator());
    ASSERT_NE(r, nullptr);
    resources.push_back(r);

    LogCapture log("world");
    Unit *u = spawn(*r);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->joint(0), nullptr);
    ASSERT_NE(u->joint(1), nullptr);
    ASSERT_EQ(physics->joints.size(), 1u);
    EXPECT_EQ(physics->joints[0]->params.actors[0], u->actor(0));
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.contains("not created"));

    u->create_joint(0);
    EXPECT_EQ(u->joint(0), nullptr);
    EXPECT_EQ(physics->joints.size(), 1u);
    EXPECT_EQ(log.lines().size(), 2u);
    step();
}

TEST_F(WorldTest, UnitWithoutFlowRunsNoFlowAndTypeTagComesFirst)
{
    Unit *u = spawn(resource({}));
    ASSERT_NE(u, nullptr);
    EXPECT_TRUE(flow_calls.empty());
    u32 first_word;
    memcpy(&first_word, u, 4);
    EXPECT_EQ(first_word, unit_type_tag);
    step();
}

// Initialisation ---------------------------------------------------------------------------

TEST_F(WorldTest, InitBuildsComponentsFromTheResource)
{
    UnitSource s;
    u32 root = s.add_node("root", matrix4x4_identity, no_parent);
    s.add_node("arm", translation_matrix(0, 1, 0), root);
    s.meshes.push_back({1, 0, {0, 0}, 0});  // not created
    s.meshes.push_back({2, 1, {0, 0}, 1});
    s.meshes.push_back({3, 1, {0, 0}, 2});
    s.cameras.push_back({4, 1, {}});
    UnitSourceActor shell;
    shell.name_id = NameId32("shell").value();
    shell.pose = pose_matrix(0.3f, 1.0f, {0, 0, 2});
    UnitSourceActor hidden;
    hidden.name_id = NameId32("hidden").value();
    hidden.create = 0;
    s.actors = {shell, hidden};
    s.collision_pairs = {0, 1};
    UnitSourceJoint anchored;
    anchored.joint.words[0] = NameId32("anchor").value();
    anchored.joint.set_vector(19, {1, 0, 0}); // local anchor 0
    UnitSourceJoint bound;
    bound.joint.words[0] = NameId32("bound").value();
    bound.joint.words[2] = shell.name_id;
    bound.joint.set_vector(19, {1, 0, 0});
    s.joints = {anchored, bound};
    s.movers.push_back(MoverTemplate{});
    s.visibility_groups.push_back({NameId32("g").value(), {2}});
    const UnitResource &r = resource(s);

    Matrix4x4 spawn_pose = pose_matrix(1.1f, 2.0f, {5, 6, 7});
    Unit *u = spawn(r, spawn_pose);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->mesh_handle(0), no_render_handle);
    EXPECT_NE(u->mesh_handle(1), no_render_handle);
    EXPECT_NE(u->mesh_handle(2), no_render_handle);
    EXPECT_EQ(render->created.size(), 3u); // two meshes, one camera
    // Actor pose = template pose x spawn pose (not the other way round).
    ASSERT_NE(u->actor(0), nullptr);
    EXPECT_TRUE(near(FakePhysicsWorld::fake(u->actor(0))->pose, shell.pose * spawn_pose));
    EXPECT_FALSE(near(shell.pose * spawn_pose, spawn_pose * shell.pose));
    EXPECT_EQ(u->actor(1), nullptr);
    EXPECT_TRUE(physics->pairs_off.empty()) << "a pair with a null slot is skipped";
    // Joints: without names the frame is placed in the world by the spawn pose.
    ASSERT_EQ(physics->joints.size(), 2u);
    const JointCreateParams &j0 = physics->joints[0]->params;
    EXPECT_EQ(j0.actors[0], nullptr);
    Vector3 expected = transform_point(spawn_pose, {1, 0, 0});
    EXPECT_NEAR(j0.joint.local_anchor(0).x, expected.x, 1e-4f);
    EXPECT_NEAR(j0.joint.local_anchor(0).y, expected.y, 1e-4f);
    const JointCreateParams &j1 = physics->joints[1]->params;
    EXPECT_EQ(j1.actors[0], u->actor(0));
    EXPECT_EQ(j1.joint.local_anchor(0), (Vector3{1, 0, 0}));
    EXPECT_EQ(physics->movers, 1);
    // Node 1 sits at its local pose times the spawn pose.
    EXPECT_TRUE(near(u->scene_graph().world_pose(1), translation_matrix(0, 1, 0) * spawn_pose));

    EXPECT_EQ(u->find_mesh(3), 2);
    EXPECT_EQ(u->find_mesh(99), -1);
    EXPECT_EQ(u->find_actor_index(NameId32("hidden").value()), 1);
    EXPECT_EQ(u->find_joint_index(NameId32("bound").value()), 1);
    u->destroy_actor(1); // null slot: nothing
    u->create_actor(1);
    EXPECT_NE(u->actor(1), nullptr);
    EXPECT_TRUE(u->set_visibility(NameId32("g").value(), false));
    EXPECT_FALSE(render->visibility.at(u->mesh_handle(2)));
    EXPECT_FALSE(u->set_visibility(NameId32("none").value(), false));

    u->disable_physics();
    EXPECT_EQ(u->actor(0), nullptr);
    EXPECT_EQ(physics->movers, 0);
    step();
}

TEST_F(WorldTest, ReloadKeepsHandlePoseAndPhysicsChoices)
{
    UnitSource s;
    s.add_node("root", matrix4x4_identity, no_parent);
    UnitSourceActor a;
    a.actor_template = 7;
    s.actors.push_back(a);
    const UnitResource &old_resource = resource(s);
    UnitSource t = s;
    t.add_node("extra", translation_matrix(0, 0, 1), 0);
    UnitSourceActor b;
    b.actor_template = 7;
    t.actors.push_back(b);
    const UnitResource &new_resource = resource(t);
    physics->dynamic_templates[7] = true;

    Unit *u = spawn(old_resource, translation_matrix(4, 0, 0));
    UnitHandle h = u->handle();
    u->scene_graph().set_local_pose(0, translation_matrix(9, 0, 0));
    world->wake_unit(*u, 1);
    step();
    physics->set_kinematic(u->actor(0), true);
    world->reload_units_of_resource(old_resource, new_resource);
    EXPECT_EQ(world->unit(h), u);
    EXPECT_EQ(u->scene_graph().node_count(), 2u);
    EXPECT_EQ(translation(u->scene_graph().world_pose(0)).x, 9.0f);
    ASSERT_NE(u->actor(1), nullptr);
    EXPECT_TRUE(physics->is_kinematic(u->actor(0)));
    EXPECT_TRUE(physics->is_kinematic(u->actor(1))) << "all dynamic actors were kinematic";

    // A unit with no dynamic actors does not force the new ones kinematic.
    physics->dynamic_templates.clear();
    Unit *v = spawn(old_resource);
    physics->dynamic_templates[7] = true;
    v->reload(new_resource);
    EXPECT_FALSE(physics->is_kinematic(v->actor(1)));
    step();
}

TEST_F(WorldTest, SpawningAnUnloadedResourceGivesNull)
{
    EXPECT_EQ(world->spawn_unit(NameId64("units/none"), matrix4x4_identity), nullptr);
}

// The same scenario on a thread pool gives the same poses and records.
class WorldOnPoolTest : public WorldFixture {
  protected:
    ThreadPool *pool() override { return &_pool; }
    ThreadRegistry _registry{default_allocator(), "main"};
    ThreadPool _pool{default_allocator(), 3, _registry};
};

// Chains of linked units four deep, each depth wide enough for several batches, moved
// every frame: the pool gives the same records and bit-identical poses as a world with
// no pool.
TEST_F(WorldOnPoolTest, DeepLinkedChainsMatchAWorldWithoutAPool)
{
    static RecordingRenderLink *inline_render = nullptr;
    WorldServiceFactories inline_factories;
    inline_factories.render = [](const WorldServiceParams &p) -> IWorldRenderLink * {
        inline_render = make_new<RecordingRenderLink>(p.allocator, p.allocator);
        return inline_render;
    };
    WorldParams params;
    params.factories = &inline_factories;
    World *inline_world = make_new<World>(allocator, allocator, params);
    const UnitResource &r = chain(3);
    std::vector<Unit *> pooled, inlined;
    for (u32 i = 0; i < 400; ++i) {
        const Matrix4x4 pose = translation_matrix(f32(i % 37), f32(i / 37), 0);
        pooled.push_back(spawn(r, pose));
        inlined.push_back(inline_world->spawn_unit_from_resource(r, nullptr, pose));
        if (i % 4 != 0) { // unit i follows node 2 of unit i - 1: depths 1 to 3
            ASSERT_TRUE(world->link_unit(*pooled[i], *pooled[i - 1], 2));
            ASSERT_TRUE(inline_world->link_unit(*inlined[i], *inlined[i - 1], 2));
        }
    }
    for (u32 frame = 0; frame < 4; ++frame) {
        for (u32 i = frame % 3; i < pooled.size(); i += 3) {
            const Matrix4x4 pose = pose_matrix(0.1f * f32(frame + i), 1, {f32(i), f32(frame), 1});
            for (World *w : {world, inline_world}) {
                Unit &u = w == world ? *pooled[i] : *inlined[i];
                u.scene_graph().set_local_pose(i % 2, pose);
                w->wake_unit(u, 1);
            }
        }
        step();
        inline_world->update(1.0f / 30);
        ASSERT_TRUE(inline_world->validate());
        std::vector<ChangeRecord> a = render->take_records(), b = inline_render->take_records();
        ASSERT_EQ(b.size(), a.size());
        for (u32 i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].render_handle, b[i].render_handle) << "record " << i << ", frame " << frame;
            EXPECT_EQ(a[i].nodes, b[i].nodes) << "record " << i << ", frame " << frame;
        }
        // A unit's record: all three nodes when it was just linked or a unit up its chain
        // moved; from the node it moved itself on when only it moved; none otherwise.
        const std::map<u32, std::vector<u32>> by_handle = records_by_handle(a);
        for (u32 i = 0; i < pooled.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "unit " << i << ", frame " << frame);
            bool carried = frame == 0 && i % 4 != 0;
            for (u32 j = i - i % 4; j < i; ++j)
                carried = carried || j % 3 == frame % 3;
            std::vector<u32> expected;
            if (carried)
                expected = {0, 1, 2};
            else if (i % 3 == frame % 3)
                expected = i % 2 ? std::vector<u32>{1, 2} : std::vector<u32>{0, 1, 2};
            const auto found = by_handle.find(pooled[i]->scene_graph().render_handle());
            ASSERT_EQ(found != by_handle.end(), !expected.empty());
            if (found != by_handle.end()) {
                EXPECT_EQ(found->second, expected);
            }
        }
        for (u32 i = 0; i < pooled.size(); ++i)
            for (u32 n = 0; n < 3; ++n)
                ASSERT_EQ(memcmp(&pooled[i]->scene_graph().world_pose(n), &inlined[i]->scene_graph().world_pose(n),
                                 sizeof(Matrix4x4)),
                          0)
                    << "unit " << i << " node " << n << ", frame " << frame;
    }
    // Node 2 of a unit is two along x from its root; each link starts where that node is.
    const Matrix4x4 &root = pooled[4]->scene_graph().world_pose(0);
    EXPECT_TRUE(near(pooled[7]->scene_graph().world_pose(0), pooled[6]->scene_graph().world_pose(2)));
    EXPECT_FALSE(near(pooled[7]->scene_graph().world_pose(0), root));
    delete_with_allocator(allocator, inline_world);
}

// One scenario (linked chains, moves every frame) on no pool, a pool of one worker and a
// pool of eight with the main thread as a member: after each frame the hash of every
// world matrix and of the frame's change records is the same.
TEST_F(WorldTest, FrameHashesMatchOnOneAndEightWorkers)
{
    const UnitResource &r = chain(3);
    static RecordingRenderLink *recorder = nullptr;
    auto run = [&](u32 workers) {
        ThreadRegistry registry(default_allocator(), "main");
        std::unique_ptr<ThreadPool> pool;
        if (workers > 0) {
            pool = std::make_unique<ThreadPool>(default_allocator(), workers, registry);
            EXPECT_TRUE(pool->add_worker(current_thread_id()));
        }
        WorldServiceFactories f;
        f.render = [](const WorldServiceParams &p) -> IWorldRenderLink * {
            recorder = make_new<RecordingRenderLink>(p.allocator, p.allocator);
            return recorder;
        };
        WorldParams params;
        params.factories = &f;
        params.thread_pool = pool.get();
        World *w = make_new<World>(allocator, allocator, params);
        std::vector<Unit *> units;
        for (u32 i = 0; i < 600; ++i) {
            units.push_back(w->spawn_unit_from_resource(r, nullptr, translation_matrix(f32(i % 23), f32(i / 23), 0)));
            if (i % 5 != 0) {
                EXPECT_TRUE(w->link_unit(*units[i], *units[i - 1], 2));
            }
        }
        std::vector<u32> hashes;
        for (u32 frame = 0; frame < 6; ++frame) {
            for (u32 i = frame % 4; i < units.size(); i += 4) {
                units[i]->scene_graph().set_local_pose(i % 3, pose_matrix(0.2f * f32(frame + i), 1, {0, f32(frame), 1}));
                w->wake_unit(*units[i], 1);
            }
            w->update(1.0f / 30);
            std::vector<u8> bytes;
            for (Unit *u : units)
                for (u32 n = 0; n < 3; ++n) {
                    const u8 *m = reinterpret_cast<const u8 *>(&u->scene_graph().world_pose(n));
                    bytes.insert(bytes.end(), m, m + sizeof(Matrix4x4));
                }
            for (const ChangeRecord &c : recorder->take_records()) {
                const u8 *h = reinterpret_cast<const u8 *>(&c.render_handle);
                bytes.insert(bytes.end(), h, h + sizeof c.render_handle);
                for (u32 n : c.nodes)
                    bytes.push_back(u8(n));
            }
            hashes.push_back(murmur_hash_32(bytes.data(), u32(bytes.size()), 0));
        }
        EXPECT_TRUE(w->validate());
        delete_with_allocator(allocator, w);
        return hashes;
    };
    const std::vector<u32> inline_hashes = run(0);
    for (u32 workers : {1u, 8u}) {
        SCOPED_TRACE(workers);
        EXPECT_EQ(run(workers), inline_hashes);
    }
}

TEST_F(WorldOnPoolTest, ScenarioMatchesTheInlineRun)
{
    const UnitResource &r = chain(3);
    std::vector<Unit *> units;
    for (u32 i = 0; i < 83; ++i) {
        units.push_back(spawn(r, translation_matrix(f32(i), 0, 0)));
        if (i % 4 == 1) {
            ASSERT_TRUE(world->link_unit(*units[i], *units[i - 1], 2));
        }
    }
    for (u32 frame = 0; frame < 5; ++frame) {
        for (u32 i = 0; i < units.size(); i += 3) {
            units[i]->scene_graph().set_local_pose(1, translation_matrix(0, f32(frame), 0));
            world->wake_unit(*units[i], 1);
        }
        step();
        const std::map<u32, std::vector<u32>> records = records_by_handle(render->take_records());
        for (u32 i = 0; i < units.size(); ++i) {
            const auto found = records.find(units[i]->scene_graph().render_handle());
            // Moved, or linked and just linked or under a moved parent.
            const bool changed = i % 3 == 0 || (i % 4 == 1 && (frame == 0 || (i - 1) % 3 == 0));
            ASSERT_EQ(found != records.end(), changed) << "unit " << i << ", frame " << frame;
            if (changed) {
                EXPECT_FALSE(found->second.empty());
            }
        }
    }
    // Unit 1 follows node 2 of unit 0: x = 0, node 1 at y = 4, node 2 one further along x.
    EXPECT_TRUE(near(units[1]->scene_graph().world_pose(0), translation_matrix(1, 4, 0)));
}

} // namespace
} // namespace tallow::test

#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"

namespace tallow::test {
namespace {

// With a real render world, the render side's copy of each unit's graph matches the game
// side after the frame's state buffer is applied.
TEST(WorldRenderWorld, RenderSceneGraphsFollowTheUnits)
{
    TraceAllocator allocator("world_render_test", default_allocator());
    UnitResource *resource = nullptr;
    {
        RenderWorld render_world(allocator, nullptr);
        WorldRenderLink link(allocator, render_world.acquire_state_buffer());
        WorldParams params;
        params.render_world = &render_world;
        params.render_link = &link;
        World world(allocator, params);
        UnitSource s;
        s.add_node("root", matrix4x4_identity, no_parent);
        s.add_node("arm", translation_matrix(0, 1, 0), 0);
        std::vector<u8> bytes = write_unit_resource(s);
        resource = read_unit_resource(bytes.data(), bytes.size(), allocator);
        ASSERT_NE(resource, nullptr);
        std::vector<Unit *> units;
        for (u32 i = 0; i < 30; ++i)
            units.push_back(world.spawn_unit_from_resource(*resource, nullptr, translation_matrix(f32(i), 0, 0)));
        auto apply = [&] {
            RenderStateQueue *filled = link.swap_state(render_world.acquire_state_buffer());
            render_world.update_state(*filled, nullptr);
            render_world.release_state_buffer(filled);
        };
        // Frames with one unit moved and frames with none. Only a moved unit's graph
        // gets a record; every copy keeps the game side's matrices, and reads as changed
        // exactly in the frames it moved (all of them in the frame that made it).
        struct Frame {
            i32 moved; // unit index, -1 for none
        };
        const Frame frames[] = {{0}, {-1}, {7}, {14}, {-1}, {-1}, {7}};
        for (u32 f = 0; f < std::size(frames); ++f) {
            SCOPED_TRACE(f);
            const i32 moved = frames[f].moved;
            if (moved >= 0) {
                units[moved]->scene_graph().set_local_pose(0, translation_matrix(100, f32(f), 0));
                world.wake_unit(*units[moved], 1);
            }
            world.update(0.1f);
            apply();
            ASSERT_TRUE(world.validate());
            for (u32 i = 0; i < units.size(); ++i) {
                const Unit *u = units[i];
                auto *copy = static_cast<RenderSceneGraph *>(render_world.object(u->scene_graph().render_handle()));
                ASSERT_NE(copy, nullptr);
                ASSERT_EQ(copy->node_count(), 2u);
                EXPECT_TRUE(near(copy->world(0), u->scene_graph().world_pose(0))) << "unit " << i;
                EXPECT_TRUE(near(copy->world(1), u->scene_graph().world_pose(1))) << "unit " << i;
                const bool changed = f == 0 || i32(i) == moved;
                const NodeChangeMask &changes = copy->changes(render_world.state_frame());
                EXPECT_EQ(changes.any(), changed) << "unit " << i;
                EXPECT_EQ(changes.test(0) && changes.test(1), changed) << "unit " << i;
            }
        }
        auto *moved_copy = static_cast<RenderSceneGraph *>(render_world.object(units[7]->scene_graph().render_handle()));
        ASSERT_NE(moved_copy, nullptr);
        EXPECT_TRUE(near(moved_copy->world(1), translation_matrix(100, 7, 0))) << "the last move reached the render side";
        world.destroy_unit(*units[0]);
        world.update(0.1f);
        apply();
        // 29 scene graphs and the world's three line drawers.
        EXPECT_EQ(render_world.live_object_count(), 29u + 3u);
    }
    destroy_unit_resource(resource, allocator);
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

// A unit reflected again after the frame's update (World::update_unit) has records in two
// calls' streams. Each call's streams form a group, and the render side applies the later
// group after the earlier one, never beside it: the copy ends on the later pose in every
// frame, and no two jobs write one graph at once.
TEST(WorldRenderWorld, AUnitReflectedTwiceInAFrameEndsOnItsLastPose)
{
    TraceAllocator allocator("world_render_test", default_allocator());
    ThreadRegistry registry{default_allocator(), "main"};
    ThreadPool pool{default_allocator(), 3, registry};
    UnitResource *resource = nullptr;
    {
        RenderWorld render_world(allocator, &pool);
        WorldRenderLink link(allocator, render_world.acquire_state_buffer());
        WorldParams params;
        params.thread_pool = &pool;
        params.render_world = &render_world;
        params.render_link = &link;
        World world(allocator, params);
        UnitSource s;
        s.add_node("root", matrix4x4_identity, no_parent);
        std::vector<u8> bytes = write_unit_resource(s);
        resource = read_unit_resource(bytes.data(), bytes.size(), allocator);
        ASSERT_NE(resource, nullptr);
        std::vector<Unit *> units;
        for (u32 i = 0; i < 2000; ++i)
            units.push_back(world.spawn_unit_from_resource(*resource, nullptr, translation_matrix(f32(i), 0, 0)));
        for (u32 frame = 0; frame < 20; ++frame) {
            SCOPED_TRACE(frame);
            // Every unit moves, so the reflection job writes all of them across its batches.
            for (Unit *u : units) {
                u->scene_graph().set_local_pose(0, translation_matrix(0, f32(frame), 0));
                world.wake_unit(*u, 1);
            }
            world.update(0.1f);
            Unit &again = *units[frame * 97 % units.size()];
            again.scene_graph().set_local_pose(0, translation_matrix(-1, -1, f32(frame)));
            world.update_unit(again);
            RenderStateQueue *filled = link.swap_state(render_world.acquire_state_buffer());
            EXPECT_GE(filled->update_group_count(), 2u);
            render_world.update_state(*filled, nullptr);
            render_world.release_state_buffer(filled);
            auto *copy = static_cast<RenderSceneGraph *>(render_world.object(again.scene_graph().render_handle()));
            ASSERT_NE(copy, nullptr);
            EXPECT_TRUE(near(copy->world(0), translation_matrix(-1, -1, f32(frame))));
        }
    }
    destroy_unit_resource(resource, allocator);
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

} // namespace
} // namespace tallow::test
