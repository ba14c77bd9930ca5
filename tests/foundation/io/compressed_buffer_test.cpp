#include "foundation/io/compressed_buffer.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/io/input_archive.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/io/output_archive.h"
#include "foundation/threads/thread_pool.h"
#include "tests/support/log_capture.h"
#include "tests/support/writers/segment_stream_writer.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>
#include <zlib.h>

namespace tallow {
namespace {

using test::CraftedSegment;
using Form = CraftedSegment::Form;

constexpr u32 segment = 65536;

std::vector<u8> zlib_of(const std::vector<u8> &bytes)
{
    uLongf size = compressBound(uLong(bytes.size()));
    std::vector<u8> out(size);
    compress2(out.data(), &size, bytes.data(), uLong(bytes.size()), Z_DEFAULT_COMPRESSION);
    out.resize(size);
    return out;
}

// Reads a whole stream through a decompressing archive in pieces of `piece` bytes.
// Returns the bytes of the pieces that read completely; `out_ok` says whether all did.
// With a `pool`, segments are inflated ahead on it.
std::vector<u8> read_stream(const std::vector<u8> &stream, u32 piece, bool *out_ok, ThreadPool *pool = nullptr)
{
    Allocator &a = default_allocator();
    InputArchive source(make_shared_reference<MemoryInputBuffer>(a, stream.data(), u64(stream.size())));
    InputArchive archive(make_segment_compressed_input_buffer(a, source, pool));
    std::vector<u8> out;
    std::vector<u8> chunk(piece);
    bool ok = !archive.buffer()->has_failed();
    for (u64 at = 0; ok && at < archive.size(); at += piece) {
        u32 n = archive.size() - at < piece ? u32(archive.size() - at) : piece;
        if (!archive.read(chunk.data(), n)) {
            ok = false;
            break;
        }
        out.insert(out.end(), chunk.begin(), chunk.begin() + n);
    }
    *out_ok = ok;
    return out;
}

std::vector<u8> compress_with_engine(const std::vector<u8> &bytes, u32 piece)
{
    Allocator &a = default_allocator();
    auto memory = make_shared_reference<MemoryOutputBuffer>(a, a);
    {
        OutputArchive target(memory);
        auto compressed = make_segment_compressed_output_buffer(a, target);
        {
            OutputArchive archive(compressed);
            for (u64 at = 0; at < bytes.size(); at += piece)
                archive.write(bytes.data() + at, std::min<u64>(piece, bytes.size() - at));
        }
        EXPECT_TRUE(compressed->finish());
        EXPECT_TRUE(target.flush());
    }
    std::vector<u8> out(memory->total_size());
    memory->copy_to(out.data());
    return out;
}

// Stored sizes of the segments, walking the stream's framing.
std::vector<u32> stored_sizes(const std::vector<u8> &stream)
{
    std::vector<u32> sizes;
    for (u64 at = 8; at + 4 <= stream.size();) {
        u32 s;
        memcpy(&s, stream.data() + at, 4);
        sizes.push_back(s);
        at += 4 + u64(s);
    }
    return sizes;
}

TEST(SegmentCompressedStream, DecodesIndependentlyMadeStreams)
{
    struct Case {
        const char *name;
        u64 size;
        u32 noise;
    };
    const Case cases[] = {
        {"empty", 0, 0},           {"one byte", 1, 0},
        {"one short", segment - 1, 10}, {"one segment", segment, 10},
        {"one past", segment + 1, 10},  {"several", 3 * segment + 5, 30},
        {"incompressible", 2 * segment + 100, 100},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> bytes = test::sample_bytes(c.size, 7, c.noise);
        bool ok = false;
        for (u32 piece : {1000u, 32768u, 40000u}) {
            EXPECT_EQ(read_stream(test::segment_stream_of(bytes.data(), bytes.size()), piece, &ok), bytes);
            EXPECT_TRUE(ok);
        }
    }
}

TEST(SegmentCompressedStream, WriterFramesSegmentsAndRoundTrips)
{
    struct Case {
        const char *name;
        u64 size;
        u32 noise;
        u32 segments;
        bool raw; // every segment stored raw
    };
    const Case cases[] = {
        {"empty is the bare header", 0, 0, 0, false},
        {"65537 bytes make two segments", segment + 1, 10, 2, false},
        {"incompressible segments are raw", 3 * segment, 100, 3, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> bytes = test::sample_bytes(c.size, 3, c.noise);
        std::vector<u8> stream = compress_with_engine(bytes, 5000);
        u64 length;
        ASSERT_GE(stream.size(), 8u);
        memcpy(&length, stream.data(), 8);
        EXPECT_EQ(length, c.size);
        std::vector<u32> sizes = stored_sizes(stream);
        ASSERT_EQ(sizes.size(), c.segments);
        for (u32 s : sizes)
            EXPECT_EQ(s == segment, c.raw);
        bool ok = false;
        EXPECT_EQ(read_stream(stream, 4096, &ok), bytes);
        EXPECT_TRUE(ok);
    }
    // The padding of the last segment is zero bytes.
    std::vector<u8> one = {0xAB};
    std::vector<u8> stream = compress_with_engine(one, 1);
    std::vector<u8> expected(segment, 0);
    expected[0] = 0xAB;
    EXPECT_EQ(stream, test::craft_segment_stream(1, {{Form::Zlib, expected}})) << "same zlib, same bytes";
}

TEST(SegmentCompressedStream, SeekSkipsForwardOnly)
{
    std::vector<u8> bytes = test::sample_bytes(3 * segment, 11, 20);
    std::vector<u8> stream = test::segment_stream_of(bytes.data(), bytes.size());
    Allocator &a = default_allocator();
    InputArchive source(make_shared_reference<MemoryInputBuffer>(a, stream.data(), u64(stream.size())));
    auto buffer = make_segment_compressed_input_buffer(a, source);
    InputArchive archive(buffer);
    u8 value = 0;
    archive.seek(segment + 123);
    ASSERT_TRUE(archive.read(value));
    EXPECT_EQ(value, bytes[segment + 123]);
    buffer->seek(10); // backwards: nothing happens
    EXPECT_EQ(buffer->position(), u64(segment + 124));
    archive.seek(10); // through the archive: the read fails rather than deliver wrong bytes
    EXPECT_FALSE(archive.read(value));
}

// Every way a stream can be bad: the reader fails, and what it delivered before failing
// is the good data's start, never garbage.
TEST(SegmentCompressedStream, BadStreamsFailCleanly)
{
    std::vector<u8> a = test::sample_bytes(segment, 1, 20);
    std::vector<u8> b = test::sample_bytes(segment, 2, 20);
    std::vector<u8> good_bytes = a;
    good_bytes.insert(good_bytes.end(), b.begin(), b.end());
    std::vector<u8> corrupt_zlib = zlib_of(b);
    corrupt_zlib[corrupt_zlib.size() / 2] ^= 0x55;
    std::vector<u8> truncated_zlib = zlib_of(b);
    truncated_zlib.resize(truncated_zlib.size() - 6);
    std::vector<u8> short_zlib = zlib_of(std::vector<u8>(10, 1));        // inflates to 10 bytes
    std::vector<u8> long_zlib = zlib_of(std::vector<u8>(segment + 10, 1)); // inflates past 65536

    struct Case {
        const char *name;
        std::vector<u8> stream;
        u64 good_prefix; // bytes that must read back before the failure
    };
    std::vector<Case> cases = {
        {"segment size over 64 KiB", test::craft_segment_stream(2 * segment, {{Form::Zlib, a}, {Form::Raw, b, segment + 1}}),
         segment},
        {"segment size 0 (lost by an old writer)", test::craft_segment_stream(2 * segment, {{Form::Zlib, a}, {Form::Bytes, {}, 0}}),
         segment},
        {"zlib error in a segment", test::craft_segment_stream(2 * segment, {{Form::Zlib, a}, {Form::Bytes, corrupt_zlib}}),
         segment},
        {"zlib stream cut short", test::craft_segment_stream(2 * segment, {{Form::Zlib, a}, {Form::Bytes, truncated_zlib}}),
         segment},
        {"zlib stream inflating short", test::craft_segment_stream(2 * segment, {{Form::Zlib, a}, {Form::Bytes, short_zlib}}),
         segment},
        {"zlib stream inflating long", test::craft_segment_stream(2 * segment, {{Form::Zlib, a}, {Form::Bytes, long_zlib}}),
         segment},
        {"length promises more segments", test::craft_segment_stream(3 * segment, {{Form::Zlib, a}, {Form::Zlib, b}}),
         2 * segment},
        {"length beyond what the source can hold", test::craft_segment_stream(1ull << 40, {{Form::Zlib, a}}), 0},
        {"header cut short", std::vector<u8>{1, 0, 0}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bool ok = true;
        std::vector<u8> got = read_stream(c.stream, 4096, &ok);
        EXPECT_FALSE(ok);
        ASSERT_LE(got.size(), good_bytes.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), good_bytes.begin()));
        // Pieces are 4096 bytes: all full pieces before the bad segment arrive.
        EXPECT_GE(got.size() + 4096, c.good_prefix);
    }
}

TEST(SegmentCompressedStream, EveryPrefixOfAGoodStreamFailsCleanly)
{
    std::vector<u8> bytes = test::sample_bytes(2 * segment + 300, 5, 0);
    std::vector<u8> stream = test::segment_stream_of(bytes.data(), bytes.size());
    ASSERT_LT(stream.size(), 4000u) << "keep the prefix loop small";
    for (u32 n = 0; n < stream.size(); ++n) {
        std::vector<u8> prefix(stream.begin(), stream.begin() + n);
        bool ok = true;
        std::vector<u8> got = read_stream(prefix, 65536, &ok);
        ASSERT_FALSE(ok) << n;
        ASSERT_TRUE(std::equal(got.begin(), got.end(), bytes.begin())) << n;
    }
}

// A multi-megabyte stream written to disk and read back through file and compressed
// archives, with and without read-ahead.
TEST(SegmentCompressedStream, LargeFileRoundTrip)
{
    test::TempDirectory dir;
    Allocator &a = default_allocator();
    DiskFileSystem fs(dir.path(), a);
    std::vector<u8> bytes = test::sample_bytes(5 * 1024 * 1024 + 777, 9, 40);
    {
        OutputArchive file(fs.open_output("big.bin", a, false));
        const u32 prefix = 0x12345678;
        file.write(prefix); // the stream starts inside the file
        auto compressed = make_segment_compressed_output_buffer(a, file);
        {
            OutputArchive archive(compressed);
            for (u64 at = 0; at < bytes.size(); at += 10007)
                archive.write(bytes.data() + at, std::min<u64>(10007, bytes.size() - at));
        }
        ASSERT_TRUE(compressed->finish());
        ASSERT_TRUE(file.flush());
    }
    for (bool read_ahead : {false, true}) {
        SCOPED_TRACE(read_ahead ? "read-ahead" : "plain");
        InputArchive file(fs.open_input("big.bin", a, read_ahead));
        u32 prefix = 0;
        ASSERT_TRUE(file.read(prefix));
        EXPECT_EQ(prefix, 0x12345678u);
        InputArchive archive(make_segment_compressed_input_buffer(a, file));
        ASSERT_EQ(archive.size(), bytes.size());
        std::vector<u8> back(bytes.size());
        for (u64 at = 0; at < back.size(); at += 65000)
            ASSERT_TRUE(archive.read(back.data() + at, std::min<u64>(65000, back.size() - at)));
        EXPECT_TRUE(back == bytes);
        EXPECT_FALSE(file.has_failed());
        EXPECT_EQ(file.position(), file.size()) << "the whole file was consumed, nothing more";
    }
}

// Inflating ahead on a pool (with worker threads, or with none so the reader inflates
// every segment itself) gives the bytes, the failure and the log lines of the reader
// without a pool, for every way of reading through the stream.
TEST(SegmentCompressedStream, InflatingAheadOnAPoolChangesNothing)
{
    constexpr u32 count = 14;
    std::vector<u8> bytes = test::sample_bytes(u64(count) * segment - 777, 9, 30);
    std::vector<CraftedSegment> segments;
    for (u32 k = 0; k < count; ++k) {
        std::vector<u8> part(bytes.begin() + u64(k) * segment,
                             bytes.begin() + std::min<u64>(u64(k + 1) * segment, bytes.size()));
        segments.push_back({k % 5 == 3 ? Form::Raw : Form::Zlib, part});
    }
    auto with = [&](u32 index, CraftedSegment replacement) {
        std::vector<CraftedSegment> changed = segments;
        changed[index] = replacement;
        return test::craft_segment_stream(bytes.size(), changed);
    };
    std::vector<u8> corrupt = zlib_of(std::vector<u8>(bytes.begin() + 9 * segment, bytes.begin() + 10 * segment));
    corrupt[corrupt.size() / 2] ^= 0x55;
    std::vector<u8> small_window(segment, 'w'); // zlib with a 512-byte window: zlib inflates it
    {
        z_stream z{};
        deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 9, 8, Z_DEFAULT_STRATEGY);
        std::vector<u8> in(bytes.begin() + 5 * segment, bytes.begin() + 6 * segment);
        small_window.resize(deflateBound(&z, segment));
        z.next_in = in.data();
        z.avail_in = segment;
        z.next_out = small_window.data();
        z.avail_out = uInt(small_window.size());
        ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        small_window.resize(z.total_out);
        deflateEnd(&z);
    }
    std::vector<u8> cut = test::craft_segment_stream(bytes.size(), segments);
    cut.resize(cut.size() * 2 / 3);

