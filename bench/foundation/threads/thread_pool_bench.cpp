// The thread pool against oneTBB and a plain mutex-and-condition-variable pool, in one run:
// posting and waiting for many tiny jobs, and a parallel loop over a large array. Every
// contender gets the same number of threads (the pool's workers plus the waiting thread).
// Prints the pool's time relative to each peer.
#include "bench/support/bench_support.h"
#include "foundation/threads/job.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/processor.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"

#include <benchmark/benchmark.h>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tallow;

constexpr u32 tiny_job_count = 10000;
constexpr u32 loop_items = 1u << 22;

u32 thread_total() { return pool_worker_count(ProcessorInfo::processor_count()) + 1; }

// The engine's pool as the application sets it up: workers plus the calling thread.
struct Engine {
    Engine()
    {
        registry = std::make_unique<ThreadRegistry>(default_allocator(), "main");
        pool = std::make_unique<ThreadPool>(default_allocator(), thread_total() - 1, *registry);
        pool->add_worker(current_thread_id());
        pool->set_wait_without_helping(false);
    }
    ~Engine()
    {
        pool.reset();
        registry.reset();
    }
    std::unique_ptr<ThreadRegistry> registry;
    std::unique_ptr<ThreadPool> pool;
};

Engine *the_engine = nullptr; // made in main, gone before the allocators
Engine &engine() { return *the_engine; }

tbb::task_arena &arena()
{
    static tbb::task_arena instance{static_cast<int>(thread_total())};
    return instance;
}

// A plain pool: one queue under one mutex, workers sleeping on a condition variable, the
// caller blocking until a counter drops to zero.
class PlainPool {
  public:
    explicit PlainPool(u32 threads)
    {
        for (u32 i = 0; i < threads; ++i)
            _threads.emplace_back([this] { work(); });
    }
    ~PlainPool()
    {
        {
            std::lock_guard<std::mutex> guard(_mutex);
            _stop = true;
        }
        _work.notify_all();
        for (std::thread &t : _threads)
            t.join();
    }
    void post(std::function<void()> job)
    {
        {
            std::lock_guard<std::mutex> guard(_mutex);
            _queue.push_back(std::move(job));
            ++_pending;
        }
        _work.notify_one();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(_mutex);
        _done.wait(lock, [this] { return _pending == 0; });
    }

  private:
    void work()
    {
        std::unique_lock<std::mutex> lock(_mutex);
        for (;;) {
            _work.wait(lock, [this] { return _stop || !_queue.empty(); });
            if (_queue.empty())
                return;
            std::function<void()> job = std::move(_queue.front());
            _queue.pop_front();
            lock.unlock();
            job();
            lock.lock();
            if (--_pending == 0)
                _done.notify_all();
        }
    }
    std::mutex _mutex;
    std::condition_variable _work;
    std::condition_variable _done;
    std::deque<std::function<void()>> _queue;
    u64 _pending = 0;
    bool _stop = false;
    std::vector<std::thread> _threads;
};

PlainPool &plain()
{
    static PlainPool instance(thread_total());
    return instance;
}

std::atomic<u64> tiny_sink{0};

void tiny_work(u64 i) { tiny_sink.fetch_add(i, std::memory_order_relaxed); }

void tiny_jobs_engine(benchmark::State &state)
{
    ThreadPool &pool = *engine().pool;
    std::vector<JobItem> items(tiny_job_count);
    for (u32 i = 0; i < tiny_job_count; ++i)
        items[i] = JobItem{[](const JobContext &c) { tiny_work(reinterpret_cast<u64>(c.data)); },
                           reinterpret_cast<void *>(u64(i)), "tiny", 0};
    for (auto _ : state) {
        const JobId id = pool.new_counter();
        pool.post(id, tiny_job_count, items.data());
        pool.job_done(id);
        pool.wait(id);
    }
    state.SetItemsProcessed(state.iterations() * tiny_job_count);
}

void tiny_jobs_tbb(benchmark::State &state)
{
    for (auto _ : state) {
        arena().execute([] {
            tbb::task_group group;
            for (u32 i = 0; i < tiny_job_count; ++i)
                group.run([i] { tiny_work(i); });
            group.wait();
        });
    }
    state.SetItemsProcessed(state.iterations() * tiny_job_count);
}

