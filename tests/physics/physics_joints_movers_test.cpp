// Joints and movers of a physics world over Bullet (and, for the rules, the recording
// backend): each joint kind holds what it locks and its limits, a breakable joint breaks
// once and is released once, a mover walks on a floor, climbs a step, is stopped by a wall,
// and counts its standing and flying frames; forces move only dynamic actors.
#include "physics_fixture.h"

#include "tests/support/log_capture.h"

#include <cfloat>
#include <cmath>
#include <functional>

namespace tallow::test {
namespace {

class PhysicsJointsMovers : public PhysicsWorldFixture {
  protected:
    void SetUp() override { make(true); }
    Vector3 position(const PhysicsActor *a) { return translation(world->scene()->global_pose(a->actor)); }
    Matrix4x4 pose(const PhysicsActor *a) { return world->scene()->global_pose(a->actor); }
};

/// A hanging box 1 m below a world anchor at (0, 0, 5), joined at the box's top.
JointTemplate hanging(JointKind kind)
{
    JointTemplate t = default_joint_template(kind);
    t.set_vector(19, {0, 0, 5});    // the world side's anchor, in the world
    t.set_vector(22, {0, 0, 0.5f}); // the box's top, in the box
    return t;
}

TEST_F(PhysicsJointsMovers, EachJointKindHoldsItsLimit)
{
    struct Case {
        const char *name;
        JointKind kind;
        std::function<void(JointTemplate &)> setup;
        Vector3 push;      // velocity given to the box at the start
        Vector3 spin;      // angular velocity given at the start
        // Checked after every step: the box's position and pose.
        std::function<void(const Matrix4x4 &)> check;
    };
    auto anchor_at = [](const Matrix4x4 &m) { return transform_point(m, {0, 0, 0.5f}); };
    const Case cases[] = {
        {"fixed: stays where it was joined", JointKind::Fixed, [](JointTemplate &) {}, {2, 0, 0}, {0, 0, 3},
         [&](const Matrix4x4 &m) {
             EXPECT_NEAR(translation(m).x, 0, 0.05f);
             EXPECT_NEAR(translation(m).z, 4.5f, 0.05f);
             EXPECT_NEAR(axis(m, 0).x, 1, 0.02f);
         }},
        {"spherical: the anchors stay together; the swing stays in its cone", JointKind::Spherical,
         [](JointTemplate &t) {
             // The twist axis is the joint's axis: straight down on both sides.
             t.set_vector(10, {0, 0, -1});
             t.set_vector(13, {0, 0, -1});
             t.set_number(37, 0.5f); // swing limit
         },
         {3, 0, 0}, {}, [&](const Matrix4x4 &m) {
             Vector3 a = anchor_at(m);
             EXPECT_NEAR(length(a - Vector3{0, 0, 5}), 0, 0.05f);
             f32 swing = std::acos(std::fmin(1.0f, std::fabs(axis(m, 2).z)));
             EXPECT_LT(swing, 0.5f + 0.08f);
         }},
        {"revolute: turns about its axis within the limit", JointKind::Revolute,
         [](JointTemplate &t) {
             t.set_vector(10, {0, 1, 0});
             t.set_vector(13, {0, 1, 0});
             t.set_vector(4, {0, 0, -1});
             t.set_vector(7, {0, 0, -1});
             t.set_number(32, -0.3f);
             t.set_number(33, 0.3f);
         },
         {4, 0, 0}, {}, [&](const Matrix4x4 &m) {
             EXPECT_NEAR(length(anchor_at(m) - Vector3{0, 0, 5}), 0, 0.05f);
             EXPECT_NEAR(translation(m).y, 0, 0.02f);
             f32 angle = std::atan2(axis(m, 2).x, axis(m, 2).z); // of the box's z about y
             EXPECT_LT(std::fabs(angle), 0.3f + 0.08f);
         }},
        {"prismatic: slides along its axis only", JointKind::Prismatic,
         [](JointTemplate &t) {
             t.set_vector(10, {1, 0, 0});
             t.set_vector(13, {1, 0, 0});
         },
         {2, 1, 0}, {0, 0, 2}, [&](const Matrix4x4 &m) {
             EXPECT_NEAR(translation(m).y, 0, 0.03f);
             EXPECT_NEAR(translation(m).z, 4.5f, 0.03f);
             EXPECT_NEAR(axis(m, 0).x, 1, 0.02f);
         }},
        {"cylindrical: slides and turns about its axis only", JointKind::Cylindrical,
         [](JointTemplate &t) {
             t.set_vector(10, {1, 0, 0});
             t.set_vector(13, {1, 0, 0});
         },
         {2, 1, 0}, {3, 0, 0}, [&](const Matrix4x4 &m) {
             EXPECT_NEAR(anchor_at(m).y, 0, 0.03f);
             EXPECT_NEAR(anchor_at(m).z, 5, 0.03f);
             EXPECT_NEAR(axis(m, 0).x, 1, 0.02f);
         }},
        {"distance: the anchors stay within [0.5, 1.5]", JointKind::Distance,
         [](JointTemplate &t) {
             t.set_vector(22, {0, 0, 0});
             t.set_number(32, 0.5f);
             t.set_number(33, 1.5f);
         },
         {0, 0, 6}, {}, [&](const Matrix4x4 &m) {
             f32 d = length(translation(m) - Vector3{0, 0, 5});
             EXPECT_LT(d, 1.5f + 0.06f);
             EXPECT_GT(d, 0.5f - 0.06f);
         }},
        {"point in plane: the anchor stays in the plane", JointKind::PointInPlane,
         [](JointTemplate &t) {
             t.set_vector(10, {0, 0, 1});
             t.set_vector(13, {0, 0, 1});
         },
         {2, 1, 0}, {}, [&](const Matrix4x4 &m) { EXPECT_NEAR(anchor_at(m).z, 5, 0.05f); }},
        {"point on line: the anchor stays on the line", JointKind::PointOnLine,
         [](JointTemplate &t) {
             t.set_vector(10, {1, 0, 0});
             t.set_vector(13, {1, 0, 0});
         },
         {2, 1, 0}, {}, [&](const Matrix4x4 &m) {
             EXPECT_NEAR(anchor_at(m).z, 5, 0.05f);
             EXPECT_NEAR(anchor_at(m).y, 0, 0.05f);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PhysicsActor *b = box(actor_dynamic, at(0, 0, 4.5f));
        JointTemplate t = hanging(c.kind);
        c.setup(t);
        PhysicsJoint *j = world->create_joint_from(t, nullptr, b);
        ASSERT_NE(j, nullptr);
        world->scene()->set_linear_velocity(b->actor, c.push);
        world->scene()->set_angular_velocity(b->actor, c.spin);
        f32 travelled = 0;
        Vector3 start = position(b);
        for (int i = 0; i < 120 && !HasFailure(); ++i) {
            step(1);
            c.check(pose(b));
            travelled = std::fmax(travelled, length(position(b) - start));
        }
        if (c.kind != JointKind::Fixed) {
            EXPECT_GT(travelled, 0.05f) << "the free directions move";
        }
        world->destroy_joint(j);
        world->destroy_actor(b);
        if (HasFailure())
            break;
    }
    EXPECT_EQ(world->joint_count(), 0u);
}

// The limit is the second actor's turn about the axis: asymmetric limits keep their sides.
TEST_F(PhysicsJointsMovers, RevoluteLimitsKeepTheirSides)
{
    for (f32 push : {4.0f, -4.0f}) {
        SCOPED_TRACE(push);
        PhysicsActor *b = box(actor_dynamic | actor_disable_gravity, at(0, 0, 4.5f));
        JointTemplate t = hanging(JointKind::Revolute);
        t.set_vector(10, {0, 0, 1});
        t.set_vector(13, {0, 0, 1});
        t.set_vector(22, {0.5f, 0, 0}); // the box turns about a z line through its +x side
        t.set_vector(19, {0.5f, 0, 4.5f});
        t.set_number(32, -0.1f);
        t.set_number(33, 0.6f);
        PhysicsJoint *j = world->create_joint_from(t, nullptr, b);
        world->scene()->set_angular_velocity(b->actor, {0, 0, push});
        f32 low = 0, high = 0;
        for (int i = 0; i < 90; ++i) {
            step(1);
            f32 angle = std::atan2(axis(pose(b), 0).y, axis(pose(b), 0).x);
            low = std::fmin(low, angle);
            high = std::fmax(high, angle);
        }
        if (push > 0)
            EXPECT_NEAR(high, 0.6f, 0.08f);
        else
            EXPECT_NEAR(low, -0.1f, 0.05f);
        EXPECT_GT(low, -0.15f);
        EXPECT_LT(high, 0.68f);
        world->destroy_joint(j);
        world->destroy_actor(b);
    }
}

// A spherical joint's swing limit is a cone: pushed along a diagonal the box swings no
// further than the half angle (a square of the same half angle would let it reach about
// 1.4 times that). Its whole-joint spring lets the anchors part: hanging still, they are
// m g / k apart.
TEST_F(PhysicsJointsMovers, SphericalSwingConeAndJointSpring)
{
    PhysicsActor *b = box(actor_dynamic, at(0, 0, 4.5f));
    JointTemplate t = hanging(JointKind::Spherical);
    t.set_vector(10, {0, 0, -1});
    t.set_vector(13, {0, 0, -1});
    t.set_number(37, 0.5f); // swing limit
    ASSERT_NE(world->create_joint_from(t, nullptr, b), nullptr);
    world->scene()->set_linear_velocity(b->actor, {3, 3, 0});
    f32 widest = 0;
    for (int i = 0; i < 120; ++i) {
        step(1);
        widest = std::fmax(widest, std::acos(std::fmin(1.0f, axis(pose(b), 2).z)));
    }
    EXPECT_GT(widest, 0.45f);
    EXPECT_LT(widest, 0.5f + 0.05f);

    // 1 kg on a spring of 200 N/m, well damped: 9.82 / 200 = 0.049 m apart, within 10%.
    PhysicsActor *c = box(actor_dynamic, at(5, 0, 4.5f));
    JointTemplate sprung = hanging(JointKind::Spherical);
    sprung.set_vector(19, {5, 0, 5});
    sprung.set_vector(44, {200, 40, 0}); // joint spring: spring, damper, target
    ASSERT_NE(world->create_joint_from(sprung, nullptr, c), nullptr);
    step(180);
    f32 apart = length(transform_point(pose(c), {0, 0, 0.5f}) - Vector3{5, 0, 5});
    EXPECT_NEAR(apart, 9.82f / 200, 0.1f * 9.82f / 200);
}

TEST_F(PhysicsJointsMovers, RevoluteMotorTurnsTheBody)
{
    PhysicsActor *wheel = box(actor_dynamic | actor_disable_gravity, at(0, 0, 5));
    JointTemplate t = default_joint_template(JointKind::Revolute);
    t.words[30] = joint_flag_global_anchor | joint_flag_global_axis;
    t.set_vector(25, {0, 0, 5});
    t.set_vector(16, {0, 0, 1});
    t.set_number(34, 2.0f);   // velocity target
    t.set_number(35, 100.0f); // maximum force
    ASSERT_NE(world->create_joint_from(t, nullptr, wheel), nullptr);
    step(60);
    EXPECT_NEAR(world->scene()->angular_velocity(wheel->actor).z, 2.0f, 0.2f);
    EXPECT_NEAR(length(position(wheel) - Vector3{0, 0, 5}), 0, 0.02f);
}

TEST_F(PhysicsJointsMovers, BreakableJointBreaksOnceAndIsReleasedOnce)
{
    LogCapture log("physics");
    PhysicsActor *b = box(actor_dynamic, at(0, 0, 4.5f));
    JointTemplate t = hanging(JointKind::Fixed);
    t.set_number(28, 5.0f); // the box weighs 9.82 N
    PhysicsJoint *j = world->create_joint_from(t, nullptr, b);
    ASSERT_NE(j, nullptr);
    step(60);
    EXPECT_TRUE(j->broken);
    EXPECT_LT(position(b).z, 3.0f) << "a broken joint holds nothing";
    u32 reports = 0;
    for (const std::string &line : log.lines())
        reports += line.find("a joint broke") != std::string::npos;
    EXPECT_EQ(reports, 1u);
    world->destroy_joint(j); // releases the layer joint once (ASan would see a second)
    EXPECT_EQ(world->joint_count(), 0u);
    // An unbreakable one under the same load holds.
    PhysicsActor *c = box(actor_dynamic, at(5, 0, 4.5f));
    JointTemplate strong = hanging(JointKind::Fixed);
    strong.set_vector(19, {5, 0, 5});
    PhysicsJoint *held = world->create_joint_from(strong, nullptr, c);
    step(60);
    EXPECT_FALSE(held->broken);
    EXPECT_NEAR(position(c).z, 4.5f, 0.05f);
    // Destroying an actor under a joint leaves the joint holding nothing, safely released later.
    world->destroy_actor(c);
    step(2);
    world->destroy_joint(held);
}

TEST_F(PhysicsJointsMovers, UnsoundJointsAreRefused)
{
    PhysicsActor *still = box(0, at(0, 0, 0));
    JointTemplate t = default_joint_template(JointKind::Fixed);
    EXPECT_EQ(world->create_joint_from(t, nullptr, nullptr), nullptr) << "no actor at all";
    EXPECT_EQ(world->create_joint_from(t, still, nullptr), nullptr) << "nothing that moves";
    t.words[31] = 42;
    PhysicsActor *b = box(actor_dynamic, at(0, 0, 3));
    EXPECT_EQ(world->create_joint_from(t, nullptr, b), nullptr) << "unknown kind";
    JointTemplate nan = default_joint_template(JointKind::Revolute);
    nan.set_number(19, NAN);
    EXPECT_EQ(world->create_joint_from(nan, nullptr, b), nullptr) << "not a number";
    EXPECT_EQ(world->joint_count(), 0u);
}

TEST_F(PhysicsJointsMovers, ForcesMoveOnlyDynamicActors)
{
    PhysicsActor *dynamic = box(actor_dynamic | actor_disable_gravity, at(0, 0, 5));
    PhysicsActor *kinematic = box(actor_dynamic | actor_kinematic, at(3, 0, 5));
    PhysicsActor *still = box(0, at(6, 0, 5));
    for (PhysicsActor *a : {dynamic, kinematic, still}) {
        px::IScene &s = *world->scene();
        s.add_force(a->actor, {2, 0, 0}, px::ForceMode::SmoothImpulse, true);
        s.add_force_at_position(a->actor, {0, 1, 0}, position(a) + Vector3{0.5f, 0, 0}, px::ForceMode::SmoothVelocityChange,
                                true);
        s.add_torque(a->actor, {0, 0, 1}, px::ForceMode::SmoothVelocityChange, true);
    }
    Vector3 before[3] = {position(dynamic), position(kinematic), position(still)};
    step(30);
    EXPECT_GT(position(dynamic).x, before[0].x + 0.5f);
    EXPECT_GT(position(dynamic).y, before[0].y + 0.2f);
    EXPECT_NEAR(world->scene()->linear_velocity(dynamic->actor).x, 2.0f, 0.05f); // impulse 2 on 1 kg
    EXPECT_EQ(position(kinematic), before[1]);
    EXPECT_EQ(position(still), before[2]);
    EXPECT_EQ(world->scene()->linear_velocity(kinematic->actor), (Vector3{}));
}

// Movers ----------------------------------------------------------------------------------

class PhysicsMovers : public PhysicsJointsMovers {
  protected:
    void SetUp() override
    {
        PhysicsJointsMovers::SetUp();
        floor = box(0, at(0, 0, -0.5f), {50, 50, 0.5f});
        step(1);
    }
    PhysicsMover *mover(Vector3 feet)
    {
        MoverTemplate t;
        t.height = 1.8f;
        t.radius = 0.4f;
        t.step_offset = 0.5f;
        t.slope_limit = 0.7f;
        return world->create_mover_from(t, feet, 0);
    }
    /// Walks `frames` frames at (vx, vy) m/s with a fall of 4 m/s.
    void walk(PhysicsMover *m, f32 vx, f32 vy, u32 frames)
    {
        for (u32 i = 0; i < frames; ++i) {
            world->move_mover(m, {vx / 60, vy / 60, -4.0f / 60});
            step(1);
        }
    }
    PhysicsActor *floor = nullptr;
};

TEST_F(PhysicsMovers, WalksOnAFloorStanding)
{
    PhysicsMover *m = mover({0, 0, 0});
    ASSERT_NE(m, nullptr);
    walk(m, 3, 0, 60);
    Vector3 p = world->mover_position(m);
    EXPECT_NEAR(p.x, 3.0f, 0.1f);
    EXPECT_NEAR(p.y, 0.0f, 1e-3f);
    EXPECT_NEAR(p.z, 0.0f, 0.12f); // the skin keeps it a little above
    EXPECT_TRUE(m->standing);
    EXPECT_EQ(m->standing_frames, 60u);
    EXPECT_EQ(m->flying_frames, 0u);
    EXPECT_TRUE(m->collision & px::collision_down);
    EXPECT_FALSE(m->collision & px::collision_sides);
}

TEST_F(PhysicsMovers, StepsUpAStepAndIsBlockedByAWall)
{
    box(0, at(3, 0, 0.15f), {1, 5, 0.15f});   // a step 0.3 high from x = 2 to 4
    box(0, at(8, 0, 1.5f), {0.5f, 5, 1.5f});  // a wall 3 high at x = 7.5
    PhysicsMover *m = mover({0, 0, 0});
    walk(m, 3, 0, 50); // to x = 2.5: on the step
    Vector3 on_step = world->mover_position(m);
    EXPECT_GT(on_step.x, 2.3f);
    EXPECT_NEAR(on_step.z, 0.3f, 0.12f);
    EXPECT_TRUE(m->standing);
    walk(m, 3, 0, 120); // on to the wall and against it
    Vector3 at_wall = world->mover_position(m);
    EXPECT_LT(at_wall.x, 7.5f - 0.4f + 0.01f);
    EXPECT_GT(at_wall.x, 6.8f);
    EXPECT_TRUE(m->collision & px::collision_sides);
    // Along the wall it still slides.
    walk(m, 3, 3, 30);
    EXPECT_GT(world->mover_position(m).y, 1.0f);
    EXPECT_LT(world->mover_position(m).x, 7.5f - 0.4f + 0.01f);
}

TEST_F(PhysicsMovers, CountsFlyingThenStandingFrames)
{
    PhysicsMover *m = mover({0, 0, 1});
    // Up and sideways-only moves never stand.
    EXPECT_FALSE(world->move_mover(m, {0, 0, 0.1f}));
    EXPECT_FALSE(world->move_mover(m, {0.1f, 0, 0}));
    EXPECT_EQ(m->flying_frames, 2u);
    u32 flying = 0, landed_at = 0;
    for (u32 i = 0; i < 60; ++i) {
        bool standing = world->move_mover(m, {0, 0, -0.05f});
        if (!standing)
            ++flying;
        else if (!landed_at)
            landed_at = i;
    }
    EXPECT_GE(flying, 18u); // 1.1 m at 5 cm a frame
    EXPECT_GT(landed_at, 17u);
    EXPECT_EQ(m->flying_frames, 0u);
    EXPECT_EQ(m->standing_frames, 60u - landed_at);
    EXPECT_NEAR(world->mover_position(m).z, 0.0f, 0.12f);
    // set_position then position gives it back.
    world->set_mover_position(m, {1, 2, 3});
    EXPECT_EQ(world->mover_position(m), (Vector3{1, 2, 3}));
}

TEST_F(PhysicsMovers, HitsOnDynamicActorsBecomeRecords)
{
    PhysicsActor *crate = box(actor_dynamic, at(2, 0, 0.5f));
    PhysicsMover *m = mover({0, 0, 0});
    take_events(*world);
    walk(m, 3, 0, 40);
    bool hit = false;
    for (const EventRecord &e : take_events(*world))
        if (e.id == physics_mover_hit_shape_event) {
            MoverHitPayload p = e.as<MoverHitPayload>();
            EXPECT_EQ(p.mover, m->id);
            EXPECT_EQ(world->resolve(p.actor), crate);
            hit = true;
        }
    EXPECT_TRUE(hit);
    PhysicsMoverInfo info;
    u32 id = m->id;
    EXPECT_TRUE(world->resolve_mover(id, info));
    world->destroy_mover(m);
    EXPECT_FALSE(world->resolve_mover(id, info));
}

// Rules against the recording backend -----------------------------------------------------

class PhysicsMoverRules : public PhysicsWorldFixture {
  protected:
    void SetUp() override { make(false); }
};

TEST_F(PhysicsMoverRules, CapsuleSizeSceneChangesAndStanding)
{
    MoverTemplate t;
    t.height = 1;
    t.radius = 0.5f;
    PhysicsMover *m = world->create_mover_from(t, {1, 2, 3}, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(recording().journal().back(), "create_controller radius=0.500 height=0.001 at 1.000 2.000 3.501");
    t.height = -4; // negative: the thinnest capsule, not an inverted one
    ASSERT_NE(world->create_mover_from(t, {}, 0), nullptr);
    EXPECT_EQ(recording().journal().back(), "create_controller radius=0.500 height=0.001 at 0.000 0.000 0.501");
    t.collision_filter = NameId32("nowhere").value();
    EXPECT_EQ(world->create_mover_from(t, {}, 0), nullptr) << "a filter name the properties lack";

    // Destroying a static actor makes the next move tell the controller once; a dynamic
    // one does not.
    PhysicsActor *still = box(0, at(0, 0, 0));
    PhysicsActor *moving = box(actor_dynamic, at(0, 0, 3));
    world->destroy_actor(moving);
    recording().clear_journal();
    world->move_mover(m, {0, 0, -1});
    world->destroy_actor(still);
    world->move_mover(m, {0, 0, -1});
    world->move_mover(m, {0, 0, -1});
    u32 told = 0;
    for (const std::string &line : recording().journal())
        told += line == "report_scene_changed";
    EXPECT_EQ(told, 1u);

    // Standing: the move down was stopped short by at least a tenth.
    recording().set_next_move(px::collision_down, 0.05f);
    EXPECT_TRUE(world->move_mover(m, {0, 0, -1}));
    recording().set_next_move(0, 0.95f);
    EXPECT_FALSE(world->move_mover(m, {0, 0, -1}));
    EXPECT_FALSE(world->move_mover(m, {0, 0, 0}));
    EXPECT_EQ(m->flying_frames, 2u);
    EXPECT_EQ(m->standing_frames, 0u);
}

} // namespace
} // namespace tallow::test
