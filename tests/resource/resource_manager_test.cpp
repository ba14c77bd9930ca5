// The resource manager with its loader thread: batches, reference counts, cancel,
// reload and failed loads.
#include "foundation/threads/thread.h"
#include "resource/request_ring.h"
#include "tests/resource/resource_fixture.h"
#include "tests/support/fakes/recording_allocator.h"

#include <atomic>

namespace tallow::test {
namespace {

// A type with every callback: records what happens to it, in order.
struct Recorder {
    std::mutex lock;
    std::vector<std::string> events;
    std::atomic<u32> loads{0};
    std::atomic<u32> frees{0};
    std::atomic<u32> load_thread{0};
    bool reject_loads = false;

    void add(const std::string &event)
    {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(event);
    }
};

struct Text {
    std::string text;
};

void *load_text(const ResourceLoadParams &p)
{
    auto *recorder = static_cast<Recorder *>(p.userdata);
    recorder->loads++;
    recorder->load_thread = current_thread_id();
    if (recorder->reject_loads)
        return nullptr;
    std::string bytes(p.size_bytes, '\0');
    p.archive.read(bytes.data(), bytes.size());
    recorder->add("load " + bytes);
    return make_new<Text>(p.allocator, Text{bytes});
}
void unload_text(const ResourceUnloadParams &p)
{
    auto *recorder = static_cast<Recorder *>(p.userdata);
    recorder->frees++;
    recorder->add("unload " + static_cast<Text *>(p.data)->text);
    delete_with_allocator(p.allocator, static_cast<Text *>(p.data));
}
void bring_in_text(void *userdata, void *data)
{
    static_cast<Recorder *>(userdata)->add("in " + static_cast<Text *>(data)->text);
}
void bring_out_text(void *userdata, void *data)
{
    static_cast<Recorder *>(userdata)->add("out " + static_cast<Text *>(data)->text);
}

TEST(RequestRing, GrowsWhileWrappedAndKeepsOrder)
{
    TraceAllocator allocator("ring_test", default_allocator());
    {
        RequestRing ring(allocator);
        u32 next_in = 0, next_out = 0;
        auto push = [&](u32 n) {
            for (u32 i = 0; i < n; ++i) {
                ResourceRequest r;
                r.request_id = next_in++;
                ASSERT_TRUE(ring.push(r));
            }
        };
        auto pop = [&](u32 n) {
            for (u32 i = 0; i < n; ++i)
                ASSERT_EQ(ring.pop_front().request_id, next_out++);
        };
        push(10);
        pop(7);
        push(12); // wraps inside 16, then grows to 32 while wrapped
        push(30);
        EXPECT_EQ(ring.count(), 45u);
        pop(45);
        EXPECT_TRUE(ring.empty());
    }
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

class ResourceManagerTest : public ResourceFixture {
  protected:
    const NameId64 text_type{"text"};

    void SetUp() override
    {
        ASSERT_TRUE(write_database(
            files,
            {{"text", "x", "ex"}, {"text", "y", "why"}, {"data", "raw", "bytes"}, {"text", "bad", "unparsable"}}));
        start(true);
        ResourceTypeCallbacks callbacks;
        callbacks.userdata = &recorder;
        callbacks.load = &load_text;
        callbacks.unload = &unload_text;
        callbacks.bring_in = &bring_in_text;
        callbacks.bring_out = &bring_out_text;
        ASSERT_TRUE(manager->register_type(text_type, callbacks));
    }
    void load(const char *name) { manager->load(text_type, NameId64(name), nullptr, manager->allocator()); }
    void unload(const char *name) { manager->unload(text_type, NameId64(name), manager->allocator()); }
    i32 references(const char *name) { return manager->reference_count(text_type, NameId64(name)); }
    std::string text(const char *name)
    {
        auto *t = static_cast<Text *>(manager->get(text_type, NameId64(name)));
        return t ? t->text : "<null>";
    }

    Recorder recorder;
};

TEST_F(ResourceManagerTest, LoadsOnTheLoaderThreadAndHandsInOnFlush)
{
    load("x");
    u32 batch = manager->new_request_id();
    EXPECT_FALSE(manager->is_request_done(batch)) << "nothing is handed in before update or flush";
    manager->flush_until(batch);
    EXPECT_TRUE(manager->is_request_done(batch));
    EXPECT_EQ(text("x"), "ex");
    EXPECT_NE(recorder.load_thread.load(), current_thread_id());
    char name[32] = {};
    ASSERT_TRUE(registry.name_of(recorder.load_thread, name, sizeof(name)));
    EXPECT_STREQ(name, "resource_loader");
    unload("x");
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"load ex", "in ex", "out ex", "unload ex"}));
}

