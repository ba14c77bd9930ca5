#include "foundation/heap_allocator.h"

#include "foundation/allocator_internal.h"
#include "foundation/array.h"
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
    add_region(_first_region, first_region_size);
    _heap = RegionHeap::create(_first_region, first_region_size, grow_region, release_region, this);
    if (!_heap) {
        backing.deallocate(_first_region);
        _first_region = nullptr;
        _region_count = 0;
    }
}

HeapAllocator::HeapAllocator(const char *name, void *buffer, u64 buffer_size, bool locked)
    : Allocator(name), _locked(locked)
{
    if constexpr (malloc_allocators)
        return;
    add_region(buffer, buffer_size);
    _heap = RegionHeap::create(buffer, buffer_size, grow_region, release_region, this);
    if (!_heap)
        _region_count = 0;
}

HeapAllocator::~HeapAllocator()
{
    if (_heap)
        _heap->destroy();
    if (_backing && _first_region)
        _backing->deallocate(_first_region);
}

bool HeapAllocator::add_region(void *base, u64 size)
{
    if (_region_count == max_regions) {
        log_message("memory", "%s: all %u regions in use; raise max_regions", _name ? _name : "heap allocator",
                    max_regions);
        return false;
    }
    _regions[_region_count++] = {static_cast<u8 *>(base), size};
    return true;
}

// Called by the region heap under our lock.
void *HeapAllocator::grow_region(u64 size, void *user)
{
    HeapAllocator *self = static_cast<HeapAllocator *>(user);
    if (!self->_backing || self->_region_count == max_regions)
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
    for (u32 i = 0; i < self->_region_count; ++i)
        if (self->_regions[i].base == base) {
            self->_regions[i] = self->_regions[--self->_region_count];
            self->_backing->deallocate(base);
            return 0;
        }
    log_message("memory", "%s: release of unknown region %p", self->_name ? self->_name : "heap allocator", base);
    return 1;
}

void *HeapAllocator::allocate(u64 size, u32 align)
{
    if constexpr (malloc_allocators) {
        if (!is_power_of_two(align))
            return nullptr;
        void *p = malloc_aligned(size, align);
        if (p) {
            OptionalLock guard(_mutex, _locked);
            _malloc_total += malloc_size(p);
        }
        return p;
    }
    OptionalLock guard(_mutex, _locked);
    return _heap ? _heap->allocate(align, size) : nullptr;
}

void HeapAllocator::deallocate(void *p)
{
    if (!p)
        return;
    if constexpr (malloc_allocators) {
        {
            OptionalLock guard(_mutex, _locked);
            _malloc_total -= malloc_size(p);
        }
        malloc_free(p);
        return;
    }
    OptionalLock guard(_mutex, _locked);
    if (_heap)
        _heap->free(p);
}

u64 HeapAllocator::allocated_size(const void *p)
{
    if constexpr (malloc_allocators)
        return malloc_size(p);
    OptionalLock guard(_mutex, _locked);
    return RegionHeap::usable_size(p);
}

u64 HeapAllocator::total_allocated()
{
    OptionalLock guard(_mutex, _locked);
    if constexpr (malloc_allocators)
        return _malloc_total;
    u64 total = 0;
    for (u32 i = 0; i < _region_count; ++i)
        total += _regions[i].size;
    return total;
}

void HeapAllocator::backing_allocators(Array<Allocator *> &out_allocators)
{
    if (_backing)
        out_allocators.push_back(_backing);
}

bool HeapAllocator::owns(const void *p)
{
    const u8 *at = static_cast<const u8 *>(p);
    OptionalLock guard(_mutex, _locked);
    for (u32 i = 0; i < _region_count; ++i)
        if (at >= _regions[i].base && at < _regions[i].base + _regions[i].size)
            return true;
    return false;
}

u32 HeapAllocator::region_count()
{
    OptionalLock guard(_mutex, _locked);
    return _region_count;
}

bool HeapAllocator::validate()
{
    OptionalLock guard(_mutex, _locked);
    return !_heap || _heap->validate();
}

} // namespace tallow
