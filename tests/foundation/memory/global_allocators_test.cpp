#include "foundation/containers/array.h"
#include "foundation/memory/memory_globals.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

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

} // namespace
} // namespace tallow
