#include "foundation/containers/array.h"
#include "foundation/memory/arena_allocator.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/memory/static_allocator.h"
#include "foundation/memory/temp_allocator.h"
#include "foundation/memory/trace_allocator.h"
#include "tests/support/fakes/recording_allocator.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#endif

namespace tallow {
namespace {

TEST(GlobalAllocators, AreListedUnderTheirNames)
{
    ASSERT_TRUE(memory_globals_initialized());
    Array<Allocator *> listed(default_allocator());
    copy_allocator_list(listed);
    const char *expected[] = {"page_allocator", "system_allocator", "slot_allocator", "heap_allocator",
                              "application_static_allocator", "generic_page", "generic_heap", "generic_slot",
                              "generic_allocator"};
    for (const char *name : expected) {
        SCOPED_TRACE(name);
        bool found = false;
        for (Allocator *a : listed)
            found |= a->name() && strcmp(a->name(), name) == 0;
        EXPECT_TRUE(found);
    }
    EXPECT_STREQ(default_allocator().name(), "generic_allocator");
    EXPECT_STREQ(page_allocator().name(), "page_allocator");
    EXPECT_STREQ(system_allocator().name(), "system_allocator");
    EXPECT_STREQ(slot_allocator().name(), "slot_allocator");
    EXPECT_STREQ(heap_allocator().name(), "heap_allocator");
    EXPECT_STREQ(application_static_allocator().name(), "application_static_allocator");
}

TEST(GlobalAllocators, EachServesAndTakesBackMemory)
{
    Allocator *all[] = {&default_allocator(), &page_allocator(), &system_allocator(), &slot_allocator(),
                        &heap_allocator()};
    for (Allocator *a : all) {
        SCOPED_TRACE(a->name());
        u64 before = a->total_allocated();
        void *p = a->allocate(200, 64);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<u64>(p) % 64, 0u);
        memset(p, 1, 200);
        EXPECT_GE(a->allocated_size(p), 200u);
        a->deallocate(p);
        if (a != &slot_allocator() && a != &heap_allocator()) { // those keep whole blocks and regions
            EXPECT_EQ(a->total_allocated(), before);
        }
    }
    EXPECT_EQ(default_allocator().allocate(0), nullptr);
    void *kept = application_static_allocator().allocate(100);
    EXPECT_NE(kept, nullptr); // lives until shutdown
}

TEST(GlobalAllocatorsDeathTest, ShutdownEndsTheSetAndAFreshInitBuildsItAgain)
{
    // In a child process: this one's allocators live until the test program ends.
    EXPECT_EXIT(
        {
            memory_globals_shutdown();
            bool ended = !memory_globals_initialized();
            memory_globals_shutdown(); // a second shutdown does nothing
            memory_globals_init();
            bool again = memory_globals_initialized();
            Array<Allocator *> listed(default_allocator());
            copy_allocator_list(listed);
            void *p = default_allocator().allocate(100, 16);
            bool served = p != nullptr;
            default_allocator().deallocate(p);
            u32 listed_count = listed.size();
            listed.set_capacity(0);
            memory_globals_shutdown();
            std::exit(ended && again && served && listed_count >= 9 && !memory_globals_initialized() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// One rule for 0 bytes: null from every kind of allocator, and nothing counted or taken.
TEST(GlobalAllocators, ZeroBytesGiveNullFromEveryAllocator)
{
    TraceAllocator trace("zero_trace", default_allocator());
    ArenaAllocator arena("zero_arena", page_allocator(), 4096);
    TempAllocator temp;
    alignas(16) u8 buffer[64];
    StaticAllocator one_shot(buffer, sizeof buffer);
    Allocator *all[] = {&default_allocator(), &page_allocator(),   &system_allocator(),
                        &slot_allocator(),    &heap_allocator(),   &application_static_allocator(),
                        &trace,               &arena,              &temp,
                        &one_shot};
    for (Allocator *a : all) {
        SCOPED_TRACE(a->name() ? a->name() : "unnamed");
        u64 before = a->total_allocated();
        EXPECT_EQ(a->allocate(0), nullptr);
        EXPECT_EQ(a->allocate(0, 64), nullptr);
        EXPECT_EQ(a->total_allocated(), before);
        a->deallocate(nullptr);
    }
    EXPECT_EQ(trace.allocation_count(), 0u);
    EXPECT_NE(one_shot.allocate(8), nullptr); // a refused 0 did not take the block
}

struct FirstBase {
    virtual ~FirstBase() = default;
    u64 first = 1;
};
struct SecondBase {
    virtual ~SecondBase() = default;
    u64 second = 2;
};
struct BothBases final : FirstBase, SecondBase {
    explicit BothBases(bool &destroyed) : _destroyed(destroyed) {}
    ~BothBases() override { _destroyed = true; }
    bool &_destroyed;
};

// An object deleted through a base that does not start it (a service made as its class
// and kept as its interface) gives back the very block make_new took for it.
TEST(GlobalAllocators, DeleteThroughASecondBaseGivesBackTheBlockMadeForIt)
{
    test::RecordingAllocator backing;
    bool destroyed = false;
    BothBases *made = make_new<BothBases>(backing, destroyed);
    ASSERT_NE(made, nullptr);
    SecondBase *kept = made;
    ASSERT_NE(static_cast<void *>(kept), static_cast<void *>(made));
    delete_with_allocator(backing, kept);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(backing.live_count(), 0u);
    std::vector<test::RecordingAllocator::Event> events = backing.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].p, events[0].p);
}

// Under AddressSanitizer a use of freed memory is reported whichever engine allocator the
// memory came from: memory given back is poisoned, by malloc or by the allocator itself.
TEST(GlobalAllocators, FreedMemoryIsPoisonedUnderAddressSanitizer)
{
#ifndef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "not an AddressSanitizer build";
#else
    alignas(64) static u8 static_block[256];
    struct Case {
        const char *name;
        std::function<Allocator &()> allocator;
    };
    ArenaAllocator arena("arena", default_allocator(), 4096);
    TraceAllocator statics("statics", application_static_allocator());
    StaticAllocator one_block(static_block, sizeof static_block);
    const Case cases[] = {
        {"default", [] () -> Allocator & { return default_allocator(); }},
        {"page", [] () -> Allocator & { return page_allocator(); }},
        {"system", [] () -> Allocator & { return system_allocator(); }},
        {"slot", [] () -> Allocator & { return slot_allocator(); }},
        {"heap", [] () -> Allocator & { return heap_allocator(); }},
        {"application static", [] () -> Allocator & { return application_static_allocator(); }},
        {"arena", [&] () -> Allocator & { return arena; }},
        {"trace over the statics arena", [&] () -> Allocator & { return statics; }},
        {"static block", [&] () -> Allocator & { return one_block; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Allocator &a = c.allocator();
        u8 *p = static_cast<u8 *>(a.allocate(64, 16));
        ASSERT_NE(p, nullptr);
        memset(p, 1, 64);
        EXPECT_FALSE(__asan_region_is_poisoned(p, 64));
        a.deallocate(p);
        EXPECT_TRUE(__asan_address_is_poisoned(p));
        EXPECT_TRUE(__asan_address_is_poisoned(p + 32));
    }
    {
        SCOPED_TRACE("temp");
        u8 *p = nullptr;
        {
            TempAllocator temp;
            p = static_cast<u8 *>(temp.allocate(64, 16));
            ASSERT_NE(p, nullptr);
            memset(p, 1, 64);
        }
        EXPECT_TRUE(__asan_address_is_poisoned(p)) << "a temp frame's memory goes with the frame";
    }
#endif
}

} // namespace
} // namespace tallow
