// Resource packages on the loader thread: bundles with patches, the loose-file database,
// unloading while loading, reload and damaged bundles.
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_pool.h"
#include "resource/bundle.h"
#include "tests/resource/resource_fixture.h"

#include <atomic>
#include <filesystem>
#include <random>

namespace tallow::test {
namespace {

class ResourcePackageTest : public ResourceFixture {};

// A raw copy that notes the thread it ran on.
std::atomic<u32> copy_thread{0};
void *load_copy(const ResourceLoadParams &p)
{
    copy_thread = current_thread_id();
    void *block = p.allocator.allocate(p.size_bytes ? p.size_bytes : 1, 16);
    if (block && !p.archive.read(block, p.size_bytes)) {
        p.allocator.deallocate(block);
        return nullptr;
    }
    return block;
}

TEST_F(ResourcePackageTest, PatchesWinOverTheBaseBundle)
{
    const std::string base = bundle_file_name("boot");
    ASSERT_TRUE(write_bundle(
        files, base,
        {{"data", "a", "base-a"}, {"data", "b", "base-b"}, {"data", "c", "base-c"}, {"data", "d", "base-d"}}));
    ASSERT_TRUE(write_bundle(files, base + ".patch_0", {{"data", "b", "p0---b"}, {"data", "c", "p0---c"}}));
    ASSERT_TRUE(write_bundle(files, base + ".patch_1", {{"data", "c", "p1---c"}, {"copy", "e", "on-loader"}}));
    start(false);
    ResourceTypeCallbacks copy;
    copy.load = &load_copy;
    manager->register_type(NameId64("copy"), copy);
    ResourcePackage *p = bundle_package("boot");
    ASSERT_EQ(p->part_count(), 3u);
    EXPECT_STREQ(p->part(0).bundle()->file_name(), (base + ".patch_1").c_str()) << "newest patch first";
    EXPECT_STREQ(p->part(1).bundle()->file_name(), (base + ".patch_0").c_str());
    EXPECT_STREQ(p->part(2).bundle()->file_name(), base.c_str());

    EXPECT_FALSE(p->has_loaded());
    p->load();
    while (!p->has_loaded()) {}
    p->flush();
    EXPECT_EQ(data("a", 6), "base-a");
    EXPECT_EQ(data("b", 6), "p0---b");
    EXPECT_EQ(data("c", 6), "p1---c");
    EXPECT_EQ(data("d", 6), "base-d") << "skipped base records kept the stream aligned";
    EXPECT_EQ(manager->reference_count(data_type, NameId64("c")), 3) << "one reference per part listing it";
    EXPECT_EQ(raw_bytes(manager->get(NameId64("copy"), NameId64("e")), 9), "on-loader");
    char thread[32] = {};
    ASSERT_TRUE(registry.name_of(copy_thread, thread, sizeof(thread)));
    EXPECT_STREQ(thread, "resource_loader");
    p->unload();
    EXPECT_FALSE(p->has_loaded());
}

// With a pool given to the loader, bundles inflate their segments ahead on it: a package
// of base and patch bundles, many segments long, loads the same bytes.
TEST_F(ResourcePackageTest, BundlesInflatedAheadOnAPoolLoadTheSame)
{
    auto content = [](char letter, u32 i) {
        std::string bytes(20000 + i * 3001, letter);
        for (size_t k = 0; k < bytes.size(); k += 7)
            bytes[k] = char('a' + (k / 7 + i) % 26);
        return bytes;
    };
    std::vector<TestResource> base_records, patch_records;
    for (u32 i = 0; i < 30; ++i)
        base_records.push_back({"data", "r" + std::to_string(i), content('b', i)});
    for (u32 i = 0; i < 30; i += 3)
        patch_records.push_back({"data", "r" + std::to_string(i), content('p', i)});
    const std::string base = bundle_file_name("big");
    ASSERT_TRUE(write_bundle(files, base, base_records));
    ASSERT_TRUE(write_bundle(files, base + ".patch_0", patch_records));
    ThreadPool pool(allocator, 3, registry);
    start(false);
    loader->set_thread_pool(&pool);
    ResourcePackage *p = bundle_package("big");
    ASSERT_EQ(p->part_count(), 2u);
    p->load();
    p->flush();
    for (u32 i = 0; i < 30; ++i) {
        const std::string expected = content(i % 3 == 0 ? 'p' : 'b', i);
        EXPECT_EQ(data(("r" + std::to_string(i)).c_str(), expected.size()), expected) << i;
    }
    p->unload();
    stop(); // the bundles go before the pool
    EXPECT_EQ(pool.pending_counter_count(), 0u);
}

// The loader leaves the copies of raw resource bytes to its pool and hands each load back
// once its bytes are in place. From a bundle cut short half way, that loads the same
// bytes and fails the same resources with the same log lines as copying on the loader
// thread, with pool workers or with none (the loader then copies itself). A package
// unloaded while it loads leaves nothing behind either way.
TEST_F(ResourcePackageTest, CopiesOnThePoolLoadAndFailTheSame)
{
    auto content = [](u32 i) {
        std::string bytes(9000 + (i * 37199) % 140000, char('a' + i % 26));
        for (size_t k = 0; k < bytes.size(); k += 5)
            bytes[k] = char(k * 31 + i);
        return bytes;
    };
    std::vector<TestResource> records;
    for (u32 i = 0; i < 40; ++i)
        records.push_back({"data", "r" + std::to_string(i), content(i)});
    const std::string name = bundle_file_name("cut");
    ASSERT_TRUE(write_bundle(files, name, records));
    const std::string path = std::string(dir.path()) + "/" + name;
    std::filesystem::resize_file(path, std::filesystem::file_size(path) * 11 / 20);

    struct Outcome {
        std::vector<std::string> bytes; // per resource: its bytes, or "missing"
        std::vector<std::string> log;
        bool operator==(const Outcome &) const = default;
    };
    ThreadPool workers(allocator, 3, registry);
    ThreadPool no_workers(allocator, 0, registry);
    auto load = [&](ThreadPool *pool) {
        Outcome out;
        start(false);
        loader->set_thread_pool(pool);
        {
            ResourceLogCapture log("resource");
            ResourcePackage *p = bundle_package("cut");
            p->load();
            p->flush();
            for (u32 i = 0; i < records.size(); ++i) {
                std::string id = "r" + std::to_string(i);
                out.bytes.push_back(manager->can_get(data_type, NameId64(id.c_str()))
                                        ? data(id.c_str(), records[i].bytes.size())
                                        : "missing");
            }
            p->unload();
            out.log = log.lines();
        }
        {
            ResourceLogCapture quiet("resource"); // how far it gets before the cancel varies
            ResourcePackage *again = bundle_package("cut");
            again->load();
            again->unload(); // while it loads: cancels what is not read yet
        }
        stop();
        return out;
    };
    Outcome plain = load(nullptr);
    EXPECT_EQ(plain.bytes[0], records[0].bytes);
    EXPECT_EQ(plain.bytes.back(), "missing");
    EXPECT_FALSE(plain.log.empty());
    EXPECT_TRUE(load(&workers) == plain);
    EXPECT_TRUE(load(&no_workers) == plain);
    EXPECT_EQ(workers.pending_counter_count(), 0u);
    EXPECT_EQ(no_workers.pending_counter_count(), 0u);
}

TEST_F(ResourcePackageTest, ResourcesOfUnknownTypesArePassedOver)
{
    ASSERT_TRUE(write_bundle(files, bundle_file_name("p"),
                             {{"data", "a", "aaaa"}, {"no_such_type", "x", "xxxx"}, {"data", "b", "bbbb"}}));
    start(false);
    ResourceLogCapture log;
    ResourcePackage *p = bundle_package("p");
    p->load();
    p->flush();
    EXPECT_TRUE(log.contains("resource type not registered"));
    EXPECT_EQ(data("a", 4), "aaaa");
    EXPECT_EQ(data("b", 4), "bbbb") << "the unknown resource's record was skipped";
    p->unload();
    EXPECT_FALSE(log.contains("not loaded; ignored")) << "no reference was taken for it";
}

TEST_F(ResourcePackageTest, AMissingPatchNumberEndsThePatches)
{
    const std::string base = bundle_file_name("p");
    ASSERT_TRUE(write_bundle(files, base, {{"data", "a", "base"}}));
    for (const char *n : {".patch_0", ".patch_1", ".patch_3"})
        ASSERT_TRUE(write_bundle(files, base + n, {{"data", "a", n}}));
    start(false);
    ResourcePackage *p = bundle_package("p");
    EXPECT_EQ(p->part_count(), 3u);
    p->load();
    p->flush();
    EXPECT_EQ(data("a", 8), ".patch_1");
    p->unload();
}

TEST_F(ResourcePackageTest, DatabaseAndBundlesLoadTheSameBytes)
{
    std::vector<TestResource> resources;
    std::vector<std::pair<std::string, std::string>> listing;
    std::mt19937 random(7);
    for (int i = 0; i < 40; ++i) {
        std::string bytes(random() % 70000, '\0');
        for (char &c : bytes)
            c = char(random() % 7 == 0 ? random() : 'a' + i % 26);
        std::string name = "r" + std::to_string(i);
        resources.push_back({"data", name, bytes, 0});
        resources.push_back({"data", name, "hi-" + bytes, 1}); // the "hi" variant
        listing.push_back({"data", name});
    }
    std::vector<TestResource> database_resources = resources;
    database_resources.push_back({"package", "pack", package_resource(listing)});
    ASSERT_TRUE(write_bundle(files, bundle_file_name("pack"), resources, {"hi"}));
    ASSERT_TRUE(write_database(files, database_resources, {"hi"}));
    const u64 hi = NameId64("hi").value();

    std::vector<std::string> loaded[2];
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode ? "database" : "bundles");
        start(mode == 1);
        if (database)
            database->set_active_properties(&hi, 1);
        ResourcePackage *p = mode ? database_package("pack") : bundle_package("pack", {hi});
        p->load();
        p->flush();
        for (size_t i = 0; i < resources.size(); i += 2) {
            const std::string &expected = resources[i + 1].bytes;
            loaded[mode].push_back(data(resources[i].name.c_str(), expected.size()));
            EXPECT_EQ(loaded[mode].back(), expected);
        }
        p->unload();
        stop();
    }
    EXPECT_EQ(loaded[0], loaded[1]);
}

