#pragma once
// Short-lived scratch memory from the calling thread's ScratchPool; everything it handed
// out is dropped when it is destroyed.
//
//   {
//       TempAllocator ta;
//       Array<u32> ids(ta);   // no per-element frees
//       ...
//   }                        // all of it goes back here
//
// Lives on the stack of one thread and must not be used from another. Nested temp
// allocators release in the reverse order of their creation.

#include "foundation/memory/allocator.h"
#include "foundation/memory/scratch_pool.h"

namespace tallow {

class TempAllocator final : public Allocator {
  public:
    TempAllocator();
    /// Pops the frame, if one was pushed.
    ~TempAllocator() override;

    /// Null when the scratch pool cannot get memory.
    void *allocate(u64 size, u32 align = alignof(std::max_align_t)) override; // See Allocator
    void deallocate(void *p) override;                                         // does nothing
    u64 allocated_size(const void *p) override;                                // 0
    u64 total_allocated() override;                                            // 0
    void backing_allocators(Array<Allocator *> &out_allocators) override;     // the pool's backing

    /// The frame this allocator pushed, or ScratchPool::no_frame before the first allocate.
    u32 frame() const { return _frame; }

  private:
    ScratchPool *_pool;
    u32 _frame = ScratchPool::no_frame;
};

} // namespace tallow
