// What the physics does, against answers worked out by hand: free fall, resting heights of
// grown shapes that sink by their skins, slides on an incline under averaged static and
// dynamic friction, turning about the centre of mass, a pendulum's period, joints breaking at
// their torque limit wherever they are, a mover's slopes and steps, a swept (CCD) sphere
// against a thin wall, the force of an impact's touch record and a hull's mass. Each case
// says its closed form and its tolerance.
#include "physics_fixture.h"

#include "world/units/physics_records.h"
#include "world/world_events.h"

#include <cmath>

namespace tallow::test {
namespace {

constexpr f32 g = 9.82f;
constexpr f32 pi = 3.14159265f;
constexpr f32 frame = 1.0f / 60;

enum Material : u32 { plain = 1, slippery, grippy, sticky, sticky_floor, ice, ice_floor, rough, rough_floor };
enum Template : u32 { dynamic_body = 100, static_body, weightless_body, solid, swept };

class PhysicsBehaviour : public PhysicsWorldFixture {
  protected:
    void SetUp() override
    {
        make(true);
        PhysicsPropertiesWriter w;
        // Materials: {?, static friction, restitution, dynamic friction (and density), ?, ?}.
        w.material(plain, {0, 0.5f, 0, 0.5f, 0, 0});
        w.material(slippery, {0, 0.2f, 0, 0.2f, 0, 0});
        w.material(grippy, {0, 0.6f, 0, 0.6f, 0, 0});
        w.material(sticky, {0, 0.8f, 0, 0.3f, 0, 0});
        w.material(sticky_floor, {0, 0.8f, 0, 0.3f, 0, 0});
        w.material(ice, {0, 0.5f, 0, 0.1f, 0, 0});
        w.material(ice_floor, {0, 0.5f, 0, 0.1f, 0, 0});
        w.material(rough, {0, 0.9f, 0, 0.9f, 0, 0});
        w.material(rough_floor, {0, 0.9f, 0, 0.9f, 0, 0});
        ActorTemplate dynamic = actor_template(actor_dynamic, 2.0f);
        dynamic.angular_damping = 0;
        w.actor_template(dynamic_body, dynamic);
        w.actor_template(static_body, ActorTemplate{});
        ActorTemplate weightless = dynamic;
        weightless.flags |= actor_disable_gravity;
        w.actor_template(weightless_body, weightless);
        w.shape_template(solid, 0, {1, 1});
        w.shape_template(swept, px::shape_ccd, {1, 1});
        properties = read_properties(w.write());
        ASSERT_TRUE(properties);
        set_current_physics_properties(properties.get());
    }
    void TearDown() override
    {
        set_current_physics_properties(nullptr);
        PhysicsWorldFixture::TearDown();
    }

    /// A spawned shape, made as the engine makes every shape: its size grown by the skin,
    /// which it may sink into what it touches.
    PhysicsActor *spawn(px::ShapeKind kind, Vector3 size, const Matrix4x4 &pose, u32 actor = dynamic_body,
                        u32 material = plain, u32 shape = solid)
    {
        px::ShapeDesc s;
        s.kind = kind;
        s.size = size;
        return world->spawn_actor(s, pose, actor, shape, material);
    }
    PhysicsActor *spawn_box(Vector3 half, const Matrix4x4 &pose, u32 actor = dynamic_body, u32 material = plain)
    {
        return spawn(px::ShapeKind::Box, half, pose, actor, material);
    }
    /// Ground whose top face is z = 0.
    PhysicsActor *ground(u32 material = plain)
    {
        return spawn_box({100, 100, 0.5f}, at(0, 0, -0.5f), static_body, material);
    }
    Matrix4x4 pose(const PhysicsActor *a) const { return world->scene()->global_pose(a->actor); }
    Vector3 position(const PhysicsActor *a) const { return translation(pose(a)); }