TEST_F(ResourcePackageTest, StatesAndMisuse)
{
    ASSERT_TRUE(write_bundle(files, bundle_file_name("p"), {{"data", "a", "aa"}}));
    start(false);
    ResourceLogCapture log;
    ResourcePackage *p = bundle_package("p");
    EXPECT_FALSE(p->has_loaded()) << "never loaded";
    p->flush();
    EXPECT_TRUE(log.contains("never loaded")) << "and no hang";
    p->unload();
    EXPECT_EQ(p->part(0).state(), PackageState::Created);
    p->load();
    p->flush();
    EXPECT_EQ(p->part(0).state(), PackageState::Flushed);
    p->unload();
    EXPECT_EQ(p->part(0).state(), PackageState::Unloaded);
    EXPECT_FALSE(p->has_loaded()) << "an unloaded part never turns loaded again";
    p->unload();
    p->flush();
    p->load();
    EXPECT_EQ(p->part(0).state(), PackageState::Unloaded);
    EXPECT_EQ(manager->reference_count(data_type, NameId64("a")), 0);
}

TEST_F(ResourcePackageTest, MissingPackagesAreNotMade)
{
    ASSERT_TRUE(write_database(files, {{"data", "a", "aa"}}));
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode ? "database" : "bundles");
        start(mode == 1);
        ResourceLogCapture log;
        EXPECT_EQ(create_resource_package(allocator, *manager, mode ? nullptr : &files, NameId64("none"), nullptr, 0),
                  nullptr);
        EXPECT_TRUE(log.contains("cannot be made"));
        stop();
    }
}

