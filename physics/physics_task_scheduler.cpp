#include "physics/physics_task_scheduler.h"

namespace tallow {

namespace {

void run_physics_task(const JobData &batch) { static_cast<px::ITask *>(batch.stream(0))->execute(); }

} // namespace

PhysicsTaskScheduler::PhysicsTaskScheduler(Allocator &allocator, ThreadPool *pool)
    : _pool(pool), _kept(allocator), _background(allocator)
{
}

PhysicsTaskScheduler::~PhysicsTaskScheduler()
{
    wait_tasks_complete();
    if (_pool) {
        JobSystem jobs(*_pool);
        for (JobId id : _background)
            jobs.wait_for_job(id);
    }
}

JobId PhysicsTaskScheduler::post(px::ITask *task)
{
    if (!task)
        return no_job;
    if (!_pool) {
        task->execute();
        return no_job;
    }
    // The job's stream points at the task itself (stride 0): each posted copy carries its
    // own task, whatever is posted next.
    Job job("physics_job");
    JobData data(job);
    data.set_stream(0, {task, 0}, stream_kind_shared);
    data.set_count(1);
    job.set_function(&run_physics_task);
    return JobSystem(*_pool).run_job_and_release(job);
}

void PhysicsTaskScheduler::add_task(px::ITask *task)
{
    JobId id = post(task);
    if (id != no_job && !_kept.push_back(id))
        JobSystem(*_pool).wait_for_job(id); // no room to keep it: wait now rather than lose it
}

void PhysicsTaskScheduler::add_background_task(px::ITask *task)
{
    JobId id = post(task);
    if (id != no_job && !_background.push_back(id))
        JobSystem(*_pool).wait_for_job(id);
}

void PhysicsTaskScheduler::wait_tasks_complete()
{
    if (_pool) {
        JobSystem jobs(*_pool);
        for (JobId id : _kept)
            jobs.wait_for_job(id);
    }
    _kept.clear();
}

} // namespace tallow
