// A whole step of 1000 boxes falling onto a floor and onto each other: the engine's
// PhysicsWorld (kinematic pass, our layer's step with its report walk, pose write-back into
// a scene graph) against Bullet stepping the same scene directly with the same sub-steps
// and the same friction; and the engine's world on a pool of 8 workers, its step split over
// the job system, against the same Bullet step on one thread.
// Each iteration builds a fresh scene (not timed) and times 60 frames of 1/60 s.
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "physics/physics_sdk.h"
#include "physics/physics_world.h"
#include "world/units/scene_graph.h"

#include <btBulletDynamicsCommon.h>

#include <cstdio>
#include <memory>
#include <vector>

using namespace tallow;

namespace {

constexpr int box_count = 1000;
constexpr int frames = 60;

Vector3 box_position(int i) { return {1.5f * f32(i % 10), 1.5f * f32(i / 10 % 10), 1.0f + 1.2f * f32(i / 100)}; }

void run_engine_world(benchmark::State &state, ThreadPool *pool)
{
    PhysicsSdk sdk(default_allocator(), pool, px::create_bullet_sdk);
    for (auto _ : state) {
        state.PauseTiming();
        PhysicsWorld *world = sdk.create_world(nullptr);
        // Scene graphs hold at most 504 nodes: 250 boxes to a graph, as units would be.
        std::vector<std::unique_ptr<SceneGraph>> graphs;
        for (int g = 0; g < box_count / 250; ++g)
            graphs.push_back(std::make_unique<SceneGraph>(default_allocator(), 250));
        ActorTemplate floor_template, box_template;
        box_template.flags = actor_dynamic;
        box_template.mass = 1;
        box_template.angular_damping = 0.05f;
        px::ShapeDesc floor;
        floor.kind = px::ShapeKind::Box;
        floor.size = {100, 100, 0.5f};
        floor.groups = groups_mask({1, 1});
        Matrix4x4 pose = matrix4x4_identity;
        set_translation(pose, {0, 0, -0.5f});
        world->create_actor_from(floor_template, &floor, 1, pose, nullptr);
        px::ShapeDesc box = floor;
        box.size = {0.5f, 0.5f, 0.5f};
        for (int i = 0; i < box_count; ++i) {
            set_translation(pose, box_position(i));
            PhysicsActor *a = world->create_actor_from(box_template, &box, 1, pose, nullptr);
            a->scene_graph = graphs[i / 250].get();
            a->node = u32(i % 250);
        }
        state.ResumeTiming();
        for (int f = 0; f < frames; ++f)
            world->update(1.0f / 60);
        state.PauseTiming();
        benchmark::DoNotOptimize(graphs[0]->world_pose(0));
        sdk.destroy_world(world);
        graphs.clear();
        state.ResumeTiming();
    }
}

void BM_EnginePhysicsWorld(benchmark::State &state) { run_engine_world(state, nullptr); }

void BM_EnginePhysicsWorldPool8(benchmark::State &state)
{
    ThreadRegistry registry(default_allocator(), "main");
    ThreadPool pool(default_allocator(), 8, registry);
    run_engine_world(state, &pool);
}

void BM_BulletDirect(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto config = std::make_unique<btDefaultCollisionConfiguration>();
        auto dispatcher = std::make_unique<btCollisionDispatcher>(config.get());
        auto broadphase = std::make_unique<btDbvtBroadphase>();
        auto solver = std::make_unique<btSequentialImpulseConstraintSolver>();
        auto world = std::make_unique<btDiscreteDynamicsWorld>(dispatcher.get(), broadphase.get(), solver.get(), config.get());
        world->setGravity(btVector3(0, 0, -9.82f));
        btBoxShape floor_shape(btVector3(100, 100, 0.5f));
        btBoxShape box_shape(btVector3(0.5f, 0.5f, 0.5f));
        std::vector<std::unique_ptr<btDefaultMotionState>> states;
        std::vector<std::unique_ptr<btRigidBody>> bodies;
        auto add = [&](btCollisionShape *shape, f32 mass, btVector3 at) {
            btVector3 inertia(0, 0, 0);
            if (mass > 0)
                shape->calculateLocalInertia(mass, inertia);
            states.push_back(std::make_unique<btDefaultMotionState>(btTransform(btQuaternion::getIdentity(), at)));
            btRigidBody::btRigidBodyConstructionInfo info(mass, states.back().get(), shape, inertia);
            info.m_angularDamping = 0.05f;
            // Bullet multiplies two bodies' frictions; the engine's pairs use the average of
            // their materials' (0.5 each by default): the same 0.5 here.
            info.m_friction = 0.70710678f;
            bodies.push_back(std::make_unique<btRigidBody>(info));
            world->addRigidBody(bodies.back().get());
        };
        add(&floor_shape, 0, btVector3(0, 0, -0.5f));
        for (int i = 0; i < box_count; ++i) {
            Vector3 p = box_position(i);
            add(&box_shape, 1, btVector3(p.x, p.y, p.z));
        }
        state.ResumeTiming();
        for (int f = 0; f < frames; ++f)
            world->stepSimulation(1.0f / 60, 4, 1.0f / 240);
        state.PauseTiming();
        for (auto &b : bodies)
            world->removeRigidBody(b.get());
        bodies.clear();
        world.reset();
        state.ResumeTiming();
    }
}

} // namespace

BENCHMARK(BM_EnginePhysicsWorld)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_EnginePhysicsWorldPool8)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BulletDirect)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    const bench::RatioReporter &runs = program.run();
    const bench::TimeRatio ratios[] = {
        {"1000 boxes, 60 steps", "BM_EnginePhysicsWorld", "BM_BulletDirect"},
    };
    bench::print_time_ratios(runs, "engine physics world time / Bullet directly (goal: at most 1.1)", ratios);
    const bench::TimeRatio pooled[] = {
        {"1000 boxes, 60 steps", "BM_EnginePhysicsWorldPool8", "BM_BulletDirect"},
    };
    bench::print_time_ratios(runs, "engine physics world on 8 workers / Bullet on one thread (goal: at most 0.35)",
                             pooled);
    return 0;
}
