#pragma once
// Per-thread scratch memory handed out in frames. A TempAllocator pushes a frame on its
// thread's pool on first use and pops it when destroyed; nothing is freed one by one.
//
//   ScratchPool *pool = thread_scratch_pool();
//   u32 frame = pool->push_frame();
//   void *p = pool->allocate(frame, 100, 8);
//   pool->pop_frame(frame);   // blocks no open frame can reference go back
//
// Memory comes back block by block from the end, as soon as no open frame can still
// reference the block. A pool belongs to one thread and has no lock.

#include "foundation/memory/allocator.h"
#include "foundation/containers/array.h"
#include "foundation/types.h"

namespace tallow {

/// One block taken from the backing: [base, base + size), `used` bytes handed out, by
/// frames from `oldest_frame` to `newest_frame`.
struct ScratchBlock {
    u8 *base;
    u64 size; // the backing's allocated_size
    u64 used;
    u32 oldest_frame;
    u32 newest_frame;
};

class ScratchPool {
  public:
    static constexpr u32 no_frame = 0xFFFFFFFFu;

    /// Frame id after `id`; wraps from 0xFFFFFFFE to 0, never giving no_frame.
    static u32 next_frame_id(u32 id) { return id + 1 == no_frame ? 0 : id + 1; }
    /// True when frame `a` was pushed after frame `b` (holds across the wrap).
    static bool is_newer_frame(u32 a, u32 b) { return u32(a - b - 1) < 0x40000000u; }

    /// Blocks come from `backing` (at least `min_block_size` bytes each); up to
    /// `max_spare_blocks` released blocks are kept for reuse. The bookkeeping arrays use
    /// the default allocator.
    explicit ScratchPool(Allocator &backing, u64 min_block_size = 4096, u32 max_spare_blocks = 1);
    /// Returns every block to the backing. Frames still open are logged: their memory goes too.
    ~ScratchPool();
    ScratchPool(const ScratchPool &) = delete;
    ScratchPool &operator=(const ScratchPool &) = delete;

    /// Opens a frame and returns its id.
    u32 push_frame();
    /// `size` bytes aligned to `align` for `frame`; null when the backing fails.
    void *allocate(u32 frame, u64 size, u32 align);
    /// Closes `frame` (ids not open are ignored) and releases the blocks at the end that
    /// no open frame can reference.
    void pop_frame(u32 frame);

    Allocator &backing() const { return *_backing; }
    u32 block_count() const { return _blocks.size(); }
    const ScratchBlock &block(u32 i) const { return _blocks[i]; }
    u32 spare_block_count() const { return _spares.size(); }
    u32 open_frame_count() const { return _open_frames.size(); }

  private:
    ScratchBlock *take_block(u32 frame, u64 size, u32 align);
    bool may_release_last_block() const;
    void release_block(const ScratchBlock &block);

    Allocator *_backing;
    u32 _next_frame = 0;
    u64 _min_block_size;
    Array<ScratchBlock> _blocks;
    Array<u32> _open_frames; // in push order: front is the oldest
    u32 _max_spare_blocks;
    Array<ScratchBlock> _spares;
};

/// The calling thread's pool, made on first use over the page allocator (minimum block
/// 4096 bytes, one spare block). Null when the pool cannot be allocated. The pool lives
/// until its thread ends or memory_globals_shutdown, whichever comes first.
ScratchPool *thread_scratch_pool();

/// Destroys every thread's pool; called by memory_globals_shutdown. A thread that asks
/// again afterwards gets a fresh pool.
void destroy_thread_scratch_pools();

} // namespace tallow
