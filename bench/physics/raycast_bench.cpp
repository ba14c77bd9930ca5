// 10,000 closest-hit raycasts through a scene of 1000 boxes: the engine's PhysicsWorld
// (a synchronous raycast_closest: our layer's ray callback with the query rules, the hit's
// actor record and its weak id) against Bullet's own rayTest with a closest-hit callback on
// the same boxes in the same kind of world. The boxes stand in a 10 x 10 x 10 grid; the rays
// start on a circle around it and aim at points inside, so most hit and some pass through
// gaps.
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "physics/physics_sdk.h"
#include "physics/physics_world.h"

#include <btBulletDynamicsCommon.h>

#include <cfloat>
#include <cmath>
#include <memory>
#include <vector>

using namespace tallow;

namespace {

constexpr int box_count = 1000;
constexpr int ray_count = 10000;

Vector3 box_position(int i) { return {3.0f * f32(i % 10), 3.0f * f32(i / 10 % 10), 3.0f * f32(i / 100)}; }

struct Ray {
    Vector3 from, direction;
};

std::vector<Ray> rays()
{
    std::vector<Ray> out;
    u32 seed = 12345;
    auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return f32(seed >> 8) / f32(1u << 24);
    };
    for (int i = 0; i < ray_count; ++i) {
        f32 angle = 6.2831853f * next();
        Vector3 from{13.5f + 40 * std::cos(angle), 13.5f + 40 * std::sin(angle), 30 * next()};
        Vector3 to{27 * next(), 27 * next(), 27 * next()};
        out.push_back({from, normalize(to - from)});
    }
    return out;
}

void BM_EngineClosestRaycast(benchmark::State &state)
{
    PhysicsSdk sdk(default_allocator(), nullptr, px::create_bullet_sdk);
    PhysicsWorld *world = sdk.create_world(nullptr);
    ActorTemplate still;
    px::ShapeDesc box;
    box.kind = px::ShapeKind::Box;
    box.size = {0.5f, 0.5f, 0.5f};
    box.groups = groups_mask({1, 1});
    for (int i = 0; i < box_count; ++i) {
        Matrix4x4 pose = matrix4x4_identity;
        set_translation(pose, box_position(i));
        world->create_actor_from(still, &box, 1, pose, nullptr);
    }
    const std::vector<Ray> cast = rays();
    QuerySettings settings;
    RaycastResult result(default_allocator());
    u32 hits = 0;
    for (auto _ : state) {
        hits = 0;
        for (const Ray &r : cast) {
            world->raycast_closest({r.from, r.direction, FLT_MAX}, settings, result);
            hits += result.hit;
        }
        benchmark::DoNotOptimize(hits);
    }
    state.counters["hits"] = hits;
    sdk.destroy_world(world);
}

void BM_BulletClosestRayTest(benchmark::State &state)
{
    btDefaultCollisionConfiguration config;
    btCollisionDispatcher dispatcher(&config);
    btDbvtBroadphase broadphase;
    btSequentialImpulseConstraintSolver solver;
    btDiscreteDynamicsWorld world(&dispatcher, &broadphase, &solver, &config);
    btBoxShape shape(btVector3(0.5f, 0.5f, 0.5f));
    std::vector<std::unique_ptr<btRigidBody>> bodies;
    for (int i = 0; i < box_count; ++i) {
        Vector3 p = box_position(i);
        btRigidBody::btRigidBodyConstructionInfo info(0, nullptr, &shape);
        info.m_startWorldTransform.setOrigin(btVector3(p.x, p.y, p.z));
        bodies.push_back(std::make_unique<btRigidBody>(info));
        world.addRigidBody(bodies.back().get());
    }
    const std::vector<Ray> cast = rays();
    // The same reach the engine's layer gives a ray at the float maximum.
    const f32 reach = 1.0e6f;
    u32 hits = 0;
    for (auto _ : state) {
        hits = 0;
        for (const Ray &r : cast) {
            btVector3 from(r.from.x, r.from.y, r.from.z);
            btVector3 to = from + btVector3(r.direction.x, r.direction.y, r.direction.z) * reach;
            btCollisionWorld::ClosestRayResultCallback callback(from, to);
            world.rayTest(from, to, callback);
            hits += callback.hasHit();
        }
        benchmark::DoNotOptimize(hits);
    }
    state.counters["hits"] = hits;
    for (auto &b : bodies)
        world.removeRigidBody(b.get());
}

} // namespace

BENCHMARK(BM_EngineClosestRaycast)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_BulletClosestRayTest)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    const bench::RatioReporter &runs = program.run();
    const bench::TimeRatio ratios[] = {
        {"10k closest raycasts, 1000 boxes", "BM_EngineClosestRaycast", "BM_BulletClosestRayTest"},
    };
    bench::print_time_ratios(runs, "engine raycast time / Bullet rayTest (goal: at most 1.2)", ratios);
    return 0;
}
