#pragma once
// The job system's workers and queues. Work is posted against a counter; whoever needs
// the result waits for the counter and runs queued jobs meanwhile.
//
//   JobId counter = pool.new_counter();          // held by its creator
//   JobItem item = {&my_job, &data, "my_job", 0};
//   pool.post(counter, 1, &item);
//   pool.job_done(counter);                      // drop the creator's reference
//   pool.wait(counter);                          // runs other jobs while it waits
//
// Threads that are not workers (the main thread, the "renderer" thread) join the pool with
// add_worker so that their waits help; a pool with no worker thread at all still finishes
// every job inside those waits. Most code uses JobSystem (job.h) instead of posting by hand.
//
// A job runs on whichever member gets it first; it must not block on anything but pool
// waits. The pool is created and destroyed on one thread; its destructor finishes the
// ready jobs, then stops and joins the worker threads.

#include "foundation/containers/array.h"
#include "foundation/threads/event.h"
#include "foundation/threads/spin_mutex.h"
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_registry.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"

#include <atomic>

namespace tallow {

class Allocator;
class ThreadPool;

/// Id of a job counter. Ids increase and are never reused in a run; no_job is never an id.
using JobId = u32;
constexpr JobId no_job = 0xFFFFFFFFu;

/// What a pool job function receives.
struct JobContext {
    void *data;       // the item's data pointer
    JobId counter;    // the counter the job was posted against
    ThreadPool *pool; // the pool running it (post more work or wait through it)
};

using PoolJobFunction = void (*)(const JobContext &context);

/// One job to post. `name` is not copied and must outlive the job.
struct JobItem {
    PoolJobFunction function;
    void *data;
    const char *name;
    i32 priority; // higher runs first; the engine uses 0
};

class ThreadPool {
  public:
    /// Starts `worker_count` threads named "thread pool worker" through `registry`;
    /// `worker_word` is kept in each worker's record (0 in the engine). The pool's arrays
    /// and one block per post (a copy of its items, freed once they have run) come from a
    /// "thread_pool" trace allocator over `allocator` (thread-safe). Workers the
    /// system refuses are logged and left out.
    ThreadPool(Allocator &allocator, u32 worker_count, ThreadRegistry &registry, u32 worker_word = 0);
    /// Lets the workers finish the ready jobs, then stops and joins them. Counters still
    /// pending (jobs never released, or waiting on a dependency that never completed) are
    /// logged; their jobs are dropped.
    ~ThreadPool();
    ThreadPool(const ThreadPool &) = delete;
    ThreadPool &operator=(const ThreadPool &) = delete;

    /// Makes the existing thread `thread_id` a member (the main and "renderer" threads).
    /// Returns false (logged) when the pool is full (max_pool_members) or it already is one.
    bool add_worker(u32 thread_id);

    /// While set (the default), wait_event only blocks; cleared once every thread that
    /// waits on events through the pool is a member.
    void set_wait_without_helping(bool wait_without_helping);

    /// A new counter, held by its creator until job_done. Its id may be waited for and
    /// depended on at once.
    JobId new_counter();
    /// Posts `count` jobs against `counter`, which the caller still holds (or which still
    /// has jobs to run). With a `dependency` they run only after that counter completes
    /// (its jobs have run and its creator released it); a dependency that has completed
    /// already makes them ready at once.
    void post(JobId counter, u32 count, const JobItem *items, JobId dependency = no_job);
    /// Drops the creator's reference to `counter`. Once its jobs have run as well the
    /// counter completes: jobs depending on it are released and its id is forgotten.
    /// Does nothing for a counter nobody holds (add_job_to_all's, or a completed one).
    void job_done(JobId counter);
    /// Returns once every job posted against `counter` has run (the creator's reference
    /// does not count, so a creator may wait before releasing), running queued jobs
    /// meanwhile. Returns at once for a forgotten counter or no_job. A thread that is not
    /// a member may wait too: it runs shared jobs and otherwise checks back every millisecond.
    void wait(JobId counter);
    /// Returns once `event` is signalled, running queued jobs meanwhile when helping is on
    /// and the caller is a member; otherwise it only waits.
    void wait_event(Event &event);
    /// Runs `item` once on every member (worker threads and added threads); the returned
    /// counter completes after each member has run its copy, so an added thread must wait
    /// on the pool for it to finish. The counter is not held: nothing to release.
    JobId add_job_to_all(const JobItem &item);

    /// Threads started by the pool.
    u32 worker_count() const { return _worker_count; }
    /// Worker threads plus added threads.
    u32 member_count() const { return _member_count.load(std::memory_order_acquire); }
    /// True when `thread_id` is a member.
    bool is_member(u32 thread_id) const;
    /// Counters still pending; for tests and shutdown checks.
    u32 pending_counter_count();
    /// The pool's thread-safe allocator (batch records of run_job come from it).
    Allocator &allocator() { return _allocator; }

  private:
    struct Member;
    struct JobRecord;
    struct JobGroup;
    struct JobBatch;
    struct CounterRecord;
    struct Waiter;
    // What a pass under the lock leaves to do once the lock is let go.
    struct Wakes {
        u32 released = 0;        // dependent jobs made ready
        u64 members = 0;         // waiting members whose counter completed, by slot
        bool left_ready = false; // a take left ready jobs behind
    };

    static void worker_loop(void *member);
    Member *find_member(u32 thread_id) const;
    bool next_batch(Member *member, JobBatch &batch, u32 most);
    bool take_from_ring(Member *member, JobRecord &out_job);
    bool take_from_ring(Member *member, JobBatch &batch);
    void run_batch(JobBatch &batch);
    void release_group(JobBatch &batch);
    bool take_batch_locked(Member *member, JobBatch &batch, u32 most);
    void settle_batch_locked(JobBatch &batch, Wakes &wakes);
    void apply_wakes(const Wakes &wakes);
    void settle_batch(JobBatch &batch);
    void execute(const JobRecord &job);
    void signal_all_members();
    void signal_member(Member *member);
    void wake_for_ready_jobs();
    void signal_waiting_members(u64 members);
    bool spin_for_work(Member *member, const std::atomic<bool> *waiting, bool after_work);
    bool sleep_until_woken(Member *member, Event *other);
    JobId take_counter_id_locked();
    i32 find_counter_locked(JobId id) const;
    JobGroup *make_group(JobId counter, const JobItem *items, u32 count);
    void free_groups(JobGroup *first);
    bool push_ready_locked(JobGroup *group);
    u32 retire_counter_locked(u32 index);
    u32 finish_job_locked(JobId counter, u32 count, u64 &waiting_members);

    TraceAllocator _allocator; // "thread_pool"; declared first, released last
    ThreadRegistry &_registry;
    Member **_members;       // fixed array of max_pool_members; entries never move
    std::atomic<u32> _member_count{0};
    u32 _worker_count = 0;
    std::atomic<bool> _wait_without_helping{true};
    std::atomic<bool> _stopping{false};
    std::atomic<u32> _spinning{0}; // members looking for work in spin_for_work

    SpinMutex _lock; // guards everything below
    JobId _next_counter = 0;
    Array<JobGroup *> _ready;         // heap: higher priority, then older counter, first
    Array<CounterRecord> _counters;   // in creation order
    Array<JobGroup *> _parked;        // waiting on a dependency, in posting order
    u32 _ready_jobs = 0;              // jobs not yet taken from the groups in _ready
    std::atomic<u32> _ready_count{0}; // _ready_jobs, readable without the lock
};

/// Most members a pool takes: its workers plus threads added later.
constexpr u32 max_pool_members = 64;

} // namespace tallow