    std::unique_ptr<PhysicsProperties> properties;
};

/// A rotation by `angle` about y, at `p`.
Matrix4x4 tilted(f32 angle, Vector3 p)
{
    Matrix4x4 m = matrix4x4_identity;
    f32 c = std::cos(angle), s = std::sin(angle);
    // Rows are the axes: x turns up towards z by `angle`.
    m.m[0][0] = c, m.m[0][2] = s;
    m.m[2][0] = -s, m.m[2][2] = c;
    set_translation(m, p);
    return m;
}

TEST_F(PhysicsBehaviour, FreeFallAfterOneSecond)
{
    // z = z0 - g t^2 / 2 and v = -g t; the fixed sub-steps integrate velocity first, which
    // gains g t^2 / (2 x 240) on the closed form: 2 cm after one second.
    PhysicsActor *b = spawn_box({0.5f, 0.5f, 0.5f}, at(0, 0, 100));
    step(60);
    EXPECT_NEAR(position(b).z, 100 - g / 2, 0.03f);
    EXPECT_NEAR(world->scene()->linear_velocity(b->actor).z, -g, 0.01f);
}

TEST_F(PhysicsBehaviour, GrownShapesRestWhereTheirSourceSizesMeet)
{
    // Every shape is 0.025 larger than its source and sinks 0.025 into what it touches: at
    // rest the source sizes meet, within 1 mm.
    struct Case {
        const char *name;
        px::ShapeKind kind;
        Vector3 size;
        f32 rest_z; // closed form: the source half height above the ground's top
    };
    const Case cases[] = {
        {"box of half height 0.5", px::ShapeKind::Box, {0.5f, 0.5f, 0.5f}, 0.5f},
        {"sphere of radius 0.5", px::ShapeKind::Sphere, {0.5f, 0, 0}, 0.5f},
        {"capsule of radius 0.3 lying along y", px::ShapeKind::Capsule, {0.3f, 1.0f, 0}, 0.3f},
    };
    ground();
    std::vector<PhysicsActor *> bodies;
    for (u32 i = 0; i < std::size(cases); ++i)
        bodies.push_back(spawn(cases[i].kind, cases[i].size, at(f32(i) * 4, 0, 1.5f)));
    // A box on a box: the upper one's centre one source height above the lower one's.
    PhysicsActor *lower = spawn_box({0.5f, 0.5f, 0.5f}, at(20, 0, 0.6f));
    PhysicsActor *upper = spawn_box({0.5f, 0.5f, 0.5f}, at(20, 0, 1.8f));
    step(240);
    for (u32 i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_NEAR(position(bodies[i]).z, cases[i].rest_z, 0.001f);
    }
    EXPECT_NEAR(position(lower).z, 0.5f, 0.001f);
    EXPECT_NEAR(position(upper).z, 1.5f, 0.001f);
}

TEST_F(PhysicsBehaviour, SlideOnAnInclineUsesTheAverageOfTheTwoFrictions)
{
    // A box let go on a 30 degree incline: it stays when tan 30 <= the average static
    // friction, else slides s = g (sin 30 - mu cos 30) t^2 / 2 with the average dynamic
    // friction mu. Within 4% + 2 cm after 2 s.
    struct Case {
        const char *name;
        u32 box, incline;
        f32 mu_static, mu_dynamic; // averages of the two materials'
    };
    const Case cases[] = {
        {"0.5 on 0.5 slides with 0.5 (not 0.25)", plain, plain, 0.5f, 0.5f},
        {"0.2 on 0.6 slides with 0.4 (not 0.12)", slippery, grippy, 0.4f, 0.4f},
        {"static 0.8 holds though dynamic is 0.3", sticky, sticky_floor, 0.8f, 0.3f},
        {"static 0.5 lets go, then dynamic 0.1", ice, ice_floor, 0.5f, 0.1f},
        {"0.9 on 0.9 holds", rough, rough_floor, 0.9f, 0.9f},
    };
    const f32 angle = pi / 6, t = 2.0f;
    for (u32 i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.name);
        const f32 y = f32(i) * 10;
        // The incline's top face passes through (0, y, 0); the box starts on it, touching.
        Matrix4x4 slab = tilted(angle, {0, y, 0});
        Vector3 down_normal = -axis(slab, 2);
        set_translation(slab, translation(slab) + down_normal * 0.5f);
        spawn_box({12, 3, 0.5f}, slab, static_body, c.incline);
        Matrix4x4 start = tilted(angle, {0, y, 0});
        set_translation(start, axis(start, 2) * 0.5f + Vector3{0, y, 0});
        PhysicsActor *b = spawn_box({0.5f, 0.5f, 0.5f}, start, dynamic_body, c.box);
        Vector3 from = position(b);
        step(u32(t * 60));
        f32 slid = length(position(b) - from);
        f32 expected = std::tan(angle) <= c.mu_static
                           ? 0.0f
                           : 0.5f * g * (std::sin(angle) - c.mu_dynamic * std::cos(angle)) * t * t;
        EXPECT_NEAR(slid, expected, 0.04f * expected + 0.02f);
        world->destroy_actor(b);
    }
}

TEST_F(PhysicsBehaviour, AnOffCentreBodyTurnsAboutItsCentreOfMass)
{
    // A box whose shape sits 2 m beside its actor's origin. Spun about z at w with no
    // gravity, its centre of mass stays put and the origin circles it: after t the origin
    // is at c + R(w t) (-2, 0, 0). Dropped flat, it lands flat with its origin at the box's
    // resting height.
    ActorTemplate weightless = actor_template(actor_dynamic | actor_disable_gravity, 2.0f);
    weightless.angular_damping = 0;
    px::ShapeDesc s = box_shape({0.5f + physics_shape_skin, 0.5f + physics_shape_skin, 0.5f + physics_shape_skin});
    s.skin_width = physics_shape_skin;
    s.local_pose = at(2, 0, 0);
    PhysicsActor *spun = world->create_actor_from(weightless, &s, 1, at(0, 0, 10), nullptr);
    ASSERT_NE(spun, nullptr);
    const f32 w = pi / 2;
    world->scene()->set_angular_velocity(spun->actor, {0, 0, w});
    step(60);
    Vector3 origin = position(spun);
    EXPECT_NEAR(origin.x, 2 - 2 * std::cos(w), 0.01f);
    EXPECT_NEAR(origin.y, -2 * std::sin(w), 0.01f);
    EXPECT_NEAR(origin.z, 10, 0.001f);
    EXPECT_NEAR(length(world->scene()->linear_velocity(spun->actor)), 0, 0.01f);

    ground();
    ActorTemplate heavy = actor_template(actor_dynamic, 2.0f);
    PhysicsActor *dropped = world->create_actor_from(heavy, &s, 1, at(20, 0, 1.5f), nullptr);
    step(180);
    Matrix4x4 m = pose(dropped);
    EXPECT_NEAR(axis(m, 2).z, 1, 0.001f) << "lands flat";
    EXPECT_NEAR(translation(m).z, 0.5f, 0.002f);
    EXPECT_NEAR(translation(m).x, 20, 0.01f);
}

TEST_F(PhysicsBehaviour, APendulumSwingsWithItsPeriod)
{
    // A ball of radius r hung L below a spherical joint, let go a0 = 0.3 rad out: a physical
    // pendulum, T = 2 pi sqrt((L^2 + 2 r^2 / 5) / (g L)) (1 + a0^2 / 16 + 11 a0^4 / 3072).
    // Within 1% over three periods.
    const f32 L = 2, r = 0.1f, start = 0.3f;
    ActorTemplate bob_template = actor_template(actor_dynamic, 1.0f);
    bob_template.angular_damping = 0;
    px::ShapeDesc s;
    s.kind = px::ShapeKind::Sphere;
    s.size = {r, 0, 0};
    s.groups = groups_mask({1, 1});
    PhysicsActor *bob = world->create_actor_from(
        bob_template, &s, 1, at(L * std::sin(start), 0, 10 - L * std::cos(start)), nullptr);
    JointTemplate t = default_joint_template(JointKind::Spherical);
    t.set_vector(19, {0, 0, 10}); // the world side's anchor
    t.set_vector(22, Vector3{-std::sin(start), 0, std::cos(start)} * L); // the bob's, in the bob
    ASSERT_NE(world->create_joint_from(t, nullptr, bob), nullptr);
    const f32 expected = 2 * pi * std::sqrt((L * L + 0.4f * r * r) / (g * L)) *
                         (1 + start * start / 16 + 11 * std::pow(start, 4.0f) / 3072);
    // Times x crosses zero going the same way: one period apart.
    std::vector<f32> crossings;
    f32 last = position(bob).x;
    for (u32 i = 1; i <= 600 && crossings.size() < 4; ++i) {
        step(1);
        f32 x = position(bob).x;
        if (last > 0 && x <= 0)
            crossings.push_back((f32(i) - x / (x - last)) * frame); // linear between frames
        last = x;
    }
    ASSERT_EQ(crossings.size(), 4u);
    EXPECT_NEAR((crossings[3] - crossings[0]) / 3, expected, 0.01f * expected);
}

TEST_F(PhysicsBehaviour, ATorqueLimitBreaksAtTheSameLoadWhereverTheJointIs)
{
    // A 2 kg bar 1 m long welded to the world at one end: the weld carries m g L / 2 = 9.82
    // N m. A limit 30% below breaks it, 40% above holds it, at the origin and 5 and 50 m up.
    // A swinging pendulum on a spherical joint carries no torque at all, so even a small
    // torque limit never breaks it.
    struct Case {
        const char *name;
        f32 z;
        bool bar;        // else the swinging pendulum
        f32 max_torque;  // N m
        bool breaks;
    };
    const f32 load = 2 * g * 0.5f;
    const Case cases[] = {
        {"bar at z 0, limit below", 0, true, 0.7f * load, true},
        {"bar at z 5, limit below", 5, true, 0.7f * load, true},
        {"bar at z 50, limit below", 50, true, 0.7f * load, true},
        {"bar at z 0, limit above", 0, true, 1.4f * load, false},
        {"bar at z 5, limit above", 5, true, 1.4f * load, false},
        {"bar at z 50, limit above", 50, true, 1.4f * load, false},
        {"pendulum at z 0", 0, false, 1.0f, false},
        {"pendulum at z 5", 5, false, 1.0f, false},
        {"pendulum at z 50", 50, false, 1.0f, false},
    };
    ActorTemplate heavy = actor_template(actor_dynamic, 2.0f);
    for (u32 i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.name);
        const f32 y = f32(i) * 5;
        px::ShapeDesc s = box_shape({0.5f, 0.1f, 0.1f});
        JointTemplate t = default_joint_template(c.bar ? JointKind::Fixed : JointKind::Spherical);
        t.set_number(29, c.max_torque);
        PhysicsActor *b = nullptr;
        if (c.bar) {
            b = world->create_actor_from(heavy, &s, 1, at(0.5f, y, c.z), nullptr);
            t.set_vector(19, {0, y, c.z});  // the world side's anchor
            t.set_vector(22, {-0.5f, 0, 0}); // the bar's end
        } else {
            // Let go level with its anchor: it swings through the bottom at sqrt(2 g L).
            b = world->create_actor_from(heavy, &s, 1, at(1.5f, y, c.z), nullptr);
            t.set_vector(19, {0, y, c.z});
            t.set_vector(22, {-1.5f, 0, 0});
        }
        PhysicsJoint *j = world->create_joint_from(t, nullptr, b);
        ASSERT_NE(j, nullptr);
        step(60);
        EXPECT_EQ(j->broken, c.breaks);
        world->destroy_joint(j);
        world->destroy_actor(b);
    }
}

