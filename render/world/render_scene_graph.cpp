#include "render/world/render_scene_graph.h"

#include "foundation/log.h"

namespace tallow {

const NodeChangeMask RenderSceneGraph::_unchanged{};

RenderSceneGraph::RenderSceneGraph(Allocator &allocator, const Matrix4x4 *world_matrices, u32 node_count)
    : RenderObject(RenderObjectClass::SceneGraph), _world(allocator)
{
    _world.resize(node_count);
    if (_world.size() != node_count) {
        log_message("render", "RenderSceneGraph: no memory for %u nodes", node_count);
        return;
    }
    if (node_count)
        memcpy(_world.data(), world_matrices, u64(node_count) * sizeof(Matrix4x4));
    for (u32 i = 0; i < node_count; ++i)
        _changes.set(i);
}

bool RenderSceneGraph::update_from(const u8 *payload, u32 payload_bytes, u64 frame)
{
    SceneGraphChangeHeader header;
    if (payload_bytes < sizeof header) {
        log_message("render", "scene graph change record of %u bytes is shorter than its header", payload_bytes);
        return false;
    }
    memcpy(&header, payload, sizeof header);
    u64 end = u64(header.entries_offset) + u64(header.count) * sizeof(SceneGraphChangeEntry);
    if (header.entries_offset < sizeof header || header.entries_offset % 4 != 0 || end > payload_bytes) {
        log_message("render", "scene graph change record: %u entries at offset %u do not fit in %u bytes", header.count,
                    header.entries_offset, payload_bytes);
        return false;
    }
    if (_changes_frame != frame) {
        _changes.clear();
        _changes_frame = frame;
    }
    u32 skipped = 0;
    const u8 *at = payload + header.entries_offset;
    for (u32 i = 0; i < header.count; ++i, at += sizeof(SceneGraphChangeEntry)) {
        SceneGraphChangeEntry entry;
        memcpy(&entry, at, sizeof entry);
        if (entry.node >= _world.size()) {
            ++skipped;
            continue;
        }
        _world[entry.node] = entry.world;
        _changes.set(entry.node);
    }
    if (skipped)
        log_message("render", "scene graph %u: %u change entries name nodes it does not have (%u nodes); skipped",
                    header.render_handle, skipped, _world.size());
    return true;
}

} // namespace tallow
