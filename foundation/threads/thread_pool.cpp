#include "foundation/threads/thread_pool.h"

#include "foundation/assert.h"
#include "foundation/log.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <new>

#include <sched.h>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tallow {

namespace {
constexpr u32 awake = 0;
constexpr u32 asleep_on_futex = 1; // on `signalled`
constexpr u32 asleep_on_event = 2; // on `wake` and the event a wait_event waits for

} // namespace

struct ThreadPool::JobRecord {
    JobId counter;
    PoolJobFunction function;
    void *data;
    const char *name;
    i32 priority;
    JobId dependency; // no_job = none
};

// The jobs of one post that share a priority. The ready heap orders groups, not jobs, so
// posting many jobs is one heap push, and a member takes a run of them in one step without
// copying them: the group stays until every job taken from it has been settled.
struct ThreadPool::JobGroup {
    JobId counter;
    i32 priority;
    JobId dependency;         // no_job = none
    u32 count;                // jobs in the group
    u32 next;                 // the first job nobody has taken yet; under the pool lock
    std::atomic<u32> settled; // jobs run; the member that settles the last one frees the group
    JobGroup *next_group;     // links the groups of one post while it is made

    // The items follow the header in the same block; they do not change once posted. They
    // start on a cache line of their own: members read them while the header is written.
    static constexpr u64 items_offset()
    {
        static_assert(sizeof(JobGroup) <= 64, "the header fits one cache line");
        return 64;
    }
    JobItem *items() { return reinterpret_cast<JobItem *>(reinterpret_cast<char *>(this) + items_offset()); }
};

// Ready jobs that a member took in one pass under the lock: a run of one group, or one job
// of its own ring. It runs them in order and settles them all in its next pass. A member
// takes several only while many jobs are ready, so the others still find their share.
struct ThreadPool::JobBatch {
    static constexpr u32 most = 64;
    JobGroup *group = nullptr; // jobs group->items()[first, first + count) of `counter`, or
    JobRecord ring_job;        // this one from the member's ring when group is null
    JobId counter = no_job;    // the group's counter, kept here: the group may go first
    u32 first = 0;
    u32 count = 0;             // taken
    u32 next = 0;              // the next to run
};

// A thread blocked in wait() on a counter; lives on that thread's stack. A waiter leaves
// only after it has seen (under the pool lock) that its counter's jobs are done, so the
// counter's completion signals a waiter outside the pool under that lock, where the
// signal cannot reach one that has already returned. A member is signalled (signal_member)
// after the lock is let go: a wake-up costs a system call that nobody should wait out on
// the lock, and one that comes late only makes the member look for work once more.
struct ThreadPool::Waiter {
    Member *member; // a member's wait: signalled once the lock is let go
    Event *event;   // otherwise this, set under the lock
    Waiter *next;
    std::atomic<bool> linked; // in its counter's list; cleared when the counter's jobs are all done
};

// A counter has two parts: its posted jobs still to run (pending) and the creator's
// reference (held). Waits return once pending is 0; dependent jobs are released, and the
// record dropped, once the creator has let go as well. So a creator may wait for its
// jobs before releasing them, and jobs posted against a fresh counter stay parked until
// its creator is done posting.
struct ThreadPool::CounterRecord {
    JobId id;
    u32 pending;
    Waiter *waiters;
    bool has_parked;
    bool held;
};

struct ThreadPool::Member {
    Member(ThreadPool &owner, u32 thread, u32 word, u32 index)
        : thread_id(thread), pool(&owner), worker_word(word), slot(index)
    {
    }

    std::atomic<u32> thread_id; // a worker fills in its own as it starts
    // Own ring of jobs meant for this thread (add_job_to_all), under ring_lock.
    JobRecord *ring = nullptr;
    u32 ring_capacity = 0;
    u32 ring_head = 0;
    u32 ring_count = 0;
    std::atomic<u32> ring_size{0}; // ring_count, readable without the lock
    Mutex ring_lock;
    ThreadPool *pool;
    u32 worker_word;
    u32 slot; // index in _members
    // How the member sleeps, when it does (asleep_*): set before its last look for work,
    // so a waker either sees it or is seen. A waker of new work clears it first, so two
    // wakers never spend their system calls on the same sleeper.
    std::atomic<u32> sleeping{awake};
    // The wake-up signal: 1 once signalled, taken (back to 0) by the member as it wakes.
    // It is the futex word the member sleeps on, or it comes with `wake` while the member
    // sleeps on that too (wait_event). Set on new work, on stop, and for waits.
    std::atomic<u32> signalled{0};
    Event wake{1, false, false}; // auto reset
    ThreadHandle handle;         // valid for the pool's own workers
};