/// The sample's character: 1 m tall, radius 0.35, slope limit 45 degrees.
MoverTemplate walker(f32 step_offset)
{
    MoverTemplate t;
    t.height = 1;
    t.radius = 0.35f;
    t.slope_limit = std::cos(pi / 4);
    t.step_offset = step_offset;
    return t;
}

TEST_F(PhysicsBehaviour, AMoverClimbsSlopesUpToItsLimitAndStepsUpToItsOffset)
{
    // Walking at 3 m/s along x (falling 4 m/s) for 4 s towards what starts at x = 2. A ramp
    // no steeper than 45 degrees is walked up: the feet end on its face, (x - 2) tan a; a
    // steeper one stops it at its foot. A step no higher than the step offset is climbed, a
    // higher one stops it. Without a step offset a gentle ramp is still walked up. Movers
    // keep a skin width of 0.1 from what they stand on.
    const f32 mover_skin = 0.1f;
    struct Case {
        const char *name;
        f32 step_offset;
        f32 ramp;  // degrees; 0: a step instead
        f32 step;  // its height
        bool climbs;
    };
    const Case cases[] = {
        {"ramp 20", 0.3f, 20, 0, true},           {"ramp 40", 0.3f, 40, 0, true},
        {"ramp 50", 0.3f, 50, 0, false},          {"ramp 60", 0.3f, 60, 0, false},
        {"ramp 70", 0.3f, 70, 0, false},          {"step 0.2", 0.3f, 0, 0.2f, true},
        {"step 0.3", 0.3f, 0, 0.3f, true},        {"step 0.45", 0.3f, 0, 0.45f, false},
        {"no step offset, ramp 20", 0, 20, 0, true},
    };
    ground();
    std::vector<PhysicsMover *> movers;
    for (u32 i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        const f32 y = f32(i) * 8;
        if (c.ramp > 0) {
            // The top face rises from (2, y, 0) for 20 m along the slope.
            f32 a = c.ramp * pi / 180;
            Matrix4x4 slab = tilted(a, {0, y, 0});
            set_translation(slab, Vector3{2 + 10 * std::cos(a), y, 10 * std::sin(a)} - axis(slab, 2) * 0.5f);
            spawn_box({10, 3, 0.5f}, slab, static_body);
        } else {
            spawn_box({10, 3, c.step / 2}, at(12, y, c.step / 2), static_body);
        }
        movers.push_back(world->create_mover_from(walker(c.step_offset), {0, y, 0.2f}, 0));
        ASSERT_NE(movers.back(), nullptr);
    }
    step(1);
    for (u32 frame_index = 0; frame_index < 240; ++frame_index) {
        for (PhysicsMover *m : movers)
            world->move_mover(m, {3 * frame, 0, -4 * frame});


        step(1);
    }
    for (u32 i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.name);
        Vector3 feet = world->mover_position(movers[i]);
        if (!c.climbs) {
            EXPECT_LT(feet.x, 2.0f);
            EXPECT_LT(feet.z, 0.2f);
        } else if (c.ramp > 0) {
            EXPECT_GT(feet.x, 6.0f);
            // Standing on the face (grown by the shapes' skin) with the skin width between:
            // the round end's centre is (r + skin) / cos a above it, the feet r below that.
            f32 a = c.ramp * pi / 180;
            f32 face = (feet.x - 2) * std::tan(a) + physics_shape_skin / std::cos(a);
            // (Walking up it without a step, it slides a little into its skin.)
            EXPECT_NEAR(feet.z, face + (0.35f + mover_skin) / std::cos(a) - 0.35f, c.step_offset > 0 ? 0.02f : 0.08f);
        } else {
            EXPECT_GT(feet.x, 3.0f);
            EXPECT_NEAR(feet.z, c.step + physics_shape_skin + mover_skin, 0.01f);
        }
        EXPECT_TRUE(movers[i]->standing);
    }
}

