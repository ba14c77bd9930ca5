// LockedRingBuffer push/pop throughput against a mutex-guarded std::deque of byte records,
// in one run: on one thread (push a burst, pop it back), and between a writer and a reader
// thread through a queue of the render queue's size. Prints the ring's time relative to
// the deque.
#include "bench/support/bench_support.h"
#include "foundation/threads/locked_ring_buffer.h"
#include "foundation/memory/memory_globals.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tallow;

constexpr u32 queue_bytes = 10240;
constexpr u32 burst = 256;
constexpr u32 streamed_records = 200000;

// Render-message-like sizes: 12 to 32 bytes.
u32 record_size(u32 i) { return 12 + (i * 5) % 21; }

// The outside alternative: records as byte vectors in a deque under one mutex, bounded
// to the same byte budget, with condition variables for "not empty" and "not full".
class DequeQueue {
  public:
    bool try_push(const void *data, u32 size)
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_bytes + size + 8 > queue_bytes)
            return false;
        const u8 *bytes = static_cast<const u8 *>(data);
        _records.emplace_back(bytes, bytes + size);
        _bytes += size + 8;
        _not_empty.notify_one();
        return true;
    }
    void push_wait(const void *data, u32 size)
    {
        std::unique_lock<std::mutex> lock(_mutex);
        _not_full.wait(lock, [&] { return _bytes + size + 8 <= queue_bytes; });
        const u8 *bytes = static_cast<const u8 *>(data);
        _records.emplace_back(bytes, bytes + size);
        _bytes += size + 8;
        _not_empty.notify_one();
    }
    bool try_pop(void *out, u32 *out_size)
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_records.empty())
            return false;
        pop_locked(out, out_size);
        return true;
    }
    void pop_wait(void *out, u32 *out_size)
    {
        std::unique_lock<std::mutex> lock(_mutex);
        _not_empty.wait(lock, [&] { return !_records.empty(); });
        pop_locked(out, out_size);
    }

  private:
    void pop_locked(void *out, u32 *out_size)
    {
        std::vector<u8> &front = _records.front();
        memcpy(out, front.data(), front.size());
        *out_size = u32(front.size());
        _bytes -= u32(front.size()) + 8;
        _records.pop_front();
        _not_full.notify_one();
    }
    std::mutex _mutex;
    std::condition_variable _not_empty;
    std::condition_variable _not_full;
    std::deque<std::vector<u8>> _records;
    u32 _bytes = 0;
};

void burst_ring(benchmark::State &state)
{
    LockedRingBuffer ring(default_allocator(), queue_bytes);
    u8 record[64] = {};
    u8 out[64];
    u32 size;
    for (auto _ : state) {
        for (u32 i = 0; i < burst; ++i)
            benchmark::DoNotOptimize(ring.try_push(record, record_size(i)));
        for (u32 i = 0; i < burst; ++i)
            benchmark::DoNotOptimize(ring.try_pop(out, sizeof(out), &size));
    }
    state.SetItemsProcessed(state.iterations() * burst);
}

void burst_deque(benchmark::State &state)
{
    DequeQueue queue;
    u8 record[64] = {};
    u8 out[64];
    u32 size;
    for (auto _ : state) {
        for (u32 i = 0; i < burst; ++i)
            benchmark::DoNotOptimize(queue.try_push(record, record_size(i)));
        for (u32 i = 0; i < burst; ++i)
            benchmark::DoNotOptimize(queue.try_pop(out, &size));
    }
    state.SetItemsProcessed(state.iterations() * burst);
}

void streamed_ring(benchmark::State &state)
{
    for (auto _ : state) {
        LockedRingBuffer ring(default_allocator(), queue_bytes);
        std::thread writer([&] {
            u8 record[64] = {};
            for (u32 i = 0; i < streamed_records; ++i)
                (void)ring.push_wait(record, record_size(i));
        });
        u8 out[64];
        u32 size;
        u32 received = 0;
        while (received < streamed_records) {
            if (ring.try_pop(out, sizeof(out), &size) == RingResult::Ok)
                ++received;
            else
                ring.data_event().wait();
        }
        writer.join();
    }
    state.SetItemsProcessed(state.iterations() * streamed_records);
}

void streamed_deque(benchmark::State &state)
{
    for (auto _ : state) {
        DequeQueue queue;
        std::thread writer([&] {
            u8 record[64] = {};
            for (u32 i = 0; i < streamed_records; ++i)
                queue.push_wait(record, record_size(i));
        });
        u8 out[64];
        u32 size;
        for (u32 received = 0; received < streamed_records; ++received)
            queue.pop_wait(out, &size);
        writer.join();
    }
    state.SetItemsProcessed(state.iterations() * streamed_records);
}

BENCHMARK(burst_ring)->Name("burst/LockedRingBuffer");
BENCHMARK(burst_deque)->Name("burst/mutex_deque");
BENCHMARK(streamed_ring)->Name("streamed/LockedRingBuffer")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(streamed_deque)->Name("streamed/mutex_deque")->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    tallow::bench::BenchProgram program(argc, argv);
    const tallow::bench::RatioReporter &runs = program.run();
    const tallow::bench::TimeRatio ratios[] = {{"burst", "burst/LockedRingBuffer", "burst/mutex_deque"},
                                               {"streamed", "streamed/LockedRingBuffer", "streamed/mutex_deque"}};
    tallow::bench::print_time_ratios(runs, "LockedRingBuffer time / mutex_deque time (below 1: the ring is faster)",
                                     ratios);
    return 0;
}
