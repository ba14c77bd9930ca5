// Segment-compressed read throughput through the archives against zlib's own inflate of
// the same segments, in one run; the ratio shows what the framing and windows cost.
#include "bench/support/bench_support.h"
#include "foundation/io/compressed_buffer.h"
#include "foundation/io/input_archive.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "tests/support/writers/segment_stream_writer.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

using namespace tallow;

namespace {

constexpr u64 data_bytes = 16ull << 20;
constexpr u32 segment = 65536;

struct Inputs {
    std::vector<u8> stream;
    std::vector<std::pair<u64, u32>> segments; // offset and stored size of each
    Inputs()
    {
        std::vector<u8> bytes = test::sample_bytes(data_bytes, 17, 30);
        stream = test::segment_stream_of(bytes.data(), bytes.size());
        for (u64 at = 8; at + 4 <= stream.size();) {
            u32 s;
            memcpy(&s, stream.data() + at, 4);
            segments.push_back({at + 4, s});
            at += 4 + u64(s);
        }
    }
};

const Inputs &inputs()
{
    static Inputs in;
    return in;
}

void engine_read(benchmark::State &state)
{
    const Inputs &in = inputs();
    Allocator &a = default_allocator();
    std::vector<u8> out(data_bytes);
    const u32 piece = u32(state.range(0));
    for (auto _ : state) {
        InputArchive source(make_shared_reference<MemoryInputBuffer>(a, in.stream.data(), u64(in.stream.size())));
        InputArchive archive(make_segment_compressed_input_buffer(a, source));
        for (u64 at = 0; at < data_bytes; at += piece)
            archive.read(out.data() + at, std::min<u64>(piece, data_bytes - at));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(i64(state.iterations()) * i64(data_bytes));
}
BENCHMARK(engine_read)->Name("segment_stream")->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

void zlib_inflate(benchmark::State &state)
{
    const Inputs &in = inputs();
    std::vector<u8> out(in.segments.size() * u64(segment));
    for (auto _ : state) {
        u8 *to = out.data();
        for (const auto &[offset, size] : in.segments) {
            if (size == segment) {
                memcpy(to, in.stream.data() + offset, segment);
            } else {
                uLongf n = segment;
                uncompress(to, &n, in.stream.data() + offset, size);
            }
            to += segment;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(i64(state.iterations()) * i64(data_bytes));
}
BENCHMARK(zlib_inflate)->Name("zlib_uncompress")->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    const bench::RatioReporter &runs = program.run();
    const double peer = runs.seconds("zlib_uncompress");
    if (peer > 0) {
        double mp = data_bytes / peer / 1e6;
        std::printf("\nDecompressing %llu MB in %zu segments (stream of %zu bytes):\n",
                    (unsigned long long)(data_bytes >> 20), inputs().segments.size(), inputs().stream.size());
        for (const char *name : {"segment_stream/4096", "segment_stream/65536"}) {
            const double a = runs.seconds(name);
            if (a <= 0)
                continue;
            double ma = data_bytes / a / 1e6;
            std::printf("  %-22s %7.1f MB/s, zlib uncompress %7.1f MB/s, ratio %5.2f (1: framing costs nothing)\n",
                        name, ma, mp, ma / mp);
        }
    }
    return 0;
}
