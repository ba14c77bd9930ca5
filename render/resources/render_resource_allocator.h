#pragma once
// An allocator that remembers what it handed out and frees all of it when destroyed: the
// home of data a resource context must keep alive until the device has read it (copied
// vertex data, texel data).
//
//   RenderResourceAllocator copies(device_allocator);
//   void *bytes = copies.allocate(size, 4);
//   ... ~RenderResourceAllocator frees `bytes` if nobody did
//
// Not thread-safe: it belongs to one resource context.

#include "foundation/containers/array.h"
#include "foundation/memory/allocator.h"

namespace tallow {

class RenderResourceAllocator final : public Allocator {
  public:
    explicit RenderResourceAllocator(Allocator &parent);
    /// Deallocates every allocation still live.
    ~RenderResourceAllocator() override;

    void *allocate(u64 size, u32 align = alignof(std::max_align_t)) override; // See Allocator
    void deallocate(void *p) override;                                          // See Allocator
    u64 allocated_size(const void *p) override;                                 // the parent's
    u64 total_allocated() override;                                             // the parent's
    void backing_allocators(Array<Allocator *> &out_allocators) override;      // the parent

    /// Deallocates every live allocation at once; the list keeps its capacity.
    void free_all();
    u32 live_count() const { return _live.size(); }

  private:
    Allocator *_parent;
    Array<void *> _live;
};

} // namespace tallow