TEST_F(PhysicsBehaviour, AMoverPushesTheFreeBodiesItWalksIntoAndStopsTheOnesThatHitIt)
{
    // Walking at 3 m/s along x for 2 s, a mover (radius 0.35, skin 0.1) meets a 1 m box at
    // x = 3, grown by the shapes' skin, when its feet reach 3 - 0.525 - 0.35 - 0.1. From there
    // on it pushes the box ahead at its own speed: the box's travel is the mover's after
    // contact, and the mover stays about a skin from its face, never held back by it. A box
    // sliding into a mover that stands still (arriving at 3.3 m/s) stops against it there
    // instead of passing it.
    ground();
    PhysicsActor *pushed = spawn_box({0.5f, 0.5f, 0.5f}, at(3, 0, 0.5f));
    PhysicsActor *thrown = spawn_box({0.5f, 0.5f, 0.5f}, at(1.5f, 8, 0.5f));
    ASSERT_NE(pushed, nullptr);
    ASSERT_NE(thrown, nullptr);
    PhysicsMover *walking = world->create_mover_from(walker(0.3f), {0, 0, 0.2f}, 0);
    PhysicsMover *standing = world->create_mover_from(walker(0.3f), {3, 8, 0.2f}, 0);
    ASSERT_NE(walking, nullptr);
    ASSERT_NE(standing, nullptr);
    step(30);
    world->scene()->set_linear_velocity(thrown->actor, {4, 0, 0});
    for (u32 i = 0; i < 120; ++i) {
        world->move_mover(walking, {3 * frame, 0, -4 * frame});
        world->move_mover(standing, {0, 0, -4 * frame});
        step(1);
    }
    const Vector3 feet = world->mover_position(walking), box = position(pushed);
    const f32 face = 0.5f + physics_shape_skin;
    const f32 contact = 3 - face - 0.35f - 0.1f;
    EXPECT_NEAR(feet.x, 6, 0.1f) << "not held back by the box";
    EXPECT_NEAR(box.x - 3, feet.x - contact, 0.15f) << "pushed along as far as the mover walked";
    EXPECT_NEAR(box.x - face - (feet.x + 0.35f), 0.1f, 0.1f) << "right ahead of the mover";
    EXPECT_NEAR(box.y, 0, 0.05f);
    EXPECT_GT(axis(pose(pushed), 2).z, 0.95f) << "upright";
    // The thrown box: stopped at the standing mover's skin, the mover where it stood.
    EXPECT_NEAR(position(thrown).x, 3 - 0.35f - 0.1f - face, 0.03f);
    EXPECT_NEAR(world->mover_position(standing).x, 3, 1e-4f);
}

