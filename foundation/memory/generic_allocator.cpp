#include "foundation/memory/generic_allocator.h"

#include "foundation/memory/allocator_internal.h"
#include "foundation/memory/heap_allocator.h"
#include "foundation/memory/page_allocator.h"
#include "foundation/memory/slot_allocator.h"

namespace tallow {

GenericAllocator::GenericAllocator(const char *name, PageAllocator &pages, HeapAllocator &heap, SlotAllocator &slots,
                                   bool locked)
    : Allocator(name), _pages(&pages), _heap(&heap), _slots(&slots), _page_size(pages.page_size()), _locked(locked),
      _page_trace("generic_page", pages), _heap_trace("generic_heap", heap), _slot_trace("generic_slot", slots),
      _page_addresses(heap)
{
}

GenericAllocator::~GenericAllocator() = default;

GenericAllocator::Route GenericAllocator::route_for(u64 size, u64 page_size)
{
    if (size < slot_limit)
        return Route::Slot;
    u64 waste = align_up(size, page_size) - size;
    return waste < size / 10 ? Route::Page : Route::Heap;
}

void *GenericAllocator::allocate(u64 size, u32 align)
{
    if constexpr (malloc_allocators) {
        if (!is_power_of_two(align) || size == 0) // size 0 gives null on every route
            return nullptr;
        void *p = malloc_aligned(size, align);
        if (p)
            _malloc_total.fetch_add(malloc_size(p), std::memory_order_relaxed);
        return p;
    }
    void *p = nullptr;
    switch (route_for(size, _page_size)) {
    case Route::Slot:
        if ((p = _slot_trace.allocate(size, align)))
            break;
        [[fallthrough]]; // an alignment no slot class serves
    case Route::Heap:
        p = _heap_trace.allocate(size, align);
        break;
    case Route::Page: {
        if (!(p = _page_trace.allocate(size, align)))
            break;
        OptionalLock guard(_mutex, _locked);
        if (_page_addresses.find_or_insert(reinterpret_cast<u64>(p)) == HashSet<u64>::no_entry) {
            // Unrecorded, the address could not be routed back when freed.
            _page_trace.deallocate(p);
            return nullptr;
        }
        break;
    }
    }
    return p;
}

// A live address stays where it is, and the three allocators hand out disjoint memory, so
// the answer holds without keeping any lock afterwards.
GenericAllocator::Route GenericAllocator::route_of(const void *p, bool forget_page)
{
    u64 key = reinterpret_cast<u64>(p);
    // Page blocks are always block aligned, so most addresses skip the set.
    if ((key & (PageAllocator::block_alignment - 1)) == 0) {
        OptionalLock guard(_mutex, _locked);
        if (forget_page ? _page_addresses.erase(key) : _page_addresses.has(key))
            return Route::Page;
    }
    return _heap->owns(p) ? Route::Heap : Route::Slot;
}

void GenericAllocator::deallocate(void *p)
{
    if (!p)
        return;
    if constexpr (malloc_allocators) {
        _malloc_total.fetch_sub(malloc_size(p), std::memory_order_relaxed);
        malloc_free(p);
        return;
    }
    switch (route_of(p, true)) {
    case Route::Heap:
        _heap_trace.deallocate(p);
        break;
    case Route::Page:
        _page_trace.deallocate(p);
        break;
    case Route::Slot:
        _slot_trace.deallocate(p);
        break;
    }
}

u64 GenericAllocator::allocated_size(const void *p)
{
    if (!p)
        return 0;
    if constexpr (malloc_allocators)
        return malloc_size(p);
    switch (route_of(p, false)) {
    case Route::Heap:
        return _heap->allocated_size(p);
    case Route::Page:
        return _pages->allocated_size(p);
    case Route::Slot:
        break;
    }
    return _slots->allocated_size(p);
}

// The three traces count exactly what each route holds, so their sum is the total, and
// no counter of our own is shared by every thread.
u64 GenericAllocator::total_allocated()
{
    if constexpr (malloc_allocators)
        return _malloc_total.load(std::memory_order_relaxed);
    return _slot_trace.total_allocated() + _heap_trace.total_allocated() + _page_trace.total_allocated();
}

void GenericAllocator::backing_allocators(Array<Allocator *> &out_allocators)
{
    out_allocators.push_back(&_slot_trace);
    out_allocators.push_back(&_heap_trace);
    out_allocators.push_back(&_page_trace);
}

} // namespace tallow