TEST_F(ResourceManagerTest, LaterBatchWaitsAndFindsTheResourceLoaded)
{
    load("x");
    u32 first = manager->new_request_id();
    load("x");
    load("y");
    u32 second = manager->new_request_id();
    manager->flush_until(first);
    EXPECT_EQ(references("x"), 2) << "the second batch went to the loader once the first was handed in";
    manager->flush_until(second);
    EXPECT_EQ(recorder.loads.load(), 2u) << "x read once, y once";
    EXPECT_EQ(references("x"), 2);
    unload("x");
    EXPECT_EQ(text("x"), "ex") << "one reference left";
    unload("x");
    unload("y");
    EXPECT_EQ(recorder.frees.load(), 2u);
}

TEST_F(ResourceManagerTest, SameResourceTwiceInOneBatchKeepsOneCopyAndTwoReferences)
{
    load("x");
    load("x");
    manager->flush_until(manager->new_request_id());
    EXPECT_EQ(references("x"), 2);
    EXPECT_EQ(recorder.frees.load(), recorder.loads.load() - 1) << "the second copy was freed at hand-in";
    unload("x");
    unload("x");
    EXPECT_EQ(recorder.frees.load(), recorder.loads.load());
    EXPECT_EQ(manager->loaded_count(), 0u);
}

TEST_F(ResourceManagerTest, CancelOfAPendingLoadStoresNothing)
{
    load("x");
    u32 first = manager->new_request_id();
    load("y");
    u32 second = manager->new_request_id();
    EXPECT_TRUE(manager->cancel(text_type, NameId64("y"), second)) << "still pending behind the first batch";
    EXPECT_FALSE(manager->cancel(text_type, NameId64("y"), second)) << "flagged already";
    manager->flush();
    EXPECT_TRUE(manager->is_request_done(first));
    EXPECT_EQ(references("y"), 0);
    EXPECT_EQ(text("y"), "<null>");
    unload("x");
}

TEST_F(ResourceManagerTest, CancelOfAnAlreadyLoadedResourceLeavesAnUnloadOwed)
{
    load("x");
    manager->flush_until(manager->new_request_id());
    load("x");
    u32 second = manager->new_request_id(); // goes to the loader at once, flagged already loaded
    EXPECT_FALSE(manager->cancel(text_type, NameId64("x"), second));
    manager->flush();
    EXPECT_EQ(references("x"), 2);
    unload("x");
    unload("x");
    EXPECT_EQ(recorder.loads.load(), 1u);
}

TEST_F(ResourceManagerTest, ReloadReadsOnceAndKeepsTheReferences)
{
    load("x");
    manager->flush_until(manager->new_request_id());
    load("x");
    load("x");
    manager->flush_until(manager->new_request_id());
    ASSERT_EQ(references("x"), 3);
    ASSERT_TRUE(write_database(files, {{"text", "x", "new ex"}}));
    {
        // The database object is the loader's: re-read its index in place.
        SharedReference<InputBuffer> in = files.open_input(ExplodedDatabase::index_file_name, allocator, false);
        InputArchive archive(in);
        std::vector<u8> bytes(archive.size());
        archive.read(bytes.data(), bytes.size());
        ASSERT_TRUE(database->parse(bytes.data(), bytes.size()));
    }
    void *old = manager->reload(text_type, NameId64("x"), manager->allocator());
    ASSERT_NE(old, nullptr);
    manager->flush();
    EXPECT_EQ(text("x"), "new ex");
    EXPECT_EQ(references("x"), 3) << "one read carries every reference";
    EXPECT_EQ(recorder.loads.load(), 2u);
    manager->free_data(text_type, old, manager->allocator());
    for (int i = 0; i < 3; ++i)
        unload("x");
    EXPECT_EQ(recorder.frees.load(), 2u);
}

