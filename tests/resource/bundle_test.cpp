// Bundles, the loose-file database and the variant choice they share, read directly
// (no loader thread).
#include "foundation/io/memory_buffer.h"
#include "foundation/threads/thread_pool.h"
#include "resource/bundle.h"
#include "tests/resource/resource_fixture.h"

#include <atomic>

namespace tallow::test {
namespace {

TEST(PropertyChoice, ScoresByPreferenceOrder)
{
    const u64 a = NameId64("A").value(), b = NameId64("B").value(), c = NameId64("C").value();
    const u64 slots[] = {a, b, c}; // A in slot 0, B in slot 1, C in slot 2
    const u64 order[] = {a, b};    // C is not wanted
    PropertyChoice choice(default_allocator());
    choice.set_active(slots, 3, order, 2);
    ASSERT_EQ(choice.active().size(), 2u);
    EXPECT_EQ(choice.active()[0], 2u) << "least preferred (B) first";
    EXPECT_EQ(choice.active()[1], 1u);

    struct Case {
        const char *name;
        u32 mask;
        i64 score;
    };
    const Case cases[] = {
        {"A", 1, 2},
        {"B", 2, 1},
        {"A|B", 3, 3},
        {"none", 0, 0},
        {"C", 4, variant_unqualified},
        {"A|C", 5, variant_unqualified},
        {"bit 31, no property", 0x80000000u, variant_unqualified},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(choice.score(c.mask), c.score);
    }
    const u32 masks[] = {1, 3, 2, 0};
    EXPECT_EQ(choice.choose(masks, 4), 1u) << "A|B wins";
    const u32 ties[] = {4, 2, 2, 0};
    EXPECT_EQ(choice.choose(ties, 4), 1u) << "ties keep the first qualifying variant";
    const u32 none[] = {4, 5};
    EXPECT_EQ(choice.choose(none, 2), variant_none);
}

TEST(PropertyChoice, ThirtyTwoPropertiesDoNotOverflow)
{
    u64 slots[32], order[32];
    for (u32 k = 0; k < 32; ++k)
        slots[k] = order[k] = 1000 + k; // slot k is the k-th most preferred
    PropertyChoice choice(default_allocator());
    choice.set_active(slots, 32, order, 32);
    EXPECT_EQ(choice.score(1u), i64(1) << 31) << "the most preferred property alone";
    EXPECT_EQ(choice.score(0xFFFFFFFFu), (i64(1) << 32) - 1);
    EXPECT_GT(choice.score(1u), choice.score(0xFFFFFFFEu)) << "it outweighs all the others together";
}

TEST(PropertyChoice, Hex64NamesBundles)
{
    char name[17];
    hex64(0x0123456789abcdefull, name);
    EXPECT_STREQ(name, "0123456789abcdef");
    hex64(0, name);
    EXPECT_STREQ(name, "0000000000000000");
}

class BundleTest : public ResourceFixture {
  protected:
    /// What reading a whole bundle gave: its log lines and, per record, the bytes it
    /// handed out, "skipped" or "failed".
    struct Outcome {
        std::vector<std::string> log;
        std::vector<std::string> bytes;
        bool operator==(const Outcome &) const = default;
    };

    /// `count` "data" records r0, r1, ... of `size(i)` bytes, letters with random noise.
    static std::vector<TestResource> noisy_records(u32 count, u32 seed, u32 (*size)(u32))
    {
        std::vector<TestResource> resources;
        u32 x = seed;
        for (u32 i = 0; i < count; ++i) {
            std::string bytes(size(i), ' ');
            for (char &c : bytes)
                c = char((x = x * 1103515245u + 12345u) >> 29 ? 'a' + i % 26 : x >> 16);
            resources.push_back({"data", "r" + std::to_string(i), bytes, 0});
        }
        return resources;
    }

