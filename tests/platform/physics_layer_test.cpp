// Our physics layer over Bullet: falling and resting, the 128-bit filter rule in simulation,
// kinematic targets and teleports, the reports a step gives (contact, trigger, wake, sleep),
// cooked meshes, and the same calls giving the same poses.
#include "foundation/memory/memory_globals.h"
#include "platform/physics/cooked_mesh.h"
#include "platform/physics/physics_layer.h"
#include "tests/support/writers/physics_properties_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tallow::px {
namespace {

struct Report {
    std::string what;
    Actor *a;
    Actor *b;
    u32 bits;
};

struct RecordingCallbacks final : ISceneCallbacks {
    std::vector<Report> reports;
    void on_wake(Actor *const *actors, u32 n) override
    {
        for (u32 i = 0; i < n; ++i)
            reports.push_back({"wake", actors[i], nullptr, 0});
    }
    void on_sleep(Actor *const *actors, u32 n) override
    {
        for (u32 i = 0; i < n; ++i)
            reports.push_back({"sleep", actors[i], nullptr, 0});
    }
    void on_contact(const ContactPair &p, u32 events) override { reports.push_back({"contact", p.actors[0], p.actors[1], events}); }
    void on_trigger(Actor *t, Actor *o, u32 status) override { reports.push_back({"trigger", t, o, status}); }
    u32 count(const char *what, u32 bits = 0) const
    {
        u32 n = 0;
        for (const Report &r : reports)
            n += r.what == what && (bits == 0 || r.bits == bits) ? 1 : 0;
        return n;
    }
};

struct Errors final : IErrorSink {
    std::vector<std::string> messages;
    void report_error(u32, const char *message, const char *, int) override { messages.push_back(message); }
};

Matrix4x4 at(f32 x, f32 y, f32 z)
{
    Matrix4x4 m = matrix4x4_identity;
    set_translation(m, {x, y, z});
    return m;
}

GroupsMask mask(u64 belongs, u64 collides)
{
    GroupsMask m;
    m.bits[0] = u32(belongs), m.bits[1] = u32(belongs >> 32), m.bits[2] = u32(collides), m.bits[3] = u32(collides >> 32);
    return m;
}

class PhysicsLayer : public ::testing::Test {
  protected:
    void SetUp() override
    {
        sdk = create_bullet_sdk(default_allocator(), &errors);
        ASSERT_TRUE(sdk);
        SceneDesc d;
        d.callbacks = &callbacks;
        scene = sdk->create_scene(d);
        ASSERT_TRUE(scene);
    }
    void TearDown() override
    {
        sdk->release_scene(scene);
        release_sdk(sdk);
    }

    Actor *box(Vector3 half, const Matrix4x4 &pose, bool dynamic, GroupsMask groups = mask(1, 1), u32 flags = 0,
               u32 trigger_status = 0)
    {
        ShapeDesc s;
        s.kind = ShapeKind::Box;
        s.size = half;
        s.groups = groups;
        s.flags = flags;
        s.trigger_status = trigger_status;
        ActorDesc a;
        a.shapes = &s;
        a.shape_count = 1;
        a.pose = pose;
        a.dynamic = dynamic;
        a.mass = dynamic ? 1.0f : 0.0f;
        return scene->create_actor(a);
    }
    Actor *floor(GroupsMask groups = mask(1, 1)) { return box({50, 50, 0.5f}, at(0, 0, -0.5f), false, groups); }
    void step(u32 frames)
    {
        for (u32 i = 0; i < frames; ++i) {
            scene->simulate(1.0f / 60);
            scene->fetch_results();
        }
    }
    f32 z(const Actor *a) const { return translation(scene->global_pose(a)).z; }