namespace {
void futex_wait_while_zero(std::atomic<u32> &word)
{
    syscall(SYS_futex, reinterpret_cast<u32 *>(&word), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
}

void futex_wake_one(std::atomic<u32> &word)
{
    syscall(SYS_futex, reinterpret_cast<u32 *>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Heap order: higher priority first; on equal priority the older counter first.
struct RunsAfter {
    template <typename Group> bool operator()(const Group *a, const Group *b) const
    {
        if (a->priority != b->priority)
            return a->priority < b->priority;
        return a->counter > b->counter;
    }
};
} // namespace

ThreadPool::ThreadPool(Allocator &allocator, u32 worker_count, ThreadRegistry &registry, u32 worker_word)
    : _allocator("thread_pool", allocator), _registry(registry), _ready(_allocator), _counters(_allocator),
      _parked(_allocator)
{
    _members = static_cast<Member **>(_allocator.allocate(sizeof(Member *) * max_pool_members, alignof(Member *)));
    if (!_members) {
        log_message("thread_pool", "out of memory for the member table; the pool runs jobs only inside waits");
        return;
    }
    // Leave room for the threads that join later (main, renderer).
    const u32 most_workers = max_pool_members - 8;
    if (worker_count > most_workers) {
        log_message("thread_pool", "%u workers asked for, %u started; raise max_pool_members", worker_count, most_workers);
        worker_count = most_workers;
    }
    for (u32 i = 0; i < worker_count; ++i) {
        const u32 slot = _member_count.load(std::memory_order_relaxed);
        Member *member = make_new<Member>(_allocator, *this, 0u, worker_word, slot);
        if (!member) {
            log_message("thread_pool", "out of memory for worker %u", i);
            break;
        }
        // Published before the thread starts: posts must be able to wake it at once.
        _members[slot] = member;
        _member_count.store(slot + 1, std::memory_order_release);
        member->handle = registry.create_thread("thread pool worker", &ThreadPool::worker_loop, member, 0);
        if (!member->handle.is_valid()) {
            // Nothing else can hold the member yet: no job has been posted.
            _member_count.store(slot, std::memory_order_release);
            delete_with_allocator(_allocator, member);
            log_message("thread_pool", "worker %u could not start; continuing with %u", i, _worker_count);
            break;
        }
        ++_worker_count;
    }
}

ThreadPool::~ThreadPool()
{
    _stopping.store(true, std::memory_order_release);
    signal_all_members();
    const u32 members = member_count();
    for (u32 i = 0; i < members; ++i)
        if (_members[i]->handle.is_valid())
            _registry.join(_members[i]->handle);

    {
        ScopedLock guard(_lock);
        u32 parked_jobs = 0;
        for (JobGroup *group : _parked)
            parked_jobs += group->count;
        if (_counters.size() > 0 || _ready_jobs > 0 || parked_jobs > 0)
            log_message("thread_pool", "destroyed with %u pending counters, %u ready and %u parked jobs not run",
                        _counters.size(), _ready_jobs, parked_jobs);
        for (JobGroup *group : _ready)
            _allocator.deallocate(group);
        for (JobGroup *group : _parked)
            _allocator.deallocate(group);
        _ready.set_capacity(0);
        _counters.set_capacity(0);
        _parked.set_capacity(0);
    }
    for (u32 i = 0; i < members; ++i) {
        _allocator.deallocate(_members[i]->ring);
        delete_with_allocator(_allocator, _members[i]);
    }
    _allocator.deallocate(_members);
}

ThreadPool::Member *ThreadPool::find_member(u32 thread_id) const
{
    const u32 members = member_count();
    for (u32 i = 0; i < members; ++i)
        if (_members[i]->thread_id.load(std::memory_order_relaxed) == thread_id)
            return _members[i];
    return nullptr;
}

bool ThreadPool::is_member(u32 thread_id) const { return find_member(thread_id) != nullptr; }

bool ThreadPool::add_worker(u32 thread_id)
{
    if (!_members)
        return false;
    // Held from the look-up to the publish: two threads joining at once must not both
    // pass the membership test or take the same slot. Also orders against
    // add_job_to_all's walk over the members.
    ScopedLock guard(_lock);
    if (find_member(thread_id)) {
        log_message("thread_pool", "thread %u is already a member", thread_id);
        return false;
    }
    const u32 slot = member_count();
    if (slot >= max_pool_members) {
        log_message("thread_pool", "pool full (%u members); raise max_pool_members", max_pool_members);
        return false;
    }
    Member *member = make_new<Member>(_allocator, *this, thread_id, 0u, slot);
    if (!member) {
        log_message("thread_pool", "out of memory adding thread %u", thread_id);
        return false;
    }
    _members[slot] = member;
    _member_count.store(slot + 1, std::memory_order_release);
    return true;
}

void ThreadPool::set_wait_without_helping(bool wait_without_helping)
{
    _wait_without_helping.store(wait_without_helping, std::memory_order_release);
}

void ThreadPool::signal_all_members()
{
    const u32 members = member_count();
    for (u32 i = 0; i < members; ++i)
        signal_member(_members[i]);
}

// A member is only woken with a system call when it sleeps: a signal to one that is
// running stays in `signalled` and stops its next sleep at once.
void ThreadPool::signal_member(Member *member)
{
    member->signalled.store(1, std::memory_order_seq_cst);
    const u32 how = member->sleeping.load(std::memory_order_seq_cst);
    if (how == asleep_on_futex)
        futex_wake_one(member->signalled);
    else if (how == asleep_on_event)
        member->wake.set();
}

// Waking a sleeper costs the waker a system call (tens of microseconds in a virtual
// machine) and the sleeper as long again to come up, so nobody wakes them all at once:
// whoever leaves ready jobs behind (a post, a member taking its share, a counter releasing
// its dependents) wakes one sleeper unless a member is already looking for work, and each
// member that comes up and takes a share does the same. The wake-ups fan out over the
// members instead of queueing on the poster.
//
// Called after a seq_cst store of the ready count. A member going to sleep stops counting
// as spinning, then flags itself sleeping, then looks at the ready count (all seq_cst):
// either this sees it spinning or sleeping, or it sees the jobs.
void ThreadPool::wake_for_ready_jobs()
{
    if (_ready_count.load(std::memory_order_seq_cst) == 0 || _spinning.load(std::memory_order_seq_cst) > 0)
        return;
    const u32 members = member_count();
    for (u32 i = 0; i < members; ++i) {
        Member *member = _members[i];
        u32 how = member->sleeping.load(std::memory_order_seq_cst);
        if (how != awake && member->sleeping.compare_exchange_strong(how, awake, std::memory_order_seq_cst)) {
            member->signalled.store(1, std::memory_order_seq_cst);
            if (how == asleep_on_futex)
                futex_wake_one(member->signalled);
            else
                member->wake.set();
            return;
        }
    }
}

void ThreadPool::signal_waiting_members(u64 members)
{
    for (; members != 0; members &= members - 1)
        signal_member(_members[std::countr_zero(members)]);
}

// Work often comes in quick succession (one job after another in a frame, and the next
// frame's soon after): a member that finds none keeps looking for a short while before it
// goes to sleep, since waking a sleeper costs the waker a system call and the sleeper as
// long again to come up (tens of microseconds in a virtual machine, hundreds on a busy
// one; more than a whole frame's update of a world). After a burst of work (`after_work`)
// it keeps looking for longer, through the gap between one frame's jobs and the next,
// giving its processor away at every few looks so that other threads on a busy machine
// still run. A wait also stops looking once its counter's jobs are done (`waiting`
// cleared).
bool ThreadPool::spin_for_work(Member *member, const std::atomic<bool> *waiting, bool after_work)
{
    constexpr u32 spin_rounds = 1000;                     // about 20 microseconds of pauses
    constexpr auto linger = std::chrono::microseconds(500); // after a burst of work
    constexpr u32 pauses_per_yield = 32;
    auto work_seen = [&] {
        return _ready_count.load(std::memory_order_relaxed) > 0 || _stopping.load(std::memory_order_relaxed) ||
               (member && member->ring_size.load(std::memory_order_relaxed) > 0) ||
               (waiting && !waiting->load(std::memory_order_relaxed));
    };
    bool found = false;
    _spinning.fetch_add(1, std::memory_order_seq_cst);
    for (u32 i = 0; i < spin_rounds && !found; ++i) {
        found = work_seen();
        cpu_pause();
    }
    if (!found && after_work) {
        const auto until = std::chrono::steady_clock::now() + linger;
        for (u32 i = 1; !found; ++i) {
            found = work_seen();
            cpu_pause();
            if (i % pauses_per_yield == 0) {
                if (std::chrono::steady_clock::now() > until)
                    break;
                sched_yield();
            }
        }
    }
    _spinning.fetch_sub(1, std::memory_order_seq_cst);
    return found;
}

// Sleeps on the member's wake event (and `other`, when given) unless work is ready;
// returns true when `other` was the one signalled.
bool ThreadPool::sleep_until_woken(Member *member, Event *other)
{
    member->sleeping.store(other ? asleep_on_event : asleep_on_futex, std::memory_order_seq_cst);
    bool taken_other = false;
    if (_ready_count.load(std::memory_order_seq_cst) == 0 && member->ring_size.load(std::memory_order_acquire) == 0 &&
        member->signalled.exchange(0, std::memory_order_seq_cst) == 0) {
        if (other) {
            // A signal that comes with `wake` stays in `signalled` as well: at worst the
            // member's next sleep ends at once and it looks for work again.
            taken_other = wait_for_either(*other, member->wake) == 0;
        } else {
            while (member->signalled.exchange(0, std::memory_order_seq_cst) == 0)
                futex_wait_while_zero(member->signalled);
        }
    }
    member->sleeping.store(awake, std::memory_order_seq_cst);
    return taken_other;
}

JobId ThreadPool::take_counter_id_locked()
{
    JobId id = _next_counter++;
    if (id == no_job)
        id = _next_counter++;
    return id;
}

i32 ThreadPool::find_counter_locked(JobId id) const
{
    for (u32 i = 0; i < _counters.size(); ++i)
        if (_counters[i].id == id)
            return i32(i);
    return -1;
}

ThreadPool::JobGroup *ThreadPool::make_group(JobId counter, const JobItem *items, u32 count)
{
    void *memory = _allocator.allocate(JobGroup::items_offset() + u64(count) * sizeof(JobItem), 64);
    if (!memory) {
        log_message("thread_pool", "out of memory queueing %u jobs \"%s\"; they are dropped", count,
                    items[0].name ? items[0].name : "");
        return nullptr;
    }
    JobGroup *group = new (memory) JobGroup{counter, items[0].priority, no_job, count, 0, {0}, nullptr};
    std::copy(items, items + count, group->items());
    return group;
}

void ThreadPool::free_groups(JobGroup *first)
{
    while (first) {
        JobGroup *next = first->next_group;
        _allocator.deallocate(first);
        first = next;
    }
}

bool ThreadPool::push_ready_locked(JobGroup *group)
{
    if (!_ready.push_back(group)) {
        log_message("thread_pool", "out of memory queueing %u jobs \"%s\"; they are dropped", group->count,
                    group->items()[0].name ? group->items()[0].name : "");
        return false;
    }
    std::push_heap(_ready.begin(), _ready.end(), RunsAfter());
    _ready_jobs += group->count - group->next;
    _ready_count.store(_ready_jobs, std::memory_order_seq_cst); // see wake_for_ready_jobs
    return true;
}

JobId ThreadPool::new_counter()
{
    ScopedLock guard(_lock);
    JobId id = take_counter_id_locked();
    _counters.push_back(CounterRecord{id, 0, nullptr, false, true});
    return id;
}

void ThreadPool::post(JobId counter, u32 count, const JobItem *items, JobId dependency)
{
    if (count == 0)
        return;
    TALLOW_ASSERT(dependency != counter, "a job cannot depend on its own counter");
    // The groups are made before taking the lock: one per run of items of one priority
    // (the engine posts one priority, so one group).
    JobGroup *groups = nullptr;
    JobGroup **tail = &groups;
    for (u32 first = 0; first < count;) {
        u32 end = first + 1;
        while (end < count && items[end].priority == items[first].priority)
            ++end;
        if (JobGroup *group = make_group(counter, items + first, end - first)) {
            *tail = group;
            tail = &group->next_group;
        }
        first = end;
    }
    if (!groups)
        return;

    bool parked = false;
    u32 queued = 0;
    JobGroup *dropped = nullptr;
    {
        ScopedLock guard(_lock);
        const i32 index = find_counter_locked(counter);
        TALLOW_ASSERT(index >= 0, "post to a counter that has completed");
        if (index < 0) {
            log_message("thread_pool", "post of \"%s\" to completed counter %u; jobs dropped",
                        items[0].name ? items[0].name : "", counter);
            dropped = groups;
        } else {
            // A dependency that is no longer known has completed: its jobs are ready now.
            const i32 dependency_index =
                dependency != no_job && dependency != counter ? find_counter_locked(dependency) : -1;
            parked = dependency_index >= 0;
            for (JobGroup *group = groups; group;) {
                JobGroup *next = group->next_group;
                group->next_group = nullptr;
                bool kept;
                if (parked) {
                    group->dependency = dependency;
                    kept = _parked.push_back(group);
                    if (!kept)
                        log_message("thread_pool", "out of memory parking %u jobs \"%s\"; they are dropped",
                                    group->count, group->items()[0].name ? group->items()[0].name : "");
                } else {
                    kept = push_ready_locked(group);
                }
                if (kept) {
                    queued += group->count;
                } else {
                    group->next_group = dropped;
                    dropped = group;
                }
                group = next;
            }
            if (parked)
                _counters[dependency_index].has_parked = true;
            _counters[index].pending += queued;
        }
    }
    free_groups(dropped);
    if (!parked && queued > 0)
        wake_for_ready_jobs();
}

u32 ThreadPool::retire_counter_locked(u32 index)
{
    u32 released = 0;
    if (_counters[index].has_parked) {
        const JobId id = _counters[index].id;
        u32 kept = 0;
        for (u32 i = 0; i < _parked.size(); ++i) {
            JobGroup *group = _parked[i];
            if (group->dependency == id) {
                group->dependency = no_job;
                if (push_ready_locked(group))
                    released += group->count;
                else
                    _allocator.deallocate(group);
            } else {
                _parked[kept++] = group;
            }
        }
        _parked.resize(kept);
    }
    _counters.erase(index);
    return released;
}

void ThreadPool::job_done(JobId counter)
{
    u32 released = 0;
    {
        ScopedLock guard(_lock);
        // Ids are never reused, so releasing a counter nobody holds (one from
        // add_job_to_all, which callers release after waiting, or one already retired)
        // cannot touch another counter: it does nothing.
        const i32 index = find_counter_locked(counter);
        if (index < 0 || !_counters[index].held)
            return;
        _counters[index].held = false;
        if (_counters[index].pending == 0)
            released = retire_counter_locked(u32(index));
    }
    if (released > 0)
        wake_for_ready_jobs();
}

u32 ThreadPool::finish_job_locked(JobId counter, u32 count, u64 &waiting_members)
{
    const i32 index = find_counter_locked(counter);
    TALLOW_ASSERT(index >= 0, "finished job of an unknown counter");
    if (index < 0)
        return 0;
    CounterRecord &record = _counters[index];
    record.pending -= count;
    if (record.pending > 0)
        return 0;
    // See Waiter: a thread outside the pool frees its event once it has seen, under this
    // lock, that the jobs are done, so it is signalled here; members are signalled later.
    for (Waiter *waiter = record.waiters; waiter;) {
        Waiter *next = waiter->next; // read first: the waiter may return once unlinked
        if (waiter->member)
            waiting_members |= u64(1) << waiter->member->slot;
        else
            waiter->event->set();
        waiter->linked.store(false, std::memory_order_release);
        waiter = next;
    }
    record.waiters = nullptr;
    return record.held ? 0 : retire_counter_locked(u32(index));
}

bool ThreadPool::take_from_ring(Member *member, JobRecord &out_job)
{
    if (!member || member->ring_size.load(std::memory_order_acquire) == 0)
        return false;
    ScopedLock guard(member->ring_lock);
    if (member->ring_count == 0)
        return false;
    out_job = member->ring[member->ring_head];
    member->ring_head = (member->ring_head + 1) % member->ring_capacity;
    --member->ring_count;
    member->ring_size.store(member->ring_count, std::memory_order_release);
    return true;
}

bool ThreadPool::take_batch_locked(Member *member, JobBatch &batch, u32 most)
{
    batch.count = batch.next = 0;
    // A member drains its own ring before sharing the heap.
    if (_ready.size() == 0 || (member && member->ring_size.load(std::memory_order_acquire) > 0))
        return false;
    // Many ready jobs: take several of the top group, leaving most for the other members.
    JobGroup *group = _ready[0];
    const u32 members = member_count();
    u32 want = _ready_jobs / (2 * (members ? members : 1));
    want = std::clamp<u32>(want, 1, most);
    const u32 taken = std::min(want, group->count - group->next);
    batch.group = group;
    batch.counter = group->counter;
    batch.first = group->next;
    batch.count = taken;
    group->next += taken;
    _ready_jobs -= taken;
    _ready_count.store(_ready_jobs, std::memory_order_release);
    if (group->next == group->count) {
        std::pop_heap(_ready.begin(), _ready.end(), RunsAfter());
        _ready.pop_back();
    }
    return true;
}

bool ThreadPool::take_from_ring(Member *member, JobBatch &batch)
{
    if (!take_from_ring(member, batch.ring_job))
        return false;
    batch.group = nullptr;
    batch.count = 1;
    batch.next = 0;
    return true;
}

void ThreadPool::run_batch(JobBatch &batch)
{
    if (!batch.group) {
        batch.next = batch.count;
        execute(batch.ring_job);
        return;
    }
    const JobItem *items = batch.group->items() + batch.first;
    for (; batch.next < batch.count; ++batch.next) {
        JobContext context{items[batch.next].data, batch.counter, this};
        items[batch.next].function(context);
    }
}

void ThreadPool::settle_batch_locked(JobBatch &batch, Wakes &wakes)
{
    if (batch.count > 0)
        wakes.released += finish_job_locked(batch.group ? batch.counter : batch.ring_job.counter, batch.count,
                                            wakes.members);
    batch.group = nullptr;
    batch.count = batch.next = 0;
}

void ThreadPool::settle_batch(JobBatch &batch)
{
    Wakes wakes;
    release_group(batch);
    {
        ScopedLock guard(_lock);
        settle_batch_locked(batch, wakes);
    }
    apply_wakes(wakes);
}

void ThreadPool::apply_wakes(const Wakes &wakes)
{
    signal_waiting_members(wakes.members);
    if (wakes.released > 0 || wakes.left_ready)
        wake_for_ready_jobs();
}

// Called before the batch is settled: the group goes before its counter can complete, so a
// waiter that returns finds none of the pool's memory still held for its jobs.
void ThreadPool::release_group(JobBatch &batch)
{
    JobGroup *group = batch.group;
    if (!group || batch.count == 0)
        return;
    // Every job is taken (and the group off the heap) before the last settled count adds up.
    // The size is read first: once this member's count is in, another may free the group.
    const u32 size = group->count;
    if (group->settled.fetch_add(batch.count, std::memory_order_acq_rel) + batch.count == size)
        _allocator.deallocate(group);
}
// Settles the batch just run and takes the next one in one pass under the lock.
bool ThreadPool::next_batch(Member *member, JobBatch &batch, u32 most)
{
    Wakes wakes;
    bool found = false;
    if (batch.count > 0 || _ready_count.load(std::memory_order_acquire) > 0) {
        release_group(batch);
        ScopedLock guard(_lock);
        settle_batch_locked(batch, wakes);
        found = take_batch_locked(member, batch, most);
        wakes.left_ready = found && _ready_jobs > 0;
    }
    apply_wakes(wakes);
    return found || take_from_ring(member, batch);
}

void ThreadPool::execute(const JobRecord &job)
{
    JobContext context{job.data, job.counter, this};
    job.function(context);
}

void ThreadPool::worker_loop(void *argument)
{
    Member *member = static_cast<Member *>(argument);
    ThreadPool *pool = member->pool;
    member->thread_id.store(current_thread_id(), std::memory_order_relaxed);
    JobBatch batch;
    bool after_work = false;
    for (;;) {
        if (pool->next_batch(member, batch, JobBatch::most)) {
            pool->run_batch(batch);
            after_work = true;
            continue;
        }
        // Ready jobs are finished before stopping; the wake event keeps a signal that
        // arrives between the empty look and the wait.
        if (pool->_stopping.load(std::memory_order_acquire))
            return;
        if (pool->spin_for_work(member, nullptr, after_work))
            continue;
        after_work = false;
        pool->sleep_until_woken(member, nullptr);
    }
}

void ThreadPool::wait(JobId counter)
{
    if (counter == no_job)
        return;
    Member *member = find_member(current_thread_id());
    // A member sleeps on its wake event, which also brings new work; a thread outside the
    // pool uses its own event and checks for shared jobs every millisecond.
    Event own_event(false, false);
    Waiter waiter{member, member ? nullptr : &own_event, nullptr, false};
    JobBatch batch;
    for (;;) {
        bool found = false;
        bool done = false;
        Wakes wakes;
        release_group(batch);
        {
            ScopedLock guard(_lock);
            settle_batch_locked(batch, wakes);
            const i32 index = find_counter_locked(counter);
            done = index < 0 || _counters[index].pending == 0;
            if (!done) {
                if (!waiter.linked.load(std::memory_order_relaxed)) {
                    waiter.next = _counters[index].waiters;
                    waiter.linked.store(true, std::memory_order_relaxed);
                    _counters[index].waiters = &waiter;
                }
                found = take_batch_locked(member, batch, JobBatch::most);
                wakes.left_ready = found && _ready_jobs > 0;
            }
        }
        // A waiter that returns hands the ready jobs it may have kept others from waking for.
        wakes.left_ready = wakes.left_ready || (done && _ready_count.load(std::memory_order_relaxed) > 0);
        apply_wakes(wakes);
        if (done)
            return;
        if (found || take_from_ring(member, batch)) {
            run_batch(batch);
            continue;
        }
        // The counter is often about to complete (its last jobs run elsewhere): look for
        // that, or for new work, a while before sleeping.
        if (spin_for_work(member, &waiter.linked, true))
            continue;
        if (member)
            sleep_until_woken(member, nullptr);
        else
            own_event.wait_timeout(1);
    }
}

void ThreadPool::wait_event(Event &event)
{
    Member *member = _wait_without_helping.load(std::memory_order_acquire) ? nullptr : find_member(current_thread_id());
    if (!member) {
        event.wait();
        return;
    }
    if (event.wait_timeout(0))
        return;
    // One job at a time, so the event is tested after each; the job is settled together
    // with the next take, or before returning.
    JobBatch batch;
    for (;;) {
        if (next_batch(member, batch, 1)) {
            run_batch(batch);
            if (event.wait_timeout(0)) {
                settle_batch(batch);
                return;
            }
            continue;
        }
        // The answer tells which signal was taken: an auto-reset event is consumed here and
        // would not show in a later test.
        if (sleep_until_woken(member, &event))
            return;
    }
}

JobId ThreadPool::add_job_to_all(const JobItem &item)
{
    JobId id;
    {
        ScopedLock guard(_lock);
        id = take_counter_id_locked();
        const u32 members = member_count();
        if (members == 0)
            return id; // nobody to run it: complete at once
        u32 queued = 0;
        for (u32 i = 0; i < members; ++i) {
            Member *member = _members[i];
            ScopedLock ring_guard(member->ring_lock);
            if (member->ring_count == member->ring_capacity) {
                const u32 capacity = std::max<u32>(16, member->ring_capacity * 2);
                JobRecord *ring = static_cast<JobRecord *>(
                    _allocator.allocate(sizeof(JobRecord) * u64(capacity), alignof(JobRecord)));
                if (!ring) {
                    log_message("thread_pool", "out of memory queueing \"%s\" on member %u", item.name ? item.name : "", i);
                    continue;
                }
                for (u32 k = 0; k < member->ring_count; ++k)
                    ring[k] = member->ring[(member->ring_head + k) % member->ring_capacity];
                _allocator.deallocate(member->ring);
                member->ring = ring;
                member->ring_capacity = capacity;
                member->ring_head = 0;
            }
            member->ring[(member->ring_head + member->ring_count) % member->ring_capacity] =
                JobRecord{id, item.function, item.data, item.name, item.priority, no_job};
            ++member->ring_count;
            member->ring_size.store(member->ring_count, std::memory_order_release);
            ++queued;
        }
        if (queued == 0)
            return id;
        _counters.push_back(CounterRecord{id, queued, nullptr, false, false});
    }
    signal_all_members();
    return id;
}

u32 ThreadPool::pending_counter_count()
{
    ScopedLock guard(_lock);
    return _counters.size();
}

} // namespace tallow