TEST_F(PhysicsBehaviour, ASweptSphereIsStoppedByAThinWall)
{
    // A 0.2 m ball at 300 m/s moves 1.25 m a sub-step; a 0.1 m wall 20 m ahead stops it
    // when its shape asks to be swept (flag 32). Without the flag it passes through.
    struct Case {
        const char *name;
        u32 shape;
        bool stopped;
    };
    const Case cases[] = {{"swept", swept, true}, {"not swept", solid, false}};
    for (u32 i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const f32 y = f32(i) * 20;
        PhysicsActor *wall = spawn_box({0.05f, 5, 5}, at(20, y, 0), static_body);
        PhysicsActor *ball = spawn(px::ShapeKind::Sphere, {0.2f, 0, 0}, at(0, y, 0), weightless_body, plain,
                                   cases[i].shape);
        world->scene()->set_linear_velocity(ball->actor, {300, 0, 0});
        step(30);
        EXPECT_EQ(position(ball).x < 20, cases[i].stopped) << position(ball).x;
        world->destroy_actor(ball);
        world->destroy_actor(wall);
    }
}

TEST_F(PhysicsBehaviour, TouchBeginCarriesTheForceOfTheImpact)
{
    // A 2 kg box dropped from h hits at v = sqrt(2 g h) and stops within a frame: its touch
    // record's summed normal force is about m v / (1/60 s) (plus its weight over the part
    // of the frame it rested), within a factor of 2.
    struct Case {
        const char *name;
        f32 h;
    };
    const Case cases[] = {{"1 m", 1}, {"5 m", 5}, {"20 m", 20}};
    u32 targets[5] = {0, physics_no_index, physics_no_index, physics_no_index, physics_no_index};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PhysicsActor *floor = spawn_box({50, 50, 0.5f}, at(0, 0, -0.5f), static_body);
        px::ShapeDesc s = box_shape({0.5f, 0.5f, 0.5f});
        PhysicsActor *b = world->create_actor_from(actor_template(actor_dynamic, 2.0f), &s, 1,
                                                   at(0, 0, 0.5f + c.h), targets);
        take_events(*world);
        f32 force = -1;
        for (u32 i = 0; i < 600 && force < 0; ++i) {
            step(1);
            for (const EventRecord &e : take_events(*world))
                if (e.id == physics_contact_event && e.as<ContactPayload>().kind == 0)
                    force = length(e.as<ContactPayload>().normal);
        }
        const f32 expected = 2 * std::sqrt(2 * g * c.h) / frame;
        EXPECT_GT(force, expected / 2);
        EXPECT_LT(force, expected * 2);
        world->destroy_actor(b);
        world->destroy_actor(floor);
    }
}