// Holders keep the data they read through every unload and reload: the old data goes at
// the last release, with one line naming it, and the free hook runs before every free.
TEST_F(ResourceManagerTest, HeldDataIsFreedAtTheLastRelease)
{
    enum class Step { Unload, Reload };
    struct Case {
        const char *name;
        Step step;
        bool release_before_free_data; // reload: the holder lets go before the reload does
    };
    const Case cases[] = {
        {"package unloaded under a holder", Step::Unload, false},
        {"reloaded; the holder lets go first", Step::Reload, true},
        {"reloaded; the reload lets go first", Step::Reload, false},
    };
    u32 hook_calls = 0;
    manager->set_free_hook(ResourceFreeHook{&hook_calls, [](void *c) { ++*static_cast<u32 *>(c); }});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        recorder.frees = 0;
        hook_calls = 0;
        ResourceLogCapture log;
        load("x");
        manager->flush_until(manager->new_request_id());
        ResourceHold held;
        ASSERT_TRUE(held.hold(*manager, text_type, NameId64("x")));
        const void *data = held.data;
        EXPECT_EQ(references("x"), 2);
        EXPECT_EQ(manager->holder_count(text_type, NameId64("x")), 1);
        if (c.step == Step::Unload) {
            unload("x");
            unload("x"); // one unload too many: the holder's reference is not the package's
            EXPECT_EQ(manager->get(text_type, NameId64("x")), data) << "still held";
            EXPECT_EQ(static_cast<const Text *>(held.data)->text, "ex");
            EXPECT_EQ(recorder.frees.load(), 0u);
            held.release(*manager);
        } else {
            void *old = manager->reload(text_type, NameId64("x"), manager->allocator());
            ASSERT_EQ(old, data);
            manager->flush();
            EXPECT_NE(manager->get(text_type, NameId64("x")), data) << "new data in the table";
            EXPECT_EQ(references("x"), 1) << "the new data carries the package's reference only";
            EXPECT_EQ(manager->retired_count(), 1u);
            if (c.release_before_free_data)
                held.release(*manager);
            EXPECT_EQ(recorder.frees.load(), 0u) << "the reload's caller has not let go yet";
            manager->free_data(text_type, old, manager->allocator());
            EXPECT_EQ(recorder.frees.load(), c.release_before_free_data ? 1u : 0u);
            if (!c.release_before_free_data) {
                EXPECT_EQ(static_cast<const Text *>(data)->text, "ex") << "the holder still reads it";
            }
            held.release(*manager);
            EXPECT_EQ(manager->retired_count(), 0u);
            unload("x");
        }
        EXPECT_EQ(manager->loaded_count(), 0u);
        EXPECT_EQ(recorder.frees.load(), recorder.loads.load()) << "every copy read was freed";
        EXPECT_EQ(hook_calls, recorder.frees.load()) << "the hook runs before every free";
        u32 lines = 0;
        for (const std::string &line : log.lines())
            lines += line.find("at its last holder's release") != std::string::npos ? 1 : 0;
        EXPECT_EQ(lines, c.step == Step::Unload || c.release_before_free_data == false ? 1u : 0u) << "one line";
        recorder.loads = 0;
    }
    manager->set_free_hook({});
}

TEST_F(ResourceManagerTest, WrongReleasesAndReloadsOfHeldOnlyDataAreRefused)
{
    ResourceLogCapture log;
    EXPECT_EQ(manager->acquire(text_type, NameId64("x")), nullptr) << "nothing loaded to hold";
    load("x");
    manager->flush_until(manager->new_request_id());
    void *data = manager->acquire(text_type, NameId64("x"));
    ASSERT_NE(data, nullptr);
    Text other;
    manager->release(text_type, NameId64("x"), &other);
    EXPECT_TRUE(log.contains("does not hold it"));
    EXPECT_EQ(references("x"), 2);
    unload("x");
    EXPECT_EQ(manager->reload(text_type, NameId64("x"), manager->allocator()), nullptr);
    EXPECT_TRUE(log.contains("no package loads it"));
    EXPECT_EQ(text("x"), "ex");
    manager->release(text_type, NameId64("x"), data);
    EXPECT_EQ(manager->loaded_count(), 0u);
    EXPECT_EQ(recorder.frees.load(), 1u);
}

TEST_F(ResourceManagerTest, FailedLoadsLeaveAReferenceWithoutData)
{
    ResourceLogCapture log;
    load("absent");
    recorder.reject_loads = false;
    manager->flush_until(manager->new_request_id());
    EXPECT_TRUE(log.contains("not in the loose-file database"));
    EXPECT_EQ(text("absent"), "<null>");
    EXPECT_FALSE(manager->can_get(text_type, NameId64("absent")));
    EXPECT_EQ(references("absent"), 1);
    unload("absent");
    EXPECT_EQ(references("absent"), 0);

    recorder.reject_loads = true;
    load("bad");
    manager->flush_until(manager->new_request_id());
    EXPECT_TRUE(log.contains("its loader rejected"));
    unload("bad");
    EXPECT_EQ(recorder.frees.load(), 0u);
}

