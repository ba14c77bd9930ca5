#pragma once
// Jobs over data streams, cut into batches that run on the thread pool.
//
//   Job job("update_state_job");
//   JobData data(job);
//   data.set_stream(0, {states, sizeof(State)});                  // one State per item
//   data.set_stream(1, {&frame, 0}, stream_kind_shared);           // same value for all
//   data.set_stream(2, {batch_sums, sizeof(f32)}, stream_kind_per_batch);
//   job.set_count(state_count);
//   job.set_function(&update_states);   // void update_states(const JobData &batch)
//   JobId id = jobs.run_job(job);        // JobSystem jobs(pool)
//   jobs.wait_for_job(id);
//   jobs.release_job(id);
//
// A job function receives its batch: every stream already advanced to the batch's first
// item (per-batch streams to the batch's slot) and the batch's item count. Batches run in
// any order and on any member thread.

#include "foundation/threads/thread_pool.h"
#include "foundation/types.h"

namespace tallow {

class JobData;

/// A job function or kernel: called once per batch.
using JobFunction = void (*)(const JobData &batch);

/// Most data streams a job has.
constexpr u32 max_job_streams = 8;

/// Stream kinds. Only stream_kind_per_batch changes how a stream advances; the others are
/// the owner's own marks (a stride of 0 hands one value to every item).
constexpr u32 stream_kind_items = 0;
constexpr u32 stream_kind_shared = 3;
constexpr u32 stream_kind_per_batch = 4; // advances one element per batch, not per item

/// A data pointer with the distance in bytes between consecutive items.
struct JobStream {
    void *pointer = nullptr;
    u32 stride = 0; // bytes; 0 = the same element for every item
    u32 kind = stream_kind_items;
};

/// A named job: a function over up to eight streams and an item count. Copyable; run_job
/// keeps a copy per batch, so the Job itself may go once run_job returns.
class Job {
  public:
    /// `name` is not copied and must outlive every run of the job.
    explicit Job(const char *name, i32 priority = 0) : _name(name), _priority(priority) {}

    void set_function(JobFunction function) { _function = function; }
    void set_count(u32 item_count) { _count = item_count; }

    JobFunction function() const { return _function; }
    u32 count() const { return _count; }
    const char *name() const { return _name; }
    i32 priority() const { return _priority; }

  private:
    friend class JobData;
    JobStream _streams[max_job_streams] = {};
    u32 _stream_count = 0;
    u32 _count = 0;
    JobFunction _function = nullptr;
    const char *_name;
    i32 _priority;
};

/// The view of a job's streams: used to fill a Job, and what a job function receives for
/// its batch.
class JobData {
  public:
    explicit JobData(Job &job) : _job(&job) {}

    /// Stream count and item count to 0.
    void clear();
    void set_count(u32 item_count) { _job->_count = item_count; }
    /// Stores stream `index` (< max_job_streams; larger is ignored and asserted) with
    /// `kind`; the stream count rises to index + 1 when it was lower.
    void set_stream(u32 index, JobStream stream, u32 kind = stream_kind_items);
    /// Moves every stream to item `first_item`; per-batch streams move to slot `batch`.
    void advance(u32 first_item, u32 batch);

    u32 count() const { return _job->_count; }
    u32 stream_count() const { return _job->_stream_count; }
    /// Stream `index`'s pointer, null past the stream count.
    void *stream(u32 index) const { return index < _job->_stream_count ? _job->_streams[index].pointer : nullptr; }
    template <typename T> T *stream_as(u32 index) const { return static_cast<T *>(stream(index)); }
    u32 stride(u32 index) const { return index < _job->_stream_count ? _job->_streams[index].stride : 0; }
    u32 kind(u32 index) const { return index < _job->_stream_count ? _job->_streams[index].kind : 0; }
    const Job &job() const { return *_job; }

  private:
    Job *_job;
};

/// How run_job cuts a job into batches.
///   mode 0: batch size = max(limit, count / limit), so about `limit` batches at most
///   mode 1: batch size = min(count, limit), so batches of at most `limit` items
/// then rounded up to a multiple of `granularity`. No items, a limit of 0 or an unknown
/// mode give no batches.
struct JobSplit {
    explicit JobSplit(const Job &job) : job(&job) {}

    u32 batch_size() const;
    u32 batch_count() const;

    const Job *job;
    u32 mode = 0;
    u32 limit = 20;
    u32 granularity = 1; // 0 counts as 1
};

/// Cuts `job` into batches and posts them (after `dependency` completes, when given).
/// Returns the job's counter, holding the creator's reference: wait for it, then release
/// it. A job with no batches (no items, or a split that gives none) returns no_job and
/// posts nothing; so does a job without a function (logged). Safe from any thread.
JobId run_job(ThreadPool &pool, const Job &job, JobId dependency = no_job, const JobSplit *split = nullptr);

/// The one-word handle to the thread pool that the engine passes around.
class JobSystem {
  public:
    explicit JobSystem(ThreadPool &pool) : _pool(&pool) {}

    /// See run_job above.
    JobId run_job(const Job &job, JobId dependency = no_job, const JobSplit *split = nullptr)
    {
        return tallow::run_job(*_pool, job, dependency, split);
    }
    /// run_job, dropping the creator's reference at once: the id stays valid to wait for
    /// until the job completes (a completed id returns at once).
    JobId run_job_and_release(const Job &job, const JobSplit *split = nullptr);
    /// ThreadPool::wait; no_job returns at once.
    void wait_for_job(JobId id)
    {
        if (id != no_job)
            _pool->wait(id);
    }
    /// ThreadPool::job_done, dropping the creator's reference; no_job is ignored.
    void release_job(JobId id)
    {
        if (id != no_job)
            _pool->job_done(id);
    }
    /// ThreadPool::add_job_to_all.
    JobId add_job_to_all_workers(const JobItem &item) { return _pool->add_job_to_all(item); }

    ThreadPool &pool() const { return *_pool; }

  private:
    ThreadPool *_pool;
};

} // namespace tallow
