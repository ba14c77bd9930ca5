#include "foundation/threads/job.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "foundation/memory/trace_allocator.h"
#include "tests/foundation/threads/thread_test_watchdog.h"
#include "tests/support/fakes/recording_allocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tallow {
namespace {

TEST(JobSplit, BatchSizesAndCounts)
{
    struct Case {
        const char *name;
        u32 mode;
        u32 limit;
        u32 granularity;
        u32 items;
        u32 batch_size;
        u32 batch_count;
    };
    const Case cases[] = {
        {"no items", 0, 20, 1, 0, 20, 0},
        {"one item", 0, 20, 1, 1, 20, 1},
        {"30 items: 20 and 10", 0, 20, 1, 30, 20, 2},
        {"400 items: 20 batches of 20", 0, 20, 1, 400, 20, 20},
        {"1000 items: 20 batches of 50", 0, 20, 1, 1000, 50, 20},
        {"1001 items: a 21st batch of 1", 0, 20, 1, 1001, 50, 21},
        {"granularity rounds the size up", 0, 20, 8, 30, 24, 2},
        {"granularity 0 counts as 1", 0, 20, 0, 30, 20, 2},
        {"mode 0, limit 0", 0, 0, 1, 30, 0, 0},
        {"at most 20: 20 and 10", 1, 20, 1, 30, 20, 2},
        {"at most 300 of 1000", 1, 300, 1, 1000, 300, 4},
        {"at most 20 of 5", 1, 20, 1, 5, 5, 1},
        {"at most, no items", 1, 20, 1, 0, 0, 0},
        {"at most 0", 1, 0, 1, 30, 0, 0},
        {"unknown mode", 2, 20, 1, 30, 0, 0},
        {"huge count", 0, 20, 1, 0xFFFFFFFFu, 0xFFFFFFFFu / 20, 21},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Job job("split");
        job.set_count(c.items);
        JobSplit split(job);
        split.mode = c.mode;
        split.limit = c.limit;
        split.granularity = c.granularity;
        EXPECT_EQ(split.batch_size(), c.batch_size);
        EXPECT_EQ(split.batch_count(), c.batch_count);
    }
}

TEST(JobData, AdvanceMovesItemStreamsByItemAndBatchStreamsByBatch)
{
    u32 items[100];
    u64 slots[10];
    f32 shared = 1.0f;
    Job job("advance");
    JobData data(job);
    data.set_stream(0, {items, sizeof(u32)});
    data.set_stream(2, {slots, sizeof(u64)}, stream_kind_per_batch);
    data.set_stream(1, {&shared, 0}, stream_kind_shared);
    EXPECT_EQ(data.stream_count(), 3u);
    data.advance(40, 2);
    EXPECT_EQ(data.stream_as<u32>(0), items + 40);
    EXPECT_EQ(data.stream_as<f32>(1), &shared);
    EXPECT_EQ(data.stream_as<u64>(2), slots + 2);
    EXPECT_EQ(data.stream(3), nullptr);
    data.clear();
    EXPECT_EQ(data.stream_count(), 0u);
    EXPECT_EQ(data.count(), 0u);
}

// A pool with `workers` threads plus the test's thread as a member.
class PoolTest : public testing::TestWithParam<u32> {
  protected:
    PoolTest()
    {
        pool = std::make_unique<ThreadPool>(allocator, GetParam(), registry);
        pool->add_worker(current_thread_id());
        pool->set_wait_without_helping(false);
    }
    ~PoolTest() override
    {
        EXPECT_EQ(pool->pending_counter_count(), 0u);
        pool.reset();
        EXPECT_EQ(registry.thread_count(), 1u);
    }

