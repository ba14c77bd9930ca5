#include "physics/physics_task_scheduler.h"

namespace tallow {

namespace {

void run_physics_task(const JobData &batch) { static_cast<px::ITask *>(batch.stream(0))->execute(); }

// A batch of add_tasks' job: its tasks' pointers.
void run_physics_tasks(const JobData &batch)
{
    px::ITask *const *tasks = batch.stream_as<px::ITask *>(0);
    for (u32 i = 0; i < batch.count(); ++i)
        tasks[i]->execute();
}

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
    JobId id = JobSystem(*_pool).run_job_and_release(job);
    if (id == no_job) // not posted (out of memory): run here rather than lose it
        task->execute();
    return id;
}

void PhysicsTaskScheduler::add_task(px::ITask *task)
{
    JobId id = post(task);
    if (id != no_job && !_kept.push_back(id))
        JobSystem(*_pool).wait_for_job(id); // no room to keep it: wait now rather than lose it
}

void PhysicsTaskScheduler::add_tasks(px::ITask *const *tasks, u32 count)
{
    if (!_pool || count < 2) {
        for (u32 i = 0; i < count; ++i)
            add_task(tasks[i]);
        return;
    }
    // One job whose batches hold one task each: posted under one counter, in one go.
    Job job("physics_job");
    JobData data(job);
    data.set_stream(0, {const_cast<px::ITask **>(tasks), u32(sizeof(px::ITask *))});
    data.set_count(count);
    job.set_function(&run_physics_tasks);
    JobSplit split(job);
    split.mode = 1;
    split.limit = 1;
    JobId id = JobSystem(*_pool).run_job_and_release(job, &split);
    if (id != no_job && !_kept.push_back(id))
        JobSystem(*_pool).wait_for_job(id);
    if (id == no_job) // not posted (out of memory): run here rather than lose them
        for (u32 i = 0; i < count; ++i)
            tasks[i]->execute();
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
