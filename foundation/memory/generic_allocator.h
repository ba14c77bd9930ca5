#pragma once
// The default allocator: routes each request by size to slots, whole pages or the heap,
// and each free by address back to where it came from.
//
//   GenericAllocator generic("generic_allocator", pages, heap, slots);
//   void *small = generic.allocate(100);    // a slot
//   void *big = generic.allocate(64000);    // whole pages
//
// Under 1024 bytes: the slot allocator. From 1024 bytes: whole pages when rounding up to
// the page size wastes less than a tenth of the request, otherwise the heap. Each route
// goes through its own TraceAllocator ("generic_slot", "generic_heap", "generic_page").
// Safe from any thread.
//
// With thread caches on (the default allocator has them), each thread keeps up to
// cache_capacity free slots per size class in front of the shared slot allocator, taken
// and given back cache_batch at a time under one lock, and counts its traffic on every
// route on its own; the three traces add those counts in when read, so every count still
// shows the blocks the program holds. Page blocks of up to 64 KiB are cached per thread
// too, a few per page count, and handed out again only for requests of the same page
// count, so allocated_size stays the request rounded up to pages. Heap blocks under 8 KiB
// are cached the same way, by usable size in steps of 256 bytes, and serve only requests
// they hold whole (allocated_size is still the block's usable size, at least the request).
// Threads with caches are also spread over up to `shards` pairs of slot allocator and heap:
// shard 0 is the pair this allocator was given, the others are made on demand over the
// page allocator when more threads are attached at once than there are shards in use.
// Each attached thread takes from the least shared shard, so threads neither queue on one
// lock nor share the cache lines of their slots; a block goes back to the shard it came
// from, whichever thread frees it. A thread's cache goes back when the thread ends, when
// it calls flush_thread_cache, or when the allocator is destroyed (which also gives the
// shards' memory back to the pages). A thread caches for one generic allocator at a
// time; others serve it through the shared path.
// A lock-free map of 64 KiB chunks tags page blocks (with their length in pages, unless
// they are very long), every block of each shard's slot allocator and each extra shard's
// heap regions (the rest is shard 0's heap), so a free finds its route and shard without
// a lock. Nor does it lock to learn a block's size: a page block's is in its tag, a heap
// block's in its chunk header, a slot's in its page.

#include "foundation/memory/allocator.h"
#include "foundation/memory/page_owner_map.h"
#include "foundation/memory/trace_allocator.h"

#include <atomic>

namespace tallow {

class PageAllocator;
class HeapAllocator;
class SlotAllocator;

class GenericAllocator final : public Allocator {
  public:
    enum class Route { Slot, Heap, Page };
    static constexpr u64 slot_limit = 1024; // requests below go to the slots

    static constexpr u32 cache_capacity = 32; // free slots a thread keeps per class
    static constexpr u32 cache_batch = 16;    // slots moved per trip to the slot allocator
    static constexpr u32 page_classes = 16;        // page blocks of 1 to 16 pages (up to 64 KiB) are cached
    static constexpr u32 page_cache_capacity = 8;  // free page blocks a thread keeps per page count
    static constexpr u64 page_cache_bytes = 0x200000; // and in all
    static constexpr u32 heap_classes = 32;        // heap blocks of usable size under 8 KiB, by 256 bytes
    static constexpr u32 heap_cache_capacity = 8;  // free heap blocks a thread keeps per class
    static constexpr u64 heap_cache_bytes = 0x80000; // and in all
    static constexpr u32 shards = 8;                 // slot and heap allocators the threads are spread over
    static constexpr u64 shard_first_region = 0x40000; // of every shard after the first

    /// The three allocators must outlive this one. `thread_caches` turns on the per-thread
    /// slot caches (see above); it needs `locked`.
    GenericAllocator(const char *name, PageAllocator &pages, HeapAllocator &heap, SlotAllocator &slots,
                     bool locked = true, bool thread_caches = false);
    /// Takes every thread's cache back first, then frees the extra shards; no thread may
    /// be allocating meanwhile.
    ~GenericAllocator() override;