    TraceAllocator allocator{"pool_test", default_allocator()};
    ThreadRegistry registry{allocator, "main"};
    std::unique_ptr<ThreadPool> pool;
    test::Watchdog watchdog;
};

struct Coverage {
    std::atomic<u32> *hits;   // per item
    u32 *batch_items;         // per batch: items in the batch
    u32 base;                 // shared value
};

void cover_items(const JobData &batch)
{
    std::atomic<u32> *hits = batch.stream_as<std::atomic<u32>>(0);
    const u32 base = *batch.stream_as<u32>(1);
    for (u32 i = 0; i < batch.count(); ++i)
        hits[i].fetch_add(base, std::memory_order_relaxed);
    *batch.stream_as<u32>(2) = batch.count();
}

TEST_P(PoolTest, EveryItemOfARunIsCoveredExactlyOnce)
{
    struct Case {
        u32 items;
        u32 mode;
        u32 limit;
    };
    const Case cases[] = {{1, 0, 20}, {19, 0, 20}, {21, 0, 20}, {30, 0, 20}, {1000, 0, 20},
                          {12345, 0, 20}, {1000, 1, 300}, {7, 1, 3}, {100000, 1, 100}};
    JobSystem jobs(*pool);
    u64 live_after_first = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.items);
        std::vector<std::atomic<u32>> hits(c.items);
        Job job("cover");
        JobSplit split(job);
        split.mode = c.mode;
        split.limit = c.limit;
        job.set_count(c.items);
        std::vector<u32> batch_items(split.batch_count() + 1, 0xDEAD);
        const u32 base = 1;
        JobData data(job);
        data.set_stream(0, {hits.data(), sizeof(std::atomic<u32>)});
        data.set_stream(1, {const_cast<u32 *>(&base), 0}, stream_kind_shared);
        data.set_stream(2, {batch_items.data(), sizeof(u32)}, stream_kind_per_batch);
        job.set_function(&cover_items);

        // Both orders the engine uses: wait then release, and release then wait.
        if ((&c - cases) % 2 == 0) {
            const JobId id = jobs.run_job(job, no_job, &split);
            ASSERT_NE(id, no_job);
            jobs.wait_for_job(id);
            jobs.release_job(id);
            jobs.wait_for_job(id); // completed: returns at once
        } else {
            const JobId id = jobs.run_job_and_release(job, &split);
            ASSERT_NE(id, no_job);
            jobs.wait_for_job(id);
        }

        for (u32 i = 0; i < c.items; ++i)
            ASSERT_EQ(hits[i].load(), 1u) << "item " << i;
        u32 total = 0;
        for (u32 b = 0; b < split.batch_count(); ++b) {
            EXPECT_LE(batch_items[b], split.batch_size());
            total += batch_items[b];
        }
        EXPECT_EQ(total, c.items);
        EXPECT_EQ(batch_items.back(), 0xDEADu); // no batch wrote past its slot
        // The pool's arrays are allocated once and grown in place; batch records are freed.
        if (live_after_first == 0)
            live_after_first = allocator.allocation_count();
        EXPECT_EQ(allocator.allocation_count(), live_after_first);
    }
}

TEST_P(PoolTest, RunWithoutItemsOrFunctionPostsNothing)
{
    JobSystem jobs(*pool);
    Job empty("empty");
    empty.set_function(&cover_items);
    EXPECT_EQ(jobs.run_job(empty), no_job);
    Job no_function("no_function");
    no_function.set_count(10);
    EXPECT_EQ(jobs.run_job_and_release(no_function), no_job);
    EXPECT_EQ(pool->pending_counter_count(), 0u);
    jobs.wait_for_job(no_job);
    jobs.release_job(no_job);
}

struct Ordered {
    std::mutex lock;
    std::vector<int> order;
    std::atomic<int> first_done{0};
    std::atomic<int> second_saw_first_incomplete{0};
};

TEST_P(PoolTest, DependentJobsRunOnlyAfterTheirDependencyCompletes)
{
    for (int round = 0; round < 50; ++round) {
        Ordered state;
        const JobId first = pool->new_counter();
        const JobId second = pool->new_counter();
        std::vector<JobItem> first_items(8, JobItem{[](const JobContext &context) {
                                                        std::this_thread::yield();
                                                        static_cast<Ordered *>(context.data)->first_done++;
                                                    },
                                                    &state, "first", 0});
        JobItem second_item{[](const JobContext &context) {
                                Ordered *s = static_cast<Ordered *>(context.data);
                                if (s->first_done.load() != 8)
                                    s->second_saw_first_incomplete++;
                            },
                            &state, "second", 0};
        // The dependent job goes in first, while its dependency has not even started.
        pool->post(second, 1, &second_item, first);
        pool->post(first, u32(first_items.size()), first_items.data());
        pool->job_done(first);
        pool->job_done(second);
        pool->wait(second);
        EXPECT_EQ(state.first_done.load(), 8);
        EXPECT_EQ(state.second_saw_first_incomplete.load(), 0);
    }
}

