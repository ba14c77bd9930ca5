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
    u64 count, bytes;
    read_counts(count, bytes);
    if (count)
        log_message("memory", "allocator %s destroyed with %llu live allocations (%llu bytes)",
                    _name ? _name : "(unnamed)", (unsigned long long)count, (unsigned long long)bytes);
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
    // With counts kept elsewhere too, the trace's own share may sit below zero (wrapped):
    // only a non-negative value can be a peak.
    u64 count = add(_count, 1, _locked);
    u64 total = add(_bytes, bytes, _locked);
    if (i64(count) >= 0)
        raise_peak(_peak_count, count);
    if (i64(total) >= 0)
        raise_peak(_peak_bytes, total);
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

void TraceAllocator::set_pending_counts(PendingCounts collect, void *user)
{
    _collect = collect;
    _collect_user = user;
}

// Counts move between the trace and its owner's per-thread counters in either direction,
// so the trace's own share may dip below zero for a while; only a total that is really
// non-negative may raise a peak.
void TraceAllocator::add_counts(i64 count, i64 bytes)
{
    u64 c = _count.fetch_add(u64(count), relaxed) + u64(count);
    u64 b = _bytes.fetch_add(u64(bytes), relaxed) + u64(bytes);
    if (count > 0 && i64(c) >= 0)
        raise_peak(_peak_count, c);
    if (bytes > 0 && i64(b) >= 0)
        raise_peak(_peak_bytes, b);
}

void TraceAllocator::read_counts(u64 &count, u64 &bytes)
{
    count = _count.load(relaxed);
    bytes = _bytes.load(relaxed);
    if (!_collect)
        return;
    i64 pending_count = 0, pending_bytes = 0;
    _collect(_collect_user, pending_count, pending_bytes);
    count += u64(pending_count);
    bytes += u64(pending_bytes);
    raise_peak(_peak_count, count);
    raise_peak(_peak_bytes, bytes);
}

u64 TraceAllocator::total_allocated()
{
    u64 count, bytes;
    read_counts(count, bytes);
    return bytes;
}

void TraceAllocator::backing_allocators(Array<Allocator *> &out_allocators) { out_allocators.push_back(_parent); }

u64 TraceAllocator::allocation_count()
{
    u64 count, bytes;
    read_counts(count, bytes);
    return count;
}

u64 TraceAllocator::peak_allocation_count()
{
    u64 count, bytes;
    read_counts(count, bytes);
    return _peak_count.load(relaxed);
}

u64 TraceAllocator::peak_bytes()
{
    u64 count, bytes;
    read_counts(count, bytes);
    return _peak_bytes.load(relaxed);
}

TraceAllocator *new_trace_allocator(Allocator &allocator, const char *name)
{
    return make_new<TraceAllocator>(allocator, name, default_allocator(), true);
}

} // namespace tallow
