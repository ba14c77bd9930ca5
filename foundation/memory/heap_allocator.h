#pragma once
// A general-purpose heap (RegionHeap) over a backing allocator, or over a fixed buffer.
//
//   HeapAllocator heap("heap_allocator", page_allocator(), 0x200000);
//   void *p = heap.allocate(3000, 64);
//
// The heap starts in a first region (taken from the backing at construction, or the
// caller's buffer) and grows and shrinks through the backing, at most 512 regions at a
// time. Thread-safe when locked (the default).

#include "foundation/memory/allocator.h"
#include "foundation/threads/spin_mutex.h"
#include "foundation/memory/region_heap.h"

#include <atomic>


namespace tallow {

class HeapAllocator final : public Allocator {
  public:
    static constexpr u32 max_regions = 512;

    /// A heap whose first region of `first_region_size` bytes comes from `backing`. When
    /// the backing cannot give it, every allocate returns null.
    HeapAllocator(const char *name, Allocator &backing, u64 first_region_size, bool locked = true);
    /// A heap inside `buffer` that never grows (the bootstrap heap); the buffer must
    /// outlive the allocator.
    HeapAllocator(const char *name, void *buffer, u64 buffer_size, bool locked = true);
    /// Returns every region to the backing.
    ~HeapAllocator() override;

    void *allocate(u64 size, u32 align = alignof(std::max_align_t)) override; // See Allocator
    void deallocate(void *p) override;                                      // See Allocator
    u64 allocated_size(const void *p) override;                             // usable size; takes no lock
    /// allocate and allocated_size of the block in one trip through the lock; `out_size`
    /// is 0 when it returns null.
    void *allocate_sized(u64 size, u32 align, u64 &out_size);
    u64 total_allocated() override;                                         // sum of region sizes
    void backing_allocators(Array<Allocator *> &out_allocators) override;  // the backing, if any

    /// True when `p` lies inside one of the heap's regions. Takes no lock.
    bool owns(const void *p);
    /// Regions currently held (the first one included).
    u32 region_count();
    /// Checks the heap's structure; false (logged) when it is damaged.
    bool validate();

  private:
    // Entries are atomics under a version count (odd while the table changes), so owns()
    // reads a consistent table without taking the lock; writers hold the lock.
    struct Region {
        std::atomic<u64> base;
        std::atomic<u64> size;
    };
    static void *grow_region(u64 size, void *user);
    static int release_region(void *base, u64 size, void *user);
    bool add_region(void *base, u64 size);
    bool has_free_region_entry();
    void begin_table_change();
    void end_table_change();

    Allocator *_backing = nullptr;
    void *_first_region = nullptr;
    bool _locked;
    SpinMutex _mutex;
    RegionHeap *_heap = nullptr;
    alignas(64) Region _regions[max_regions]; // off the lock's line: owns() reads it on every generic free
    std::atomic<u32> _region_count{0};
    std::atomic<u64> _table_version{0};
    u64 _malloc_total = 0; // with malloc-routed allocators only
};

} // namespace tallow