TEST_P(PoolTest, DependencyThatAlreadyCompletedDoesNotParkTheJob)
{
    const JobId done = pool->new_counter();
    pool->job_done(done);
    std::atomic<int> runs{0};
    const JobId id = pool->new_counter();
    JobItem item{[](const JobContext &context) { (*static_cast<std::atomic<int> *>(context.data))++; }, &runs, "late", 0};
    pool->post(id, 1, &item, done);
    pool->job_done(id);
    pool->wait(id);
    EXPECT_EQ(runs.load(), 1);
}

struct Tree {
    std::atomic<u32> leaves{0};
    u32 depth;
};
struct Node {
    Tree *tree;
    u32 level;
};

// Each node posts four children and waits for them: waits nest inside jobs on every member.
void grow(const JobContext &context)
{
    Node *node = static_cast<Node *>(context.data);
    if (node->level == node->tree->depth) {
        node->tree->leaves++;
        return;
    }
    Node children[4];
    JobItem items[4];
    for (int i = 0; i < 4; ++i) {
        children[i] = Node{node->tree, node->level + 1};
        items[i] = JobItem{&grow, &children[i], "grow", 0};
    }
    const JobId counter = context.pool->new_counter();
    context.pool->post(counter, 4, items);
    context.pool->job_done(counter);
    context.pool->wait(counter);
}

TEST_P(PoolTest, NestedPostAndWaitFinishes)
{
    Tree tree;
    tree.depth = 5;
    Node root{&tree, 0};
    JobItem item{&grow, &root, "grow", 0};
    const JobId counter = pool->new_counter();
    pool->post(counter, 1, &item);
    pool->job_done(counter);
    pool->wait(counter);
    EXPECT_EQ(tree.leaves.load(), 4u * 4 * 4 * 4 * 4);
}

struct Visits {
    std::mutex lock;
    std::vector<u32> threads;
};

TEST_P(PoolTest, JobForAllRunsOnceOnEveryMember)
{
    Visits visits;
    JobItem item{[](const JobContext &context) {
                     Visits *v = static_cast<Visits *>(context.data);
                     std::lock_guard<std::mutex> guard(v->lock);
                     v->threads.push_back(current_thread_id());
                 },
                 &visits, "per_thread_setup", 0};
    JobSystem jobs(*pool);
    const JobId id = jobs.add_job_to_all_workers(item);
    jobs.wait_for_job(id); // the test thread runs its own copy here
    jobs.release_job(id);  // as the engine does after waiting: nothing to release
    std::sort(visits.threads.begin(), visits.threads.end());
    ASSERT_EQ(visits.threads.size(), pool->member_count());
    EXPECT_EQ(std::adjacent_find(visits.threads.begin(), visits.threads.end()), visits.threads.end());
    for (u32 thread : visits.threads)
        EXPECT_TRUE(pool->is_member(thread));
}

// With no worker the waiting thread runs every job, so the order is the heap's.
TEST(ThreadPool, HigherPriorityAndOlderCountersRunFirst)
{
    TraceAllocator allocator("pool_test", default_allocator());
    ThreadRegistry registry(allocator, "main");
    std::unique_ptr<ThreadPool> pool = std::make_unique<ThreadPool>(allocator, 0, registry);
    pool->add_worker(current_thread_id());
    std::vector<int> order;
    struct Entry {
        std::vector<int> *order;
        int tag;
    };
    Entry entries[] = {{&order, 0}, {&order, 1}, {&order, 2}, {&order, 3}};
    auto record = [](const JobContext &context) {
        Entry *e = static_cast<Entry *>(context.data);
        e->order->push_back(e->tag);
    };
    const JobId older = pool->new_counter();
    const JobId newer = pool->new_counter();
    JobItem newer_low{record, &entries[0], "a", 0};
    JobItem older_low{record, &entries[1], "b", 0};
    JobItem newer_high{record, &entries[2], "c", 5};
    JobItem older_negative{record, &entries[3], "d", -1};
    pool->post(newer, 1, &newer_low);
    pool->post(older, 1, &older_low);
    pool->post(newer, 1, &newer_high);
    pool->post(older, 1, &older_negative);
    pool->job_done(older);
    pool->job_done(newer);
    pool->wait(newer);
    pool->wait(older);
    EXPECT_EQ(order, (std::vector<int>{2, 1, 0, 3}));
    EXPECT_EQ(pool->pending_counter_count(), 0u);
}

