#pragma once
// The render thread's copy of one unit's node world matrices, kept up to date by the
// change records its game-side SceneGraph writes (SceneGraph::collect_changes).
//
//   // render thread, applying a class-1 record of an update stream:
//   scene_graph->update_from(record.payload, record.payload_bytes, world.state_frame());
//   const Matrix4x4 &pose = scene_graph->world(node);   // meshes, lights, cameras read it
//   if (scene_graph->changes(world.state_frame()).test(node)) ... // changed this frame
//
// Change record payload (kind 0, written only for a unit whose nodes changed):
// SceneGraphChangeHeader, then at `entries_offset` from the payload start `count`
// SceneGraphChangeEntry of 68 bytes. The payload is only 4-aligned, so both are read with
// memcpy. A graph that gets no record in a frame did not change in it: its change mask is
// kept with the frame it belongs to, so nobody has to clear it.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "render/world/node_change_mask.h"
#include "render/world/render_object.h"

namespace tallow {

struct SceneGraphChangeHeader {
    u32 class_id;       // RenderObjectClass::SceneGraph
    u32 render_handle;  // the RenderSceneGraph's handle
    u32 count;          // changed nodes that follow
    u32 entries_offset; // from the payload start; 16 as written
};
static_assert(sizeof(SceneGraphChangeHeader) == 16);

struct SceneGraphChangeEntry {
    Matrix4x4 world;
    u32 node;
};
static_assert(sizeof(SceneGraphChangeEntry) == 68);

/// Record kind of a change record.
constexpr u32 scene_graph_change_kind = 0;

class RenderSceneGraph final : public RenderObject {
  public:
    /// Copies `node_count` world matrices and flags every node as changed (in frame 0,
    /// until mark_created). Made on the game side; the matrices come from `allocator` (the
    /// RenderWorld's). When they cannot be allocated the graph has no nodes (logged).
    RenderSceneGraph(Allocator &allocator, const Matrix4x4 *world_matrices, u32 node_count);

    /// Every node counts as changed in `frame`, the one whose create record made the graph.
    /// Render thread.
    void mark_created(u64 frame) { _changes_frame = frame; }
    /// Stores each entry's matrix at its node and flags the node as changed in `frame`; the
    /// first record of a frame starts from an empty mask, later ones of the same frame add
    /// to it. False for a payload whose header or entries do not fit in `payload_bytes`
    /// (nothing is applied); an entry for a node the graph does not have is skipped and
    /// logged. Render thread.
    bool update_from(const u8 *payload, u32 payload_bytes, u64 frame);

    u32 node_count() const { return _world.size(); }
    /// The node's world matrix; `node` < node_count().
    const Matrix4x4 &world(u32 node) const { return _world[node]; }
    const Matrix4x4 *world_matrices() const { return _world.data(); }
    /// The nodes changed in state frame `frame` (RenderWorld::state_frame): every node in
    /// the frame that created the graph, none in a frame that brought it no record.
    const NodeChangeMask &changes(u64 frame) const { return frame == _changes_frame ? _changes : _unchanged; }

  private:
    static const NodeChangeMask _unchanged;

    Array<Matrix4x4> _world;
    NodeChangeMask _changes; // of _changes_frame
    u64 _changes_frame = 0;
};

/// The node's world matrix, or null when there is no graph or it lacks the node.
inline const Matrix4x4 *node_world(const RenderSceneGraph *graph, u32 node)
{
    return graph && node < graph->node_count() ? &graph->world(node) : nullptr;
}

} // namespace tallow
