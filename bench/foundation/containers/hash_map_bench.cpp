// HashMap insert and lookup of 32-bit and 64-bit keys against std::unordered_map and
// absl::flat_hash_map, in one run; prints HashMap's time relative to each peer.
#include "bench/support/bench_support.h"
#include "foundation/containers/hash_map.h"
#include "foundation/memory/memory_globals.h"

#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using tallow::u32;
using tallow::u64;

constexpr u32 key_count = 1 << 16;

template <typename K> const std::vector<K> &keys()
{
    static const std::vector<K> values = [] {
        std::mt19937_64 random(1);
        std::vector<K> out(key_count);
        for (K &k : out)
            k = sizeof(K) == 8 ? K(0x00007F0000000000ull | (random() & 0xFFFFFFFFF0ull)) : K(random());
        return out;
    }();
    return values;
}

// Keys absent from keys<K>() (odd values against the even ones above, or shifted).
template <typename K> const std::vector<K> &misses()
{
    static const std::vector<K> values = [] {
        std::vector<K> out(keys<K>());
        for (K &k : out)
            k = sizeof(K) == 8 ? K(k | 1) : K(~k);
        return out;
    }();
    return values;
}

// Uniform access to the three maps.
template <typename K> struct Engine {
    tallow::HashMap<K, u32> map{tallow::default_allocator()};
    void set(K k, u32 v) { map[k] = v; }
    bool has(K k) const { return map.find(k) != map.no_entry; }
};
template <typename K> struct Standard {
    std::unordered_map<K, u32> map;
    void set(K k, u32 v) { map[k] = v; }
    bool has(K k) const { return map.find(k) != map.end(); }
};
template <typename K> struct Flat {
    absl::flat_hash_map<K, u32> map;
    void set(K k, u32 v) { map[k] = v; }
    bool has(K k) const { return map.find(k) != map.end(); }
};

template <typename Map, typename K> void insert(benchmark::State &state)
{
    const std::vector<K> &ks = keys<K>();
    for (auto _ : state) {
        Map m;
        for (u32 i = 0; i < key_count; ++i)
            m.set(ks[i], i);
        benchmark::DoNotOptimize(m.map);
    }
    state.SetItemsProcessed(state.iterations() * key_count);
}

template <typename Map, typename K> void lookup(benchmark::State &state)
{
    const std::vector<K> &ks = keys<K>();
    const std::vector<K> &ms = misses<K>();
    Map m;
    for (u32 i = 0; i < key_count; ++i)
        m.set(ks[i], i);
    for (auto _ : state) {
        u32 found = 0;
        for (u32 i = 0; i < key_count; ++i) {
            found += m.has(ks[i]);
            found += m.has(ms[i]);
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * key_count * 2);
}

#define TALLOW_MAP_BENCH(op, K)                                                                   \
    BENCHMARK_TEMPLATE(op, Engine<K>, K)->Name(#op "/" #K "/HashMap");                          \
    BENCHMARK_TEMPLATE(op, Standard<K>, K)->Name(#op "/" #K "/std::unordered_map");             \
    BENCHMARK_TEMPLATE(op, Flat<K>, K)->Name(#op "/" #K "/absl::flat_hash_map");

TALLOW_MAP_BENCH(insert, u32)
TALLOW_MAP_BENCH(insert, u64)
TALLOW_MAP_BENCH(lookup, u32)
TALLOW_MAP_BENCH(lookup, u64)

} // namespace

int main(int argc, char **argv)
{
    tallow::bench::BenchProgram program(argc, argv);
    const tallow::bench::RatioReporter &runs = program.run();
    std::vector<tallow::bench::TimeRatio> ratios;
    for (const char *op : {"insert", "lookup"})
        for (const char *k : {"u32", "u64"})
            for (const char *peer : {"std::unordered_map", "absl::flat_hash_map"}) {
                const std::string base = std::string(op) + "/" + k + "/";
                ratios.push_back({std::string(op) + " " + k + " vs " + peer, base + "HashMap", base + peer});
            }
    tallow::bench::print_time_ratios(runs, "HashMap time / peer time (below 1: HashMap is faster)", ratios);
    return 0;
}
