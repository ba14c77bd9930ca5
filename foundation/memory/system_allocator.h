#pragma once
// The C runtime heap (malloc and free) behind the Allocator interface.
//
//   SystemAllocator system("system_allocator");
//   void *p = system.allocate(100);
//
// Alignments above the runtime's own are honoured. Safe from any thread.

#include "foundation/memory/allocator.h"

#include <atomic>

namespace tallow {

class SystemAllocator final : public Allocator {
  public:
    explicit SystemAllocator(const char *name);

    void *allocate(u64 size, u32 align = alignof(std::max_align_t)) override; // See Allocator
    void deallocate(void *p) override;                                      // See Allocator
    u64 allocated_size(const void *p) override;                             // the runtime's usable size
    u64 total_allocated() override;                                         // sum of usable sizes

  private:
    std::atomic<u64> _total{0};
};

} // namespace tallow
