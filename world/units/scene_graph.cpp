#include "world/units/scene_graph.h"

#include "foundation/log.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_state_stream.h"

#include <bit>
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
    _unreflected.clear();
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
            // linked root always recomputes. It is flagged (so that its children follow and
            // the render side hears of it) when it was flagged already or its matrix is not
            // bit for bit the one it had: a unit resting on a resting parent costs one
            // product and sends nothing.
            const Matrix4x4 moved = local[i] * graph._parent_matrix;
            if (!(bits[i >> 3] & bit) && memcmp(&moved, &world[i], sizeof moved) == 0)
                continue;
            world[i] = moved;
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

namespace {

u32 count_bits(u64 v)
{
    // Without a popcount instruction in the baseline target, std::popcount is a call.
    v = v - ((v >> 1) & 0x5555555555555555ull);
    v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return u32((v * 0x0101010101010101ull) >> 56);
}

/// Flagged nodes below `node_count` (at most max_scene_graph_nodes, so the "any" byte is
/// never counted).
u32 count_flagged(const NodeChangeMask &mask, u32 node_count)
{
    static_assert(std::endian::native == std::endian::little, "node n is bit n of the mask's words");
    if (!mask.any())
        return 0;
    u32 count = 0;
    for (u32 w = 0; w * 64 < node_count; ++w) {
        u64 bits;
        memcpy(&bits, mask.bytes + w * 8, sizeof bits);
        const u32 left = node_count - w * 64;
        if (left < 64)
            bits &= (u64(1) << left) - 1;
        count += count_bits(bits);
    }
    return count;
}

u32 change_payload_bytes(u32 count)
{
    return u32(sizeof(SceneGraphChangeHeader)) + count * u32(sizeof(SceneGraphChangeEntry));
}

/// The change payload of the `count` nodes flagged in `mask` below `node_count`.
void write_change_payload(u8 *payload, u32 render_handle, const Matrix4x4 *world, const NodeChangeMask &mask,
                          u32 node_count, u32 count)
{
    SceneGraphChangeHeader header = {u32(RenderObjectClass::SceneGraph), render_handle, count,
                                     u32(sizeof(SceneGraphChangeHeader))};
    memcpy(payload, &header, sizeof header);
    u8 *at = payload + sizeof header;
    // Whole bytes of flags at a time; bits at or past the node count are never flagged
    // by an update, and are skipped when a caller's mask has them.
    for (u32 b = 0, left = count; left > 0 && b < NodeChangeMask::any_byte; ++b) {
        for (u32 bits = mask.bytes[b]; bits != 0; bits &= bits - 1) {
            const u32 i = b * 8 + u32(std::countr_zero(bits));
            if (i >= node_count)
                return;
            memcpy(at, &world[i], sizeof(Matrix4x4));
            memcpy(at + sizeof(Matrix4x4), &i, sizeof i);
            at += sizeof(SceneGraphChangeEntry);
            if (--left == 0)
                return;
        }
    }
}

} // namespace

bool SceneGraph::collect_changes(RenderStateStream &stream, const NodeChangeMask &mask) const
{
    const u32 count = count_flagged(mask, _node_count);
    u8 *payload = static_cast<u8 *>(stream.append(scene_graph_change_kind, change_payload_bytes(count)));
    if (!payload)
        return false;
    write_change_payload(payload, _render_handle, _world, mask, _node_count, count);
    return true;
}

u32 SceneGraph::change_record_bytes() const
{
    return RenderStateStream::record_bytes(change_payload_bytes(count_flagged(_unreflected, _node_count)));
}

u32 SceneGraph::write_change_record(u8 *at)
{
    const u32 count = count_flagged(_unreflected, _node_count);
    const u32 payload_bytes = change_payload_bytes(count);
    u8 *payload = RenderStateStream::place_record(at, scene_graph_change_kind, payload_bytes);
    write_change_payload(payload, _render_handle, _world, _unreflected, _node_count, count);
    if (_unreflected.any()) // leaves the line of an unchanged graph unwritten
        _unreflected.clear();
    return RenderStateStream::record_bytes(payload_bytes);
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