TEST_F(ResourceManagerTest, MisuseIsLoggedAndIgnored)
{
    ResourceLogCapture log;
    EXPECT_EQ(manager->get(text_type, NameId64("never")), nullptr);
    EXPECT_EQ(references("never"), 0) << "get adds no entry";
    unload("never");
    EXPECT_TRUE(log.contains("not loaded; ignored"));
    EXPECT_FALSE(manager->load(NameId64("no_such_type"), NameId64("x"), nullptr, manager->allocator()));
    EXPECT_FALSE(manager->register_type(text_type, ResourceTypeCallbacks{})) << "registered twice";
    manager->flush_until(12345); // never issued: returns at once
    EXPECT_TRUE(log.contains("never issued"));
}

TEST_F(ResourceManagerTest, LeftoversAreFreedAtShutdownWithALog)
{
    load("x");
    manager->load(data_type, NameId64("raw"), nullptr, allocator); // data from another allocator
    manager->flush_until(manager->new_request_id());
    ResourceLogCapture log;
    delete_with_allocator(allocator, manager);
    manager = nullptr;
    EXPECT_TRUE(log.contains("still loaded at shutdown"));
    EXPECT_EQ(recorder.events.back(), "unload ex") << "brought out and unloaded";
}

TEST_F(ResourceManagerTest, RawTypesCopyTheBytes)
{
    manager->load(data_type, NameId64("raw"), nullptr, manager->allocator());
    manager->flush_until(manager->new_request_id());
    EXPECT_EQ(data("raw", 5), "bytes");
    manager->unload(data_type, NameId64("raw"), manager->allocator());
}

TEST_F(ResourceManagerTest, StampsAreTakenAndReleased)
{
    struct Stamps {
        u32 next = 1;
        std::vector<u32> live;
    } stamps;
    ResourceStampHook hook;
    hook.context = &stamps;
    hook.take = [](void *c) {
        auto *s = static_cast<Stamps *>(c);
        s->live.push_back(s->next);
        return s->next++;
    };
    hook.release = [](void *c, u32 stamp) {
        auto *s = static_cast<Stamps *>(c);
        s->live.erase(std::find(s->live.begin(), s->live.end(), stamp));
    };
    manager->set_stamp_hook(hook);
    load("x");
    manager->flush_until(manager->new_request_id());
    unload("x");
    EXPECT_TRUE(stamps.live.empty());
    EXPECT_EQ(stamps.next, 3u) << "one for the load, one for the unload";
    manager->set_stamp_hook(ResourceStampHook{});
}

