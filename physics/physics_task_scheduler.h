#pragma once
// The physics layer's task scheduler over the engine's job system: each task becomes one
// "physics_job" job whose data is the task itself, so tasks posted back to back never share
// a descriptor. Without a thread pool tasks run at once on the calling thread.
//
//   PhysicsTaskScheduler scheduler(allocator, thread_pool);
//   scheduler.add_task(&task);            // any thread the layer steps on
//   scheduler.add_tasks(tasks, count);    // one job of `count` batches, one task each
//   scheduler.wait_tasks_complete();      // task has run
//
// add_task, add_background_task and wait_tasks_complete are called from one thread at a time
// (the thread stepping the scene); tasks run on any worker.

#include "foundation/containers/array.h"
#include "foundation/threads/job.h"
#include "platform/physics/physics_layer.h"

namespace tallow {

class PhysicsTaskScheduler final : public px::IScheduler {
  public:
    PhysicsTaskScheduler(Allocator &allocator, ThreadPool *pool);
    /// Waits for every task still running, background ones too.
    ~PhysicsTaskScheduler() override;

    void add_task(px::ITask *task) override;                     // See px::IScheduler
    void add_tasks(px::ITask *const *tasks, u32 count) override; // See px::IScheduler
    void add_background_task(px::ITask *task) override;          // See px::IScheduler
    void wait_tasks_complete() override;                         // See px::IScheduler

  private:
    JobId post(px::ITask *task);

    ThreadPool *_pool;
    Array<JobId> _kept;       // add_task's jobs, waited for by wait_tasks_complete
    Array<JobId> _background; // waited for when the scheduler goes
};

} // namespace tallow
