#pragma once
// A backing allocator for allocator tests: records every call, keeps the size of each
// live block, honours any power-of-two alignment and can be told to fail.
//
//   RecordingAllocator backing;
//   backing.fail_next(1);            // the next allocate returns null
//   SlotAllocator slots("t", backing);
//   EXPECT_EQ(backing.live_count(), 1u);

#include "foundation/memory/allocator.h"
#include "foundation/memory/allocator_internal.h"

#include <map>
#include <mutex>
#include <vector>

/// Skips a test that inspects an allocator's own blocks, pages or regions: sanitizer
/// builds route every allocator to malloc and those structures are not used.
#define TALLOW_SKIP_WITH_MALLOC_ALLOCATORS()                                                                   \
    do {                                                                                                       \
        if (::tallow::malloc_allocators) {                                                                     \
            GTEST_SKIP() << "allocators route to malloc in this build";                                        \
        }                                                                                                      \
    } while (0)

namespace tallow::test {

class RecordingAllocator final : public Allocator {
  public:
    enum class Call { Allocate, Deallocate };
    struct Event {
        Call call;
        void *p;
        u64 size;
        u32 align;
    };

    RecordingAllocator() : Allocator(nullptr) {}
    ~RecordingAllocator() override;

    void *allocate(u64 size, u32 align = alignof(std::max_align_t)) override;
    void deallocate(void *p) override;
    /// The requested size of a live block (plus `extra_size`); 0 for unknown pointers.
    u64 allocated_size(const void *p) override;
    u64 total_allocated() override;

    /// The next `n` allocate calls return null (and are recorded with a null pointer).
    void fail_next(u32 n);
    /// Every allocate fails from now on (until cleared).
    void set_always_fail(bool fail);
    /// Added to every reported allocated_size, to imitate backings that round up.
    void set_extra_size(u64 extra) { _extra_size = extra; }

    u64 live_count();
    u64 allocate_calls();
    u64 deallocate_calls();
    bool is_live(const void *p);
    std::vector<Event> events();

  private:
    std::mutex _mutex;
    std::map<const void *, u64> _live;
    std::vector<Event> _events;
    u32 _fail_next = 0;
    bool _always_fail = false;
    u64 _extra_size = 0;
};

} // namespace tallow::test