    /// Opens `file` as a bundle (inflating ahead on `pool` when given) and reads every
    /// record in table order, skipping every `skip_every`-th. With `pending`, the copies
    /// into the records' bytes may be left to the pool; a record that fails must leave none.
    Outcome read_records(const std::vector<u8> &file, ThreadPool *pool, u32 skip_every,
                         std::atomic<u32> *pending = nullptr)
    {
        Outcome out;
        ResourceLogCapture log;
        {
            Bundle bundle(files, "memory", allocator);
            bundle.set_thread_pool(pool);
            Array<ResourceId> table(allocator);
            if (bundle.open_from(make_shared_reference<MemoryInputBuffer>(allocator, file.data(), file.size()),
                                 table)) {
                for (u32 i = 0; i < table.size(); ++i) {
                    u64 size = 0;
                    if (i % skip_every == skip_every - 1) {
                        out.bytes.push_back(bundle.skip_resource(table[i]) ? "skipped" : "failed");
                    } else if (bundle.begin_resource(table[i], size)) {
                        out.bytes.emplace_back(size, '\0');
                        if (!bundle.finish_resource(out.bytes.back().data(), pending)) {
                            EXPECT_EQ(pending ? pending->load() : 0u, 0u) << "record " << i;
                            out.bytes.back() = "failed";
                        }
                    } else {
                        out.bytes.push_back("failed");
                    }
                }
                bundle.settle_copies();
                EXPECT_EQ(pending ? pending->load() : 0u, 0u);
            }
        }
        out.log = log.lines();
        return out;
    }

    const std::vector<TestResource> three = {
        {"data", "one", "first"}, {"data", "two", "second"}, {"data", "three", "third!"}};

