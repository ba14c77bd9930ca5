#pragma once
// One frame's state changes of a world on their way to the render thread: a create
// stream, update streams and a destroy stream, applied in that order by
// RenderWorld::update_state.
//
//   RenderStateQueue *state = link.state();               // game side, this frame's buffer
//   state->update_stream(0).write(kind, payload);         // main thread writes stream 0
//   state->begin_update_group();
//   u32 first = state->update_stream_count();
//   for (u32 b = 0; b < batches; ++b) state->add_update_stream();   // one per job batch
//   ... batch b writes only into update_stream(first + b)
//
// Update streams come in groups, applied one group after another in the order they were
// begun; the streams of one group are applied in parallel, so within a group no two streams
// may address one object (the reflection job writes each unit in one batch only). A unit
// reflected again later in the frame (World::update_unit) goes into a group of its own, so
// its records follow the earlier ones instead of racing them. Stream 0 belongs to the
// first group.
//
// Buffers come from RenderWorld::acquire_state_buffer and go back with
// release_state_buffer, which resets them. A buffer has one writer thread per stream at a
// time; it crosses to the render thread whole inside message 7. Streams are allocated one
// by one, so a stream's address stays valid while more are added; after reset the extra
// update streams stay allocated for the next frame.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "render/world/render_state_stream.h"

namespace tallow {

/// Record kinds addressed to the world itself (class id 0).
constexpr u32 render_record_create = 0;
constexpr u32 render_record_destroy = 1;

class RenderObject;

/// Create record payload: addressed to class 0, it carries the new object. 64-bit: the
/// object pointer takes 8 bytes after a spare word (the payload is only 4-aligned: memcpy).
struct RenderCreateRecord {
    u32 world_class;  // 0
    u32 handle;       // the new object's handle
    u32 object_class; // its RenderObjectClass
    u32 spare;
    RenderObject *object;
};
static_assert(sizeof(RenderCreateRecord) == 24);

/// Destroy record payload.
struct RenderDestroyRecord {
    u32 world_class; // 0
    u32 handle;
    u32 none;  // 0xFFFFFFFF
    u32 zero;  // 0
};
static_assert(sizeof(RenderDestroyRecord) == 16);

/// The first two words of every record payload: the addressee.
struct RenderRecordAddress {
    u32 class_id;
    u32 handle;
};

class RenderStateQueue {
  public:
    /// Streams come from two trace allocators ("create_destroy", "update") over `parent`,
    /// which must be thread-safe and outlive the queue. Starts with one update stream.
    explicit RenderStateQueue(Allocator &parent);
    ~RenderStateQueue();
    RenderStateQueue(const RenderStateQueue &) = delete;
    RenderStateQueue &operator=(const RenderStateQueue &) = delete;

    RenderStateStream &create_stream() { return _create; }
    RenderStateStream &destroy_stream() { return _destroy; }
    u32 update_stream_count() const { return _update_count; }
    /// Update stream `i` < update_stream_count(); stream 0 always exists.
    RenderStateStream &update_stream(u32 i) { return *_update_streams[i]; }
    /// Adds an update stream (for one reflection batch) and returns it; null when memory
    /// runs out (logged).
    RenderStateStream *add_update_stream();
    /// Starts a group: the streams added from now on are applied after every stream added
    /// before. Returns false when memory runs out (logged); the streams then join the
    /// current group, which only the caller's records can make unsafe.
    bool begin_update_group();
    /// Group `g` < update_group_count() holds streams [group_start(g), group_start(g + 1)).
    u32 update_group_count() const { return _group_starts.size() + 1; }
    u32 group_start(u32 g) const { return g == 0 ? 0 : g <= _group_starts.size() ? _group_starts[g - 1] : _update_count; }

    /// Empties every stream and goes back to one update stream; keeps the memory.
    void reset();
    /// True when no stream holds a record.
    bool empty() const;

  private:
    TraceAllocator _create_destroy_allocator;
    TraceAllocator _update_allocator;
    Array<RenderStateStream *> _update_streams; // every stream ever added; the first _update_count are in use
    u32 _update_count = 0;
    Array<u32> _group_starts; // first stream of every group after the first, ascending
    RenderStateStream _create;
    RenderStateStream _destroy;
};

} // namespace tallow
