#include "render/gui/render_gui.h"

#include "foundation/log.h"
#include "render/commands/render_context.h"
#include "render/materials/material_resource.h"
#include "render/resources/render_resource_context.h"

#include <cmath>
#include <cstring>

namespace tallow {

f32 gui_order_value(i32 layer, bool screen)
{
    // Layers past 1000 would make the value negative, which the depth key cannot hold.
    i32 clamped = layer < 0 ? 0 : (layer > i32(max_gui_layer) ? i32(max_gui_layer) : layer);
    f32 value = f32(i32(max_gui_layer) - clamped) * 0.001f;
    return (screen ? value : value + 1.0f) * 0.1f;
}

RenderGui::RenderGui(Allocator &allocator, const GuiSettings &settings)
    : RenderObject(RenderObjectClass::Gui), _allocator(allocator), _settings(settings), _batches(allocator),
      _new_batches(allocator), _batch_of(allocator), _primitives(allocator), _materials(allocator), _shader(allocator)
{
    VertexChannel *c = _declaration.channels;
    c[0].semantic = vertex_semantic::position;
    c[0].channel_type = vertex_channel::float3;
    c[1].semantic = vertex_semantic::normal;
    c[1].channel_type = vertex_channel::float3;
    c[2].semantic = vertex_semantic::color;
    c[2].channel_type = vertex_channel::ubyte4_norm;
    c[3].semantic = vertex_semantic::texcoord;
    c[3].channel_type = vertex_channel::float2;
    _declaration.channel_count = 4;
}

RenderGui::~RenderGui()
{
    for (Batch *b : _batches)
        delete_with_allocator(_allocator, b);
    for (Material &m : _materials)
        delete_with_allocator(_allocator, m.render);
}

void RenderGui::destroy_resources(RenderResourceContext *context)
{
    if (!context)
        return;
    for (Batch *b : _batches)
        context->release_resource(&b->vertex_buffer.resource);
    context->release_resource(&_declaration.resource);
}

void RenderGui::refresh_shaders()
{
    _shader.refresh();
    for (Material &m : _materials)
        if (m.render)
            m.render->refresh_shaders();
}

void RenderGui::apply_message(u32 kind, const u8 *payload, u32 payload_bytes)
{
    if (kind == gui_primitive_kind && payload_bytes >= sizeof(GuiPrimitiveHeader)) {
        GuiPrimitiveHeader h;
        memcpy(&h, payload, sizeof h);
        u64 end = u64(h.vertices_offset) + u64(h.vertex_count) * sizeof(GuiVertex);
        if (h.vertices_offset < sizeof h || end > payload_bytes || h.vertex_count % 3 != 0) {
            log_message("render", "gui: primitive %u claims %u vertices past its %u bytes; dropped", h.id,
                        h.vertex_count, payload_bytes);
            return;
        }
        apply_primitive(h.id, h.layer, h.vertex_count, payload + h.vertices_offset, h.material);
        return;
    }
    if (kind == gui_settings_kind && payload_bytes >= sizeof(GuiSettingsMessage)) {
        GuiSettingsMessage m;
        memcpy(&m, payload, sizeof m);
        _settings = m.settings;
        return;
    }
    if (kind == gui_material_kind && payload_bytes >= sizeof(GuiMaterialMessage)) {
        GuiMaterialMessage m;
        memcpy(&m, payload, sizeof m);
        if (m.index > 0xFFFF || !m.entry) {
            log_message("render", "gui: material %u refused", m.index);
            return;
        }
        if (m.index >= _materials.size())
            _materials.resize(m.index + 1);
        if (m.index < _materials.size() && !_materials[m.index].entry)
            _materials[m.index].entry = m.entry;
        return;
    }
    log_message("render", "gui: record of kind %u and %u bytes dropped", kind, payload_bytes);
}

const RenderGui::Primitive *RenderGui::primitive(u32 id) const
{
    u32 i = _primitives.find(id);
    return i == _primitives.no_entry ? nullptr : &_primitives.value(i);
}

void RenderGui::remove_primitive(u32 id, const Primitive &record)
{
    Batch &b = *_batches[record.batch];
    u32 end = record.offset_bytes + record.size_bytes;
    memmove(b.vertices.data() + record.offset_bytes, b.vertices.data() + end, b.vertices.size() - end);
    b.vertices.resize(b.vertices.size() - record.size_bytes);
    b.vertex_count = b.vertices.size() / u32(sizeof(GuiVertex));
    b.triangle_count = b.vertex_count / 3;
    for (u32 i = 0; i < b.primitives.size(); ++i)
        if (b.primitives[i] == id) {
            b.primitives.erase(i);
            break;
        }
    for (u32 other : b.primitives) {
        u32 at = _primitives.find(other);
        if (at != _primitives.no_entry && _primitives.value(at).offset_bytes > record.offset_bytes)
            _primitives.value(at).offset_bytes -= record.size_bytes;
    }
    b.changed = true;
    _primitives.erase(id);
}

RenderGui::Batch *RenderGui::batch_for(i32 layer, u32 material, u32 &out_index)
{
    u32 at = _batch_of.find(batch_key(layer, material));
    if (at != _batch_of.no_entry) {
        out_index = _batch_of.value(at);
        return _batches[out_index];
    }
    Batch *b = make_new<Batch>(_allocator, _allocator);
    if (!b)
        return nullptr;
    b->layer = layer;
    b->material = material;
    b->order = gui_order_value(layer, _settings.screen != 0);
    b->vertex_buffer = make_vertex_buffer_resource(buffer_mode::gpu, 0, sizeof(GuiVertex), &b->vertices);
    out_index = _batches.size();
    u32 slot = _batch_of.find_or_insert(batch_key(layer, material));
    if (slot == _batch_of.no_entry || !_batches.push_back(b) || !_new_batches.push_back(out_index)) {
        if (slot != _batch_of.no_entry)
            _batch_of.erase(batch_key(layer, material));
        if (_batches.size() > out_index)
            _batches.pop_back();
        delete_with_allocator(_allocator, b);
        return nullptr;
    }
    _batch_of.value(_batch_of.find(batch_key(layer, material))) = out_index;
    return b;
}

void RenderGui::apply_primitive(u32 id, i32 layer, u32 vertex_count, const u8 *vertices, u32 material)
{
    u32 size = vertex_count * u32(sizeof(GuiVertex));
    u32 at = _primitives.find(id);
    if (at != _primitives.no_entry) {
        Primitive record = _primitives.value(at);
        if (record.size_bytes == size && record.layer == layer && record.material == material && size != 0) {
            Batch &b = *_batches[record.batch];
            memcpy(b.vertices.data() + record.offset_bytes, vertices, size);
            b.changed = true;
            return;
        }
        remove_primitive(id, record);
    }
    if (vertex_count == 0)
        return;
    u32 index = 0;
    Batch *b = batch_for(layer, material, index);
    u32 offset = b ? b->vertices.size() : 0;
    if (b)
        b->vertices.resize(offset + size);
    if (!b || b->vertices.size() != offset + size || !b->primitives.push_back(id)) {
        if (b)
            b->vertices.resize(offset);
        log_message("render", "gui: no memory for primitive %u; dropped", id);
        return;
    }
    u32 slot = _primitives.find_or_insert(id);
    if (slot == _primitives.no_entry) {
        b->vertices.resize(offset);
        b->primitives.pop_back();
        log_message("render", "gui: no memory for primitive %u; dropped", id);
        return;
    }
    memcpy(b->vertices.data() + offset, vertices, size);
    b->vertex_count = b->vertices.size() / u32(sizeof(GuiVertex));
    b->triangle_count = b->vertex_count / 3;
    b->changed = true;
    _primitives.value(slot) = Primitive{layer, material, index, offset, size};
}

const ShaderContext *RenderGui::material_context(u32 material, const RenderDrawParams &params)
{
    if (material == no_gui_material || material >= _materials.size() || !_materials[material].entry)
        return nullptr;
    Material &m = _materials[material];
    if (!m.render)
        m.render = make_new<RenderMaterial>(_allocator, _allocator, *m.entry, *params.shaders);
    if (!m.render)
        return nullptr;
    // The material's textures (a text's font) go into the resource variables of their channels.
    const Array<MaterialTextureBinding> &textures = m.render->textures();
    for (u32 t = 0; t < textures.size() && t < params.texture_channel_count; ++t)
        if (textures[t].handle != invalid_render_handle)
            m.render->context().set_resource(params.texture_channels[t], textures[t].handle);
    return &m.render->context();
}

Matrix4x4 RenderGui::projection_for(const RenderDrawParams &params, Matrix4x4 &out_world, Matrix4x4 &out_view)
{
    if (_settings.screen) {
        u32 size[2];
        screen_size_of(params, size[0], size[1]);
        const u32 follow[2] = {_settings.follow_width, _settings.follow_height};
        for (u32 i = 0; i < 2; ++i) {
            if (follow[i] && size[i] != _settings.resolution[i])
                _settings.position[i] += f32(size[i]) - f32(_settings.resolution[i]);
            _settings.resolution[i] = size[i];
        }
        out_world = matrix4x4_identity;
        out_view = matrix4x4_identity;
        return pixel_projection(f32(size[0]), f32(size[1]), _settings.position[0], _settings.position[1],
                                _settings.scale[0], _settings.scale[1], pixel_depth_scale, 0.0f);
    }
    // A world gui's units: width gui units across the pose's first axis, height along its
    // third (the gui plane is x-z).
    Matrix4x4 scale = matrix4x4_identity;
    scale.m[0][0] = 1.0f / _settings.width;
    scale.m[2][2] = 1.0f / _settings.height;
    Matrix4x4 pose;
    memcpy(&pose, _settings.pose, sizeof pose);
    out_world = scale * pose;
    out_view = params.view;
    return params.projection;
}

u32 RenderGui::render(const RenderDrawParams &params)
{
    if (!params.context || !params.shaders)
        return 0;
    if (_declaration.resource.handle == invalid_render_handle && params.resources)
        (void)params.resources->create_resource(&_declaration.resource);
    if (params.resources) {
        for (u32 index : _new_batches)
            if (index < _batches.size()) {
                Batch &b = *_batches[index];
                b.vertex_buffer.element_count = b.vertex_count;
                (void)params.resources->create_resource(&b.vertex_buffer.resource);
            }
        _new_batches.clear();
    }
    if (!_has_template)
        _has_template =
            params.shaders->find_template(_settings.screen ? "gui" : "gui:DEPTH_TEST_ENABLED", _shader);
    Matrix4x4 world, view;
    Matrix4x4 projection = projection_for(params, world, view);
    u32 draws = 0;
    for (Batch *b : _batches) {
        if (b->vertex_count == 0 || b->vertex_buffer.resource.handle == invalid_render_handle ||
            _declaration.resource.handle == invalid_render_handle)
            continue;
        if (b->changed) {
            b->vertex_buffer.element_count = b->vertex_count;
            params.context->update_resource(&b->vertex_buffer.resource, 0);
            b->changed = false;
        }
        const ShaderContext *material = material_context(b->material, params);
        ShaderContext *context = material ? const_cast<ShaderContext *>(material) : (_has_template ? &_shader : nullptr);
        if (!context)
            continue;
        context->set_matrices(world, view, projection, nullptr);
        if (params.device && params.resource_set)
            context->bind_resources(*params.device, *params.resource_set);
        ShaderSlotEntry slot;
        if (!context->slot_entry(params.context->shader_slot_index(), &slot))
            continue;
        const GeometryBinding bindings[2] = {{render_handle_kind::vertex_buffer, b->vertex_buffer.resource.handle},
                                             {render_handle_kind::vertex_declaration, _declaration.resource.handle}};
        RenderBatch batch;
        batch.bindings = bindings;
        batch.binding_count = 2;
        batch.primitive_type = primitive_type::triangle_list;
        batch.primitive_count = b->triangle_count;
        batch.vertex_count = b->vertex_count;
        batch.sort_depth = b->order;
        batch.copy_constants = true;
        draws += params.context->render_batch(batch, slot, 0) ? 1 : 0;
    }
    return draws;
}

bool RenderGui::validate() const
{
    u32 counted = 0;
    for (u32 bi = 0; bi < _batches.size(); ++bi) {
        const Batch &b = *_batches[bi];
        u32 expected_offset = 0;
        // Primitives of a batch lie back to back in their list's order.
        for (u32 id : b.primitives) {
            const Primitive *p = primitive(id);
            if (!p || p->batch != bi || p->offset_bytes != expected_offset)
                return false;
            expected_offset += p->size_bytes;
            ++counted;
        }
        if (expected_offset != b.vertices.size() || b.vertex_count * sizeof(GuiVertex) != b.vertices.size())
            return false;
    }
    return counted == _primitives.size();
}

} // namespace tallow
