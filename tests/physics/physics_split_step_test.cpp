// The Bullet step split over the engine's job system: a scene of many islands posts its
// work as "physics_job" jobs that more than one worker runs, and the world's state is the
// same with no pool, on 1 worker and on 8, run after run.
#include "physics_fixture.h"

#include "foundation/strings/murmur_hash.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "physics/physics_task_scheduler.h"

#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace tallow::test {
namespace {

// Stacks of boxes far enough apart to be islands of their own, some of two-box compound
// actors (several contact manifolds per pair), some pairs joined by a joint, one destroyed
// on the way and one stack kicked awake again.
u64 run_many_islands(ThreadPool *pool)
{
    PhysicsSdk sdk(default_allocator(), pool, px::create_bullet_sdk);
    PhysicsWorld *w = sdk.create_world(nullptr);
    px::ShapeDesc ground = box_shape({60, 60, 0.5f});
    w->create_actor_from(actor_template(0), &ground, 1, at(0, 0, -0.5f), nullptr);
    u32 touch[5] = {1, 2, physics_no_index, physics_no_index, physics_no_index};
    std::vector<PhysicsActor *> actors;
    for (int stack = 0; stack < 36; ++stack) {
        f32 x = -30 + 10.0f * f32(stack % 6), y = -30 + 10.0f * f32(stack / 6);
        for (int level = 0; level < 5; ++level) {
            Matrix4x4 pose = at(x + 0.05f * f32(level % 2), y, 0.6f + 1.1f * f32(level));
            if (stack % 3 == 0) {
                px::ShapeDesc parts[2] = {box_shape({0.5f, 0.25f, 0.25f}), box_shape({0.25f, 0.5f, 0.25f})};
                parts[1].local_pose = at(0, 0, 0.2f);
                actors.push_back(w->create_actor_from(actor_template(actor_dynamic), parts, 2, pose, touch));
            } else {
                px::ShapeDesc s = box_shape({0.5f, 0.5f, 0.5f});
                actors.push_back(w->create_actor_from(actor_template(actor_dynamic), &s, 1, pose, touch));
            }
        }
        if (stack % 4 == 1) {
            px::JointDesc joint;
            joint.type = px::JointType::Spherical;
            joint.actors[0] = actors[actors.size() - 2]->actor;
            joint.actors[1] = actors[actors.size() - 1]->actor;
            joint.anchors[0] = {0, 0, 0.55f};
            joint.anchors[1] = {0, 0, -0.55f};
            EXPECT_NE(w->scene()->create_joint(joint), nullptr);
        }
    }
    u64 hash = 0;
    for (int frame = 0; frame < 150; ++frame) {
        if (frame == 40)
            w->destroy_actor(actors[12]);
        if (frame == 70)
            w->scene()->set_linear_velocity(actors[30]->actor, {3, 0, 4});
        hash = step_and_hash_events(*w, frame % 3 ? 1.0f / 60 : 1.0f / 30, hash);
    }
    hash = hash_actor_poses(*w, actors, hash);
    sdk.destroy_world(w);
    return hash;
}

TEST(PhysicsSplitStep, ManyIslandsGiveTheSameStateWithoutAPoolAndOnAnyNumberOfWorkers)
{
    expect_one_state_on_any_number_of_workers(run_many_islands);
}

// Small swept boxes fired fast at a thin wall and at stacks, again and again: sub-steps where
// bodies sweep against the others (swept contacts made, bodies moved in the serial order)
// among sub-steps where all move on the workers.
u64 run_swept_shots(ThreadPool *pool)
{
    PhysicsSdk sdk(default_allocator(), pool, px::create_bullet_sdk);
    PhysicsWorld *w = sdk.create_world(nullptr);
    px::ShapeDesc ground = box_shape({40, 40, 0.5f});
    w->create_actor_from(actor_template(0), &ground, 1, at(0, 0, -0.5f), nullptr);
    px::ShapeDesc wall = box_shape({0.02f, 12, 3});
    w->create_actor_from(actor_template(0), &wall, 1, at(10, 0, 3), nullptr);
    u32 touch[5] = {1, 2, physics_no_index, physics_no_index, physics_no_index};
    std::vector<PhysicsActor *> actors, shots;
    for (int stack = 0; stack < 8; ++stack)
        for (int level = 0; level < 4; ++level) {
            px::ShapeDesc s = box_shape({0.4f, 0.4f, 0.4f});
            actors.push_back(w->create_actor_from(actor_template(actor_dynamic), &s, 1,
                                                  at(5, -8 + 2.0f * f32(stack), 0.4f + 0.85f * f32(level)), touch));
        }
    for (int i = 0; i < 16; ++i) {
        px::ShapeDesc s = box_shape({0.1f, 0.1f, 0.1f}, {1, 1}, px::shape_ccd);
        shots.push_back(w->create_actor_from(actor_template(actor_dynamic), &s, 1,
                                             at(-5, -8 + f32(i), 0.3f + 0.3f * f32(i % 3)), touch));
        actors.push_back(shots.back());
    }
    u64 hash = 0;
    for (int frame = 0; frame < 120; ++frame) {
        if (frame % 30 == 0)
            for (int i = frame / 30 % 2; i < 16; i += 2)
                w->scene()->set_linear_velocity(shots[i]->actor, {70, 0, 1});
        hash = step_and_hash_events(*w, frame % 3 ? 1.0f / 60 : 1.0f / 30, hash);
    }
    // No shot went through the wall: their sweeps were taken.
    for (PhysicsActor *a : shots)
        EXPECT_LT(translation(w->scene()->global_pose(a->actor)).x, 10.0f);
    hash = hash_actor_poses(*w, actors, hash);
    sdk.destroy_world(w);
    return hash;
}

TEST(PhysicsSplitStep, SweptBodiesGiveTheSameStateWithoutAPoolAndOnAnyNumberOfWorkers)
{
    expect_one_state_on_any_number_of_workers(run_swept_shots);
}

// Forwards to the pool's scheduler and notes the threads the tasks ran on.
class WatchingScheduler final : public px::IScheduler {
  public:
    explicit WatchingScheduler(ThreadPool &pool) : _inner(default_allocator(), &pool) {}
    void add_task(px::ITask *task) override
    {
        _wrapped.push_back(std::make_unique<Watched>(this, task));
        _inner.add_task(_wrapped.back().get());
    }
    void add_background_task(px::ITask *task) override { _inner.add_background_task(task); }
    void wait_tasks_complete() override
    {
        _inner.wait_tasks_complete();
        _wrapped.clear();
    }
    size_t thread_count()
    {
        std::lock_guard<std::mutex> hold(_lock);
        return _threads.size();
    }
    u32 task_count() const { return _tasks; }

