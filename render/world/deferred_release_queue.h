#pragma once
// Render-object handles of one world: handed out by the game side, and held back for
// six frames after their release so that no record still in flight can reach a new
// object under an old handle.
//
//   u32 handle = handles.allocate();   // most recently freed handle first, else a new one
//   handles.release(handle);           // at frame n
//   handles.collect();                 // once per frame; back in the free list at the
//                                      // first collect that runs with frame >= n + 6
//
// Game side only (main thread); not thread-safe.

#include "foundation/containers/array.h"
#include "foundation/types.h"

namespace tallow {

/// Frames a released handle waits before it is handed out again.
constexpr u32 render_handle_release_frames = 6;

class DeferredReleaseQueue {
  public:
    explicit DeferredReleaseQueue(Allocator &allocator);
    ~DeferredReleaseQueue();
    DeferredReleaseQueue(const DeferredReleaseQueue &) = delete;
    DeferredReleaseQueue &operator=(const DeferredReleaseQueue &) = delete;

    /// Pops the free list, else takes the next new handle. Returns 0xFFFFFFFF when the
    /// free list cannot grow or all 2^32 - 1 handles are taken (logged).
    u32 allocate();
    /// Holds `handle` back from now (the current frame). A handle that cannot be held back
    /// (no memory) is dropped, never handed out early (logged).
    void release(u32 handle);
    /// Frees the handles released six or more frames ago, then advances the frame.
    void collect();

    u32 frame() const { return _frame; }
    /// Handles waiting in the release ring.
    u32 held_count() const { return _count; }
    /// Handles ready to be handed out again.
    u32 free_count() const { return _free.size(); }

  private:
    struct Released {
        u32 handle;
        u32 frame;
    };
    bool grow_ring();

    Allocator &_allocator;
    u32 _next = 0;
    Array<u32> _free; // a stack
    u32 _frame = 0;
    // Ring of released handles in release order.
    Released *_ring = nullptr;
    u32 _capacity = 0;
    u32 _first = 0;
    u32 _count = 0;
};

} // namespace tallow
