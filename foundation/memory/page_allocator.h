#pragma once
// Whole pages straight from the operating system.
//
//   PageAllocator pages("page_allocator");
//   void *block = pages.allocate(0x10000);   // 64 KiB aligned
//
// Every block is aligned to 64 KiB (or to `align` when larger), so allocators cutting
// blocks into pages can find their headers by address arithmetic. Sizes are rounded up
// to the system page size; each mapping's size is kept in a side table.
//
// Released mappings are not unmapped at once. The most recent ones are kept, at most
// cache_max_mappings of them and cache_max_bytes together (a larger mapping is unmapped
// at once; the oldest kept one goes when room is needed), and handed out again to a
// request they can hold at an alignment their address meets: an exact fit first, else
// the smallest one at most twice the size, its surplus tail unmapped. That spares a
// map/unmap pair and the page faults of fresh pages. Such memory is not zeroed. The count
// bound is wide enough that a slot allocator's or a parser's churn of 64 KiB blocks stays
// in the cache (munmap, with its TLB shootdown, is the dearest call on this path).
// Destruction unmaps the kept mappings. They count in neither total_allocated nor
// allocated_size, which stay the bytes of live blocks. The side table, once it is a block
// or larger, is mapped and given back through the same cache as it grows.

#include "foundation/memory/allocator.h"
#include "foundation/threads/spin_mutex.h"


namespace tallow {

class PageAllocator final : public Allocator {
  public:
    /// Alignment of every block.
    static constexpr u64 block_alignment = 0x10000;
    /// Bounds of the cache of released mappings.
    static constexpr u32 cache_max_mappings = 256;
    static constexpr u64 cache_max_bytes = u64(64) << 20;

    explicit PageAllocator(const char *name, bool locked = true);
    /// Unmaps whatever is still mapped.
    ~PageAllocator() override;

    /// Null for size 0, a non-power-of-two `align` or when the system refuses.
    void *allocate(u64 size, u32 align = alignof(std::max_align_t)) override; // See Allocator
    /// Pointers this allocator did not hand out are logged and ignored.
    void deallocate(void *p) override;                                      // See Allocator
    u64 allocated_size(const void *p) override;                             // the mapping's size
    u64 total_allocated() override;                                         // bytes mapped

    /// The system page size (a power of two).
    u64 page_size() const { return _page_size; }
    /// Released mappings kept for reuse, and their bytes.
    u32 cached_mapping_count();
    u64 cached_bytes();

  private:
    struct Entry {
        u64 address; // 0 = empty
        u64 size;
    };
    bool table_insert(u64 address, u64 size);
    Entry *table_find(u64 address);
    void table_erase(Entry *entry);
    bool table_grow();
    u8 *take_cached(u64 size, u64 alignment, u64 &mapped);

    u64 _page_size;
    u64 _total = 0;
    bool _locked;
    SpinMutex _mutex;
    Entry *_table = nullptr; // open addressing, linear probing; mapped directly
    u64 _table_capacity = 0; // a power of two
    u64 _table_mapped = 0;   // bytes of the table's mapping (a cached one may be larger)
    u64 _table_count = 0;
    Entry _cache[cache_max_mappings]; // oldest first
    u32 _cache_count = 0;
    u64 _cache_bytes = 0;
};

} // namespace tallow
