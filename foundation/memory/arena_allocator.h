#pragma once
// Bump allocation from a chain of blocks; nothing is freed one by one.
//
//   ArenaAllocator arena("application_static_allocator", page_allocator(), 0x20000);
//   void *p = arena.allocate(100);
//   arena.reset();   // every block back to the backing
//
// Each allocation is preceded by a word holding its requested size. Blocks are at least
// `block_size` bytes; a larger request gets a block of its own size. Thread-safe when
// locked (the default). Under AddressSanitizer a deallocated block is poisoned until the
// reset, so a use after deallocation is reported.

#include "foundation/memory/allocator.h"
#include "foundation/threads/spin_mutex.h"


namespace tallow {

class ArenaAllocator final : public Allocator {
  public:
    ArenaAllocator(const char *name, Allocator &backing, u64 block_size, bool locked = true);
    /// Returns every block to the backing.
    ~ArenaAllocator() override;

    void *allocate(u64 size, u32 align = alignof(std::max_align_t)) override; // See Allocator
    void deallocate(void *p) override;                                      // poisons it (ASan)
    u64 allocated_size(const void *p) override;                             // the requested size
    u64 total_allocated() override;                                         // bytes taken from the backing
    void backing_allocators(Array<Allocator *> &out_allocators) override;  // the backing

    /// Returns every block to the backing; the arena starts again empty.
    void reset();
    /// Sum of the sizes requested since construction or the last reset.
    u64 requested_bytes();
    u32 block_count();

  private:
    void release_blocks();

    Allocator *_backing;
    u64 _block_size;
    u8 *_first = nullptr; // every block starts with a link to the next (null at the end)
    u8 *_last = nullptr;
    u8 *_current = nullptr;
    i64 _left = 0; // bytes after _current in the last block; may go negative while aligning
    u64 _requested = 0;
    u64 _taken = 0;
    bool _locked;
    SpinMutex _mutex;
};

} // namespace tallow
