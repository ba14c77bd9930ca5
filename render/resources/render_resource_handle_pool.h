#pragma once
// The one index space of render resource handles of a device, shared by all its resource
// contexts.
//
//   RenderResourceHandle h = pool.alloc_handle(render_handle_kind::texture);
//   ... the release record is written, the device executes it ...
//   pool.free_handle(h);   // only now may the index be handed out again
//
// Released indices come back last in, first out, under any kind. The pool knows which
// indices are live: freeing an index that is not live (a double release, a never-issued
// handle) is logged and ignored, so two resources never share a handle. Resource contexts
// return the indices of their releases only once the device has executed them
// (RenderResourceContext). All operations are safe from any thread.

#include "foundation/containers/array.h"
#include "render/resources/render_resource.h"

#include <mutex>

namespace tallow {

class RenderResourceHandlePool {
  public:
    /// `max_index_count` bounds the indices ever issued (2^24 - 1 by the handle layout).
    explicit RenderResourceHandlePool(Allocator &allocator, u32 max_index_count = max_render_handle_index);

    /// A fresh handle of `kind`; invalid_render_handle when every index is live (logged).
    RenderResourceHandle alloc_handle(u32 kind);
    /// Returns the handle's index to the pool. False (logged) when it is not live.
    bool free_handle(RenderResourceHandle handle);

    /// True while the handle's index is issued and not freed.
    bool is_live(RenderResourceHandle handle);
    u32 live_count();
    /// Indices ever issued (the counter).
    u32 issued_count();

  private:
    std::mutex _mutex;
    Array<u32> _free;  // stack
    Array<u8> _live;   // per issued index: 1 while live
    u32 _issued = 0;
    u32 _live_count = 0;
    u32 _max_index_count;
};

} // namespace tallow
