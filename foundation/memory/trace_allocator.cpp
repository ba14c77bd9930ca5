#include "foundation/memory/trace_allocator.h"

#include "foundation/memory/allocator_internal.h"
#include "foundation/containers/array.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"

namespace tallow {

namespace {
constexpr auto relaxed = std::memory_order_relaxed;

// Locked: one atomic read-modify-write. Unlocked (one thread only): a plain load and
// store, which skips the bus lock. Returns the new value.
u64 add(std::atomic<u64> &counter, u64 delta, bool locked)
{
    if (locked)
        return counter.fetch_add(delta, relaxed) + delta;
    u64 value = counter.load(relaxed) + delta;
    counter.store(value, relaxed);
    return value;
}

void subtract(std::atomic<u64> &counter, u64 delta, bool locked)
{
    if (locked)
        counter.fetch_sub(delta, relaxed);
    else
        counter.store(counter.load(relaxed) - delta, relaxed);
}

// A counter rises only through add, which returns each value it reaches, so raising the
// peak to every one of them keeps it the exact maximum.
void raise_peak(std::atomic<u64> &peak, u64 value)
{
    u64 seen = peak.load(relaxed);
    while (value > seen && !peak.compare_exchange_weak(seen, value, relaxed)) {
    }
}
} // namespace

TraceAllocator::TraceAllocator(const char *name, Allocator &parent, bool locked)
    : Allocator(name), _parent(&parent), _locked(locked)
{
}

TraceAllocator::~TraceAllocator()
{
    u64 count = _count.load(relaxed);
    if (count)
        log_message("memory", "allocator %s destroyed with %llu live allocations (%llu bytes)",
                    _name ? _name : "(unnamed)", (unsigned long long)count, (unsigned long long)_bytes.load(relaxed));
}

// The parent does its own locking; the counters need none.
void *TraceAllocator::allocate(u64 size, u32 align)
{
    if (size == 0)
        return nullptr;
    void *p = _parent->allocate(size, align);
    if (!p)
        return nullptr;
    u64 bytes = _parent->allocated_size(p);
    raise_peak(_peak_count, add(_count, 1, _locked));
    raise_peak(_peak_bytes, add(_bytes, bytes, _locked));
    return p;
}

void TraceAllocator::deallocate(void *p)
{
    if (!p)
        return;
    u64 bytes = _parent->allocated_size(p);
    subtract(_count, 1, _locked);
    subtract(_bytes, bytes, _locked);
    _parent->deallocate(p);
}

u64 TraceAllocator::allocated_size(const void *p) { return _parent->allocated_size(p); }

u64 TraceAllocator::total_allocated() { return _bytes.load(relaxed); }

void TraceAllocator::backing_allocators(Array<Allocator *> &out_allocators) { out_allocators.push_back(_parent); }

u64 TraceAllocator::allocation_count() { return _count.load(relaxed); }

u64 TraceAllocator::peak_allocation_count() { return _peak_count.load(relaxed); }

u64 TraceAllocator::peak_bytes() { return _peak_bytes.load(relaxed); }

TraceAllocator *new_trace_allocator(Allocator &allocator, const char *name)
{
    return make_new<TraceAllocator>(allocator, name, default_allocator(), true);
}

} // namespace tallow