  private:
    struct Watched final : px::ITask {
        Watched(WatchingScheduler *o, px::ITask *t) : owner(o), task(t) {}
        WatchingScheduler *owner;
        px::ITask *task;
        void execute() override
        {
            {
                std::lock_guard<std::mutex> hold(owner->_lock);
                owner->_threads.insert(std::this_thread::get_id());
                ++owner->_tasks;
            }
            task->execute();
        }
    };
    PhysicsTaskScheduler _inner;
    std::vector<std::unique_ptr<Watched>> _wrapped;
    std::mutex _lock;
    std::set<std::thread::id> _threads;
    u32 _tasks = 0;
};

TEST(PhysicsSplitStep, AStepOfManyIslandsRunsOnSeveralWorkers)
{
    ThreadRegistry registry(default_allocator(), "main");
    ThreadPool pool(default_allocator(), 8, registry);
    WatchingScheduler watching(pool);
    px::ISdk *sdk = px::create_bullet_sdk(default_allocator(), nullptr);
    ASSERT_TRUE(sdk);
    if (!px::bullet_step_splits()) {
        px::release_sdk(sdk);
        GTEST_SKIP() << "Bullet is Debian's libbullet-dev, built without its thread-safe option "
                        "(.ci/install-deps builds the thread-safe one)";
    }
    px::SceneDesc desc;
    desc.scheduler = &watching;
    desc.scheduler_threads = 8;
    px::IScene *scene = sdk->create_scene(desc);
    ASSERT_TRUE(scene);
    px::ShapeDesc ground = box_shape({60, 60, 0.5f});
    px::ActorDesc still;
    still.shapes = &ground;
    still.shape_count = 1;
    still.pose = at(0, 0, -0.5f);
    scene->create_actor(still);
    px::ShapeDesc box = box_shape({0.4f, 0.4f, 0.4f});
    for (int i = 0; i < 400; ++i) {
        px::ActorDesc d;
        d.shapes = &box;
        d.shape_count = 1;
        d.dynamic = true;
        d.pose = at(-40 + 2.0f * f32(i % 40), -40 + 8.0f * f32(i / 40), 0.4f + 0.1f * f32(i % 3));
        ASSERT_TRUE(scene->create_actor(d));
    }
    for (int frame = 0; frame < 30; ++frame) {
        scene->simulate(1.0f / 60);
        scene->fetch_results();
    }
    EXPECT_GT(watching.task_count(), 0u);
    EXPECT_GT(watching.thread_count(), 1u);
    sdk->release_scene(scene);
    px::release_sdk(sdk);
}

} // namespace
} // namespace tallow::test
