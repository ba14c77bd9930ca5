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

#include "foundation/memory/allocator.h"
#include "foundation/memory/allocator_mutex.h"
#include "foundation/containers/hash_set.h"
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

    /// The three allocators must outlive this one. The page-address set lives on `heap`.
    GenericAllocator(const char *name, PageAllocator &pages, HeapAllocator &heap, SlotAllocator &slots,
                     bool locked = true);
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

  private:
    Route route_of(const void *p, bool forget_page);

    // Read by every call and written by none: kept off the lines the traces' counters and
    // the lock are written on, which other threads would otherwise keep taking away.
    PageAllocator *_pages;
    HeapAllocator *_heap;
    SlotAllocator *_slots;
    u64 _page_size; // the page allocator's, fixed
    bool _locked;
    alignas(64) TraceAllocator _page_trace;
    alignas(64) TraceAllocator _heap_trace;
    alignas(64) TraceAllocator _slot_trace;
    alignas(64) AllocatorMutex _mutex; // guards _page_addresses
    HashSet<u64> _page_addresses;      // every live address handed out from pages
    std::atomic<u64> _malloc_total{0}; // with malloc-routed allocators only
};

} // namespace tallow
