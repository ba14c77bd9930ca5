// Allocate/free churn through the default (generic) allocator against glibc malloc and
// mimalloc, one thread and four, then the ratios.
//
//   allocator_bench [--benchmark_min_time=0.2]
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <mimalloc.h>
#include <random>
#include <string>
#include <vector>

using namespace tallow;

namespace {

enum class Backend { Generic, Malloc, Mimalloc };
const char *backend_names[] = {"generic", "malloc", "mimalloc"};

struct Workload {
    const char *name;
    std::vector<u32> sizes; // a fixed sequence of request sizes, a power of two long
};

// Small: 16 to 256 bytes. Mixed: mostly small, some up to 4 KiB, a few up to 64 KiB.
std::vector<u32> make_sizes(bool mixed)
{
    std::mt19937 random(42);
    std::vector<u32> sizes(1 << 16);
    for (u32 &s : sizes) {
        u32 kind = random() % 100;
        if (!mixed || kind < 75)
            s = 16 + random() % 241;
        else if (kind < 95)
            s = 257 + random() % 3840;
        else
            s = 4097 + random() % 61440;
    }
    return sizes;
}

inline void *take(Backend b, u64 size)
{
    switch (b) {
    case Backend::Generic:
        return default_allocator().allocate(size, 16);
    case Backend::Malloc:
        return malloc(size);
    case Backend::Mimalloc:
        break;
    }
    return mi_malloc(size);
}

inline void give(Backend b, void *p)
{
    switch (b) {
    case Backend::Generic:
        default_allocator().deallocate(p);
        return;
    case Backend::Malloc:
        free(p);
        return;
    case Backend::Mimalloc:
        break;
    }
    mi_free(p);
}

// Each thread keeps 256 blocks live and replaces one per iteration.
void churn(benchmark::State &state, Backend backend, const Workload *workload)
{
    constexpr u32 live = 256;
    void *ring[live] = {};
    const std::vector<u32> &sizes = workload->sizes;
    const u32 mask = u32(sizes.size() - 1);
    u32 i = u32(state.thread_index()) * 7919;
    for (auto _ : state) {
        u32 slot = (i * 2654435761u) >> 24; // 0..255, scattered
        give(backend, ring[slot]);
        char *p = static_cast<char *>(take(backend, sizes[i & mask]));
        p[0] = char(i);
        ring[slot] = p;
        benchmark::DoNotOptimize(p);
        ++i;
    }
    for (void *p : ring)
        give(backend, p);
    state.SetItemsProcessed(state.iterations());
}

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    static Workload workloads[] = {{"small", make_sizes(false)}, {"mixed", make_sizes(true)}};
    for (Workload &w : workloads)
        for (int b = 0; b < 3; ++b)
            benchmark::RegisterBenchmark((std::string(w.name) + "/" + backend_names[b]).c_str(), churn, Backend(b), &w)
                ->Threads(1)
                ->Threads(4)
                ->UseRealTime();
    const bench::RatioReporter &runs = program.run();

    printf("\nTime per operation relative to generic (>1: generic is faster)\n");
    printf("%-8s %8s %14s %14s %14s %10s %10s\n", "workload", "threads", "generic ns", "malloc ns", "mimalloc ns",
           "malloc", "mimalloc");
    for (const Workload &w : workloads)
        for (int threads : {1, 4}) {
            auto get = [&](int b) {
                return runs.seconds(std::string(w.name) + "/" + backend_names[b] + "/threads:" +
                                    std::to_string(threads)) *
                       1e9;
            };
            double g = get(0), m = get(1), mi = get(2);
            if (g <= 0)
                continue;
            printf("%-8s %8d %14.2f %14.2f %14.2f %10.2f %10.2f\n", w.name, threads, g, m, mi, m / g, mi / g);
        }

    // The times are per operation over all threads, so their ratio is the throughput gain.
    printf("\nThroughput of 4 threads over 1 thread\n");
    printf("%-8s %10s %10s %10s\n", "workload", "generic", "malloc", "mimalloc");
    for (const Workload &w : workloads) {
        double gain[3] = {};
        for (int b = 0; b < 3; ++b) {
            std::string base = std::string(w.name) + "/" + backend_names[b] + "/threads:";
            double one = runs.seconds(base + "1"), four = runs.seconds(base + "4");
            gain[b] = four > 0 ? one / four : 0;
        }
        printf("%-8s %10.2f %10.2f %10.2f\n", w.name, gain[0], gain[1], gain[2]);
    }
    return 0;
}
