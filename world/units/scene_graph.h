#pragma once
// The node hierarchy of one unit: local and world matrices, parents, names, and the mask
// of nodes changed since the last world update.
//
//   SceneGraph graph(allocator, 3);              // node 0 is the root
//   graph.set_parent(1, 0); graph.set_parent(2, 1);
//   graph.set_local_pose(0, spawn_pose);        // flags node 0
//   NodeChangeMask changed;
//   graph.update_world(&changed);               // nodes 0, 1 and 2 recomputed and flagged
//   graph.collect_changes(stream, changed);     // one change record for the render side
//
// Matrices are row vectors: a node's world matrix is its local matrix times its parent's
// world matrix. Every parent has a smaller index than its children, so one pass in index
// order brings the whole graph up to date. A root's parent is scene_graph_root; a root that
// follows a node of another unit's graph (link_root) has scene_graph_linked_root and takes
// its parent matrix from copy_parent_world.
//
// Limits: at most max_scene_graph_nodes (504) nodes, so every node has a change bit.
// Threads: a graph belongs to its World; its update job touches only its own graph, and
// copy_parent_world reads the parent graph, which the World has updated first.

#include "foundation/math/matrix4x4.h"
#include "foundation/memory/allocator.h"
#include "foundation/strings/name_id.h"
#include "render/world/node_change_mask.h"

namespace tallow {

class RenderStateStream;
class SceneGraph;

constexpr u32 scene_graph_root = 0xFFFFFFFF;        // parent index of a root
constexpr u32 scene_graph_linked_root = 0xFFFFFFFE; // parent index of a root linked under another graph
constexpr u32 scene_graph_no_node = 0xFFFFFFFF;     // find_node's "absent"

/// A node of some graph; `index` is scene_graph_no_node when the node does not exist.
struct NodeRef {
    SceneGraph *graph = nullptr;
    u32 index = scene_graph_no_node;

    bool is_valid() const { return graph && index != scene_graph_no_node; }
};
inline NodeRef make_node_ref(SceneGraph *graph, u32 index) { return {graph, index}; }

class SceneGraph {
  public:
    /// A graph of `node_count` roots with identity poses and no names. `allocator` holds
    /// the node arrays and must outlive the graph. Refused counts leave 0 nodes (see reset).
    explicit SceneGraph(Allocator &allocator, u32 node_count = 0);
    ~SceneGraph();
    SceneGraph(const SceneGraph &) = delete;
    SceneGraph &operator=(const SceneGraph &) = delete;

    /// Frees the node arrays and makes `node_count` roots with identity poses, no names
    /// and a clear change mask. False, leaving 0 nodes, when the count is above
    /// max_scene_graph_nodes or the memory cannot be had (both logged).
    [[nodiscard]] bool reset(u32 node_count);
    /// Takes the other graph's render handle and its nodes (matrices, parents, names).
    /// The parent link and change mask are not copied. False as reset fails.
    [[nodiscard]] bool copy(const SceneGraph &other);

    u32 node_count() const { return _node_count; }
    /// Handle of the unit's RenderSceneGraph; 0xFFFFFFFF until the render world sets it.
    u32 render_handle() const { return _render_handle; }
    u32 &render_handle_field() { return _render_handle; }

    /// Stores the node's local matrix and flags the node as changed.
    void set_local_pose(u32 node, const Matrix4x4 &local);
    const Matrix4x4 &local_pose(u32 node) const { return _local[node]; }
    const Matrix4x4 &world_pose(u32 node) const { return _world[node]; }
    /// Sets a world matrix outright (for the unit builder and physics-driven nodes); the
    /// next update overwrites it for every node it recomputes.
    void set_world_pose(u32 node, const Matrix4x4 &world);
    const Matrix4x4 *local_matrices() const { return _local; }
    const Matrix4x4 *world_matrices() const { return _world; }

    /// Parent index, scene_graph_root or scene_graph_linked_root.
    u32 parent(u32 node) const { return _parents[node]; }
    /// Sets the parent while building a graph. False when `parent` is not scene_graph_root
    /// and not a smaller index than `node`.
    [[nodiscard]] bool set_parent(u32 node, u32 parent);
    NameId32 node_name(u32 node) const { return _names[node]; }
    void set_node_name(u32 node, NameId32 name) { _names[node] = name; }

