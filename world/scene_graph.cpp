#include "world/scene_graph.h"

#include "foundation/log.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_state_stream.h"

#include <cstring>

namespace tallow {

SceneGraph::SceneGraph(Allocator &allocator, u32 node_count) : _allocator(&allocator)
{
    if (node_count)
        (void)reset(node_count);
}

SceneGraph::~SceneGraph() { free_nodes(); }

void SceneGraph::free_nodes()
{
    // The four arrays share one block that starts with the local matrices.
    _allocator->deallocate(_local);
    _local = _world = nullptr;
    _parents = nullptr;
    _names = nullptr;
    _node_count = 0;
}

bool SceneGraph::reset(u32 node_count)
{
    free_nodes();
    _changes.clear();
    if (node_count > max_scene_graph_nodes) {
        log_message("world", "scene graph of %u nodes refused (at most %u: one change bit per node)", node_count,
                    max_scene_graph_nodes);
        return false;
    }
    if (node_count == 0)
        return true;
    u64 matrices = u64(node_count) * sizeof(Matrix4x4);
    u64 bytes = 2 * matrices + u64(node_count) * (sizeof(u32) + sizeof(NameId32));
    u8 *block = static_cast<u8 *>(_allocator->allocate(bytes, 16));
    if (!block) {
        log_message("world", "scene graph: no memory for %u nodes", node_count);
        return false;
    }
    _local = reinterpret_cast<Matrix4x4 *>(block);
    _world = reinterpret_cast<Matrix4x4 *>(block + matrices);
    _parents = reinterpret_cast<u32 *>(block + 2 * matrices);
    _names = reinterpret_cast<NameId32 *>(block + 2 * matrices + node_count * sizeof(u32));
    for (u32 i = 0; i < node_count; ++i) {
        _local[i] = matrix4x4_identity;
        _world[i] = matrix4x4_identity;
        _parents[i] = scene_graph_root;
        _names[i] = NameId32();
    }
    _node_count = node_count;
    return true;
}

bool SceneGraph::copy(const SceneGraph &other)
{
    if (&other == this)
        return true;
    _render_handle = other._render_handle;
    if (!reset(other._node_count))
        return false;
    u32 n = _node_count;
    if (n) {
        memcpy(_local, other._local, n * sizeof(Matrix4x4));
        memcpy(_world, other._world, n * sizeof(Matrix4x4));
        memcpy(_parents, other._parents, n * sizeof(u32));
        memcpy(static_cast<void *>(_names), other._names, n * sizeof(NameId32));
    }
    return true;
}

void SceneGraph::set_local_pose(u32 node, const Matrix4x4 &local)
{
    TALLOW_ASSERT(node < _node_count, "scene graph node out of range");
    if (node >= _node_count)
        return;
    _local[node] = local;
    _changes.set(node);
}

void SceneGraph::set_world_pose(u32 node, const Matrix4x4 &world)
{
    TALLOW_ASSERT(node < _node_count, "scene graph node out of range");
    if (node < _node_count)
        _world[node] = world;
}

bool SceneGraph::set_parent(u32 node, u32 parent)
{
    if (node >= _node_count || (parent != scene_graph_root && parent >= node))
        return false;
    _parents[node] = parent;
    return true;
}

u32 SceneGraph::find_node(NameId32 name) const
{
    for (u32 i = 0; i < _node_count; ++i)
        if (_names[i] == name)
            return i;
    return scene_graph_no_node;
}

bool SceneGraph::link_root(NodeRef parent)
{
    if (_node_count == 0 || !parent.graph || parent.graph == this || parent.index >= parent.graph->_node_count)
        return false;
    _local[0] = matrix4x4_identity;
    _changes.set(0);
    _parent_link = parent;
    _parents[0] = scene_graph_linked_root;
    copy_parent_world();
    return true;
}

void SceneGraph::unlink_root()
{
    if (_node_count == 0 || _parents[0] != scene_graph_linked_root)
        return;
    _parents[0] = scene_graph_root;
    _local[0] = _world[0];
    _changes.set(0);
    _parent_link = NodeRef();
    _parent_matrix = matrix4x4_identity;
}

void SceneGraph::copy_parent_world()
{
    if (_parent_link.is_valid() && _parent_link.index < _parent_link.graph->_node_count)
        _parent_matrix = _parent_link.graph->_world[_parent_link.index];
}

void update_world_transforms(SceneGraph &graph, NodeChangeMask *out_mask)
{
    // Node counts stay within max_scene_graph_nodes, so the bits are read and written
    // directly; the "any changed" byte is set once at the end when a node was flagged.
    u8 *bits = graph._changes.bytes;
    const Matrix4x4 *local = graph._local;
    Matrix4x4 *world = graph._world;
    const u32 *parents = graph._parents;
    bool any = false;
    for (u32 i = 0; i < graph._node_count; ++i) {
        u32 parent = parents[i];
        u8 bit = u8(1u << (i & 7));
        if (parent == scene_graph_linked_root) {
            // The parent graph may have moved without this graph hearing of it, so a
            // linked root always recomputes, and is flagged so that its children follow
            // and the render side hears of it.
            world[i] = local[i] * graph._parent_matrix;
            bits[i >> 3] |= bit;
            any = true;
            continue;
        }
        bool changed = bits[i >> 3] & bit;
        if (!changed) {
            if (parent == scene_graph_root || !((bits[parent >> 3] >> (parent & 7)) & 1))
                continue;
            bits[i >> 3] |= bit;
        }
        any = true;
        world[i] = parent == scene_graph_root ? local[i] : local[i] * world[parent];
    }
    if (any)
        bits[NodeChangeMask::any_byte] = 1;
    if (out_mask)
        *out_mask = graph._changes;
    graph._changes.clear();
}

void SceneGraph::update_world(NodeChangeMask *out_mask) { update_world_transforms(*this, out_mask); }

void SceneGraph::transform_all(const Matrix4x4 &m)
{
    for (u32 i = 0; i < _node_count; ++i) {
        _world[i] = _world[i] * m;
        if (_parents[i] == scene_graph_root)
            _local[i] = _local[i] * m;
    }
}

Matrix4x4 SceneGraph::pose_in_root(u32 node) const
{
    Matrix4x4 pose = _local[node];
    for (u32 at = _parents[node]; at < _node_count; at = _parents[at])
        pose = pose * _local[at];
    return pose;
}

bool SceneGraph::link(u32 node, u32 new_parent)
{
    if (node >= _node_count || (new_parent != scene_graph_root && new_parent >= node)) {
        log_message("world", "scene graph link of node %u under %d refused (%u nodes; a parent must come before its child)",
                    node, new_parent == scene_graph_root ? -1 : int(new_parent), _node_count);
        return false;
    }
    if (_parents[node] == scene_graph_linked_root) {
        log_message("world", "scene graph link of node %u refused: it follows another unit (unlink the unit first)", node);
        return false;
    }
    Matrix4x4 pose = pose_in_root(node);
    Matrix4x4 parent_inverse = matrix4x4_identity;
    if (new_parent != scene_graph_root && !matrix4x4_inverse(pose_in_root(new_parent), parent_inverse)) {
        log_message("world", "scene graph link of node %u refused: node %u has a singular pose", node, new_parent);
        return false;
    }
    _local[node] = pose * parent_inverse;
    _parents[node] = new_parent;
    _changes.set(node);
    return true;
}

bool SceneGraph::collect_changes(RenderStateStream &stream, const NodeChangeMask &mask) const
{
    u32 count = 0;
    if (mask.any())
        for (u32 i = 0; i < _node_count; ++i)
            count += mask.test(i);
    u32 entries_bytes = count * u32(sizeof(SceneGraphChangeEntry));
    u8 *payload = static_cast<u8 *>(
        stream.append(scene_graph_change_kind, u32(sizeof(SceneGraphChangeHeader)) + entries_bytes));
    if (!payload)
        return false;
    SceneGraphChangeHeader header = {u32(RenderObjectClass::SceneGraph), _render_handle, count,
                                     u32(sizeof(SceneGraphChangeHeader))};
    memcpy(payload, &header, sizeof header);
    u8 *at = payload + sizeof header;
    for (u32 i = 0; count && i < _node_count; ++i) {
        if (!mask.test(i))
            continue;
        SceneGraphChangeEntry entry = {_world[i], i};
        memcpy(at, &entry, sizeof entry);
        at += sizeof entry;
    }
    return true;
}

bool SceneGraph::validate() const
{
    for (u32 i = 0; i < _node_count; ++i) {
        u32 parent = _parents[i];
        if (parent == scene_graph_linked_root) {
            if (i != 0 || !_parent_link.is_valid())
                return false;
        } else if (parent != scene_graph_root && parent >= i) {
            return false;
        }
    }
    return true;
}

} // namespace tallow