    Errors errors;
    RecordingCallbacks callbacks;
    ISdk *sdk = nullptr;
    IScene *scene = nullptr;
};

TEST_F(PhysicsLayer, BoxFallsAlongMinusZAndRestsOnTheFloor)
{
    floor();
    Actor *b = box({0.5f, 0.5f, 0.5f}, at(1, 2, 5), true);
    step(10);
    Vector3 p = translation(scene->global_pose(b));
    EXPECT_LT(p.z, 5.0f);
    EXPECT_NEAR(p.x, 1.0f, 1e-4f);
    EXPECT_NEAR(p.y, 2.0f, 1e-4f);
    step(290);
    EXPECT_NEAR(z(b), 0.5f, 0.05f);
    EXPECT_TRUE(scene->is_sleeping(b)); // at rest it goes to sleep, and says so
    EXPECT_EQ(callbacks.count("sleep"), 1u);
}

TEST_F(PhysicsLayer, FilterRuleHoldsInSimulation)
{
    struct Case {
        const char *name;
        GroupsMask box, floor;
        bool collide;
    };
    const Case cases[] = {
        {"{1,2} on {2,1}", mask(1, 2), mask(2, 1), true},
        {"{1,1} on {1,1}", mask(1, 1), mask(1, 1), true},
        {"{1,2} on {1,2}", mask(1, 2), mask(1, 2), false},
        {"zero filter", mask(0, 0), mask(~0ull, ~0ull), false},
        {"high bits count", mask(1ull << 40, 0), mask(0, 1ull << 40), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(groups_collide(c.box, c.floor), c.collide);
        Actor *f = floor(c.floor);
        Actor *b = box({0.5f, 0.5f, 0.5f}, at(0, 0, 2), true, c.box);
        step(120);
        if (c.collide)
            EXPECT_NEAR(z(b), 0.5f, 0.05f);
        else
            EXPECT_LT(z(b), -1.0f);
        scene->release_actor(b);
        scene->release_actor(f);
    }
}

TEST_F(PhysicsLayer, ChangingAFilterDropsPairsAtOnce)
{
    Actor *f = floor();
    Actor *b = box({0.5f, 0.5f, 0.5f}, at(0, 0, 0.5f), true);
    step(30);
    EXPECT_NEAR(z(b), 0.5f, 0.05f);
    scene->set_groups_mask(f, mask(2, 2));
    step(60);
    EXPECT_LT(z(b), -1.0f);
}

TEST_F(PhysicsLayer, KinematicActorMovesToTargetsAndTeleportsWithoutVelocity)
{
    Actor *k = box({0.5f, 0.5f, 0.5f}, at(0, 0, 5), true);
    scene->raise_body_flag(k, body_kinematic);
    EXPECT_TRUE(scene->read_body_flag(k, body_kinematic));
    for (int i = 1; i <= 10; ++i) {
        scene->move_global_pose(k, at(0.1f * i, 0, 5));
        step(1);
        EXPECT_NEAR(translation(scene->global_pose(k)).x, 0.1f * i, 1e-4f); // no gravity, on target
    }
    scene->set_global_pose(k, at(20, 0, 5));
    scene->move_global_pose(k, at(20, 0, 5));
    step(1);
    EXPECT_NEAR(translation(scene->global_pose(k)).x, 20.0f, 1e-4f);
    // Made dynamic again, it falls from where it is, with no velocity from the jump.
    scene->clear_body_flag(k, body_kinematic);
    step(1);
    EXPECT_NEAR(translation(scene->global_pose(k)).x, 20.0f, 1e-3f);
    EXPECT_LT(z(k), 5.0f);
}

TEST_F(PhysicsLayer, ContactStartsOnceAndEndsOnce)
{
    Actor *f = floor();
    Actor *b = box({0.5f, 0.5f, 0.5f}, at(0, 0, 1.5f), true);
    scene->set_contact_report_flags(b, notify_on_start_touch | notify_on_end_touch | notify_forces);
    step(60);
    ASSERT_EQ(callbacks.count("contact", notify_on_start_touch), 1u);
    for (const Report &r : callbacks.reports) {
        if (r.what == "contact") {
            EXPECT_TRUE((r.a == f && r.b == b) || (r.a == b && r.b == f));
        }
    }
    EXPECT_EQ(callbacks.count("contact", notify_on_end_touch), 0u);
    scene->set_global_pose(b, at(0, 0, 10));
    step(1);
    EXPECT_EQ(callbacks.count("contact", notify_on_end_touch), 1u);
    EXPECT_EQ(callbacks.count("contact", notify_on_start_touch), 1u);
}

TEST_F(PhysicsLayer, PairsWithoutReportFlagsReportNothing)
{
    floor();
    box({0.5f, 0.5f, 0.5f}, at(0, 0, 1.5f), true);
    step(60);
    EXPECT_EQ(callbacks.count("contact"), 0u);
}

TEST_F(PhysicsLayer, TriggerReportsEnterStayAndLeave)
{
    Actor *t = box({1, 1, 1}, at(0, 0, 0), false, mask(1, 1), shape_trigger,
                   trigger_on_enter | trigger_on_leave | trigger_on_stay);
    Actor *ball = box({0.25f, 0.25f, 0.25f}, at(0, 0, 3), true);
    step(120); // falls through the trigger volume: it gives no response
    EXPECT_LT(z(ball), -2.0f);
    ASSERT_EQ(callbacks.count("trigger", trigger_on_enter), 1u);
    EXPECT_EQ(callbacks.count("trigger", trigger_on_leave), 1u);
    EXPECT_GE(callbacks.count("trigger", trigger_on_stay), 1u);
    std::vector<u32> order;
    for (const Report &r : callbacks.reports)
        if (r.what == "trigger") {
            EXPECT_EQ(r.a, t);
            EXPECT_EQ(r.b, ball);
            order.push_back(r.bits);
        }
    EXPECT_EQ(order.front(), u32(trigger_on_enter));
    EXPECT_EQ(order.back(), u32(trigger_on_leave));
}

TEST_F(PhysicsLayer, WakeIsReportedWhenASleepingBodyIsDisturbed)
{
    floor();
    Actor *b = box({0.5f, 0.5f, 0.5f}, at(0, 0, 0.5f), true);
    step(1);
    EXPECT_EQ(callbacks.count("wake"), 1u) << "a body made awake reports its wake in its first step";
    step(239);
    ASSERT_TRUE(scene->is_sleeping(b));
    scene->set_linear_velocity(b, {0, 0, 3});
    step(1);
    EXPECT_EQ(callbacks.count("wake"), 2u);
    EXPECT_EQ(callbacks.reports.back().a, b);
}

TEST_F(PhysicsLayer, ReleasedActorEndsItsPairsWithoutReports)
{
    floor();
    Actor *b = box({0.5f, 0.5f, 0.5f}, at(0, 0, 0.5f), true);
    scene->set_contact_report_flags(b, notify_on_start_touch | notify_on_end_touch);
    step(10);
    ASSERT_EQ(callbacks.count("contact", notify_on_start_touch), 1u);
    scene->release_actor(b);
    step(10);
    EXPECT_EQ(callbacks.count("contact", notify_on_end_touch), 0u);
    EXPECT_EQ(scene->actor_count(), 1u);
}

TEST_F(PhysicsLayer, UnsoundDescriptionsAreRefusedAndReported)
{
    ShapeDesc zero;
    zero.kind = ShapeKind::Box;
    ShapeDesc mesh_without_mesh;
    mesh_without_mesh.kind = ShapeKind::ConvexMesh;
    ShapeDesc nan_sphere;
    nan_sphere.size = {std::nanf(""), 0, 0};
    for (const ShapeDesc *s : {&zero, &mesh_without_mesh, &nan_sphere}) {
        ActorDesc a;
        a.shapes = s;
        a.shape_count = 1;
        a.dynamic = true;
        EXPECT_EQ(scene->create_actor(a), nullptr);
    }
    ActorDesc none;
    EXPECT_EQ(scene->create_actor(none), nullptr);
    EXPECT_EQ(errors.messages.size(), 4u);
    EXPECT_EQ(scene->actor_count(), 0u);
}

TEST_F(PhysicsLayer, ConvexAndTriangleMeshesFromCookedBytes)
{
    std::vector<u8> ground = test::write_triangle_mesh({{-10, -10, 0}, {10, -10, 0}, {10, 10, 0}, {-10, 10, 0}}, {0, 1, 2, 0, 2, 3});
    std::vector<u8> hull = test::write_convex_mesh(
        {{-0.5f, -0.5f, -0.5f}, {0.5f, -0.5f, -0.5f}, {0.5f, 0.5f, -0.5f}, {-0.5f, 0.5f, -0.5f},
         {-0.5f, -0.5f, 0.5f}, {0.5f, -0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}, {-0.5f, 0.5f, 0.5f}});
    Mesh *tri = sdk->create_triangle_mesh(ground.data(), ground.size());
    Mesh *convex = sdk->create_convex_mesh(hull.data(), hull.size());
    ASSERT_TRUE(tri && convex);
    EXPECT_EQ(sdk->create_convex_mesh(ground.data(), ground.size()), nullptr); // the other kind
    ShapeDesc g;
    g.kind = ShapeKind::TriangleMesh;
    g.mesh = tri;
    g.groups = mask(1, 1);
    ActorDesc ga;
    ga.shapes = &g;
    ga.shape_count = 1;
    ASSERT_TRUE(scene->create_actor(ga));
    ga.dynamic = true; // a dynamic triangle mesh is refused
    EXPECT_EQ(scene->create_actor(ga), nullptr);
    ShapeDesc c = g;
    c.kind = ShapeKind::ConvexMesh;
    c.mesh = convex;
    ActorDesc ca;
    ca.shapes = &c;
    ca.shape_count = 1;
    ca.dynamic = true;
    ca.pose = at(0, 0, 3);
    Actor *b = scene->create_actor(ca);
    ASSERT_TRUE(b);
    step(180);
    EXPECT_NEAR(z(b), 0.5f, 0.08f);
    sdk->release_scene(scene);
    scene = sdk->create_scene(SceneDesc{});
    sdk->release_mesh(tri);
    sdk->release_mesh(convex);
    EXPECT_EQ(sdk->mesh_count(), 0u);
}

TEST(CookedMesh, BrokenBytesAreRefusedWithAReason)
{
    std::vector<u8> good = test::write_triangle_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2});
    CookedMesh m;
    ASSERT_TRUE(read_cooked_mesh(good.data(), good.size(), m));
    EXPECT_EQ(m.triangle_count, 1u);
    auto patched = [&](u32 offset, u32 value) {
        std::vector<u8> b = good;
        memcpy(b.data() + offset, &value, 4);
        return b;
    };
    f32 inf = INFINITY;
    u32 inf_bits;
    memcpy(&inf_bits, &inf, 4);
    struct Case {
        const char *name;
        std::vector<u8> bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"truncated", std::vector<u8>(good.begin(), good.end() - 1)},
        {"trailing byte", [&] { auto b = good; b.push_back(0); return b; }()},
        {"magic", patched(0, 0)},
        {"version", patched(4, 2)},
        {"kind", patched(8, 7)},
        {"huge vertex count", patched(12, 0xFFFFFFFFu)},
        {"huge triangle count", patched(16, 0x40000000u)},
        {"index past vertices", patched(20 + 36 + 8, 3)},
        {"infinite vertex", patched(20, inf_bits)},
        {"hull with triangles", test::write_convex_mesh({{0, 0, 0}}).size() ? [&] {
             auto b = test::write_convex_mesh({{0, 0, 0}});
             u32 one = 1;
             memcpy(b.data() + 16, &one, 4);
             return b;
         }() : std::vector<u8>{}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const char *reason = nullptr;
        EXPECT_FALSE(read_cooked_mesh(c.bytes.data(), c.bytes.size(), m, &reason));
        EXPECT_TRUE(reason != nullptr);
    }
}