// A request the manager cannot queue (its ring cannot grow) must not look queued: the
// load reports failure and takes no reference, and a reload leaves the entry as it was
// instead of dropping it with nothing coming to replace it.
TEST_F(ResourceManagerTest, RequestsThatCannotBeQueuedChangeNothing)
{
    RecordingAllocator backing;
    std::vector<u32> live_stamps;
    u32 next_stamp = 1;
    {
        ResourceManager starved(*loader, backing);
        ResourceTypeCallbacks callbacks;
        callbacks.userdata = &recorder;
        callbacks.load = &load_text;
        callbacks.unload = &unload_text;
        ASSERT_TRUE(starved.register_type(text_type, callbacks));
        struct Stamps {
            std::vector<u32> *live;
            u32 *next;
        } stamps{&live_stamps, &next_stamp};
        ResourceStampHook hook;
        hook.context = &stamps;
        hook.take = [](void *c) {
            auto *s = static_cast<Stamps *>(c);
            s->live->push_back(*s->next);
            return (*s->next)++;
        };
        hook.release = [](void *c, u32 stamp) {
            auto *s = static_cast<Stamps *>(c);
            s->live->erase(std::find(s->live->begin(), s->live->end(), stamp));
        };
        starved.set_stamp_hook(hook);
        auto text_of = [&](const char *name) {
            auto *t = static_cast<Text *>(starved.get(text_type, NameId64(name)));
            return t ? t->text : std::string("<null>");
        };

        backing.fail_next(1); // the ring's first growth
        EXPECT_FALSE(starved.load(text_type, NameId64("x"), nullptr, starved.allocator()));
        EXPECT_EQ(starved.reference_count(text_type, NameId64("x")), 0);
        EXPECT_TRUE(live_stamps.empty());
        ASSERT_TRUE(starved.load(text_type, NameId64("x"), nullptr, starved.allocator()));
        starved.flush_until(starved.new_request_id());
        ASSERT_EQ(text_of("x"), "ex");

        // The next batch waits behind this one's end, which is not handed in yet: its
        // loads fill the ring to its capacity of 16, so a reload must grow it.
        starved.new_request_id();
        for (int i = 0; i < 16; ++i)
            ASSERT_TRUE(starved.load(text_type, NameId64("y"), nullptr, starved.allocator()));
        backing.fail_next(1);
        EXPECT_EQ(starved.reload(text_type, NameId64("x"), starved.allocator()), nullptr);
        EXPECT_EQ(text_of("x"), "ex");
        EXPECT_EQ(starved.reference_count(text_type, NameId64("x")), 1);
        EXPECT_EQ(live_stamps.size(), 16u) << "only the queued loads hold stamps";

        starved.flush();
        EXPECT_EQ(text_of("x"), "ex");
        EXPECT_EQ(text_of("y"), "why");
        EXPECT_EQ(recorder.loads.load(), 17u) << "x once, then the 16 loads of y; the reload never ran";
        starved.unload(text_type, NameId64("x"), starved.allocator());
        for (int i = 0; i < 16; ++i)
            starved.unload(text_type, NameId64("y"), starved.allocator());
        EXPECT_TRUE(live_stamps.empty());
        starved.set_stamp_hook(ResourceStampHook{});
    }
    EXPECT_EQ(backing.live_count(), 0u);
}

// Closing a batch takes no memory: a batch end that could not be queued would leave its
// batch never done, and every later batch waiting behind it for good.
TEST_F(ResourceManagerTest, ClosingABatchNeedsNoMemory)
{
    RecordingAllocator backing;
    {
        ResourceManager starved(*loader, backing);
        ResourceTypeCallbacks callbacks;
        callbacks.userdata = &recorder;
        callbacks.load = &load_text;
        callbacks.unload = &unload_text;
        ASSERT_TRUE(starved.register_type(text_type, callbacks));
        auto text_of = [&](const char *name) {
            auto *t = static_cast<Text *>(starved.get(text_type, NameId64(name)));
            return t ? t->text : std::string("<null>");
        };

        // The first batch's end waits at the loader until a flush hands it in, so the next
        // batch's loads stay queued and fill the ring to its capacity of 16.
        u32 first = starved.new_request_id();
        for (int i = 0; i < 16; ++i)
            ASSERT_TRUE(starved.load(text_type, NameId64("y"), nullptr, starved.allocator()));
        backing.set_always_fail(true);
        u32 second = starved.new_request_id();
        backing.set_always_fail(false);
        ASSERT_TRUE(starved.load(text_type, NameId64("x"), nullptr, starved.allocator()));
        u32 third = starved.new_request_id();
        EXPECT_EQ(starved.outstanding_requests(), 17u + 3u) << "the loads and the three batch ends";

        starved.flush();
        EXPECT_TRUE(starved.is_request_done(first));
        EXPECT_TRUE(starved.is_request_done(second));
        EXPECT_TRUE(starved.is_request_done(third));
        EXPECT_EQ(starved.outstanding_requests(), 0u);
        EXPECT_EQ(text_of("y"), "why");
        EXPECT_EQ(text_of("x"), "ex");
        starved.unload(text_type, NameId64("x"), starved.allocator());
        for (int i = 0; i < 16; ++i)
            starved.unload(text_type, NameId64("y"), starved.allocator());
    }
    EXPECT_EQ(backing.live_count(), 0u);
}

class BundleModeManagerTest : public ResourceFixture {};

TEST_F(BundleModeManagerTest, ReloadIsRefusedWithoutADatabase)
{
    ASSERT_TRUE(write_bundle(files, bundle_file_name("p"), {{"data", "a", "aaaa"}}));
    start(false);
    ResourcePackage *p = bundle_package("p");
    p->load();
    p->flush();
    ResourceLogCapture log;
    EXPECT_EQ(manager->reload(data_type, NameId64("a"), manager->allocator()), nullptr);
    EXPECT_TRUE(log.contains("cannot reload"));
    EXPECT_EQ(data("a", 4), "aaaa");
    p->unload();
}

} // namespace
} // namespace tallow::test