    /// Null for size 0 or when the chosen allocator fails. A small request with an
    /// alignment no slot class serves goes to the heap.
    void *allocate(u64 size, u32 align = alignof(std::max_align_t)) override; // See Allocator
    void deallocate(void *p) override;                                      // See Allocator
    u64 allocated_size(const void *p) override;                             // See Allocator
    u64 total_allocated() override;                                         // sum over the three routes
    /// "generic_slot", "generic_heap", "generic_page" in that order.
    void backing_allocators(Array<Allocator *> &out_allocators) override;

    /// Where a request of `size` bytes goes with pages of `page_size` bytes.
    static Route route_for(u64 size, u64 page_size);

    TraceAllocator &slot_trace() { return _slot_trace; }
    TraceAllocator &heap_trace() { return _heap_trace; }
    TraceAllocator &page_trace() { return _page_trace; }

    /// Gives the calling thread's cached slots back to the slot allocator (when it caches
    /// for this allocator). Safe from any thread.
    void flush_thread_cache();
    /// Shards in use: 1 (the given slots and heap) until threads attached at once needed more.
    u32 shard_count();

    struct ThreadCache; // see the .cpp

  private:
    struct Shard; // see the .cpp
    // Where a live block belongs: its route, its shard (slot and heap routes) and, for a
    // page block whose tag carries its length, its size (0 otherwise).
    struct Owner {
        Route route;
        u32 shard;
        u64 page_bytes;
    };
    Owner owner_of(const void *p);
    Owner owner_of(const void *p, PageOwnerMap::Tag tag);
    [[gnu::noinline]] void *allocate_other(u64 size, u32 align);
    [[gnu::noinline]] void deallocate_other(void *p);
    void release_page_block(void *p);
    HeapAllocator *shard_heap(u32 index);
    SlotAllocator *shard_slots(u32 index);
    u32 attach_shard();
    void give_back_slots(void *const *slots, u32 count);
    void free_uncached(const Owner &owner, void *p);
    void *allocate_slot(u64 size, u32 align);
    void deallocate_slot(const Owner &owner, void *p);
    void *allocate_counted(Route route, u64 size, u32 align);
    void deallocate_counted(const Owner &owner, void *p);
    u32 page_class(u64 bytes) const;
    void *refill(ThreadCache &cache, u32 class_index);
    void drain(ThreadCache &cache);
    bool attach(ThreadCache &cache);
    bool uses_cache(ThreadCache &cache);
    static void collect_counts(GenericAllocator *self, Route route, i64 &count, i64 &bytes);
    static void collect_slot_counts(void *user, i64 &count, i64 &bytes);
    static void collect_heap_counts(void *user, i64 &count, i64 &bytes);
    static void collect_page_counts(void *user, i64 &count, i64 &bytes);
    friend struct ThreadCacheExit;

    // Read by every call and written by none: kept off the lines the traces' counters and
    // the lock are written on, which other threads would otherwise keep taking away.
    PageAllocator *_pages;
    HeapAllocator *_heap;
    SlotAllocator *_slots;
    u64 _page_size; // the page allocator's, fixed
    bool _locked;
    bool _thread_caches;
    bool _slots_tagged = false; // the slot allocator tags its blocks in _page_owners
    alignas(64) TraceAllocator _page_trace;
    alignas(64) TraceAllocator _heap_trace;
    alignas(64) TraceAllocator _slot_trace;
    PageOwnerMap _page_owners;         // tags the first chunk of every live page block
    std::atomic<u64> _malloc_total{0}; // with malloc-routed allocators only
    std::atomic<Shard *> _shards[shards] = {}; // [0] stays null: shard 0 is *_slots and *_heap
    u32 _shard_users[shards] = {};             // attached caches per shard; under the registry lock
};

} // namespace tallow
