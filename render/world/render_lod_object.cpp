#include "render/world/render_lod_object.h"

#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "render/math/camera_math.h"
#include "render/world/render_mesh_object.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"

#include <cstring>

namespace tallow {

f32 lod_projected_size(const Matrix4x4 &m, const f32 box_min[3], const f32 box_max[3])
{
    const f32 corners[4][3] = {
        {box_min[0], box_min[1], 0}, {box_max[0], box_min[1], 0}, {box_min[0], box_max[1], 0}, {box_max[0], box_max[1], 0}};
    f32 lowest = 0, highest = 0;
    for (int i = 0; i < 4; ++i) {
        f32 clip[4];
        transform_point4(m, corners[i], clip);
        // Dividing by a w at or behind the eye flips or explodes the point; such a corner
        // is as close as it gets, so the object counts as filling the screen.
        if (!(clip[3] > 0.0001f))
            return 1.0f;
        const f32 x = clip[0] / (clip[3] + 0.0001f);
        const f32 y = clip[1] / (clip[3] + 0.0001f);
        if (i == 0) {
            lowest = highest = x;
        }
        lowest = x < lowest ? x : lowest;
        highest = x > highest ? x : highest;
        lowest = y < lowest ? y : lowest;
        highest = y > highest ? y : highest;
    }
    const f32 size = (highest - lowest) * 0.5f;
    return size >= 1.0f ? 1.0f : size;
}

RenderLODObject::RenderLODObject(Allocator &allocator, const LodObjectDesc &d)
    : RenderObject(RenderObjectClass::LODObject), _graph_handle(d.scene_graph), _node(d.node), _mask(d.mask),
      _steps(allocator), _meshes(allocator)
{
    memcpy(_box_min, d.box_min, sizeof _box_min);
    memcpy(_box_max, d.box_max, sizeof _box_max);
    for (u32 i = 0; i < d.step_count; ++i) {
        const LodStepDesc &s = d.steps[i];
        Step step{s.upper, s.lower, _meshes.size(), 0};
        for (u32 k = 0; k < s.mesh_count; ++k)
            if (_meshes.push_back(s.meshes[k]))
                ++step.count;
        _steps.push_back(step);
    }
}

Matrix4x4 RenderLODObject::world() const
{
    const Matrix4x4 *m = node_world(_graph, _node);
    return m ? *m : matrix4x4_identity;
}

void RenderLODObject::on_create(RenderWorld &world, u32 slot)
{
    _graph = scene_graph_of(world, _graph_handle);
    RenderRecord record{};
    record.world = this->world();
    memcpy(record.box_min, _box_min, sizeof _box_min);
    memcpy(record.box_max, _box_max, sizeof _box_max);
    record.class_id = class_id();
    record.slot = slot;
    record.kind = (_mask & mesh_mask::unculled) ? render_record_always_drawn : render_record_culled;
    if (_mask & mesh_mask::main_set)
        world.flag1_set().add(record, _graph, _node);
    if (_mask & mesh_mask::second_set)
        world.flag2_set().add(record, _graph, _node);
}

void RenderLODObject::on_destroy(RenderWorld &world, u32 slot)
{
    world.flag1_set().remove(slot);
    world.flag2_set().remove(slot);
}

void RenderLODObject::apply_visibility(RenderWorld &world, u32 slot, u32 mask, bool visible)
{
    if (mask & mesh_mask::main_set)
        world.flag1_set().set_visible(slot, visible);
    if (mask & mesh_mask::second_set)
        world.flag2_set().set_visible(slot, visible);
}

i32 RenderLODObject::step_for(f32 size) const
{
    for (u32 i = 0; i < _steps.size(); ++i)
        if (_steps[i].lower < size && size <= _steps[i].upper)
            return i32(i);
    return -1;
}

void RenderLODObject::select_lod(const RenderWorld &world, const Matrix4x4 &view_projection,
                                 Array<RenderMeshObject *> &out) const
{
    const i32 step = step_for(lod_projected_size(this->world() * view_projection, _box_min, _box_max));
    if (step < 0)
        return;
    const Step &s = _steps[u32(step)];
    for (u32 k = 0; k < s.count; ++k) {
        RenderObject *o = world.object(_meshes[s.first + k]);
        if (o && o->class_id() == u32(RenderObjectClass::MeshObject))
            out.push_back(static_cast<RenderMeshObject *>(o));
    }
}

// --- Game side ----------------------------------------------------------------------------------

u32 LodObject::create(RenderWorld &world, WorldRenderLink &link, const LodObjectDesc &desc)
{
    if (_handle != 0xFFFFFFFFu)
        return _handle;
    RenderLODObject *o = make_new<RenderLODObject>(world.allocator(), world.allocator(), desc);
    if (!o) {
        log_message("render", "no memory for a RenderLODObject");
        return _handle;
    }
    world.create_object(link, _handle, o);
    _mask = desc.mask;
    _link = &link;
    return _handle;
}

void LodObject::destroy(RenderWorld &world, WorldRenderLink &link)
{
    world.destroy_object(link, _handle);
    _link = nullptr;
}

void LodObject::set_visible(bool visible)
{
    if (!_link || _handle == 0xFFFFFFFFu || !_link->state())
        return;
    VisibilityRecord r{u32(RenderObjectClass::LODObject), _handle, _mask, u8(visible ? 1 : 0), {}};
    if (!_link->state()->update_stream(0).write(0, r))
        log_message("render", "no room for the visibility record of LOD object %u", _handle);
}

} // namespace tallow
