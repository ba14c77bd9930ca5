// The physics world over Bullet: poses written to nodes, kinematic actors driven by nodes,
// contact, trigger, wake and sleep records naming the right actors, worlds that go with
// actors alive, and a recorded step sequence giving the same state twice.
#include "physics_fixture.h"

#include "foundation/memory/trace_allocator.h"
#include "foundation/strings/murmur_hash.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"

#include <cmath>

namespace tallow::test {
namespace {

class PhysicsWorldBullet : public PhysicsWorldFixture {
  protected:
    void SetUp() override { make(true); }
    PhysicsActor *floor(CollisionFilter filter = {1, 1}) { return box(0, at(0, 0, -0.5f), {50, 50, 0.5f}, nullptr, filter); }
    f32 z(const PhysicsActor *a) { return translation(world->scene()->global_pose(a->actor)).z; }
};

TEST_F(PhysicsWorldBullet, BoxFallsAlongMinusZAndItsNodeFollows)
{
    floor();
    PhysicsActor *b = box(actor_dynamic, at(2, 0, 6));
    // Node 1 under node 0, which sits at x = 2: the local pose keeps that out.
    ASSERT_TRUE(graph->set_parent(1, 0));
    graph->set_local_pose(0, at(2, 0, 0));
    graph->set_world_pose(0, at(2, 0, 0));
    attach(b, 1);
    step(1);
    f32 first = translation(graph->world_pose(1)).z;
    EXPECT_LT(first, 6.0f);
    EXPECT_NEAR(translation(graph->local_pose(1)).x, 0.0f, 1e-4f);
    EXPECT_NEAR(translation(graph->local_pose(1)).z, first, 1e-4f);
    EXPECT_TRUE(graph->change_mask().test(1));
    step(300);
    EXPECT_NEAR(translation(graph->world_pose(1)).z, 0.5f, 0.05f);
    EXPECT_NEAR(translation(graph->world_pose(1)).x, 2.0f, 1e-3f);
    EXPECT_TRUE(world->awake_actors().empty()); // asleep, off the list
}

TEST_F(PhysicsWorldBullet, FilterTableHoldsInSimulation)
{
    struct Case {
        const char *name;
        CollisionFilter a, b;
        bool collide;
    };
    const Case cases[] = {
        {"{1,2} and {2,1}", {1, 2}, {2, 1}, true},
        {"{1,1} and {1,1}", {1, 1}, {1, 1}, true},
        {"{1,2} and {1,2}", {1, 2}, {1, 2}, false},
        {"zero filter", {0, 0}, {~0ull, ~0ull}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PhysicsActor *f = floor(c.b);
        PhysicsActor *b = box(actor_dynamic, at(0, 0, 2), {0.5f, 0.5f, 0.5f}, nullptr, c.a);
        step(120);
        EXPECT_EQ(z(b) > 0.4f, c.collide);
        world->destroy_actor(b);
        world->destroy_actor(f);
    }
}

TEST_F(PhysicsWorldBullet, KinematicActorFollowsItsNodeAndTeleportsOnce)
{
    floor();
    PhysicsActor *k = box(actor_dynamic | actor_kinematic, at(0, 0, 3));
    attach(k, 1);
    for (int i = 1; i <= 5; ++i) {
        graph->set_world_pose(1, at(0.2f * i, 0, 3));
        step(1);
        EXPECT_NEAR(translation(world->scene()->global_pose(k->actor)).x, 0.2f * i, 1e-4f);
    }
    graph->set_world_pose(1, at(30, 0, 3));
    k->teleport = 1;
    step(1);
    EXPECT_NEAR(translation(world->scene()->global_pose(k->actor)).x, 30.0f, 1e-4f);
    EXPECT_EQ(k->teleport, 0);
    // Made dynamic, it falls from there: the jump left no velocity behind.
    world->clear_kinematic(k);
    step(60);
    EXPECT_NEAR(translation(world->scene()->global_pose(k->actor)).x, 30.0f, 0.01f);
    EXPECT_NEAR(z(k), 0.5f, 0.1f);
}

TEST_F(PhysicsWorldBullet, ContactTriggerWakeAndSleepArriveAsRecords)
{
    u32 touch[5] = {1, 2, physics_no_index, physics_no_index, physics_no_index};
    u32 volume[5] = {physics_no_index, physics_no_index, 3, 4, physics_no_index};
    PhysicsActor *f = floor();
    PhysicsActor *t = box(0, at(10, 0, 3), {1, 1, 1}, volume, {1, 1}, px::shape_trigger,
                          px::trigger_on_enter | px::trigger_on_leave);
    PhysicsActor *b = box(actor_dynamic, at(0, 0, 1.5f), {0.5f, 0.5f, 0.5f}, touch);
    PhysicsActor *ball = box(actor_dynamic, at(10, 0, 6), {0.2f, 0.2f, 0.2f});
    PhysicsActorId idf = world->id_of(f), idt = world->id_of(t), idb = world->id_of(b), idball = world->id_of(ball);
    std::vector<EventRecord> events;
    std::vector<PhysicsActorId> woke_first; // in the first step
    for (int i = 0; i < 300; ++i) {
        step(1);
        for (EventRecord &e : take_events(*world)) {
            if (i == 0 && e.id == physics_actor_woke_event)
                woke_first.push_back(e.as<PhysicsActorId>());
            events.push_back(e);
        }
    }
    auto same = [](PhysicsActorId x, PhysicsActorId y) { return x.index == y.index && x.serial == y.serial; };
    // The two dynamic actors were made awake: their first step reports it, so the World
    // takes their units among its awake ones.
    ASSERT_EQ(woke_first.size(), 2u);
    EXPECT_TRUE((same(woke_first[0], idb) && same(woke_first[1], idball)) ||
                (same(woke_first[0], idball) && same(woke_first[1], idb)));
    u32 starts = 0, enters = 0, leaves = 0;
    for (const EventRecord &e : events) {
        if (e.id == physics_contact_event) {
            ContactPayload p = e.as<ContactPayload>();
            if ((same(p.a, idb) && same(p.b, idf)) || (same(p.a, idf) && same(p.b, idb))) {
                starts += p.kind == 0;
                EXPECT_NEAR(p.position.z, 0.0f, 0.05f); // where the box meets the floor
            }
        } else if (e.id == physics_trigger_event) {
            TriggerPayload p = e.as<TriggerPayload>();
            EXPECT_TRUE(same(p.trigger, idt));
            EXPECT_TRUE(same(p.other, idball));
            enters += p.kind == 0;
            leaves += p.kind == 1;
        }
    }
    EXPECT_EQ(starts, 1u);
    EXPECT_EQ(enters, 1u);
    EXPECT_EQ(leaves, 1u);
    // Both boxes rest on the floor and sleep; a push wakes one with a record naming it.
    ASSERT_TRUE(world->awake_actors().empty());
    world->scene()->set_linear_velocity(b->actor, {0, 0, 4});
    step(1);
    std::vector<EventRecord> after = take_events(*world);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after[0].id, physics_actor_woke_event);
    EXPECT_TRUE(same(after[0].as<PhysicsActorId>(), idb));
    EXPECT_EQ(world->awake_actors().size(), 1u);
    // The touch ends in the step that lifts it off (or soon after), once.
    bool ended = false;
    for (const EventRecord &e : after)
        ended = ended || (e.id == physics_contact_event && e.as<ContactPayload>().kind == 1);
    for (int i = 0; i < 10 && !ended; ++i) {
        step(1);
        for (const EventRecord &e : take_events(*world))
            ended = ended || (e.id == physics_contact_event && e.as<ContactPayload>().kind == 1);
    }
    EXPECT_TRUE(ended);
}

TEST(PhysicsWorldLifetime, WorldsDestroyedWithActorsAliveLeaveNothingBehind)
{
    TraceAllocator trace("physics_test", default_allocator());
    {
        PhysicsSdk sdk(trace, nullptr, px::create_bullet_sdk);
        for (int round = 0; round < 3; ++round) {
            PhysicsWorld *w = sdk.create_world(nullptr);
            ASSERT_TRUE(w);
            for (int i = 0; i < 1100; ++i) { // past one block of records
                px::ShapeDesc s = box_shape({0.3f, 0.3f, 0.3f});
                PhysicsActor *a = w->create_actor_from(actor_template(i % 3 ? u32(actor_dynamic) : 0u), &s, 1,
                                                       at(f32(i % 30), f32(i / 30), 1), nullptr);
                ASSERT_TRUE(a);
                if (i % 7 == 0)
                    w->destroy_actor(a);
            }
            w->update(1.0f / 60);
            sdk.destroy_world(w);
        }
    }
    EXPECT_EQ(trace.allocation_count(), 0u);
    EXPECT_EQ(trace.bytes_in_use(), 0u);
}

// Boxes falling onto a ground and each other (islands of several sizes), a body held by a
// joint that later turns kinematic (the joint then moves nothing), one destroyed on the way.
u64 run_recorded_steps(ThreadPool *pool)
{
    PhysicsSdk sdk(default_allocator(), pool, px::create_bullet_sdk);
    PhysicsWorld *w = sdk.create_world(nullptr);
    px::ShapeDesc ground = box_shape({30, 30, 0.5f});
    w->create_actor_from(actor_template(0), &ground, 1, at(0, 0, -0.5f), nullptr);
    u32 touch[5] = {1, 2, physics_no_index, physics_no_index, physics_no_index};
    std::vector<PhysicsActor *> actors;
    for (int i = 0; i < 40; ++i) {
        px::ShapeDesc s = box_shape({0.3f, 0.4f, 0.25f});
        actors.push_back(w->create_actor_from(actor_template(actor_dynamic), &s, 1,
                                              at(0.1f * (i % 4), 0.15f * (i % 5), 1.0f + 0.7f * i), touch));
    }
    px::JointDesc held;
    held.type = px::JointType::Spherical;
    held.actors[0] = actors[7]->actor;
    held.anchors[1] = {0.1f * 3, 0.15f * 2, 1.0f + 0.7f * 7 + 0.5f};
    held.anchors[0] = {0, 0, 0.5f};
    EXPECT_NE(w->scene()->create_joint(held), nullptr);
    u64 hash = 0;
    for (int frame = 0; frame < 240; ++frame) {
        if (frame == 60)
            w->destroy_actor(actors[5]);
        if (frame == 90)
            w->set_kinematic(actors[7], true);
        hash = step_and_hash_events(*w, frame % 2 ? 1.0f / 60 : 1.0f / 30, hash);
    }
    hash = hash_actor_poses(*w, actors, hash);
    sdk.destroy_world(w);
    return hash;
}

TEST(PhysicsWorldDeterminism, SameRecordedStepsGiveTheSameStateOnAnyNumberOfWorkers)
{
    expect_one_state_on_any_number_of_workers(run_recorded_steps);
}

} // namespace
} // namespace tallow::test