    std::string read(Bundle &bundle, const char *name)
    {
        u64 size = 0;
        if (!bundle.begin_resource(resource_id("data", name), size))
            return "<failed>";
        std::string out(size, '\0');
        if (!bundle.finish_resource(out.data()))
            return "<failed>";
        return out;
    }
};

TEST_F(BundleTest, ReadsAndSkipsInTableOrder)
{
    ASSERT_TRUE(write_bundle(files, "b", three));
    Bundle bundle(files, "b", allocator);
    Array<ResourceId> table(allocator);
    ASSERT_TRUE(bundle.open(table));
    ASSERT_EQ(table.size(), 3u);
    EXPECT_TRUE(table[1] == resource_id("data", "two"));
    bundle.set_active_properties(nullptr, 0);
    EXPECT_EQ(read(bundle, "one"), "first");
    EXPECT_TRUE(bundle.skip_resource(resource_id("data", "two")));
    EXPECT_EQ(read(bundle, "three"), "third!") << "the skip left the stream on the next record";
}

TEST_F(BundleTest, ChoosesTheVariantOfThePreferenceOrder)
{
    ASSERT_TRUE(write_bundle(files, "v",
                             {{"data", "tex", "plain", 0},
                              {"data", "tex", "high", 1},
                              {"data", "tex", "high+wide", 3},
                              {"data", "tex", "wide", 2},
                              {"data", "other", "console", 4},
                              {"data", "after", "next"}},
                             {"high", "wide", "console"}));
    struct Case {
        const char *name;
        std::vector<std::string> order;
        const char *tex;
        const char *other;
    };
    const Case cases[] = {
        {"no preference", {}, "plain", "<failed>"},
        {"high only", {"high"}, "high", "<failed>"},
        {"wide over high", {"wide", "high"}, "high+wide", "<failed>"},
        {"unknown ids are skipped", {"unknown", "wide"}, "wide", "<failed>"},
        {"console", {"console"}, "plain", "console"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bundle bundle(files, "v", allocator);
        Array<ResourceId> table(allocator);
        ASSERT_TRUE(bundle.open(table));
        std::vector<u64> order;
        for (const std::string &p : c.order)
            order.push_back(NameId64(p.c_str()).value());
        bundle.set_active_properties(order.data(), u32(order.size()));
        EXPECT_EQ(read(bundle, "tex"), c.tex);
        EXPECT_EQ(read(bundle, "other"), c.other) << "no qualifying variant fails the load";
        EXPECT_EQ(read(bundle, "after"), "next") << "and the stream stays aligned";
    }
}

TEST_F(BundleTest, AnotherRecordThanRequestedFailsOnlyThatLoad)
{
    ASSERT_TRUE(write_bundle(files, "b", three));
    Bundle bundle(files, "b", allocator);
    Array<ResourceId> table(allocator);
    ASSERT_TRUE(bundle.open(table));
    ResourceLogCapture log;
    EXPECT_EQ(read(bundle, "two"), "<failed>"); // record "one" is there
    EXPECT_TRUE(log.contains("holds another resource"));
    EXPECT_EQ(read(bundle, "two"), "second");
    EXPECT_FALSE(bundle.is_broken());
}

// Damaged bundles: every cut of the file and every lying count fails cleanly, and the
// resources before the damage still read.
TEST_F(BundleTest, TruncatedFilesFailCleanly)
{
    std::vector<TestResource> big = three;
    big.push_back({"data", "large", std::string(150000, 'x')}); // three segments
    big.push_back({"data", "last", "end"});
    ASSERT_TRUE(write_bundle(files, "whole", big));
    std::vector<u8> bytes;
    {
        SharedReference<InputBuffer> in = files.open_input("whole", allocator, false);
        InputArchive archive(in);
        bytes.resize(archive.size());
        ASSERT_TRUE(archive.read(bytes.data(), bytes.size()));
    }
    ResourceLogCapture log;
    for (size_t cut = 0; cut < bytes.size(); cut += (cut < 400 ? 1 : 997)) {
        SCOPED_TRACE(cut);
        ASSERT_TRUE(write_bytes(files, "cut", std::vector<u8>(bytes.begin(), bytes.begin() + cut)));
        Bundle bundle(files, "cut", allocator);
        Array<ResourceId> table(allocator);
        if (!bundle.open(table)) {
            EXPECT_EQ(table.size(), 0u);
            continue;
        }
        u32 read_ok = 0;
        for (const TestResource &r : big) {
            u64 size = 0;
            if (!bundle.begin_resource(resource_id("data", r.name.c_str()), size))
                break;
            std::vector<char> out(size);
            if (!bundle.finish_resource(out.data()))
                break;
            EXPECT_EQ(std::string(out.begin(), out.end()), r.bytes);
            ++read_ok;
        }
        EXPECT_LT(read_ok, big.size()) << "a cut file cannot hold every resource";
        EXPECT_TRUE(bundle.is_broken());
    }
}

TEST_F(BundleTest, LyingCountsAndSizesFailCleanly)
{
    const std::vector<u8> good = bundle_payload(three);
    const size_t table_end = 4 + 32 * 8 + 3 * 16;
    const size_t first_record = table_end;
    auto put_u32 = [](std::vector<u8> &p, size_t at, u32 v) {
        for (int i = 0; i < 4; ++i)
            p[at + i] = u8(v >> (8 * i));
    };
    struct Case {
        const char *name;
        size_t offset;
        u32 value;
        bool opens;
        const char *message;
    };
    const Case cases[] = {
        {"resource count huge", 0, 0xFFFFFFFFu, false, "resource count is larger"},
        {"resource count one more: the table eats the first record", 0, 4, true, "is unusable"},
        {"variant count huge", first_record + 16, 0x7FFFFFFFu, true, "variant count is larger"},
        {"variant size huge", first_record + 20 + 4, 0xFFFFFFF0u, true, "add up to more"},
        {"variant size one more than the file", first_record + 20 + 4, u32(good.size()), true, "add up to more"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> payload = good;
        put_u32(payload, c.offset, c.value);
        ASSERT_TRUE(write_bytes(files, "bad", bundle_file_from_payload(payload)));
        ResourceLogCapture log;
        Bundle bundle(files, "bad", allocator);
        Array<ResourceId> table(allocator);
        EXPECT_EQ(bundle.open(table), c.opens);
        if (c.opens) {
            u64 size = 0;
            EXPECT_FALSE(bundle.begin_resource(resource_id("data", "one"), size));
            for (const char *name : {"two", "three"})
                if (bundle.begin_resource(resource_id("data", name), size)) {
                    std::vector<u8> out(size);
                    EXPECT_FALSE(bundle.finish_resource(out.data()));
                }
        }
        EXPECT_TRUE(log.contains(c.message)) << ::testing::PrintToString(log.lines());
    }
}

// Random damage inside the compressed stream (so zlib accepts it): whatever the bundle
// then claims, reading it ends, and what it hands out stays inside the file.
TEST_F(BundleTest, RandomDamageNeverReadsOutOfBounds)
{
    std::vector<TestResource> resources = three;
    resources.push_back({"data", "variants", "v0", 1});
    resources.push_back({"data", "variants", "v1-longer", 2});
    const std::vector<u8> good = bundle_payload(resources, {"p0", "p1"});
    const u64 order[] = {NameId64("p1").value(), NameId64("p0").value()};
    ResourceLogCapture quiet;
    u32 seed = 1;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    for (int round = 0; round < 300; ++round) {
        std::vector<u8> payload = good;
        for (u32 flips = 1 + next() % 4; flips > 0; --flips)
            payload[next() % payload.size()] = u8(next());
        if (next() % 4 == 0)
            payload.resize(next() % payload.size());
        std::vector<u8> file = bundle_file_from_payload(payload);
        Bundle bundle(files, "memory", allocator);
        Array<ResourceId> table(allocator);
        if (!bundle.open_from(make_shared_reference<MemoryInputBuffer>(allocator, file.data(), file.size()), table))
            continue;
        bundle.set_active_properties(order, 2);
        for (u32 i = 0; i < table.size(); ++i) {
            u64 size = 0;
            if (i % 3 == 1) {
                bundle.skip_resource(table[i]);
            } else if (bundle.begin_resource(table[i], size)) {
                ASSERT_LE(size, payload.size());
                std::vector<u8> out(size);
                bundle.finish_resource(out.data());
            }
        }
    }
}

// A bundle whose segments are inflated ahead on a pool reads the same records, hands out
// the same bytes and fails at the same record with the same log lines as one without.
TEST_F(BundleTest, InflatingAheadOnAPoolReadsTheSame)
{
    std::vector<TestResource> resources = noisy_records(40, 7, [](u32 i) { return 1000 + (i * 7919) % 90000; });
    const std::vector<u8> good = bundle_payload(resources, {});
    ThreadPool pool(allocator, 3, registry);

    Outcome plain = read_records(bundle_file_from_payload(good), nullptr, 5);
    ASSERT_EQ(plain.bytes.size(), resources.size());
    EXPECT_EQ(plain.bytes[3], resources[3].bytes);
    EXPECT_TRUE(plain.log.empty());
    EXPECT_TRUE(read_records(bundle_file_from_payload(good), &pool, 5) == plain);

    u32 seed = 3;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    int failed_rounds = 0;
    for (int round = 0; round < 24; ++round) {
        std::vector<u8> file = bundle_file_from_payload(good);
        if (round % 2 == 0)
            file[8 + next() % (file.size() - 8)] ^= u8(1 + next() % 255); // damage inside a segment
        else
            file.resize(file.size() / 4 + next() % (file.size() / 2));
        Outcome expected = read_records(file, nullptr, 5);
        failed_rounds += !expected.log.empty();
        Outcome got = read_records(file, &pool, 5);
        EXPECT_TRUE(got == expected) << "round " << round;
        EXPECT_EQ(got.log, expected.log) << "round " << round;
    }
    EXPECT_GT(failed_rounds, 12);
    EXPECT_EQ(pool.pending_counter_count(), 0u);
}

// Records whose bytes are copied by pool jobs (finish_resource with a count of pending
// copies) hand out the same bytes, and fail at the same record with the same log lines,
// as records copied on the reading thread, for whole and damaged or truncated bundles. A
// record that fails leaves no copy pending, since its caller frees the block at once.
TEST_F(BundleTest, CopiesLeftToThePoolReadTheSame)
{
    std::vector<TestResource> resources = noisy_records(30, 11, [](u32 i) { return 500 + (i * 48271) % 150000; });
    const std::vector<u8> good = bundle_payload(resources, {});
    ThreadPool workers(allocator, 3, registry);
    ThreadPool no_workers(allocator, 0, registry);
    std::atomic<u32> pending{0};

    Outcome plain = read_records(bundle_file_from_payload(good), nullptr, 7);
    ASSERT_EQ(plain.bytes.size(), resources.size());
    EXPECT_EQ(plain.bytes[4], resources[4].bytes);
    EXPECT_TRUE(plain.log.empty());
    EXPECT_TRUE(read_records(bundle_file_from_payload(good), &workers, 7, &pending) == plain);
    EXPECT_TRUE(read_records(bundle_file_from_payload(good), &no_workers, 7, &pending) == plain);

    u32 seed = 5;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    int failed_rounds = 0;
    for (int round = 0; round < 16; ++round) {
        std::vector<u8> file = bundle_file_from_payload(good);
        if (round % 2 == 0)
            file[8 + next() % (file.size() - 8)] ^= u8(1 + next() % 255); // damage inside a segment
        else
            file.resize(file.size() / 4 + next() % (file.size() / 2));
        Outcome expected = read_records(file, nullptr, 7);
        failed_rounds += !expected.log.empty();
        EXPECT_TRUE(read_records(file, &workers, 7, &pending) == expected) << "round " << round;
        EXPECT_TRUE(read_records(file, &no_workers, 7, &pending) == expected) << "round " << round;
    }
    EXPECT_GT(failed_rounds, 8);
    EXPECT_EQ(workers.pending_counter_count(), 0u);
    EXPECT_EQ(no_workers.pending_counter_count(), 0u);
}

TEST_F(BundleTest, MissingFileFailsToOpen)
{
    ResourceLogCapture log;
    Bundle bundle(files, "nothing", allocator);
    Array<ResourceId> table(allocator);
    EXPECT_FALSE(bundle.open(table));
    EXPECT_TRUE(log.contains("nothing"));
}

class DatabaseTest : public ResourceFixture {};

TEST_F(DatabaseTest, FindsTheBestVariantAndReportsMissingEntries)
{
    ASSERT_TRUE(write_database(files,
                               {{"data", "tex", "plain", 0},
                                {"data", "tex", "high", 1},
                                {"data", "only_high", "h", 1},
                                {"lua", "boot", "print()"}},
                               {"high"}));
    ExplodedDatabase db(dir.path(), allocator);
    ASSERT_TRUE(db.is_valid());
    EXPECT_EQ(db.entry_count(), 4u);
    u32 file = 0;
    EXPECT_TRUE(db.find(resource_id("data", "tex"), file));
    EXPECT_EQ(file, 1u);
    EXPECT_FALSE(db.find(resource_id("data", "only_high"), file)) << "variant outside the preference order";
    EXPECT_FALSE(db.find(resource_id("data", "absent"), file)) << "no entry is not file 0";

    const u64 high = NameId64("high").value();
    db.set_active_properties(&high, 1);
    EXPECT_TRUE(db.find(resource_id("data", "tex"), file));
    EXPECT_EQ(file, 2u);
    LooseFile loose;
    ASSERT_TRUE(db.read(resource_id("data", "tex"), allocator, 16, loose));
    EXPECT_EQ(raw_bytes(loose.data, loose.size), "high");
    allocator.deallocate(loose.data);

    ResourceLogCapture log;
    EXPECT_FALSE(db.read(resource_id("data", "absent"), allocator, 16, loose));
    EXPECT_TRUE(log.contains("not in the loose-file database"));
}

TEST_F(DatabaseTest, LooseFileNames)
{
    char name[24];
    ExplodedDatabase::loose_file_name(1234, name);
    EXPECT_STREQ(name, "12/1234");
    ExplodedDatabase::loose_file_name(7, name);
    EXPECT_STREQ(name, "0/7");
}

TEST_F(DatabaseTest, DamagedIndexIsRejected)
{
    const std::vector<u8> good = database_index({{"data", "a", "1"}, {"data", "b", "2"}, {"lua", "c", "3"}}, {"p"});
    auto with_u32 = [&](size_t at, u32 v) {
        std::vector<u8> p = good;
        for (int i = 0; i < 4; ++i)
            p[at + i] = u8(v >> (8 * i));
        return p;
    };
    struct Case {
        const char *name;
        std::vector<u8> bytes;
        const char *message;
    };
    std::vector<Case> cases = {
        {"empty", {}, "shorter than its header"},
        {"entry count huge", with_u32(4, 0xFFFFFFFFu), "entry count is larger"},
        {"entry count one more", with_u32(4, 4), "entry count is larger"},
        {"property count huge", with_u32(8 + 3 * 24, 0x40000000u), "property count is larger"},
        {"unsorted", with_u32(8 + 4, 0xFFFFFFFFu), "not sorted"}, // first type id made the largest
    };
    for (size_t cut = 1; cut < good.size(); ++cut)
        if (cut != 8 + 3 * 24 + 4 + 8) // the whole file minus nothing
            cases.push_back({"cut", std::vector<u8>(good.begin(), good.begin() + cut), ""});
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.bytes.size()));
        ResourceLogCapture log;
        ExplodedDatabase db(dir.path(), allocator); // no index file: empty
        EXPECT_FALSE(db.parse(c.bytes.data(), c.bytes.size()));
        EXPECT_FALSE(db.is_valid());
        EXPECT_EQ(db.entry_count(), 0u);
        EXPECT_TRUE(log.contains(c.message)) << ::testing::PrintToString(log.lines());
    }
    ExplodedDatabase db(dir.path(), allocator);
    EXPECT_TRUE(db.parse(good.data(), good.size()));
}

} // namespace
} // namespace tallow::test