// Jobs the pool cannot queue for lack of memory are dropped (logged) and not counted, so
// their counter still completes once the jobs it did queue have run.
TEST(ThreadPool, JobsThatCannotBeQueuedDoNotHoldTheirCounter)
{
    test::Watchdog watchdog(20);
    test::RecordingAllocator backing;
    ThreadRegistry registry(default_allocator(), "main");
    {
        ThreadPool pool(backing, 0, registry);
        pool.add_worker(current_thread_id());
        std::atomic<u32> runs{0};
        JobItem item{[](const JobContext &c) { static_cast<std::atomic<u32> *>(c.data)->fetch_add(1); }, &runs,
                     "count", 0};
        JobItem items[3] = {item, item, item};
        const JobId counter = pool.new_counter();
        backing.set_always_fail(true);
        pool.post(counter, 3, items);
        backing.set_always_fail(false);
        pool.post(counter, 1, &item);
        pool.job_done(counter);
        pool.wait(counter);
        EXPECT_EQ(runs.load(), 1u);
        EXPECT_EQ(pool.pending_counter_count(), 0u);
    }
    EXPECT_EQ(backing.live_count(), 0u);
}

// One post may mix priorities: its runs of equal priority queue apart, so a single member
// still takes every job by priority first and counter age second.
TEST(ThreadPool, MixedPrioritiesInOnePostRunInHeapOrder)
{
    TraceAllocator allocator("pool_test", default_allocator());
    ThreadRegistry registry(allocator, "main");
    std::unique_ptr<ThreadPool> pool = std::make_unique<ThreadPool>(allocator, 0, registry);
    pool->add_worker(current_thread_id());
    struct Seen {
        std::vector<std::pair<i32, JobId>> order;
    } seen;
    struct Tagged {
        Seen *seen;
        i32 priority;
    };
    const JobId older = pool->new_counter();
    const JobId newer = pool->new_counter();
    const i32 newer_priorities[] = {0, 3, 3, -2, 0, 3};
    const i32 older_priorities[] = {0, 3};
    std::vector<Tagged> tags;
    tags.reserve(8);
    auto record = [](const JobContext &context) {
        Tagged *t = static_cast<Tagged *>(context.data);
        t->seen->order.push_back({t->priority, context.counter});
    };
    std::vector<JobItem> newer_items;
    for (i32 priority : newer_priorities) {
        tags.push_back({&seen, priority});
        newer_items.push_back(JobItem{record, &tags.back(), "newer", priority});
    }
    std::vector<JobItem> older_items;
    for (i32 priority : older_priorities) {
        tags.push_back({&seen, priority});
        older_items.push_back(JobItem{record, &tags.back(), "older", priority});
    }
    pool->post(newer, u32(newer_items.size()), newer_items.data());
    pool->post(older, u32(older_items.size()), older_items.data());
    pool->job_done(older);
    pool->job_done(newer);
    pool->wait(newer);
    pool->wait(older);
    const std::vector<std::pair<i32, JobId>> expected = {{3, older}, {3, newer}, {3, newer}, {3, newer},
                                                         {0, older}, {0, newer}, {0, newer}, {-2, newer}};
    EXPECT_EQ(seen.order, expected);
    EXPECT_EQ(pool->pending_counter_count(), 0u);
}

TEST_P(PoolTest, WaitEventHelpsAndKeepsAutoResetSignals)
{
    // The job sets an auto-reset event; the waiting member must return every time, whether
    // it ran the job itself or slept until a worker did.
    Event event(false, false);
    for (int round = 0; round < 2000; ++round) {
        const JobId id = pool->new_counter();
        JobItem item{[](const JobContext &context) { static_cast<Event *>(context.data)->set(); }, &event, "set", 0};
        pool->post(id, 1, &item);
        pool->job_done(id);
        pool->wait_event(event);
        pool->wait(id);
        EXPECT_FALSE(event.wait_timeout(0));
    }
}

TEST_P(PoolTest, ThreadOutsideThePoolCanWait)
{
    std::atomic<int> runs{0};
    JobItem item{[](const JobContext &context) { (*static_cast<std::atomic<int> *>(context.data))++; }, &runs, "outside", 0};
    std::thread outsider([&] {
        EXPECT_FALSE(pool->is_member(current_thread_id()));
        const JobId id = pool->new_counter();
        std::vector<JobItem> items(100, item);
        pool->post(id, 100, items.data());
        pool->job_done(id);
        pool->wait(id); // with no worker it runs the jobs itself
    });
    outsider.join();
    EXPECT_EQ(runs.load(), 100);
}