    struct Case {
        const char *name;
        std::vector<u8> stream;
        bool ok;
    };
    std::vector<Case> cases = {
        {"good stream", test::craft_segment_stream(bytes.size(), segments), true},
        {"a segment with a small zlib window", with(5, {Form::Bytes, small_window}), true},
        {"corrupt zlib in segment 9", with(9, {Form::Bytes, corrupt}), false},
        {"stored size 0 in segment 11", with(11, {Form::Bytes, {}, 0}), false},
        {"the source ends inside a segment", cut, false},
    };
    Allocator &a = default_allocator();
    ThreadRegistry registry(a, "main");
    ThreadPool workers(a, 3, registry);
    ThreadPool no_workers(a, 0, registry);
    for (const Case &c : cases) {
        for (u32 piece : {1000u, 4096u, segment, 3 * segment + 5}) {
            SCOPED_TRACE(testing::Message() << c.name << ", pieces of " << piece);
            bool ok = false;
            std::vector<std::string> log_lines;
            std::vector<u8> expected;
            {
                test::LogCapture log("compressed_stream");
                expected = read_stream(c.stream, piece, &ok);
                log_lines = log.lines();
            }
            EXPECT_EQ(ok, c.ok);
            EXPECT_EQ(log_lines.empty(), c.ok);
            if (c.ok) {
                EXPECT_TRUE(expected == bytes);
            }
            for (ThreadPool *pool : {&workers, &no_workers}) {
                test::LogCapture log("compressed_stream");
                bool pool_ok = !ok;
                std::vector<u8> got = read_stream(c.stream, piece, &pool_ok, pool);
                EXPECT_EQ(pool_ok, ok);
                EXPECT_TRUE(got == expected);
                EXPECT_EQ(log.lines(), log_lines);
            }
        }
    }
    EXPECT_EQ(workers.pending_counter_count(), 0u);
    EXPECT_EQ(no_workers.pending_counter_count(), 0u);
}

// A reader that stops early, or never reads at all, still lets its queued jobs finish
// before its slots go.
TEST(SegmentCompressedStream, AReaderLeftEarlyWaitsForItsJobs)
{
    std::vector<u8> bytes = test::sample_bytes(20 * u64(segment), 4, 10);
    std::vector<u8> stream = test::segment_stream_of(bytes.data(), bytes.size());
    Allocator &a = default_allocator();
    ThreadRegistry registry(a, "main");
    for (u32 worker_count : {0u, 2u}) {
        ThreadPool pool(a, worker_count, registry);
        for (u32 stop_after : {0u, 1u, 70000u, 5u * segment}) {
            InputArchive source(make_shared_reference<MemoryInputBuffer>(a, stream.data(), u64(stream.size())));
            InputArchive archive(make_segment_compressed_input_buffer(a, source, &pool));
            std::vector<u8> got(stop_after);
            ASSERT_TRUE(archive.read(got.data(), stop_after));
            EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
        }
        EXPECT_EQ(pool.pending_counter_count(), 0u);
    }
}

// Pieces read with read_to and copied by pool jobs arrive exactly as pieces copied on the
// reading thread: the same bytes, in the same places, failing at the same piece with the
// same log lines. Every destination is checked only at the end, so a slot refilled while
// a copy out of it is still pending would show as wrong bytes; settling leaves no copy
// pending, after a failure too.
TEST(SegmentCompressedStream, CopiesLeftToThePoolDeliverTheSame)
{
    constexpr u32 count = 14;
    std::vector<u8> bytes = test::sample_bytes(u64(count) * segment - 333, 5, 40);
    std::vector<u8> good = test::segment_stream_of(bytes.data(), bytes.size());
    std::vector<CraftedSegment> segments;
    for (u32 k = 0; k < count; ++k)
        segments.push_back({Form::Zlib, std::vector<u8>(bytes.begin() + u64(k) * segment,
                                                        bytes.begin() + std::min<u64>(u64(k + 1) * segment, bytes.size()))});
    std::vector<u8> corrupt = zlib_of(std::vector<u8>(bytes.begin() + 8 * segment, bytes.begin() + 9 * segment));
    corrupt[corrupt.size() / 3] ^= 0x3c;
    std::vector<CraftedSegment> damaged = segments;
    damaged[8] = {Form::Bytes, corrupt};
    std::vector<u8> cut = good;
    cut.resize(cut.size() / 2);
    struct Case {
        const char *name;
        std::vector<u8> stream;
    };
    const std::vector<Case> cases = {
        {"good stream", good},
        {"corrupt zlib in segment 8", test::craft_segment_stream(bytes.size(), damaged)},
        {"the source ends half way", cut},
    };
    // Header-sized reads between pieces that start and end anywhere in a segment, some
    // over several segments, some exactly at the copy threshold or just under it.
    const std::vector<u32> pattern = {20, 70000, 8, 16384, 16383, 100000, 3, segment, 200000, 40000, 12};

    struct Outcome {
        std::vector<std::vector<u8>> pieces; // what each piece read, up to the failing one
        std::vector<bool> read;              // read_to's answer per piece
        std::vector<std::string> log;
        bool operator==(const Outcome &) const = default;
    };
    Allocator &a = default_allocator();
    auto read_all = [&](const std::vector<u8> &stream, ThreadPool *pool, std::atomic<u32> *pending) {
        Outcome out;
        test::LogCapture log("compressed_stream");
        InputArchive source(make_shared_reference<MemoryInputBuffer>(a, stream.data(), u64(stream.size())));
        auto reader = make_segment_compressed_input_buffer(a, source, pool);
        u64 at = 0;
        for (u32 i = 0; at < reader->size(); ++i) {
            u32 n = u32(std::min<u64>(pattern[i % pattern.size()], reader->size() - at));
            out.pieces.emplace_back(n, u8(0xee));
            out.read.push_back(reader->read_to(out.pieces.back().data(), n, pending));
            if (!out.read.back())
                break;
            at += n;
        }
        reader->settle_copies();
        if (pending) {
            EXPECT_EQ(pending->load(), 0u);
        }
        out.log = log.lines();
        return out;
    };
    ThreadRegistry registry(a, "main");
    ThreadPool workers(a, 3, registry);
    ThreadPool no_workers(a, 0, registry);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome expected = read_all(c.stream, nullptr, nullptr);
        EXPECT_EQ(expected.log.empty(), c.stream == good);
        if (c.stream == good) {
            std::vector<u8> joined;
            for (const std::vector<u8> &piece : expected.pieces)
                joined.insert(joined.end(), piece.begin(), piece.end());
            EXPECT_TRUE(joined == bytes);
        }
        for (ThreadPool *pool : {&workers, &no_workers}) {
            std::atomic<u32> pending{0};
            EXPECT_TRUE(read_all(c.stream, pool, &pending) == expected);
        }
    }
    EXPECT_EQ(workers.pending_counter_count(), 0u);
    EXPECT_EQ(no_workers.pending_counter_count(), 0u);
}

} // namespace
} // namespace tallow
