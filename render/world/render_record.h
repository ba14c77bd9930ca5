#pragma once
// RenderRecord: what culling, sorting and batching pass around for one drawable object,
// and RenderRecordSet: the records of a render world's objects, findable by object slot.
//
//   RenderRecordSet meshes(allocator);
//   meshes.add(record, scene_graph, node);    // record.slot names the object
//   meshes.set_visible(slot, false);
//   meshes.remove(slot);                      // swap-remove; the moved record's slot entry follows
//
// Render thread only.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"

namespace tallow {

class RenderSceneGraph;

/// Kind bits of a record.
constexpr u32 render_record_visible = 1u << 0;
constexpr u32 render_record_in_frustum = 1u << 1; // set by culling, or from the start for always-drawn records
constexpr u32 render_record_culled = render_record_visible;                              // kind 1
constexpr u32 render_record_always_drawn = render_record_visible | render_record_in_frustum; // kind 3

struct alignas(16) RenderRecord {
    Matrix4x4 world;
    f32 box_min[3];
    u32 spare0;
    f32 box_max[3];
    u32 spare1;
    u32 class_id; // RenderObjectClass of the object
    u32 slot;     // the object's slot in its RenderWorld
    u32 kind;     // render_record_* bits
    u32 spare2;
};
static_assert(sizeof(RenderRecord) == 112 && alignof(RenderRecord) == 16);

class RenderRecordSet {
  public:
    /// The scene-graph node a record follows (null graph for records placed by hand).
    struct Node {
        const RenderSceneGraph *graph;
        u32 node;
    };

    explicit RenderRecordSet(Allocator &allocator);

    /// Adds `record` for the object in slot `record.slot`; false when memory runs out or
    /// the slot already has a record in this set (logged).
    bool add(const RenderRecord &record, const RenderSceneGraph *graph, u32 node);
    /// Removes the slot's record (the last record moves into its place); false when the
    /// slot has none.
    bool remove(u32 slot);
    /// Sets or clears the visible bit of the slot's record; false when it has none.
    bool set_visible(u32 slot, bool visible);
    /// The slot's record, or null.
    RenderRecord *find(u32 slot);

    u32 count() const { return _records.size(); }
    RenderRecord *records() { return _records.data(); }
    const Node *nodes() const { return _nodes.data(); }

    /// Checks that the slot map and the records agree; for tests and debug builds.
    bool validate() const;

  private:
    Array<RenderRecord> _records;
    Array<Node> _nodes;           // parallel to _records
    Array<u32> _index_of_slot;    // record index by object slot, 0xFFFFFFFF for none
};

} // namespace tallow
