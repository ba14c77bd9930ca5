#include "foundation/trace_allocator.h"

#include "foundation/allocator_internal.h"
#include "foundation/array.h"
#include "foundation/log.h"
#include "foundation/memory_globals.h"

namespace tallow {

TraceAllocator::TraceAllocator(const char *name, Allocator &parent, bool locked)
    : Allocator(name), _parent(&parent), _locked(locked)
{
}

TraceAllocator::~TraceAllocator()
{
    if (_count)
        log_message("memory", "allocator %s destroyed with %llu live allocations (%llu bytes)",
                    _name ? _name : "(unnamed)", (unsigned long long)_count, (unsigned long long)_bytes);
}

// The lock covers the counters only; the parent does its own locking.
void *TraceAllocator::allocate(u64 size, u32 align)
{
    if (size == 0)
        return nullptr;
    void *p = _parent->allocate(size, align);
    if (!p)
        return nullptr;
    u64 bytes = _parent->allocated_size(p);
    OptionalLock guard(_mutex, _locked);
    ++_count;
    _bytes += bytes;
    if (_bytes > _peak_bytes)
        _peak_bytes = _bytes;
    if (_count > _peak_count)
        _peak_count = _count;
    return p;
}

void TraceAllocator::deallocate(void *p)
{
    if (!p)
        return;
    u64 bytes = _parent->allocated_size(p);
    {
        OptionalLock guard(_mutex, _locked);
        --_count;
        _bytes -= bytes;
    }
    _parent->deallocate(p);
}

u64 TraceAllocator::allocated_size(const void *p) { return _parent->allocated_size(p); }

u64 TraceAllocator::total_allocated()
{
    OptionalLock guard(_mutex, _locked);
    return _bytes;
}

void TraceAllocator::backing_allocators(Array<Allocator *> &out_allocators) { out_allocators.push_back(_parent); }

u64 TraceAllocator::allocation_count()
{
    OptionalLock guard(_mutex, _locked);
    return _count;
}

u64 TraceAllocator::peak_allocation_count()
{
    OptionalLock guard(_mutex, _locked);
    return _peak_count;
}

u64 TraceAllocator::peak_bytes()
{
    OptionalLock guard(_mutex, _locked);
    return _peak_bytes;
}

TraceAllocator *new_trace_allocator(Allocator &allocator, const char *name)
{
    return make_new<TraceAllocator>(allocator, name, default_allocator(), true);
}

} // namespace tallow
