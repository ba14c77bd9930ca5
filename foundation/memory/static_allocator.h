#pragma once
// Hands out one caller-owned block, once at a time.
//
//   alignas(16) static u8 buffer[4096];
//   StaticAllocator one_shot;
//   one_shot.set_block(buffer, sizeof buffer);
//   void *p = one_shot.allocate(1000);   // the whole buffer; a second allocate gets null
//
// Never listed in the allocator list. Not thread-safe. Under AddressSanitizer the block is
// poisoned while it is free (after a deallocate), so a use of it then is reported.

#include "foundation/memory/allocator.h"

namespace tallow {

class StaticAllocator final : public Allocator {
  public:
    StaticAllocator() : Allocator(nullptr) {}
    StaticAllocator(void *block, u64 block_size) : Allocator(nullptr), _block(block), _block_size(block_size) {}
    /// Gives the block back to its owner whole (unpoisoned).
    ~StaticAllocator() override;

    /// Sets the block to hand out; the caller keeps it alive.
    void set_block(void *block, u64 block_size);

    /// The block, or null when it is in use, smaller than `size`, not aligned to `align`,
    /// or `size` is 0.
    void *allocate(u64 size, u32 align = alignof(std::max_align_t)) override; // See Allocator
    /// A non-null `p` frees the block.
    void deallocate(void *p) override;                                      // See Allocator
    u64 allocated_size(const void *p) override;                             // the block size
    u64 total_allocated() override;                                         // block size while in use

    bool is_in_use() const { return _in_use; }

  private:
    void *_block = nullptr;
    u64 _block_size = 0;
    bool _in_use = false;
};

} // namespace tallow