TEST_F(PhysicsBehaviour, AHullWeighsItsDensityTimesItsVolume)
{
    // A regular octahedron of half diagonal 1 (volume 4/3, its box's 8) and a tetrahedron
    // off the origin (volume 1/6, centroid (1.25, 0.25, 0.25)) at density 3: mass 4 and 0.5,
    // within 0.1%. The tetrahedron turns about its centroid.
    px::ISdk &layer = sdk->sdk();
    std::vector<u8> octahedron = write_convex_mesh({{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}});
    std::vector<u8> tetrahedron = write_convex_mesh({{1, 0, 0}, {2, 0, 0}, {1, 1, 0}, {1, 0, 1}});
    struct Case {
        const char *name;
        const std::vector<u8> *bytes;
        f32 mass;
        Vector3 centroid;
    };
    const Case cases[] = {
        {"octahedron", &octahedron, 3 * 4.0f / 3, {0, 0, 0}},
        {"tetrahedron", &tetrahedron, 3 / 6.0f, {1.25f, 0.25f, 0.25f}},
    };
    ActorTemplate by_density = actor_template(actor_dynamic | actor_disable_gravity, 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        px::Mesh *mesh = layer.create_convex_mesh(c.bytes->data(), c.bytes->size());
        ASSERT_NE(mesh, nullptr);
        px::ShapeDesc s;
        s.kind = px::ShapeKind::ConvexMesh;
        s.mesh = mesh;
        s.density = 3;
        s.groups = groups_mask({1, 1});
        PhysicsActor *a = world->create_actor_from(by_density, &s, 1, at(0, 0, 5), nullptr);
        ASSERT_NE(a, nullptr);
        EXPECT_NEAR(world->scene()->mass(a->actor), c.mass, 0.001f * c.mass);
        // Spun, the centroid stays where it is.
        world->scene()->set_angular_velocity(a->actor, {0, 0, 2});
        Vector3 centroid = transform_point(pose(a), c.centroid);
        step(30);
        EXPECT_NEAR(length(transform_point(pose(a), c.centroid) - centroid), 0, 0.002f);
        world->destroy_actor(a);
        layer.release_mesh(mesh);
    }
}

} // namespace
} // namespace tallow::test
