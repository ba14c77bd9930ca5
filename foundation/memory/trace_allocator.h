#pragma once
// A named, counting layer over a parent allocator: every subsystem and most long-lived
// objects allocate through one, so the allocator list shows who holds what.
//
//   TraceAllocator allocator("world", default_allocator());
//   void *p = allocator.allocate(64);
//   allocator.allocation_count();   // 1
//
// Counts live allocations and bytes (the parent's allocated_size of each) with their
// peaks. Thread-safe when constructed locked (the default): the counters are then
// updated with atomic read-modify-writes, so each count and each peak is exact, though a
// reader racing an allocate may see a new count a moment before its peak follows.

#include "foundation/memory/allocator.h"

#include <atomic>

namespace tallow {

class TraceAllocator final : public Allocator {
  public:
    /// `name` must outlive the allocator; `parent` must outlive it too.
    TraceAllocator(const char *name, Allocator &parent, bool locked = true);
    /// Logs the allocations still live, if any (they stay with the parent).
    ~TraceAllocator() override;

    /// Size 0 returns null without touching the parent. A null from the parent is
    /// passed on and not counted.
    void *allocate(u64 size, u32 align = alignof(std::max_align_t)) override; // See Allocator
    void deallocate(void *p) override;                                          // See Allocator
    u64 allocated_size(const void *p) override;                                 // the parent's
    u64 total_allocated() override;                                             // bytes in use
    void backing_allocators(Array<Allocator *> &out_allocators) override;      // the parent

    Allocator &parent() const { return *_parent; }
    u64 allocation_count();
    u64 bytes_in_use() { return total_allocated(); }
    u64 peak_allocation_count();
    u64 peak_bytes();

    /// Adds what `collect` reports to every count read, for an owner that keeps part of
    /// the counts elsewhere (the default allocator counts its slot route per thread).
    /// `collect` adds its signed share to `count` and `bytes`; it runs on the reading
    /// thread. The peaks are then the highest totals seen when read or folded in.
    using PendingCounts = void (*)(void *user, i64 &count, i64 &bytes);
    void set_pending_counts(PendingCounts collect, void *user);
    /// Folds counts kept elsewhere into the trace's own (signed deltas).
    void add_counts(i64 count, i64 bytes);

  private:
    void read_counts(u64 &count, u64 &bytes);

    Allocator *_parent;
    std::atomic<u64> _count{0};
    std::atomic<u64> _bytes{0};
    std::atomic<u64> _peak_count{0};
    std::atomic<u64> _peak_bytes{0};
    bool _locked;
    PendingCounts _collect = nullptr;
    void *_collect_user = nullptr;
};

/// Makes a locked TraceAllocator named `name` over the default allocator, with the object
/// itself taken from `allocator`; free it with delete_with_allocator(allocator, t).
/// Returns null when `allocator` fails.
TraceAllocator *new_trace_allocator(Allocator &allocator, const char *name);

} // namespace tallow
