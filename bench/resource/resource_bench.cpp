// Loading a package of a few thousand resources (about 200 MB) from a bundle on the
// "resource_loader" thread, against zlib inflating the same segments in one thread,
// and the time from a load request to its hand-in on the main thread.
#include "bench/support/bench_support.h"
#include "foundation/io/compressed_buffer.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/io/input_archive.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "resource/resource_loader.h"
#include "resource/resource_manager.h"
#include "resource/resource_package.h"
#include "resource/resource_properties.h"
#include "resource/resource_types.h"
#include "resource/resource_writer.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace tallow;

namespace {

constexpr u32 resource_count = 3000;
constexpr NameId64 data_type("data");

struct Scenario {
    std::string directory;
    u64 total_bytes = 0;  // uncompressed resource bytes in the big package
    std::string big_file; // bundle file of the big package
};
Scenario scenario;

// Deterministic bytes that compress about 3:1: text-like runs with some noise.
void fill(std::vector<u8> &bytes, u32 seed)
{
    u32 x = seed * 2654435761u + 1;
    for (size_t i = 0; i < bytes.size(); ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = (x >> 24) % 4 == 0 ? u8(x >> 16) : u8('a' + (i / 7 + seed) % 26);
    }
}

void build_scenario()
{
    char pattern[] = "/tmp/tallow_resource_bench_XXXXXX";
    scenario.directory = mkdtemp(pattern);
    DiskFileSystem files(scenario.directory.c_str(), default_allocator());
    BundleWriter big(default_allocator());
    std::vector<u8> bytes;
    for (u32 i = 0; i < resource_count; ++i) {
        bytes.resize(8 * 1024 + (u64(i) * 2654435761u) % (128 * 1024)); // 8 to 136 KiB
        fill(bytes, i);
        char name[16];
        snprintf(name, sizeof(name), "r%u", i);
        big.add_resource({data_type, NameId64(name)}, bytes.data(), bytes.size());
        scenario.total_bytes += bytes.size();
    }
    char hex[17];
    hex64(NameId64("big").value(), hex);
    scenario.big_file = scenario.directory;
    scenario.big_file.append("/").append(hex);
    if (!big.write_file(files, hex))
        abort();
    BundleWriter small(default_allocator());
    const char one[] = "a small resource";
    small.add_resource({data_type, NameId64("one")}, one, sizeof(one));
    hex64(NameId64("small").value(), hex);
    if (!small.write_file(files, hex))
        abort();
}

// `data_parent` backs the manager's allocator, which the resource blocks come from. With
// `inflate_workers`, bundle segments are inflated ahead on a pool of that many threads.
struct Engine {
    explicit Engine(Allocator &data_parent = default_allocator(), u32 inflate_workers = 0)
        : pool(default_allocator(), inflate_workers, registry), manager(loader, data_parent)
    {
        if (inflate_workers)
            loader.set_thread_pool(&pool);
        register_resource_types(manager, nullptr);
    }
    ThreadRegistry registry{default_allocator(), "main"};
    ThreadPool pool;
    DiskFileSystem files{scenario.directory.c_str(), default_allocator()};
    ResourceLoader loader{&registry, nullptr, default_allocator()};
    ResourceManager manager;
};

// state.range(0): 0 = blocks from the default allocator, 1 = from the system allocator.
// state.range(1): threads that inflate segments ahead (0: the loader thread inflates).
// Timed: opening the bundle, the load requests and the flush that waits for the loader
// thread and hands every resource in. The unload that frees the 3000 blocks again is not
// loading (nearly all of it is the allocator giving the pages back to the system); it
// is reported on its own as unload_ms.
void BM_LoadPackageFromBundle(benchmark::State &state)
{
    Engine engine(state.range(0) ? system_allocator() : default_allocator(), u32(state.range(1)));
    double unload_ms = 0;
    for (auto _ : state) {
        ResourcePackage package(default_allocator(), engine.manager);
        package.add_bundle(engine.files, NameId64("big"), nullptr, 0);
        package.load();
        package.flush();
        benchmark::DoNotOptimize(engine.manager.get(data_type, NameId64("r0")));
        state.PauseTiming();
        auto start = std::chrono::steady_clock::now();
        package.unload();
        unload_ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(i64(state.iterations()) * i64(scenario.total_bytes));
    state.counters["resources"] = resource_count;
    state.counters["unload_ms"] = benchmark::Counter(unload_ms, benchmark::Counter::kAvgIterations);
}

// The peer: read the same bundle file and inflate its segments with zlib, one thread.
void BM_ZlibInflateSameBytes(benchmark::State &state)
{
    std::vector<u8> file, segment(65536);
    u64 produced = 0;
    for (auto _ : state) {
        FILE *f = fopen(scenario.big_file.c_str(), "rb");
        fseek(f, 0, SEEK_END);
        file.resize(size_t(ftell(f)));
        fseek(f, 0, SEEK_SET);
        if (fread(file.data(), 1, file.size(), f) != file.size())
            abort();
        fclose(f);
        size_t at = 4 + 8; // format word, stream length
        produced = 0;
        while (at + 4 <= file.size()) {
            u32 stored = u32(file[at]) | u32(file[at + 1]) << 8 | u32(file[at + 2]) << 16 | u32(file[at + 3]) << 24;
            at += 4;
            uLongf out = 65536;
            if (stored == 65536)
                memcpy(segment.data(), file.data() + at, 65536);
            else if (uncompress(segment.data(), &out, file.data() + at, stored) != Z_OK)
                abort();
            at += stored;
            produced += 65536;
        }
        benchmark::DoNotOptimize(segment.data());
    }
    // Counted in resource bytes, like the package load, so the two rates compare.
    benchmark::DoNotOptimize(produced);
    state.SetBytesProcessed(i64(state.iterations()) * i64(scenario.total_bytes));
}

// Where the time goes: the engine's decompressing stream alone over the same file,
// without the loader thread, the manager or the copies into resource blocks.
// state.range(0): threads that inflate segments ahead (0: the reading thread inflates).
void BM_SegmentStreamAlone(benchmark::State &state)
{
    ThreadRegistry registry(default_allocator(), "main");
    ThreadPool pool(default_allocator(), u32(state.range(0)), registry);
    DiskFileSystem files(scenario.directory.c_str(), default_allocator());
    char hex[17];
    hex64(NameId64("big").value(), hex);
    for (auto _ : state) {
        InputArchive file(files.open_input(hex, default_allocator(), true));
        u32 word = 0;
        file.read(word);
        SharedReference<InputBuffer> stream = make_segment_compressed_input_buffer(default_allocator(), file, state.range(0) ? &pool : nullptr);
        u64 total = 0;
        for (;;) {
            stream->consume(stream->bytes_left());
            stream->refill();
            if (stream->bytes_left() == 0)
                break;
            total += stream->bytes_left();
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(i64(state.iterations()) * i64(scenario.total_bytes));
}

// Request to hand-in: one small resource through the loader thread and back.
void BM_RequestToHandIn(benchmark::State &state)
{
    Engine engine;
    for (auto _ : state) {
        ResourcePackage package(default_allocator(), engine.manager);
        package.add_bundle(engine.files, NameId64("small"), nullptr, 0);
        auto start = std::chrono::steady_clock::now();
        package.load();
        package.flush();
        auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        package.unload();
    }
}

// Real time: the package load's work happens on the loader thread.
BENCHMARK(BM_LoadPackageFromBundle)->Args({0, 3})->Args({1, 3})->Args({0, 0})->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_ZlibInflateSameBytes)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_SegmentStreamAlone)->Arg(0)->Arg(3)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_RequestToHandIn)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    build_scenario();
    printf("package: %u resources, %.1f MB uncompressed\n", resource_count, double(scenario.total_bytes) / 1e6);
    const bench::RatioReporter &runs = program.run();
    const double load_mb_per_s = runs.bytes_per_second("BM_LoadPackageFromBundle/0/3") / 1e6;
    const double inflate_mb_per_s = runs.bytes_per_second("BM_ZlibInflateSameBytes") / 1e6;
    if (load_mb_per_s > 0 && inflate_mb_per_s > 0)
        printf("package load %.0f MB/s, zlib inflate alone %.0f MB/s: ratio %.2f\n", load_mb_per_s, inflate_mb_per_s,
               load_mb_per_s / inflate_mb_per_s);
    std::filesystem::remove_all(scenario.directory);
    return 0;
}