    /// Index of the first node named `name`, or scene_graph_no_node.
    u32 find_node(NameId32 name) const;
    /// The named node of this graph; index scene_graph_no_node when absent.
    NodeRef node_ref(NameId32 name) { return make_node_ref(this, find_node(name)); }

    /// Nodes changed since the last update (set_local_pose, link and the update itself).
    const NodeChangeMask &change_mask() const { return _changes; }
    /// Flags `node` as changed.
    void mark_changed(u32 node) { _changes.set(node); }

    /// Places root 0 under `parent` (a node of another graph): the root's local matrix
    /// becomes the identity, its parent scene_graph_linked_root, and it takes the parent
    /// node's world matrix at once. False for an invalid or out-of-range reference or a
    /// link to this graph itself.
    [[nodiscard]] bool link_root(NodeRef parent);
    /// Frees root 0 from its parent link, leaving it where it is (its local matrix becomes
    /// its current world matrix). Does nothing when the root is not linked.
    void unlink_root();
    /// The node the root follows (invalid when not linked).
    NodeRef parent_link() const { return _parent_link; }
    const Matrix4x4 &parent_matrix() const { return _parent_matrix; }
    /// When linked, copies the parent node's current world matrix into the parent matrix.
    void copy_parent_world();

    /// Brings every changed node and its descendants up to date, then moves the change
    /// mask into `out_mask` (when given) and clears it.
    void update_world(NodeChangeMask *out_mask = nullptr);
    /// Multiplies every world matrix by `m` (world x m), and the local matrix of every
    /// unlinked root too: places a freshly copied graph at its spawn pose.
    void transform_all(const Matrix4x4 &m);

    /// Re-parents `node` under `new_parent` (an index or scene_graph_root) of this graph,
    /// keeping the node's pose relative to the graph's root, and flags it. False, with
    /// nothing changed, when an index is out of range, the new parent's index is not
    /// smaller than the node's (the one-pass update needs parents first; this also rules
    /// out cycles), the node is the linked root, or the new parent's pose cannot be inverted.
    [[nodiscard]] bool link(u32 node, u32 new_parent);

    /// Appends one change record holding the current world matrix of every node flagged
    /// in `mask` (ascending, below the node count); a record with no entries when none is.
    /// False when the stream cannot grow.
    bool collect_changes(RenderStateStream &stream, const NodeChangeMask &mask) const;

    /// Nodes changed by the World's frame updates since this graph's last change record:
    /// the World adds each update's mask here, and its reflection writes one record for
    /// them and clears the mask (write_change_record). A graph with nothing unreflected
    /// gets no record.
    const NodeChangeMask &unreflected() const { return _unreflected; }
    void add_unreflected(const NodeChangeMask &mask) { _unreflected.merge(mask); }
    /// Stream bytes (RenderStateStream::reserve) of the change record write_change_record
    /// writes: a record header, the change header and one entry per unreflected node.
    u32 change_record_bytes() const;
    /// Places the change record of the unreflected nodes at `at` (change_record_bytes of
    /// reserved room), laid out as collect_changes lays it out, clears the unreflected mask
    /// and returns the bytes written.
    u32 write_change_record(u8 *at);

    /// Checks the invariants (parents before children, linked root only at node 0 and only
    /// with a link); for tests and debug builds.
    bool validate() const;

  private:
    friend void update_world_transforms(SceneGraph &graph, NodeChangeMask *out_mask);

    void free_nodes();
    /// local x local of the parent x ... up to and including the root.
    Matrix4x4 pose_in_root(u32 node) const;

    Allocator *_allocator;
    u32 _render_handle = 0xFFFFFFFF;
    u32 _node_count = 0;
    NodeChangeMask _unreflected; // read with the handle and count by the reflection
    NodeRef _parent_link;
    Matrix4x4 _parent_matrix = matrix4x4_identity;
    NodeChangeMask _changes;
    Matrix4x4 *_local = nullptr;
    Matrix4x4 *_world = nullptr;
    u32 *_parents = nullptr;
    NameId32 *_names = nullptr;
};

/// One pass over `graph` in index order: a linked root always recomputes from the parent
/// matrix, and is flagged when it was or its matrix changed; any other node recomputes
/// when it or its parent is flagged, and is then flagged itself so its children follow. At the end the graph's mask is moved into `out_mask`
/// (when given) and cleared. Allocates nothing; touches only `graph`.
void update_world_transforms(SceneGraph &graph, NodeChangeMask *out_mask);

} // namespace tallow
