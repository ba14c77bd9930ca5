// Flocks: the desired velocity of each mode, the time-to-collision function, the overlap
// push, whole-flock scenarios (small flocks, a circle swap, walking a mesh) and the
// determinism of a step over any number of pool workers.
#include "ai/flock.h"

#include "ai/nav_mesh.h"
#include "foundation/math/vector3.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/murmur_hash.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "tests/support/log_capture.h"
#include "tests/support/writers/nav_mesh_writer.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>

namespace tallow {
namespace {

bool finite(const Vector3 &v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

TEST(Flock, DesiredVelocityFollowsEachModeTable)
{
    Flock flock(default_allocator(), nullptr);
    const u32 a = flock.add_agent({0, 0, 0}, 1.0f, 2.0f);
    const u32 b = flock.add_agent({5, 0, 0}, 1.0f, 2.0f);
    const u32 path = flock.add_path();
    ASSERT_TRUE(flock.add_path_point(path, {0, 0.5f, 0}, 1.0f));
    ASSERT_TRUE(flock.add_path_point(path, {0, 10, 0}, 1.0f));
    Array<FlockAgent> agents = flock.agents();
    struct Case {
        const char *name;
        FlockMode mode;
        Vector3 target;
        u32 other;
        Vector3 position;
        Vector3 expected;
        FlockMode expected_mode;
        u32 expected_point;
    };
    const Case cases[] = {
        {"hold", FlockMode::Hold, {}, 0, {0, 0, 0}, {0, 0, 0}, FlockMode::Hold, 0},
        {"go_to exactly on the target", FlockMode::GoTo, {3, 0, 0}, 0, {3, 0, 0}, {0, 0, 0}, FlockMode::GoTo, 0},
        {"go_to inside one radius: linear", FlockMode::GoTo, {3, 0, 0}, 0, {2.5f, 0, 0}, {1, 0, 0}, FlockMode::GoTo, 0},
        {"go_to outside: full speed", FlockMode::GoTo, {0, 8, 0}, 0, {0, 0, 0}, {0, 2, 0}, FlockMode::GoTo, 0},
        {"follow closer than two radii stops", FlockMode::Follow, {}, b, {3.5f, 0, 0}, {0, 0, 0}, FlockMode::Follow, 0},
        {"follow farther walks", FlockMode::Follow, {}, b, {0, 0, 0}, {2, 0, 0}, FlockMode::Follow, 0},
        {"follow_path reaches a point and moves on", FlockMode::FollowPath, {}, 0, {0, 0, 0}, {0, 2, 0}, FlockMode::FollowPath, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FlockAgent agent = agents[a];
        agent.mode = c.mode;
        agent.target = c.target;
        agent.target_agent = c.other;
        agent.path = path;
        agent.path_point = 0;
        agent.position = c.position;
        const Vector3 v = flock_desired_velocity(agent, agents, flock.paths());
        EXPECT_NEAR(v.x, c.expected.x, 1e-5f);
        EXPECT_NEAR(v.y, c.expected.y, 1e-5f);
        EXPECT_NEAR(v.z, c.expected.z, 1e-5f);
        EXPECT_EQ(agent.mode, c.expected_mode);
        EXPECT_EQ(agent.path_point, c.expected_point);
    }
    // The last point reached switches the agent to hold.
    FlockAgent walker = agents[a];
    walker.mode = FlockMode::FollowPath;
    walker.path = path;
    walker.path_point = 1;
    walker.position = {0, 9.5f, 0};
    flock_desired_velocity(walker, agents, flock.paths());
    EXPECT_EQ(walker.mode, FlockMode::Hold);
    // An empty path and a removed leader give no velocity.
    walker.mode = FlockMode::FollowPath;
    walker.path = flock.add_path();
    walker.path_point = 0;
    EXPECT_EQ(flock_desired_velocity(walker, agents, flock.paths()), Vector3{});
    agents[b].mode = FlockMode::Removed;
    walker.mode = FlockMode::Follow;
    walker.target_agent = b;
    EXPECT_EQ(flock_desired_velocity(walker, agents, flock.paths()), Vector3{});
}

TEST(Flock, TimeToCollisionTableNeverGivesNaN)
{
    FlockAgent a;
    a.radius = 0.5f;
    struct Case {
        const char *name;
        Vector3 candidate;
        Vector3 neighbour_position;
        Vector3 neighbour_velocity;
        f32 expected;
    };
    const Case cases[] = {
        {"moving apart", {-1, 0, 0}, {5, 0, 0}, {0, 0, 0}, FLT_MAX},
        {"head-on: gap 4 closed at 2 per second", {1, 0, 0}, {5, 0, 0}, {-1, 0, 0}, 2.0f},
        {"passing wide", {1, 0, 0}, {5, 3, 0}, {0, 0, 0}, FLT_MAX},
        {"same velocity as the neighbour: never meet", {1, 1, 0}, {5, 0, 0}, {1, 1, 0}, FLT_MAX},
        {"standing still next to a standing neighbour", {0, 0, 0}, {5, 0, 0}, {0, 0, 0}, FLT_MAX},
        {"overlapping and closing in", {1, 1, 0}, {0.5f, 0, 0}, {0, 0, 0}, -FLT_MAX},
        {"overlapping, candidate with a zero x", {0, -1, 0}, {0.5f, 0, 0}, {0, 0, 0}, -FLT_MAX},
        {"overlapping and separating", {-1, -1, 0}, {0.5f, 0, 0}, {0, 0, 0}, 0.25f},
        {"overlapping, no relative motion", {1, 1, 0}, {0.5f, 0.5f, 0}, {1, 1, 0}, 0.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FlockNeighbour n;
        n.agent = 1;
        n.position = c.neighbour_position;
        n.velocity = c.neighbour_velocity;
        n.radius = 0.5f;
        const f32 t = flock_time_to_collision(a, c.candidate, n);
        EXPECT_FALSE(std::isnan(t));
        if (std::fabs(c.expected) == FLT_MAX)
            EXPECT_EQ(t, c.expected);
        else
            EXPECT_NEAR(t, c.expected, 1e-5f);
    }
}

TEST(Flock, OverlapPushMovesOnlyTheMovingAgentByTwiceThePushCappedAndSeparatesCoincidentAgents)
{
    Flock flock(default_allocator(), nullptr);
    const u32 wall = flock.add_agent({0, 0, 0}, 1.0f, 0.0f); // static
    const u32 walker = flock.add_agent({1.9f, 0, 0}, 1.0f, 1.0f);
    const u32 p = flock.add_agent({30, 0, 0}, 1.0f, 1.0f);
    const u32 q = flock.add_agent({30, 0, 0}, 1.0f, 1.0f); // on the same spot
    const u32 deep_wall = flock.add_agent({60, 0, 0}, 1.0f, 0.0f);
    const u32 deep = flock.add_agent({60.5f, 0, 0}, 1.0f, 1.0f);
    flock.update(1.0f / 30.0f);
    EXPECT_EQ(flock.agent(wall).position, (Vector3{0, 0, 0}));
    EXPECT_EQ(flock.agent(deep_wall).position, (Vector3{60, 0, 0}));
    // Overlap 0.1: pushed by twice min(0.05, 0.1), out of contact (then it may walk on).
    EXPECT_GE(flock.agent(walker).position.x, 2.0f - 1e-5f);
    EXPECT_LT(flock.agent(walker).position.x, 2.0f + 0.05f);
    // Overlap 1.5: each of the two passes over the pair pushes by twice the 0.1 cap.
    EXPECT_GE(flock.agent(deep).position.x, 60.5f + 0.4f - 1e-4f);
    EXPECT_LT(flock.agent(deep).position.x, 60.5f + 0.4f + 0.05f);
    EXPECT_GT(length(flock.agent(p).position - flock.agent(q).position), 0.0f);
    EXPECT_LE(length(flock.agent(p).position - flock.agent(q).position), 4 * 0.1f + 0.05f);
}

TEST(Flock, FlocksOfOneToThreeAgentsMove)
{
    for (u32 count = 1; count <= 3; ++count) {
        SCOPED_TRACE(count);
        Flock flock(default_allocator(), nullptr);
        for (u32 i = 0; i < count; ++i) {
            const u32 a = flock.add_agent({0, f32(i) * 5.0f, 0}, 0.5f, 2.0f);
            flock.go_to(a, {20, f32(i) * 5.0f, 0});
        }
        for (int step = 0; step < 150; ++step)
            flock.update(1.0f / 30.0f);
        for (u32 i = 0; i < count; ++i)
            EXPECT_GT(flock.agent(i).position.x, 5.0f);
    }
}

TEST(Flock, AgentZeroSeesItsNeighboursAndNewAgentsStartWithEmptyRecords)
{
    Flock flock(default_allocator(), nullptr);
    const u32 a = flock.add_agent({0, 0, 0}, 0.5f, 2.0f);
    const u32 b = flock.add_agent({4, 0, 0}, 0.5f, 2.0f);
    for (const FlockNeighbour &n : flock.agent(a).neighbours)
        EXPECT_EQ(n.agent, flock_no_agent);
    flock.go_to(a, {8, 0, 0});
    flock.go_to(b, {-4, 0, 0});
    flock.update(1.0f / 30.0f);
    bool sees_b = false;
    for (const FlockNeighbour &n : flock.agent(a).neighbours) {
        EXPECT_NE(n.agent, a);
        sees_b |= n.agent == b;
    }
    EXPECT_TRUE(sees_b);
}

TEST(Flock, CircleSwapKeepsOverlapBoundedWithoutNaN)
{
    Flock flock(default_allocator(), nullptr);
    const u32 count = 40;
    const f32 radius = 0.5f;
    for (u32 i = 0; i < count; ++i) {
        const f32 angle = f32(i) * 6.2831853f / f32(count);
        const Vector3 p{12.0f * std::cos(angle), 12.0f * std::sin(angle), 0};
        const u32 a = flock.add_agent(p, radius, 1.5f);
        flock.go_to(a, -p);
    }
    f32 worst = 0;
    for (int step = 0; step < 900; ++step) {
        flock.update(1.0f / 30.0f);
        for (u32 i = 0; i < count; ++i) {
            ASSERT_TRUE(finite(flock.agent(i).position)) << "step " << step;
            ASSERT_TRUE(finite(flock.agent(i).velocity)) << "step " << step;
            for (u32 j = i + 1; j < count; ++j) {
                const f32 depth = 2 * radius - length(flock.agent(i).position - flock.agent(j).position);
                worst = std::max(worst, depth);
            }
        }
    }
    EXPECT_LT(worst, radius); // never more than half-way into each other
    u32 arrived = 0;
    for (u32 i = 0; i < count; ++i)
        arrived += length(flock.agent(i).position - flock.agent(i).target) < 2.0f;
    EXPECT_GE(arrived, count * 3 / 4);
}

u64 hash_flock(const Flock &flock)
{
    return murmur_hash_64(flock.agents().data(), u64(flock.agents().size()) * sizeof(FlockAgent), 0);
}

u64 run_crowd(ThreadPool *pool)
{
    Flock flock(default_allocator(), pool);
    std::mt19937 random(5);
    std::uniform_real_distribution<f32> coordinate(-40.0f, 40.0f);
    for (u32 i = 0; i < 403; ++i) {
        const u32 a = flock.add_agent({coordinate(random), coordinate(random), 0}, 0.5f, 1.0f + f32(i % 3));
        if (i % 5)
            flock.go_to(a, {coordinate(random), coordinate(random), 0});
        else if (i > 0)
            flock.follow(a, i - 1);
    }
    for (int step = 0; step < 40; ++step)
        flock.update(1.0f / 30.0f);
    return hash_flock(flock);
}

TEST(Flock, StateAfterNStepsIsBitwiseEqualOnOneAndEightWorkers)
{
    ThreadRegistry registry(default_allocator(), "main");
    u64 one, eight;
    {
        ThreadPool pool(default_allocator(), 1, registry);
        one = run_crowd(&pool);
    }
    {
        ThreadPool pool(default_allocator(), 8, registry);
        eight = run_crowd(&pool);
    }
    EXPECT_EQ(one, eight);
    EXPECT_EQ(one, run_crowd(nullptr));
}

TEST(Flock, AgentsStayOnTheMesh)
{
    const std::vector<u8> block = test::write_nav_mesh(test::grid_nav_mesh(10, 8, 2.0f, 3, 7));
    NavMesh *mesh = read_nav_mesh(block.data(), block.size(), default_allocator());
    ASSERT_NE(mesh, nullptr);
    Flock flock(default_allocator(), nullptr);
    flock.set_navigation_mesh(mesh);
    std::mt19937 random(9);
    std::uniform_real_distribution<f32> x(-5.0f, 25.0f), y(-5.0f, 21.0f);
    for (u32 i = 0; i < 60; ++i) {
        const u32 a = flock.add_agent({x(random), y(random), 3}, 0.3f, 2.0f);
        flock.go_to(a, {x(random), y(random), 0}); // some targets lie off the mesh
    }
    for (int step = 0; step < 300; ++step) {
        flock.update(1.0f / 30.0f);
        for (const FlockAgent &a : flock.agents()) {
            ASSERT_TRUE(finite(a.position));
            ASSERT_LT(a.polygon, mesh->polygon_count());
            ASSERT_LT(mesh->outside_distance(a.position, a.polygon), 1e-3f)
                << "step " << step << " agent " << (&a - flock.agents().data()) << " at " << a.position.x << " "
                << a.position.y << " " << a.position.z << " polygon " << a.polygon;
            const NavMeshPolygon &poly = mesh->polygon(a.polygon);
            EXPECT_NEAR(dot(poly.unit_normal, a.position - mesh->vertex(poly.corners[0])), 0.0f, 1e-3f);
            EXPECT_NEAR(length(a.up), 1.0f, 1e-3f);
        }
    }
    // The mesh goes (its level was unloaded): the flock lets go of it.
    test::LogCapture log("ai");
    destroy_nav_mesh(mesh, default_allocator());
    flock.update(1.0f / 30.0f);
    EXPECT_EQ(flock.navigation_mesh(), nullptr);
    EXPECT_TRUE(log.contains("navigation mesh is gone"));
}

TEST(Flock, WithoutMeshAgentsStayAtZeroAndZeroTimeStepsChangeNothing)
{
    Flock flock(default_allocator(), nullptr);
    const u32 a = flock.add_agent({0, 0, 4}, 0.5f, 2.0f);
    flock.go_to(a, {10, 0, 5});
    flock.update(0.1f);
    EXPECT_EQ(flock.agent(a).position.z, 0.0f);
    const u64 before = hash_flock(flock);
    flock.update(0.0f);
    flock.update(-1.0f);
    flock.update(NAN);
    EXPECT_EQ(hash_flock(flock), before);
}

TEST(Flock, RemovedAgentsStopAndSettersRefuseBadArguments)
{
    Flock flock(default_allocator(), nullptr);
    const u32 a = flock.add_agent({0, 0, 0}, 0.5f, 2.0f);
    const u32 b = flock.add_agent({1.5f, 0, 0}, 0.5f, 2.0f);
    flock.go_to(a, {10, 0, 0});
    flock.go_to(b, {10, 0, 0});
    for (int i = 0; i < 10; ++i)
        flock.update(0.1f);
    ASSERT_TRUE(flock.remove_agent(b));
    const Vector3 stopped = flock.agent(b).position;
    for (int i = 0; i < 10; ++i)
        flock.update(0.1f);
    EXPECT_EQ(flock.agent(b).position, stopped);
    for (const FlockNeighbour &n : flock.agent(a).neighbours)
        EXPECT_NE(n.agent, b);
    EXPECT_FALSE(flock.go_to(b, {0, 0, 0}));
    EXPECT_FALSE(flock.go_to(7, {0, 0, 0}));
    EXPECT_FALSE(flock.go_to(a, {NAN, 0, 0}));
    EXPECT_FALSE(flock.follow(a, b));
    EXPECT_FALSE(flock.follow(a, a));
    EXPECT_FALSE(flock.follow_path(a, 3));
    EXPECT_FALSE(flock.add_path_point(3, {0, 0, 0}, 1));
    EXPECT_EQ(flock.add_agent({INFINITY, 0, 0}, 1, 1), flock_no_agent);
    EXPECT_EQ(flock.add_agent({0, 0, 0}, -1, 1), flock_no_agent);
}

} // namespace
} // namespace tallow
