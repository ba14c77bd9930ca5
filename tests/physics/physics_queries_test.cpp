// Raycasts and overlaps of a physics world over Bullet, answered at once and batched: every
// ray mode (with lengths up to the float maximum), every overlap shape, the type and filter
// rules, one handle per actor, records without an actor skipped, batched answers a later
// update with the world first, handles of destroyed actors resolving to nothing, and a
// world torn down with queries pending.
#include "physics_fixture.h"

#include "world/world_events.h"

#include <cfloat>
#include <cmath>

namespace tallow::test {
namespace {

class PhysicsQueries : public PhysicsWorldFixture {
  public:
    void SetUp() override
    {
        make(true);
        // A static floor at z = 0, a dynamic box on it at x = 3, a kinematic box at x = 6
        // and a static wall at x = 9 in group 2 only.
        floor = box(0, at(0, 0, -0.5f), {20, 20, 0.5f});
        dynamic = box(actor_dynamic, at(3, 0, 0.5f));
        kinematic = box(actor_dynamic | actor_kinematic, at(6, 0, 0.5f));
        wall = box(0, at(9, 0, 1), {0.5f, 5, 1}, nullptr, {2, 2});
        step(1);
    }

    static PhysicsRay ray(Vector3 origin, Vector3 direction, f32 length = FLT_MAX)
    {
        return {origin, normalize(direction), length};
    }
    bool same(PhysicsActorId id, PhysicsActor *a) { return world->resolve(id) == a; }