TEST(PhysicsLayerDeterminism, SameCallsGiveTheSamePoses)
{
    auto run = [](std::vector<f32> &out) {
        ISdk *sdk = create_bullet_sdk(default_allocator(), nullptr);
        IScene *scene = sdk->create_scene(SceneDesc{});
        ShapeDesc f;
        f.kind = ShapeKind::Box;
        f.size = {20, 20, 0.5f};
        f.groups = mask(1, 1);
        ActorDesc fd;
        fd.shapes = &f;
        fd.shape_count = 1;
        fd.pose = at(0, 0, -0.5f);
        scene->create_actor(fd);
        std::vector<Actor *> boxes;
        for (int i = 0; i < 27; ++i) {
            ShapeDesc s = f;
            s.size = {0.4f, 0.4f, 0.4f};
            ActorDesc d;
            d.shapes = &s;
            d.shape_count = 1;
            d.dynamic = true;
            d.mass = 1;
            d.pose = at(0.3f * (i % 3), 0.2f * (i / 3 % 3), 1 + i);
            boxes.push_back(scene->create_actor(d));
        }
        for (int frame = 0; frame < 200; ++frame) {
            scene->simulate(frame % 3 ? 1.0f / 60 : 1.0f / 45);
            scene->fetch_results();
        }
        for (Actor *b : boxes) {
            Matrix4x4 m = scene->global_pose(b);
            out.insert(out.end(), &m.m[0][0], &m.m[0][0] + 16);
        }
        sdk->release_scene(scene);
        release_sdk(sdk);
    };
    std::vector<f32> first, second;
    run(first);
    run(second);
    ASSERT_EQ(first.size(), second.size());
    EXPECT_EQ(memcmp(first.data(), second.data(), first.size() * sizeof(f32)), 0);
}

} // namespace
} // namespace tallow::px
