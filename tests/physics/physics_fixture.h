#pragma once
// Physics worlds for the tests: an SDK over Bullet or over the recording backend, the
// physics properties the sample's kind of units name, small helpers to make box actors
// with a node of their own, and a walk of the event stream into readable records.

#include "foundation/io/input_archive.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/murmur_hash.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "physics/physics_properties.h"
#include "physics/physics_sdk.h"
#include "physics/physics_world.h"
#include "platform/physics/physics_recording.h"
#include "tests/support/writers/physics_properties_writer.h"
#include "world/units/scene_graph.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tallow::test {

inline Matrix4x4 at(f32 x, f32 y, f32 z)
{
    Matrix4x4 m = matrix4x4_identity;
    set_translation(m, {x, y, z});
    return m;
}

/// Loads properties bytes as the resource type does; null when refused.
inline std::unique_ptr<PhysicsProperties> read_properties(const std::vector<u8> &bytes, const char **reason = nullptr)
{
    auto p = std::make_unique<PhysicsProperties>(default_allocator());
    InputArchive archive(make_shared_reference<MemoryInputBuffer>(default_allocator(), bytes.data(), bytes.size()));
    if (!p->read(archive, reason))
        return nullptr;
    return p;
}

struct EventRecord {
    u32 id;
    std::vector<u8> payload;
    template <typename T> T as() const
    {
        T t;
        EXPECT_GE(payload.size(), sizeof(T));
        memcpy(&t, payload.data(), sizeof(T));
        return t;
    }
};

inline std::vector<EventRecord> take_events(PhysicsWorld &world)
{
    std::vector<EventRecord> out;
    walk_world_events(*world.event_stream(), [&](u32 id, const u8 *record, u32 size) {
        out.push_back({id, std::vector<u8>(record + 8, record + 8 + size)});
    });
    world.event_stream()->clear();
    return out;
}

inline ActorTemplate actor_template(u32 flags, f32 mass = 1.0f)
{
    ActorTemplate t;
    t.flags = flags;
    t.mass = mass;
    t.angular_damping = 0.05f;
    return t;
}

inline px::ShapeDesc box_shape(Vector3 half, CollisionFilter filter = {1, 1}, u32 flags = 0, u32 trigger_status = 0)
{
    px::ShapeDesc s;
    s.kind = px::ShapeKind::Box;
    s.size = half;
    s.groups = groups_mask(filter);
    s.flags = flags;
    s.trigger_status = trigger_status;
    return s;
}

/// A PhysicsWorld over Bullet or the recording backend, with a scene graph whose node i
/// actors can follow.
class PhysicsWorldFixture : public ::testing::Test {
  protected:
    void make(bool bullet)
    {
        if (bullet)
            sdk = std::make_unique<PhysicsSdk>(default_allocator(), nullptr, px::create_bullet_sdk);
        else
            sdk = std::make_unique<PhysicsSdk>(default_allocator(), nullptr, [](Allocator &, px::IErrorSink *) -> px::ISdk * {
                static px::RecordingSdk recording;
                return &recording;
            });
        world = sdk->create_world(nullptr);
        ASSERT_TRUE(world);
        graph = std::make_unique<SceneGraph>(default_allocator(), 8);
    }
    void TearDown() override
    {
        if (world)
            sdk->destroy_world(world);
        graph.reset();
        sdk.reset();
    }
    px::RecordingScene &recording() { return *static_cast<px::RecordingScene *>(world->scene()); }

    PhysicsActor *box(u32 flags, const Matrix4x4 &pose, Vector3 half = {0.5f, 0.5f, 0.5f}, const u32 *targets = nullptr,
                      CollisionFilter filter = {1, 1}, u32 shape_flags = 0, u32 trigger_status = 0)
    {
        px::ShapeDesc s = box_shape(half, filter, shape_flags, trigger_status);
        return world->create_actor_from(actor_template(flags), &s, 1, pose, targets);
    }
    /// Gives the actor node `node` of the fixture's graph, placed at the actor's pose.
    void attach(PhysicsActor *a, u32 node)
    {
        a->scene_graph = graph.get();
        a->node = node;
        graph->set_local_pose(node, world->scene()->global_pose(a->actor));
        graph->set_world_pose(node, world->scene()->global_pose(a->actor));
    }
    void step(u32 frames)
    {
        for (u32 i = 0; i < frames; ++i) {
            world->update(1.0f / 60);
            ASSERT_TRUE(world->validate());
        }
    }

    std::unique_ptr<PhysicsSdk> sdk;
    PhysicsWorld *world = nullptr;
    std::unique_ptr<SceneGraph> graph;
};

/// Steps `w` one frame of `dt`, folds the frame's event stream into `hash` and empties it.
inline u64 step_and_hash_events(PhysicsWorld &w, f32 dt, u64 hash)
{
    w.update(dt);
    Array<u8> &events = *w.event_stream();
    hash = murmur_hash_64(events.data(), events.size(), hash);
    events.clear();
    return hash;
}

/// Folds the poses of the actors of `actors` that are still alive into `hash`.
inline u64 hash_actor_poses(PhysicsWorld &w, const std::vector<PhysicsActor *> &actors, u64 hash)
{
    for (PhysicsActor *a : actors) {
        if (a->tag != physics_actor_tag)
            continue;
        Matrix4x4 m = w.scene()->global_pose(a->actor);
        hash = murmur_hash_64(&m, sizeof m, hash);
    }
    return hash;
}

/// Runs `run` (a scene stepped to its state hash) twice without a pool and twice on pools of
/// 1 and 8 workers, and expects one hash from every run.
inline void expect_one_state_on_any_number_of_workers(u64 (*run)(ThreadPool *pool))
{
    const u64 alone = run(nullptr);
    EXPECT_EQ(alone, run(nullptr));
    ThreadRegistry registry(default_allocator(), "main");
    for (u32 workers : {1u, 8u}) {
        SCOPED_TRACE(workers);
        ThreadPool pool(default_allocator(), workers, registry);
        EXPECT_EQ(run(&pool), alone);
        EXPECT_EQ(run(&pool), alone);
    }
}

} // namespace tallow::test