// Two threads, a member and an outsider, wait on the same counter at once: neither may
// lose its wake-up to the other.
TEST_P(PoolTest, TwoWaitersOnOneCounterBothReturn)
{
    Event gate(true, false);
    const JobId id = pool->new_counter();
    JobItem gated{[](const JobContext &context) { static_cast<Event *>(context.data)->wait_timeout(60000); }, &gate,
                  "gated", 0};
    pool->post(id, 1, &gated);
    std::atomic<int> returned{0};
    std::thread member([&] {
        pool->add_worker(current_thread_id());
        pool->wait(id);
        returned++;
    });
    std::thread outsider([&] {
        pool->wait(id);
        returned++;
    });
    sleep_ms(5); // give both a chance to be waiting before the job can end
    gate.set();
    member.join();
    outsider.join();
    EXPECT_EQ(returned.load(), 2);
    pool->job_done(id);
}

// Many members wait on many short counters at once: each completion signals its waiters
// while they may be about to return, which must not touch a waiter that has gone.
TEST_P(PoolTest, ConcurrentWaitersOnShortCounters)
{
    struct Work {
        ThreadPool *pool;
        std::atomic<u32> done{0};
    };
    Work work;
    work.pool = pool.get();
    auto waiter_job = [](const JobContext &context) {
        Work *w = static_cast<Work *>(context.data);
        for (int i = 0; i < 50; ++i) {
            const JobId id = w->pool->new_counter();
            JobItem leaf{[](const JobContext &c) { static_cast<Work *>(c.data)->done++; }, w, "leaf", 0};
            w->pool->post(id, 1, &leaf);
            w->pool->job_done(id);
            w->pool->wait(id);
        }
    };
    std::vector<JobItem> items(16, JobItem{waiter_job, &work, "waiter", 0});
    const JobId id = pool->new_counter();
    pool->post(id, u32(items.size()), items.data());
    pool->job_done(id);
    pool->wait(id);
    EXPECT_EQ(work.done.load(), 16u * 50);
}

// Posters inside and outside the pool at once: two join as members while the others' jobs
// already run. Each builds a chain of counters whose links are posted before the link they
// depend on, in runs of mixed priority; the first link's jobs post and wait for children of
// their own. Every job must run once, and no link may start before the one before it ends.
struct ChainLink {
    std::atomic<u32> runs{0};
    std::atomic<u32> children{0};
    const ChainLink *previous = nullptr;
    std::atomic<u32> *early = nullptr;
};
constexpr u32 chain_jobs_per_link = 37;

void run_link(const JobContext &context)
{
    ChainLink *link = static_cast<ChainLink *>(context.data);
    if (link->previous && link->previous->runs.load() != chain_jobs_per_link)
        link->early->fetch_add(1);
    if (!link->previous) {
        JobItem child{[](const JobContext &c) { static_cast<ChainLink *>(c.data)->children++; }, link, "child", 1};
        JobItem children[2] = {child, child};
        const JobId id = context.pool->new_counter();
        context.pool->post(id, 2, children);
        context.pool->job_done(id);
        context.pool->wait(id);
    }
    link->runs++;
}

