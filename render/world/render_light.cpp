#include "render/world/render_light.h"

#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "render/world/render_record.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"

#include <cmath>
#include <cstring>

namespace tallow {

bool light_bounds(const LightBlock &b, f32 out_min[3], f32 out_max[3])
{
    const f32 end = b.falloff_end;
    if (b.type == light_omni) {
        for (int i = 0; i < 3; ++i) {
            out_min[i] = -end;
            out_max[i] = end;
        }
        return true;
    }
    if (b.type == light_spot) {
        const f32 h = std::tan(b.spot_angle * 0.5f) * end;
        out_min[0] = -h;
        out_min[1] = 0;
        out_min[2] = -h;
        out_max[0] = h;
        out_max[1] = end;
        out_max[2] = h;
        return true;
    }
    if (b.type == light_directional) {
        for (int i = 0; i < 3; ++i) {
            out_min[i] = -light_unbounded_extent;
            out_max[i] = light_unbounded_extent;
        }
        return true;
    }
    return false;
}

u32 light_record_kind(const LightBlock &block)
{
    return block.type == light_directional ? render_record_always_drawn : render_record_culled;
}

RenderLight::RenderLight(const LightBlock &block, u32 scene_graph, u32 node)
    : RenderObject(RenderObjectClass::Light), _graph_handle(scene_graph), _node(node), _block(block)
{
}

Matrix4x4 RenderLight::world() const
{
    const Matrix4x4 *m = node_world(_graph, _node);
    return m ? *m : matrix4x4_identity;
}

void RenderLight::on_create(const RenderWorld &world, RenderRecordSet &lights, u32 slot)
{
    _graph = scene_graph_of(world, _graph_handle);
    RenderRecord record{};
    record.world = this->world();
    light_bounds(_block, record.box_min, record.box_max);
    record.class_id = class_id();
    record.slot = slot;
    record.kind = light_record_kind(_block);
    lights.add(record, _graph, _node);
}

void RenderLight::apply(u32 kind, const u8 *payload, u32 payload_bytes, RenderRecordSet &lights, u32 slot)
{
    if (kind != 0)
        return;
    LightUpdateRecord r;
    if (payload_bytes < sizeof r) {
        log_message("render", "light record of %u bytes is too short; dropped", payload_bytes);
        return;
    }
    memcpy(&r, payload, sizeof r);
    // Any change of shape recomputes the bounds, a change of type included: a spot light
    // turned omni must not keep a cone's box.
    if (r.block.type != _block.type || r.block.falloff_end != _block.falloff_end ||
        r.block.spot_angle != _block.spot_angle) {
        RenderRecord *record = lights.find(slot);
        if (record) {
            light_bounds(r.block, record->box_min, record->box_max);
            // Keeps a hidden record hidden; only the culling bit follows the type.
            if (record->kind & render_record_visible)
                record->kind = light_record_kind(r.block);
        }
    }
    _block = r.block;
}

// --- Game side ----------------------------------------------------------------------------------

u32 Light::create(RenderWorld &world, WorldRenderLink &link, u32 scene_graph_handle)
{
    if (_handle != 0xFFFFFFFFu)
        return _handle;
    RenderLight *light = make_new<RenderLight>(world.allocator(), _block, scene_graph_handle, _node);
    if (!light) {
        log_message("render", "no memory for a RenderLight");
        return _handle;
    }
    world.create_object(link, _handle, light);
    if (_handle != 0xFFFFFFFFu)
        _link = &link;
    return _handle;
}

void Light::destroy(RenderWorld &world, WorldRenderLink &link)
{
    world.destroy_object(link, _handle);
    _link = nullptr;
}

void Light::set_properties(const LightBlock &block)
{
    _block = block;
    send_update();
}

void Light::set_falloff_start(f32 start)
{
    _block.falloff_start = start;
    send_update();
}

void Light::set_falloff_end(f32 end)
{
    _block.falloff_end = end;
    send_update();
}

void Light::set_color(f32 r, f32 g, f32 b)
{
    _block.color[0] = r;
    _block.color[1] = g;
    _block.color[2] = b;
    send_update();
}

void Light::set_spot_angle(f32 radians)
{
    _block.spot_angle = radians;
    send_update();
}

void Light::set_type(u32 type)
{
    _block.type = type;
    send_update();
}

void Light::send_update()
{
    if (!_link || _handle == 0xFFFFFFFFu || !_link->state())
        return;
    LightUpdateRecord record;
    record.handle = _handle;
    record.block = _block;
    if (!_link->state()->update_stream(0).write(0, record))
        log_message("render", "no room for the properties record of light %u", _handle);
}

} // namespace tallow
