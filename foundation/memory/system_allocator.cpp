#include "foundation/memory/system_allocator.h"

#include "foundation/memory/allocator_internal.h"

namespace tallow {

SystemAllocator::SystemAllocator(const char *name) : Allocator(name) {}

void *SystemAllocator::allocate(u64 size, u32 align)
{
    if (size == 0 || !is_power_of_two(align))
        return nullptr;
    void *p = malloc_aligned(size, align);
    if (p)
        _total.fetch_add(malloc_size(p), std::memory_order_relaxed);
    return p;
}

void SystemAllocator::deallocate(void *p)
{
    if (!p)
        return;
    _total.fetch_sub(malloc_size(p), std::memory_order_relaxed);
    malloc_free(p);
}

u64 SystemAllocator::allocated_size(const void *p) { return malloc_size(p); }

u64 SystemAllocator::total_allocated() { return _total.load(std::memory_order_relaxed); }

} // namespace tallow
