// The task scheduler: every task posted runs exactly once, also when many are posted back
// to back or together; waits return when the kept tasks have run; no pool runs tasks at once.
#include "physics/physics_task_scheduler.h"

#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace tallow {
namespace {

struct CountingTask final : px::ITask {
    std::atomic<int> runs{0};
    void execute() override { runs.fetch_add(1); }
};

TEST(PhysicsTaskScheduler, EveryTaskRunsOnceAndWaitsCoverTheKeptOnes)
{
    ThreadRegistry registry(default_allocator(), "main");
    ThreadPool pool(default_allocator(), 3, registry);
    std::vector<CountingTask> tasks(200);
    std::vector<CountingTask> background(20);
    {
        PhysicsTaskScheduler scheduler(default_allocator(), &pool);
        scheduler.wait_tasks_complete(); // none kept: returns at once
        for (CountingTask &t : tasks)
            scheduler.add_task(&t);
        for (CountingTask &t : background)
            scheduler.add_background_task(&t);
        scheduler.wait_tasks_complete();
        for (const CountingTask &t : tasks)
            EXPECT_EQ(t.runs.load(), 1);
    }
    for (const CountingTask &t : background)
        EXPECT_EQ(t.runs.load(), 1);
}

// Tasks posted together (as one job of one-task batches), in runs of several sizes between
// single ones: each runs once, and the wait covers them all.
TEST(PhysicsTaskScheduler, TasksPostedTogetherRunOnceEachBeforeTheWaitReturns)
{
    ThreadRegistry registry(default_allocator(), "main");
    ThreadPool pool(default_allocator(), 3, registry);
    for (ThreadPool *used : {&pool, static_cast<ThreadPool *>(nullptr)}) {
        SCOPED_TRACE(used ? "pool" : "no pool");
        PhysicsTaskScheduler scheduler(default_allocator(), used);
        for (u32 count : {0u, 1u, 2u, 7u, 64u}) {
            std::vector<CountingTask> tasks(count + 1);
            std::vector<px::ITask *> posted;
            for (u32 i = 0; i < count; ++i)
                posted.push_back(&tasks[i]);
            scheduler.add_tasks(posted.data(), count);
            scheduler.add_task(&tasks[count]);
            scheduler.wait_tasks_complete();
            for (const CountingTask &t : tasks)
                EXPECT_EQ(t.runs.load(), 1) << count << " together";
        }
    }
}

TEST(PhysicsTaskScheduler, WithoutAPoolTasksRunAtOnce)
{
    PhysicsTaskScheduler scheduler(default_allocator(), nullptr);
    CountingTask t;
    scheduler.add_task(&t);
    scheduler.add_background_task(&t);
    EXPECT_EQ(t.runs.load(), 2);
    scheduler.wait_tasks_complete();
}

} // namespace
} // namespace tallow