void tiny_jobs_plain(benchmark::State &state)
{
    PlainPool &pool = plain();
    for (auto _ : state) {
        for (u32 i = 0; i < tiny_job_count; ++i)
            pool.post([i] { tiny_work(i); });
        pool.wait();
    }
    state.SetItemsProcessed(state.iterations() * tiny_job_count);
}

std::vector<f32> &loop_data()
{
    static std::vector<f32> data(loop_items, 1.0f);
    return data;
}

inline void loop_body(f32 *x, u32 n)
{
    for (u32 i = 0; i < n; ++i)
        x[i] = std::sqrt(x[i] * 1.0001f + 0.5f);
}

void parallel_loop_engine(benchmark::State &state)
{
    JobSystem jobs(*engine().pool);
    std::vector<f32> &data = loop_data();
    Job job("loop");
    JobData stream(job);
    stream.set_stream(0, {data.data(), sizeof(f32)});
    job.set_count(loop_items);
    job.set_function([](const JobData &batch) { loop_body(batch.stream_as<f32>(0), batch.count()); });
    for (auto _ : state) {
        const JobId id = jobs.run_job(job);
        jobs.wait_for_job(id);
        jobs.release_job(id);
    }
    state.SetItemsProcessed(state.iterations() * loop_items);
}

void parallel_loop_tbb(benchmark::State &state)
{
    std::vector<f32> &data = loop_data();
    for (auto _ : state) {
        arena().execute([&] {
            tbb::parallel_for(tbb::blocked_range<u32>(0, loop_items), [&](const tbb::blocked_range<u32> &r) {
                loop_body(data.data() + r.begin(), r.end() - r.begin());
            });
        });
    }
    state.SetItemsProcessed(state.iterations() * loop_items);
}

void parallel_loop_plain(benchmark::State &state)
{
    PlainPool &pool = plain();
    std::vector<f32> &data = loop_data();
    const u32 chunks = thread_total() * 4;
    const u32 chunk = (loop_items + chunks - 1) / chunks;
    for (auto _ : state) {
        for (u32 first = 0; first < loop_items; first += chunk) {
            const u32 n = std::min(chunk, loop_items - first);
            pool.post([&data, first, n] { loop_body(data.data() + first, n); });
        }
        pool.wait();
    }
    state.SetItemsProcessed(state.iterations() * loop_items);
}

void parallel_loop_serial(benchmark::State &state)
{
    std::vector<f32> &data = loop_data();
    for (auto _ : state)
        loop_body(data.data(), loop_items);
    state.SetItemsProcessed(state.iterations() * loop_items);
}

BENCHMARK(tiny_jobs_engine)->Name("tiny_jobs/ThreadPool")->UseRealTime();
BENCHMARK(tiny_jobs_tbb)->Name("tiny_jobs/oneTBB")->UseRealTime();
BENCHMARK(tiny_jobs_plain)->Name("tiny_jobs/plain_pool")->UseRealTime();
BENCHMARK(parallel_loop_engine)->Name("parallel_loop/ThreadPool")->UseRealTime();
BENCHMARK(parallel_loop_tbb)->Name("parallel_loop/oneTBB")->UseRealTime();
BENCHMARK(parallel_loop_plain)->Name("parallel_loop/plain_pool")->UseRealTime();
BENCHMARK(parallel_loop_serial)->Name("parallel_loop/serial")->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    tallow::bench::BenchProgram program(argc, argv);
    std::printf("threads per contender: %u\n", thread_total());
    the_engine = new Engine();
    const tallow::bench::RatioReporter &runs = program.run();
    std::vector<tallow::bench::TimeRatio> ratios;
    for (const char *test : {"tiny_jobs", "parallel_loop"})
        for (const char *peer : {"oneTBB", "plain_pool", "serial"})
            ratios.push_back({std::string(test) + " vs " + peer, std::string(test) + "/ThreadPool",
                              std::string(test) + "/" + peer});
    tallow::bench::print_time_ratios(runs, "ThreadPool time / peer time (below 1: ThreadPool is faster)", ratios);
    delete the_engine; // its threads stop before the global allocators go
    return 0;
}