TEST_P(PoolTest, ManyPostersChainsAndNestedPostsRunEveryJobOnce)
{
    constexpr u32 posters = 4;
    constexpr u32 rounds = 25;
    constexpr u32 links = 4;
    std::atomic<u32> early{0};
    std::atomic<u32> failures{0};
    std::vector<std::thread> threads;
    for (u32 t = 0; t < posters; ++t)
        threads.emplace_back([&, t] {
            if (t < 2)
                pool->add_worker(current_thread_id());
            for (u32 round = 0; round < rounds; ++round) {
                ChainLink chain[links];
                JobId ids[links];
                for (u32 k = 0; k < links; ++k) {
                    chain[k].previous = k > 0 ? &chain[k - 1] : nullptr;
                    chain[k].early = &early;
                    ids[k] = pool->new_counter();
                }
                std::vector<JobItem> items(chain_jobs_per_link);
                for (u32 k = links; k-- > 0;) {
                    for (u32 i = 0; i < chain_jobs_per_link; ++i)
                        items[i] = JobItem{&run_link, &chain[k], "link", i32(i / 10) - 1};
                    pool->post(ids[k], chain_jobs_per_link, items.data(), k > 0 ? ids[k - 1] : no_job);
                }
                for (u32 k = 0; k < links; ++k)
                    pool->job_done(ids[k]);
                pool->wait(ids[links - 1]);
                for (u32 k = 0; k < links; ++k)
                    if (chain[k].runs.load() != chain_jobs_per_link)
                        failures++;
                if (chain[0].children.load() != 2 * chain_jobs_per_link)
                    failures++;
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0u);
    EXPECT_EQ(early.load(), 0u);
    EXPECT_EQ(pool->member_count(), pool->worker_count() + 3);
}

INSTANTIATE_TEST_SUITE_P(Workers, PoolTest, testing::Values(0u, 1u, 3u),
                         [](const testing::TestParamInfo<u32> &info) { return std::to_string(info.param) + "_workers"; });

TEST(ThreadPool, DestructorFinishesReadyJobsAndJoinsWorkers)
{
    test::Watchdog watchdog;
    TraceAllocator allocator("pool_test", default_allocator());
    ThreadRegistry registry(allocator, "main");
    std::atomic<int> runs{0};
    {
        ThreadPool pool(allocator, 2, registry);
        EXPECT_EQ(pool.worker_count(), 2u);
        EXPECT_EQ(registry.thread_count(), 3u);
        JobItem item{[](const JobContext &context) {
                         std::this_thread::yield();
                         (*static_cast<std::atomic<int> *>(context.data))++;
                     },
                     &runs, "slow", 0};
        std::vector<JobItem> items(200, item);
        JobSystem jobs(pool);
        const JobId id = pool.new_counter();
        pool.post(id, 200, items.data());
        jobs.release_job(id);
    }
    EXPECT_EQ(runs.load(), 200);
    EXPECT_EQ(registry.thread_count(), 1u);
    EXPECT_EQ(allocator.allocation_count(), 2u); // the record array and main's record
}

// Sleeping workers are woken one by another: a post or a released dependency wakes one,
// and each that takes a share wakes the next. Jobs that can only finish together (each
// waits for all to have started) need every worker awake; the posting thread is not a
// member, so it cannot run one itself.
TEST(ThreadPool, SleepingWorkersAllComeUpForJobsThatNeedThemAtOnce)
{
    test::Watchdog watchdog;
    TraceAllocator allocator("pool_test", default_allocator());
    ThreadRegistry registry(allocator, "main");
    constexpr u32 workers = 4;
    ThreadPool pool(allocator, workers, registry);
    struct Round {
        std::atomic<u32> started{0};
        std::atomic<u32> finished{0};
        std::atomic<u32> timed_out{0};
    };
    auto meet = [](const JobContext &context) {
        Round &round = *static_cast<Round *>(context.data);
        round.started.fetch_add(1);
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (round.started.load() < workers) {
            if (std::chrono::steady_clock::now() > give_up) {
                round.timed_out.fetch_add(1);
                break;
            }
            std::this_thread::yield();
        }
        round.finished.fetch_add(1);
    };
    for (u32 r = 0; r < 6; ++r) {
        SCOPED_TRACE(r);
        Round round;
        std::vector<JobItem> items(workers, JobItem{meet, &round, "meet", 0});
        // Long enough for every worker to stop looking for work and sleep.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const JobId id = pool.new_counter();
        if (r % 2 == 0) {
            pool.post(id, workers, items.data());
        } else {
            // Parked behind a counter the test then releases.
            const JobId gate = pool.new_counter();
            pool.post(id, workers, items.data(), gate);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            pool.job_done(gate);
        }
        pool.job_done(id);
        while (round.finished.load() < workers)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(round.timed_out.load(), 0u);
        while (pool.pending_counter_count() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Threads joining at the same moment (main and renderer at start-up) must each get a slot.
TEST(ThreadPool, ThreadsAddedConcurrentlyAreAllMembers)
{
    test::Watchdog watchdog;
    TraceAllocator allocator("pool_test", default_allocator());
    ThreadRegistry registry(allocator, "main");
    ThreadPool pool(allocator, 0, registry);
    constexpr u32 joiners = 8;
    std::atomic<u32> ready{0};
    std::atomic<u32> added{0};
    std::vector<u32> ids(joiners);
    std::vector<std::thread> threads;
    for (u32 i = 0; i < joiners; ++i)
        threads.emplace_back([&, i] {
            ids[i] = current_thread_id();
            ready.fetch_add(1);
            while (ready.load() < joiners)
                std::this_thread::yield();
            if (pool.add_worker(ids[i]))
                added.fetch_add(1);
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(added.load(), joiners);
    for (u32 id : ids)
        EXPECT_TRUE(pool.is_member(id)) << "thread " << id;
}

} // namespace
} // namespace tallow
