#include "foundation/memory/heap_allocator.h"

#include "foundation/memory/allocator_internal.h"
#include "foundation/containers/array.h"
#include "foundation/log.h"

namespace tallow {

HeapAllocator::HeapAllocator(const char *name, Allocator &backing, u64 first_region_size, bool locked)
    : Allocator(name), _backing(&backing), _locked(locked)
{
    if constexpr (malloc_allocators)
        return;
    _first_region = backing.allocate(first_region_size, u32(RegionHeap::alignment));
    if (!_first_region) {
        log_message("memory", "%s: backing refused the first region of %llu bytes", name ? name : "heap allocator",
                    (unsigned long long)first_region_size);
        return;
    }
    _heap = RegionHeap::create(_first_region, first_region_size, grow_region, release_region, this);
    if (!_heap) {
        backing.deallocate(_first_region);
        _first_region = nullptr;
        return;
    }
    add_region(_first_region, first_region_size);
}

HeapAllocator::HeapAllocator(const char *name, void *buffer, u64 buffer_size, bool locked)
    : Allocator(name), _locked(locked)
{
    if constexpr (malloc_allocators)
        return;
    _heap = RegionHeap::create(buffer, buffer_size, grow_region, release_region, this);
    if (_heap)
        add_region(buffer, buffer_size);
}

HeapAllocator::~HeapAllocator()
{
    if (_heap)
        _heap->destroy();
    if (_backing && _first_region)
        _backing->deallocate(_first_region);
}

// A seqlock without fences: the version moves to odd with an acquire exchange, so no
// entry store moves before it; entries are stored with release and read with acquire, so a
// reader that sees a new entry also sees the version that announced it.
void HeapAllocator::begin_table_change() { _table_version.fetch_add(1, std::memory_order_acq_rel); }

void HeapAllocator::end_table_change() { _table_version.fetch_add(1, std::memory_order_release); }

bool HeapAllocator::add_region(void *base, u64 size)
{
    u32 n = _region_count.load(std::memory_order_relaxed);
    if (!has_free_region_entry())
        return false;
    begin_table_change();
    _regions[n].base.store(reinterpret_cast<u64>(base), std::memory_order_release);
    _regions[n].size.store(size, std::memory_order_release);
    _region_count.store(n + 1, std::memory_order_release);
    end_table_change();
    return true;
}

// Logs when the table is full: the region heap then fails the request quietly.
bool HeapAllocator::has_free_region_entry()
{
    if (_region_count.load(std::memory_order_relaxed) < max_regions)
        return true;
    log_message("memory", "%s: all %u regions in use; raise max_regions", _name ? _name : "heap allocator",
                max_regions);
    return false;
}

// Called by the region heap under our lock.
void *HeapAllocator::grow_region(u64 size, void *user)
{
    HeapAllocator *self = static_cast<HeapAllocator *>(user);
    if (!self->_backing || !self->has_free_region_entry())
        return nullptr;
    void *base = self->_backing->allocate(size, u32(RegionHeap::alignment));
    if (!base)
        return nullptr;
    if (!self->add_region(base, size)) {
        self->_backing->deallocate(base);
        return nullptr;
    }
    return base;
}

// The heap releases only whole regions it grew, so one table entry matches each call.
int HeapAllocator::release_region(void *base, u64, void *user)
{
    HeapAllocator *self = static_cast<HeapAllocator *>(user);
    u32 n = self->_region_count.load(std::memory_order_relaxed);
    for (u32 i = 0; i < n; ++i)
        if (self->_regions[i].base.load(std::memory_order_relaxed) == reinterpret_cast<u64>(base)) {
            self->begin_table_change();
            self->_regions[i].base.store(self->_regions[n - 1].base.load(std::memory_order_relaxed),
                                         std::memory_order_release);
            self->_regions[i].size.store(self->_regions[n - 1].size.load(std::memory_order_relaxed),
                                         std::memory_order_release);
            self->_region_count.store(n - 1, std::memory_order_release);
            self->end_table_change();
            self->_backing->deallocate(base);
            return 0;
        }
    log_message("memory", "%s: release of unknown region %p", self->_name ? self->_name : "heap allocator", base);
    return 1;
}

void *HeapAllocator::allocate(u64 size, u32 align)
{
    if (size == 0)
        return nullptr;
    if constexpr (malloc_allocators) {
        if (!is_power_of_two(align))
            return nullptr;
        return malloc_counted(size, align, _mutex, _locked, _malloc_total);
    }
    OptionalLock guard(_mutex, _locked);
    return _heap ? _heap->allocate(align, size) : nullptr;
}

void HeapAllocator::deallocate(void *p)
{
    if (!p)
        return;
    if constexpr (malloc_allocators) {
        malloc_free_counted(p, _mutex, _locked, _malloc_total);
        return;
    }
    OptionalLock guard(_mutex, _locked);
    if (_heap)
        _heap->free(p);
}

// No lock: the region heap reads a held block's size safely beside the heap's other work.
u64 HeapAllocator::allocated_size(const void *p)
{
    if constexpr (malloc_allocators)
        return malloc_size(p);
    return RegionHeap::usable_size(p);
}

void *HeapAllocator::allocate_sized(u64 size, u32 align, u64 &out_size)
{
    out_size = 0;
    if constexpr (malloc_allocators) {
        void *p = allocate(size, align);
        out_size = p ? malloc_size(p) : 0;
        return p;
    }
    if (size == 0)
        return nullptr;
    OptionalLock guard(_mutex, _locked);
    void *p = _heap ? _heap->allocate(align, size) : nullptr;
    out_size = RegionHeap::usable_size(p);
    return p;
}

u64 HeapAllocator::total_allocated()
{
    OptionalLock guard(_mutex, _locked);
    if constexpr (malloc_allocators)
        return _malloc_total;
    u64 total = 0;
    u32 n = _region_count.load(std::memory_order_relaxed);
    for (u32 i = 0; i < n; ++i)
        total += _regions[i].size.load(std::memory_order_relaxed);
    return total;
}

void HeapAllocator::backing_allocators(Array<Allocator *> &out_allocators)
{
    if (_backing)
        out_allocators.push_back(_backing);
}

// Runs on every free of the default allocator, so it reads the table optimistically and
// retries if a grow or release changed it meanwhile. A live `p` keeps its region, so a
// consistent read answers for it.
bool HeapAllocator::owns(const void *p)
{
    const u64 at = reinterpret_cast<u64>(p);
    for (;;) {
        u64 version = _table_version.load(std::memory_order_acquire);
        if (version & 1) {
            OptionalLock guard(_mutex, _locked); // a change is under way: wait for it
            continue;
        }
        bool found = false;
        u32 n = _region_count.load(std::memory_order_acquire);
        for (u32 i = 0; i < n && !found; ++i) {
            u64 base = _regions[i].base.load(std::memory_order_acquire);
            found = at >= base && at - base < _regions[i].size.load(std::memory_order_acquire);
        }
        if (_table_version.load(std::memory_order_relaxed) == version)
            return found;
    }
}

u32 HeapAllocator::region_count() { return _region_count.load(std::memory_order_relaxed); }

bool HeapAllocator::validate()
{
    OptionalLock guard(_mutex, _locked);
    return !_heap || _heap->validate();
}

} // namespace tallow