// Two packages that share resources, loaded and unloaded at random moments, from bundles
// and from the database. Every reference and every allocation must come back.
TEST_F(ResourcePackageTest, UnloadWhileLoadingStress)
{
    std::vector<TestResource> first, second;
    std::vector<std::pair<std::string, std::string>> first_list, second_list;
    for (int i = 0; i < 120; ++i) {
        std::string name = "s" + std::to_string(i);
        std::string bytes(100 + (i * 7919) % 20000, char('A' + i % 26));
        if (i < 80) {
            first.push_back({"data", name, bytes});
            first_list.push_back({"data", name});
        }
        if (i >= 40) {
            second.push_back({"data", name, bytes});
            second_list.push_back({"data", name});
        }
    }
    std::vector<TestResource> all = first;
    for (int i = 80; i < 120; ++i)
        all.push_back(second[i - 40]);
    all.push_back({"package", "first", package_resource(first_list)});
    all.push_back({"package", "second", package_resource(second_list)});
    ASSERT_TRUE(write_bundle(files, bundle_file_name("first"), first));
    ASSERT_TRUE(write_bundle(files, bundle_file_name("second"), second));
    ASSERT_TRUE(write_database(files, all));

    std::mt19937 random(11);
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode ? "database" : "bundles");
        start(mode == 1);
        u64 manager_blocks = 0, loader_blocks = 0;
        for (int round = 0; round < 30; ++round) {
            ResourcePackage *a = mode ? database_package("first") : bundle_package("first");
            ResourcePackage *b = mode ? database_package("second") : bundle_package("second");
            a->load();
            if (random() % 2)
                b->load();
            for (u32 spins = random() % 200; spins > 0; --spins)
                manager->update();
            if (random() % 3 == 0)
                a->flush();
            a->unload();
            if (random() % 2) {
                b->load();
                b->flush();
                EXPECT_EQ(data("s100", 100 + (100 * 7919) % 20000).substr(0, 3), "WWW");
            }
            b->unload();
            for (ResourcePackage *p : packages)
                delete_with_allocator(allocator, p);
            packages.clear();
            ASSERT_EQ(manager->loaded_count(), 0u) << "round " << round;
            ASSERT_EQ(manager->outstanding_requests(), 0u);
            // The manager's and the loader's own tables stay; every resource block is gone.
            if (round == 0) {
                manager_blocks = manager->allocator().allocation_count();
                loader_blocks = loader_allocator_count();
            }
            ASSERT_EQ(manager->allocator().allocation_count(), manager_blocks) << "round " << round;
            ASSERT_EQ(loader_allocator_count(), loader_blocks) << "round " << round;
        }
        stop();
    }
}