    PhysicsActor *floor = nullptr, *dynamic = nullptr, *kinematic = nullptr, *wall = nullptr;
};

TEST_F(PhysicsQueries, EveryRayModeAnswersAtOnce)
{
    struct Case {
        const char *name;
        Vector3 origin, direction;
        f32 length;
        QuerySettings settings;
        bool hit;
        PhysicsActor *PhysicsQueries::*actor; // the closest hit's actor
        f32 distance;
        u32 all_hits;
    };
    const QuerySettings all{}, statics{px::query_statics, {0, ~0ull}}, dynamics{px::query_dynamics, {0, ~0ull}},
        group1{px::query_all, {0, 1}};
    const Case cases[] = {
        {"along x at the float maximum", {-5, 0, 0.5f}, {1, 0, 0}, FLT_MAX, all, true, &PhysicsQueries::dynamic, 7.5f, 3},
        {"infinite length", {-5, 0, 0.5f}, {1, 0, 0}, INFINITY, all, true, &PhysicsQueries::dynamic, 7.5f, 3},
        {"too short", {-5, 0, 0.5f}, {1, 0, 0}, 7, all, false, nullptr, 0, 0},
        {"statics only", {-5, 0, 0.5f}, {1, 0, 0}, FLT_MAX, statics, true, &PhysicsQueries::wall, 13.5f, 1},
        {"dynamics only (kinematic counts)", {-5, 0, 0.5f}, {1, 0, 0}, FLT_MAX, dynamics, true, &PhysicsQueries::dynamic,
         7.5f, 2},
        {"filter leaves out group 2", {-5, 0, 0.5f}, {1, 0, 0}, FLT_MAX, group1, true, &PhysicsQueries::dynamic, 7.5f, 2},
        {"down from far above", {3, 0, 1e5f}, {0, 0, -1}, FLT_MAX, all, true, &PhysicsQueries::dynamic, 1e5f - 1, 2},
        {"up into nothing", {0, 0, 5}, {0, 0, 1}, FLT_MAX, all, false, nullptr, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RaycastResult any(default_allocator()), closest(default_allocator()), every(default_allocator());
        closest.position = {7, 7, 7}; // a miss leaves it as set
        ASSERT_TRUE(world->raycast_any(ray(c.origin, c.direction, c.length), c.settings, any));
        ASSERT_TRUE(world->raycast_closest(ray(c.origin, c.direction, c.length), c.settings, closest));
        ASSERT_TRUE(world->raycast_all(ray(c.origin, c.direction, c.length), c.settings, every));
        EXPECT_EQ(any.hit, c.hit);
        EXPECT_EQ(closest.hit, c.hit);
        EXPECT_EQ(every.hits.size(), c.all_hits);
        if (!c.hit) {
            EXPECT_EQ(closest.position, (Vector3{7, 7, 7}));
            continue;
        }
        EXPECT_TRUE(same(closest.actor, this->*c.actor));
        EXPECT_NEAR(closest.distance, c.distance, c.distance * 1e-5f + 0.03f);
        Vector3 expected = c.origin + normalize(c.direction) * closest.distance;
        EXPECT_NEAR(closest.position.x, expected.x, 0.03f);
        EXPECT_NEAR(length(closest.normal), 1.0f, 1e-3f);
        EXPECT_LT(dot(closest.normal, c.direction), 0.0f);
        for (const RaycastHit &h : every.hits)
            EXPECT_NE(world->resolve(h.actor), nullptr);
    }
}

TEST_F(PhysicsQueries, EveryOverlapShapeFindsWhatItTouches)
{
    struct Case {
        const char *name;
        OverlapShapeKind kind;
        Matrix4x4 pose;
        Vector3 extents;
        QuerySettings settings;
        std::vector<PhysicsActor *PhysicsQueries::*> found;
    };
    Matrix4x4 turned = matrix4x4_from_quaternion({0, 0, 0.38268f, 0.92388f}, {4.5f, 0, 0.5f}); // 45 degrees about z
    const QuerySettings all{}, statics{px::query_statics, {0, ~0ull}}, dynamics{px::query_dynamics, {0, ~0ull}};
    const Case cases[] = {
        {"sphere on the dynamic box", OverlapShapeKind::Sphere, at(3, 0, 1.5f), {0.6f, 0.1f, 0.1f}, all,
         {&PhysicsQueries::dynamic}},
        {"sphere just short of it", OverlapShapeKind::Sphere, at(3, 0, 1.6f), {0.5f, 0.5f, 0.5f}, all, {}},
        {"box over both boxes and the floor", OverlapShapeKind::Aabb, at(4.5f, 0, 0.5f), {2, 0.2f, 0.6f}, all,
         {&PhysicsQueries::floor, &PhysicsQueries::dynamic, &PhysicsQueries::kinematic}},
        {"statics only", OverlapShapeKind::Aabb, at(4.5f, 0, 0.5f), {2, 0.2f, 0.6f}, statics, {&PhysicsQueries::floor}},
        {"dynamics only", OverlapShapeKind::Aabb, at(4.5f, 0, 0.5f), {2, 0.2f, 0.6f}, dynamics,
         {&PhysicsQueries::dynamic, &PhysicsQueries::kinematic}},
        // Turned 45 degrees, the box's corner reaches 1.41 along x: it touches neither box.
        {"oriented box between them", OverlapShapeKind::Obb, turned, {0.5f, 0.5f, 0.2f}, dynamics, {}},
        {"oriented box long enough", OverlapShapeKind::Obb,
         matrix4x4_from_quaternion({0.38268f, 0, 0, 0.92388f}, {4.5f, 0, 0.5f}), {1.5f, 0.3f, 0.2f}, dynamics,
         {&PhysicsQueries::dynamic, &PhysicsQueries::kinematic}},
        // Capsule along the pose's y axis (here: turned onto x), radius 0.3, half length 1.7.
        {"capsule across both", OverlapShapeKind::Capsule,
         matrix4x4_from_quaternion({0, 0, 0.70711f, 0.70711f}, {4.5f, 0, 0.5f}), {0.3f, 2, 0.3f}, dynamics,
         {&PhysicsQueries::dynamic, &PhysicsQueries::kinematic}},
        // A y extent below the radius is a sphere (never a segment turned inside out).
        {"capsule shorter than its radius", OverlapShapeKind::Capsule, at(3, 0, 1.2f), {0.3f, 0.1f, 0.3f}, all,
         {&PhysicsQueries::dynamic}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OverlapResult r(default_allocator());
        ASSERT_TRUE(world->overlap({c.kind, c.pose, c.extents}, c.settings, r));
        ASSERT_EQ(r.actors.size(), c.found.size());
        for (PhysicsActor *PhysicsQueries::*expected : c.found) {
            bool listed = false;
            for (PhysicsActorId id : r.actors)
                listed = listed || same(id, this->*expected);
            EXPECT_TRUE(listed);
        }
    }
}

TEST_F(PhysicsQueries, AnActorWithTwoShapesIsFoundOnceAndDisabledShapesAreNotSeen)
{
    px::ShapeDesc shapes[2] = {box_shape({0.5f, 0.5f, 0.5f}), box_shape({0.5f, 0.5f, 0.5f})};
    shapes[0].local_pose = at(0, 0, 0);
    shapes[1].local_pose = at(1, 0, 0);
    PhysicsActor *pair = world->create_actor_from(actor_template(0), shapes, 2, at(0, 5, 3), nullptr);
    ASSERT_NE(pair, nullptr);
    OverlapResult r(default_allocator());
    ASSERT_TRUE(world->overlap({OverlapShapeKind::Aabb, at(0.5f, 5, 3), {1, 0.2f, 0.2f}}, {}, r));
    ASSERT_EQ(r.actors.size(), 1u);
    EXPECT_TRUE(same(r.actors[0], pair));

    PhysicsActor *hidden = box(0, at(0, -5, 3), {0.5f, 0.5f, 0.5f}, nullptr, {1, 1}, px::shape_disable_raycasting);
    RaycastResult hit(default_allocator());
    ASSERT_TRUE(world->raycast_closest(ray({0, -5, 10}, {0, 0, -1}), {}, hit));
    EXPECT_TRUE(same(hit.actor, floor)) << "rays pass a shape switched off for them";
    OverlapResult seen(default_allocator());
    ASSERT_TRUE(world->overlap({OverlapShapeKind::Sphere, at(0, -5, 3), {0.2f, 0.2f, 0.2f}}, {}, seen));
    ASSERT_EQ(seen.actors.size(), 1u) << "overlaps still see it";
    EXPECT_TRUE(same(seen.actors[0], hidden));
}

// Shapes of one actor keep their own filters and query flags: a static actor of a "wall"
// shape in group 1 and a "gate" shape in group 2 holds a group-1 box dropped on the wall
// and lets one dropped on the gate fall through to the floor; a ray sees the gate only
// when the query's filter takes group 2, and a shape switched off for rays is passed by
// rays while its neighbour in the same actor is hit.
TEST_F(PhysicsQueries, ShapesOfOneActorKeepTheirOwnFiltersAndQueryFlags)
{
    px::ShapeDesc shapes[2] = {box_shape({1, 1, 0.5f}, {1, 1}), box_shape({1, 1, 0.5f}, {2, 2})};
    shapes[0].local_pose = at(-1, 0, 0);
    shapes[1].local_pose = at(1, 0, 0);
    PhysicsActor *ledge = world->create_actor_from(actor_template(0), shapes, 2, at(0, 10, 3), nullptr);
    ASSERT_NE(ledge, nullptr);
    PhysicsActor *on_wall = box(actor_dynamic, at(-1, 10, 5));
    PhysicsActor *on_gate = box(actor_dynamic, at(1, 10, 5));
    step(120);
    EXPECT_NEAR(translation(world->scene()->global_pose(on_wall->actor)).z, 4, 0.02f) << "held by the wall";
    EXPECT_NEAR(translation(world->scene()->global_pose(on_gate->actor)).z, 0.5f, 0.02f) << "through the gate";
    world->destroy_actor(on_wall);
    world->destroy_actor(on_gate);

    RaycastResult hit(default_allocator());
    ASSERT_TRUE(world->raycast_closest(ray({1, 10, 10}, {0, 0, -1}), {px::query_all, {1, 1}}, hit));
    EXPECT_TRUE(same(hit.actor, floor)) << "a group-1 ray passes the gate";
    ASSERT_TRUE(world->raycast_closest(ray({1, 10, 10}, {0, 0, -1}), {px::query_all, {2, 2}}, hit));
    EXPECT_TRUE(same(hit.actor, ledge));
    EXPECT_NEAR(hit.position.z, 3.5f, 0.01f);

    px::ShapeDesc flagged[2] = {box_shape({1, 1, 0.5f}), box_shape({1, 1, 0.5f}, {1, 1}, px::shape_disable_raycasting)};
    flagged[0].local_pose = at(-1, 0, 0);
    flagged[1].local_pose = at(1, 0, 0);
    PhysicsActor *half = world->create_actor_from(actor_template(0), flagged, 2, at(0, -10, 3), nullptr);
    ASSERT_TRUE(world->raycast_closest(ray({1, -10, 10}, {0, 0, -1}), {}, hit));
    EXPECT_TRUE(same(hit.actor, floor)) << "rays pass the shape switched off for them";
    ASSERT_TRUE(world->raycast_closest(ray({-1, -10, 10}, {0, 0, -1}), {}, hit));
    EXPECT_TRUE(same(hit.actor, half)) << "and hit its neighbour";
    OverlapResult seen(default_allocator());
    ASSERT_TRUE(world->overlap({OverlapShapeKind::Sphere, at(1, -10, 3), {0.2f, 0.2f, 0.2f}}, {}, seen));
    ASSERT_EQ(seen.actors.size(), 1u) << "overlaps still see it";
}

// A trigger shape inside a solid actor: the solid shape holds what lands on it, the trigger
// shape lets a box fall through it and reports it entering.
TEST_F(PhysicsQueries, ATriggerShapeInsideASolidActorReportsAndHoldsNothing)
{
    px::ShapeDesc shapes[2] = {box_shape({1, 1, 0.5f}),
                               box_shape({1, 1, 1}, {1, 1}, px::shape_trigger, px::trigger_on_enter)};
    shapes[1].local_pose = at(4, 0, 0.5f);
    const u32 targets[5] = {physics_no_index, physics_no_index, 0, physics_no_index, physics_no_index};
    PhysicsActor *pad = world->create_actor_from(actor_template(0), shapes, 2, at(0, 10, 0.5f), targets);
    ASSERT_NE(pad, nullptr);
    PhysicsActor *held = box(actor_dynamic, at(0, 10, 3));
    PhysicsActor *falling = box(actor_dynamic, at(4, 10, 4));
    take_events(*world);
    std::vector<EventRecord> entered;
    for (int i = 0; i < 120; ++i) {
        step(1);
        for (const EventRecord &e : take_events(*world))
            if (e.id == physics_trigger_event)
                entered.push_back(e);
    }
    EXPECT_NEAR(translation(world->scene()->global_pose(held->actor)).z, 1.5f, 0.02f) << "held by the solid shape";
    EXPECT_NEAR(translation(world->scene()->global_pose(falling->actor)).z, 0.5f, 0.02f) << "through the trigger";
    ASSERT_EQ(entered.size(), 1u);
    TriggerPayload p = entered[0].as<TriggerPayload>();
    EXPECT_TRUE(same(p.trigger, pad));
    EXPECT_TRUE(same(p.other, falling));
    EXPECT_EQ(p.kind, 0u);
}

// A mover's capsule is a body rays meet, where the mover stands after each move: a hit that
// names no actor (the mover has no actor record). Overlaps name actors only, so they leave it
// out; a ray that sees statics alone passes it.
TEST_F(PhysicsQueries, AMoversCapsuleIsARayHitOfNoActorAndNoOverlap)
{
    MoverTemplate t; // height 2, radius 0.5: the capsule's top 2 m above the feet
    PhysicsMover *m = world->create_mover_from(t, {0, 5, 0}, 0);
    ASSERT_NE(m, nullptr);
    struct Case {
        const char *name;
        Vector3 origin;
        QuerySettings settings;
        bool mover;   // the hit is the mover's capsule (else the floor)
        f32 hit_z;
    };
    const Case cases[] = {
        {"down on the mover", {0, 5, 10}, {}, true, 2},
        {"statics only", {0, 5, 10}, {px::query_statics, {0, ~0ull}}, false, 0},
        {"beside it", {0.6f, 5, 10}, {}, false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RaycastResult down(default_allocator());
        ASSERT_TRUE(world->raycast_closest(ray(c.origin, {0, 0, -1}), c.settings, down));
        EXPECT_TRUE(down.hit);
        EXPECT_NEAR(down.position.z, c.hit_z, 0.01f);
        EXPECT_NEAR(down.distance, 10 - c.hit_z, 0.01f);
        EXPECT_NEAR(down.normal.z, 1, 1e-3f);
        if (c.mover)
            EXPECT_EQ(world->resolve(down.actor), nullptr);
        else
            EXPECT_TRUE(same(down.actor, floor));
    }
    // All hits: the capsule (no actor) and the floor under it.
    RaycastResult all(default_allocator());
    ASSERT_TRUE(world->raycast_all(ray({0, 5, 10}, {0, 0, -1}), {}, all));
    ASSERT_EQ(all.hits.size(), 2u);
    u32 nameless = 0;
    for (const RaycastHit &h : all.hits)
        nameless += world->resolve(h.actor) == nullptr ? 1 : 0;
    EXPECT_EQ(nameless, 1u);
    OverlapResult around(default_allocator());
    ASSERT_TRUE(world->overlap({OverlapShapeKind::Sphere, at(0, 5, 1), {1, 1, 1}}, {}, around));
    ASSERT_EQ(around.actors.size(), 1u);
    EXPECT_TRUE(same(around.actors[0], floor));
    // Moved 2 m along x (no step between): the ray where it stood meets the floor.
    world->move_mover(m, {2, 0, 0});
    RaycastResult after(default_allocator());
    ASSERT_TRUE(world->raycast_closest(ray({0, 5, 10}, {0, 0, -1}), {}, after));
    EXPECT_TRUE(same(after.actor, floor));
    Vector3 feet = world->mover_position(m);
    ASSERT_TRUE(world->raycast_closest(ray({feet.x, 5, 10}, {0, 0, -1}), {}, after));
    EXPECT_NEAR(feet.x, 2, 0.01f);
    EXPECT_NEAR(after.position.z, feet.z + 2, 0.01f);
    EXPECT_EQ(world->resolve(after.actor), nullptr);
}

// Each world answers from its own scene and its own buffer: overlaps of two worlds, one
// after the other and interleaved with batched ones, never see the other's actors.
TEST_F(PhysicsQueries, TwoWorldsKeepTheirOwnAnswers)
{
    PhysicsWorld *second = sdk->create_world(nullptr);
    ASSERT_NE(second, nullptr);
    px::ShapeDesc s = box_shape({0.5f, 0.5f, 0.5f});
    PhysicsActor *there = second->create_actor_from(actor_template(0), &s, 1, at(3, 0, 0.5f), nullptr);
    for (int i = 0; i < 2; ++i) {
        OverlapResult here(default_allocator()), away(default_allocator());
        ASSERT_TRUE(world->overlap({OverlapShapeKind::Sphere, at(3, 0, 0.5f), {0.2f, 0, 0}}, {}, here));
        ASSERT_TRUE(second->overlap({OverlapShapeKind::Sphere, at(3, 0, 0.5f), {0.2f, 0, 0}}, {}, away));
        ASSERT_EQ(here.actors.size(), 1u);
        ASSERT_EQ(away.actors.size(), 1u);
        EXPECT_TRUE(same(here.actors[0], dynamic));
        EXPECT_EQ(second->resolve(away.actors[0]), there);
    }
    sdk->destroy_world(second);
}

struct Answers {
    std::vector<std::pair<PhysicsWorld *, bool>> raycasts;
    std::vector<std::vector<PhysicsActorId>> overlaps;
    std::vector<PhysicsActorId> actors;
};

void on_raycast(PhysicsWorld &world, const RaycastResult &r)
{
    auto *a = static_cast<Answers *>(r.user);
    a->raycasts.push_back({&world, r.hit});
    a->actors.push_back(r.actor);
}

void on_overlap(PhysicsWorld &, const OverlapResult &r)
{
    auto *a = static_cast<Answers *>(r.user);
    a->overlaps.emplace_back(r.actors.begin(), r.actors.end());
}

TEST_F(PhysicsQueries, BatchedQueriesAnswerInALaterUpdateWithTheWorld)
{
    Answers answers;
    RaycastResult ask(default_allocator());
    ask.user = &answers;
    ask.callback = on_raycast;
    ASSERT_TRUE(world->raycast_closest(ray({3, 0, 10}, {0, 0, -1}), {}, ask));
    OverlapResult around(default_allocator());
    around.user = &answers;
    around.callback = on_overlap;
    ASSERT_TRUE(world->overlap({OverlapShapeKind::Sphere, at(3, 0, 0.5f), {0.7f, 0, 0}}, {}, around));
    EXPECT_FALSE(ask.hit) << "never answered inside the call that asked";
    EXPECT_EQ(world->pending_queries(), 2u);
    step(1);
    EXPECT_TRUE(answers.raycasts.empty());
    // The actor hit is destroyed before the answer: its handle resolves to nothing.
    world->destroy_actor(dynamic);
    step(1);
    ASSERT_EQ(answers.raycasts.size(), 1u);
    EXPECT_EQ(answers.raycasts[0].first, world);
    EXPECT_TRUE(answers.raycasts[0].second);
    EXPECT_EQ(world->resolve(answers.actors[0]), nullptr);
    ASSERT_EQ(answers.overlaps.size(), 1u);
    EXPECT_EQ(answers.overlaps[0].size(), 2u); // the box (gone now) and the floor
    EXPECT_EQ(world->pending_queries(), 0u);

    // A cancelled query is freed unanswered.
    ASSERT_TRUE(world->raycast_closest(ray({0, 0, 10}, {0, 0, -1}), {}, ask));
    PhysicsWorld::cancel_queries(&answers);
    step(3);
    EXPECT_EQ(answers.raycasts.size(), 1u);
    EXPECT_EQ(world->pending_queries(), 0u);
}

// Run under AddressSanitizer: the records of both lists are freed with the world, and no
// callback runs.
TEST_F(PhysicsQueries, WorldTornDownWithQueriesPendingAnswersNothing)
{
    Answers answers;
    RaycastResult ask(default_allocator());
    ask.user = &answers;
    ask.callback = on_raycast;
    OverlapResult around(default_allocator());
    around.user = &answers;
    around.callback = on_overlap;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(world->raycast_all(ray({-5, 0, 0.5f}, {1, 0, 0}), {}, ask));
    step(1); // these are now run and wait for their answer
    ASSERT_TRUE(world->overlap({OverlapShapeKind::Sphere, at(3, 0, 0.5f), {1, 1, 1}}, {}, around));
    EXPECT_EQ(world->pending_queries(), 4u);
    sdk->destroy_world(world);
    world = nullptr;
    EXPECT_TRUE(answers.raycasts.empty());
    EXPECT_TRUE(answers.overlaps.empty());
    PhysicsWorld::cancel_queries(&answers); // no world: nothing to do, nothing touched
}

} // namespace
} // namespace tallow::test
