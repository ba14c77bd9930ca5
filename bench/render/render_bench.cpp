// The frame's merge and sort of sort entries against std::sort and std::stable_sort of
// the same keys, and the encoding of draws against a raw memcpy append of the same bytes.
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "tests/support/fakes/null_render_device.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

using namespace tallow;

namespace {

constexpr u32 contexts_per_frame = 8;

// Keys as a frame files them: a few layers, passes 1 to 3, depths in front-to-back or
// back-to-front order, and one set-up segment per layer.
struct Frame {
    NullRenderDevice device{default_allocator()};
    RenderContext *contexts[contexts_per_frame] = {};
    std::vector<i64> keys;

    explicit Frame(u32 entries)
    {
        std::mt19937 random(entries);
        std::uniform_real_distribution<f32> depth(0.5f, 800.0f);
        const ShaderPassKeys *passes = nullptr;
        ShaderPassKeys table[3];
        for (u32 p = 0; p < 3; ++p) {
            u64 layer = 0;
            (void)make_layer_key(p * 2 + 1, &layer);
            (void)make_pass_bits(layer, p, false, &table[p].sort_bits[0]);
            table[p].sort_mode[0] = p == 2 ? SortMode::BackFront : SortMode::FrontBack;
        }
        passes = table;
        LayerConfig config(default_allocator());
        for (RenderContext *&c : contexts) {
            c = device.alloc_render_context();
            c->bind_layer_config(&config, nullptr);
        }
        ShaderSlotEntry slot;
        slot.passes = passes;
        RenderBatch batch;
        for (u32 i = 0; i < entries; ++i) {
            RenderContext *c = contexts[i % contexts_per_frame];
            batch.sort_depth = depth(random);
            slot.pass_count = 1 + i % 3; // one, two or three entries per record
            const u32 before = c->entries().size();
            c->render_batch(batch, slot, 0);
            for (u32 e = before; e < c->entries().size() && keys.size() < entries; ++e)
                keys.push_back(c->entries()[e].key);
            i += c->entries().size() - before - 1;
        }
        config.layers.push_back(Layer{});
    }
    ~Frame()
    {
        for (RenderContext *c : contexts)
            device.release_render_context(c);
    }
};

void merge_and_sort(benchmark::State &state)
{
    Frame frame(u32(state.range(0)));
    Array<RenderSortEntry> out(default_allocator());
    for (auto _ : state) {
        frame.device.merge_and_sort_commands(out, contexts_per_frame, frame.contexts);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * out.size());
}

template <bool Stable> void std_sort_keys(benchmark::State &state)
{
    Frame frame(u32(state.range(0)));
    std::vector<std::pair<i64, u32>> items(frame.keys.size());
    for (auto _ : state) {
        for (u32 i = 0; i < frame.keys.size(); ++i)
            items[i] = {frame.keys[i], i};
        if (Stable)
            std::stable_sort(items.begin(), items.end(),
                             [](const auto &a, const auto &b) { return a.first < b.first; });
        else
            std::sort(items.begin(), items.end());
        benchmark::DoNotOptimize(items.data());
    }
    state.SetItemsProcessed(state.iterations() * items.size());
}

constexpr u32 draw_count = 100000;

void encode_draws(benchmark::State &state)
{
    NullRenderDevice device(default_allocator());
    LayerConfig config(default_allocator());
    ShaderPassKeys passes[1];
    (void)make_pass_bits(1ull << 55, 0, false, &passes[0].sort_bits[0]);
    passes[0].sort_mode[0] = SortMode::FrontBack;
    ShaderSlotEntry slot;
    slot.passes = passes;
    slot.pass_count = 1;
    const GeometryBinding bindings[3] = {{5, 1}, {6, 2}, {8, 3}};
    RenderBatch batch;
    batch.bindings = bindings;
    batch.binding_count = 3;
    batch.primitive_count = 100;
    u64 bytes = 0;
    for (auto _ : state) {
        RenderContext *c = device.alloc_render_context();
        c->bind_layer_config(&config, nullptr);
        for (u32 i = 0; i < draw_count; ++i) {
            batch.sort_depth = f32(i);
            c->render_batch(batch, slot, 0);
        }
        bytes = c->stream().write_offset();
        benchmark::DoNotOptimize(c->entries().data());
        device.release_render_context(c);
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}

// The upper bound: the same bytes (header, record, bindings) appended with memcpy into a
// buffer that is already large enough, and one 32-byte entry per draw.
void memcpy_append(benchmark::State &state)
{
    const u32 record_bytes = sizeof(CommandHeader) + sizeof(DrawBatchRecord) + 3 * sizeof(GeometryBinding);
    std::vector<u8> buffer(u64(record_bytes) * draw_count);
    std::vector<RenderSortEntry> entries(draw_count);
    u8 record[record_bytes] = {};
    for (auto _ : state) {
        u8 *at = buffer.data();
        for (u32 i = 0; i < draw_count; ++i) {
            memcpy(record + 36, &i, 4); // the depth word changes per draw
            memcpy(at, record, record_bytes);
            entries[i].key = i64(i) << 3;
            entries[i].offset = u32(at - buffer.data());
            entries[i].length = record_bytes;
            at += record_bytes;
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::DoNotOptimize(entries.data());
    }
    state.SetBytesProcessed(state.iterations() * buffer.size());
}

} // namespace

BENCHMARK(merge_and_sort)->Name("sort/merge_and_sort_commands")->Arg(10000)->Arg(100000)->Arg(500000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(std_sort_keys<false>)->Name("sort/std::sort")->Arg(10000)->Arg(100000)->Arg(500000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(std_sort_keys<true>)->Name("sort/std::stable_sort")->Arg(10000)->Arg(100000)->Arg(500000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(encode_draws)->Name("encode/render_batch")->Unit(benchmark::kMicrosecond);
BENCHMARK(memcpy_append)->Name("encode/memcpy")->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    tallow::bench::BenchProgram program(argc, argv);
    const tallow::bench::RatioReporter &runs = program.run();
    std::vector<tallow::bench::TimeRatio> sort_ratios;
    for (const char *n : {"10000", "100000", "500000"}) {
        const std::string size = n;
        sort_ratios.push_back({size + " vs std::sort", "sort/merge_and_sort_commands/" + size, "sort/std::sort/" + size});
        sort_ratios.push_back(
            {size + " vs std::stable_sort", "sort/merge_and_sort_commands/" + size, "sort/std::stable_sort/" + size});
    }
    tallow::bench::print_time_ratios(runs, "merge_and_sort_commands time / peer time (below 1: ours is faster)",
                                     sort_ratios);
    const tallow::bench::TimeRatio encode_ratios[] = {{"100k draws", "encode/render_batch", "encode/memcpy"}};
    tallow::bench::print_time_ratios(runs, "render_batch time / raw memcpy append (the upper bound)", encode_ratios);
    return 0;
}