// A cancelled bundle load still moves the stream past its record: the next load reads
// its own bytes, not the cancelled one's.
TEST_F(ResourcePackageTest, CancelledBundleLoadKeepsTheStreamAligned)
{
    ASSERT_TRUE(write_bundle(files, bundle_file_name("blocker"), {{"data", "x", "xx"}}));
    ASSERT_TRUE(write_bundle(files, bundle_file_name("abc"),
                             {{"data", "a", "aaaa"}, {"data", "b", "bbbb"}, {"data", "c", "cccc"}}));
    start(false);
    ResourcePackage *blocker = bundle_package("blocker");
    blocker->load(); // its batch is not handed in, so the next one waits in the manager
    ResourcePackage *p = bundle_package("abc");
    Bundle *bundle = p->part(0).bundle();
    for (const char *name : {"a", "b", "c"})
        manager->load(data_type, NameId64(name), bundle, manager->allocator());
    u32 batch = manager->new_request_id();
    EXPECT_TRUE(manager->cancel(data_type, NameId64("b"), batch));
    manager->flush_until(batch);
    EXPECT_EQ(data("a", 4), "aaaa");
    EXPECT_EQ(manager->reference_count(data_type, NameId64("b")), 0);
    EXPECT_EQ(data("c", 4), "cccc");
    manager->unload(data_type, NameId64("a"), manager->allocator());
    manager->unload(data_type, NameId64("c"), manager->allocator());
    blocker->unload();
}

TEST_F(ResourcePackageTest, ReloadOfEveryNameOfAType)
{
    ASSERT_TRUE(write_database(files, {{"data", "a", "old-a"},
                                       {"data", "b", "old-b"},
                                       {"lua", "c", "script"},
                                       {"package", "p", package_resource({{"data", "a"}, {"data", "b"}})}}));
    start(true);
    ResourcePackage *p = database_package("p");
    p->load();
    p->flush();
    ASSERT_TRUE(write_database(files, {{"data", "a", "new-a"}, {"data", "b", "new-b"}}));
    {
        SharedReference<InputBuffer> in = files.open_input(ExplodedDatabase::index_file_name, allocator, false);
        InputArchive archive(in);
        std::vector<u8> bytes(archive.size());
        archive.read(bytes.data(), bytes.size());
        ASSERT_TRUE(database->parse(bytes.data(), bytes.size()));
    }
    Array<ReloadedResource> collected(allocator);
    p->reload(data_type, NameId64(), collected);
    EXPECT_EQ(collected.size(), 2u);
    EXPECT_EQ(data("a", 5), "new-a");
    EXPECT_EQ(data("b", 5), "new-b");
    EXPECT_EQ(raw_bytes(collected[0].old_data, 5), "old-a");
    p->free_reloaded_data(collected);
    EXPECT_EQ(collected[0].old_data, nullptr);
    p->unload();
}

// A damaged bundle fails its own loads with a message; a healthy package loaded beside
// it is untouched and the engine goes on.
TEST_F(ResourcePackageTest, DamagedBundleFailsOnlyItsOwnLoads)
{
    std::vector<TestResource> resources = {
        {"data", "ok1", "fine-1"}, {"data", "big", std::string(200000, 'z')}, {"data", "ok2", "fine-2"}};
    ASSERT_TRUE(write_bundle(files, bundle_file_name("healthy"), {{"data", "h", "health"}}));
    std::vector<u8> payload = bundle_payload(resources);
    std::vector<u8> file = bundle_file_from_payload(payload);
    file.resize(file.size() * 2 / 3); // cut inside "big"
    ASSERT_TRUE(write_bytes(files, bundle_file_name("broken"), file));
    start(false);
    ResourceLogCapture log;
    ResourcePackage *broken = bundle_package("broken");
    ResourcePackage *healthy = bundle_package("healthy");
    broken->load();
    healthy->load();
    broken->flush();
    healthy->flush();
    EXPECT_EQ(data("ok1", 6), "fine-1");
    EXPECT_EQ(manager->get(data_type, NameId64("big")), nullptr);
    EXPECT_EQ(manager->get(data_type, NameId64("ok2")), nullptr);
    EXPECT_EQ(data("h", 6), "health");
    EXPECT_TRUE(log.contains("is unusable"));
    broken->unload();
    healthy->unload();
}

} // namespace
} // namespace tallow::test
