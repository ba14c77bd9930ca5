// NameId64 hashing throughput (MurmurHash64A) against the standard library's string
// hash in the same run, over name-sized and bulk inputs. Prints GB/s and the ratio.

#include "bench/support/bench_support.h"
#include "foundation/strings/name_id.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace tallow;

constexpr u32 batch_bytes = 1 << 20; // hashed per iteration, cut into inputs of one size

std::vector<char> make_input()
{
    std::vector<char> bytes(batch_bytes);
    u32 x = 12345;
    for (char &c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = char('a' + (x >> 24) % 26);
    }
    return bytes;
}

const std::vector<char> &input()
{
    static const std::vector<char> bytes = make_input();
    return bytes;
}

struct Engine {
    static u64 hash(const char *p, u32 n) { return NameId64(p, n).value(); }
};
struct Standard {
    static u64 hash(const char *p, u32 n) { return std::hash<std::string_view>{}(std::string_view(p, n)); }
};

template <typename H> void hash_inputs(benchmark::State &state)
{
    const u32 size = u32(state.range(0));
    const char *data = input().data();
    const u32 count = batch_bytes / size;
    for (auto _ : state) {
        u64 sum = 0;
        for (u32 i = 0; i < count; ++i)
            sum += H::hash(data + u64(i) * size, size);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(i64(state.iterations()) * count * size);
}

BENCHMARK_TEMPLATE(hash_inputs, Engine)->Name("NameId64")->Arg(8)->Arg(16)->Arg(32)->Arg(64)->Arg(4096);
BENCHMARK_TEMPLATE(hash_inputs, Standard)->Name("std::hash<string_view>")->Arg(8)->Arg(16)->Arg(32)->Arg(64)->Arg(4096);

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    const bench::RatioReporter &runs = program.run();
    std::printf("\nThroughput in GB/s, and NameId64 / std::hash<string_view> (above 1: NameId64 is faster)\n");
    for (int size : {8, 16, 32, 64, 4096}) {
        const double a = runs.seconds("NameId64/" + std::to_string(size));
        const double b = runs.seconds("std::hash<string_view>/" + std::to_string(size));
        if (a <= 0 || b <= 0)
            continue;
        u32 bytes = (batch_bytes / size) * size;
        double ga = bytes / a / 1e9, gb = bytes / b / 1e9;
        std::printf("  %5d-byte inputs: NameId64 %6.2f GB/s, std::hash %6.2f GB/s, ratio %5.2f\n", size, ga, gb, ga / gb);
    }
    return 0;
}
