#include "render/world/render_mesh_object.h"

#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "render/commands/render_context.h"
#include "render/materials/material_resource.h"
#include "render/resources/render_resource_context.h"
#include "render/shaders/shader_manager.h"
#include "render/world/render_camera.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_shading_environment.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"

#include <cstring>

namespace tallow {

namespace {

template <typename T> bool copy_into(Array<T> &out, const T *items, u32 count)
{
    out.resize(count);
    if (out.size() != count)
        return false;
    if (count)
        memcpy(out.data(), items, sizeof(T) * count);
    return true;
}

const u32 bones_name = NameId32("bones").value();

} // namespace

RenderMeshObject::RenderMeshObject(Allocator &allocator, const MeshDesc &d, const u32 *materials, u32 material_count)
    : RenderObject(RenderObjectClass::MeshObject), _allocator(allocator), _vertex_bytes(allocator),
      _index_bytes(allocator), _batches(allocator), _material_handles(allocator), _bone_nodes(allocator),
      _inverse_binds(allocator), _bone_list_words(allocator), _bone_list_starts(allocator),
      _bone_matrices(allocator), _graph_handle(d.scene_graph), _node(d.node), _mask(d.mask)
{
    memcpy(_box_min, d.box_min, sizeof _box_min);
    memcpy(_box_max, d.box_max, sizeof _box_max);
    const u32 index_bytes = d.index_32bit ? 4 : 2;
    if (!copy_into(_vertex_bytes, static_cast<const u8 *>(d.vertices), d.vertex_count * d.vertex_stride) ||
        !copy_into(_index_bytes, static_cast<const u8 *>(d.indices), d.index_count * index_bytes) ||
        !copy_into(_material_handles, materials, material_count)) {
        log_message("render", "no memory for a mesh of %u vertices; it draws nothing", d.vertex_count);
        _vertex_bytes.clear();
        _index_bytes.clear();
        return;
    }
    // The buffers hand the device the object's own copy of the bytes (the "dynamic" data
    // field), so no fill function needs to find them.
    _vertex_buffer.resource = {RenderResourceType::VertexBuffer, invalid_render_handle};
    _vertex_buffer.element_count = d.vertex_count;
    _vertex_buffer.element_size = d.vertex_stride;
    _vertex_buffer.dynamic = 1;
    _vertex_buffer.data = &_vertex_bytes;
    _index_buffer.resource = {RenderResourceType::IndexBuffer, invalid_render_handle};
    _index_buffer.element_count = d.index_count;
    _index_buffer.element_size = d.index_32bit ? 1 : 0;
    _index_buffer.dynamic = 1;
    _index_buffer.data = &_index_bytes;
    _declaration.channel_count = d.channel_count < max_vertex_channels ? d.channel_count : max_vertex_channels;
    for (u32 i = 0; i < _declaration.channel_count; ++i)
        _declaration.channels[i] = d.channels[i];

    u32 dropped = 0;
    for (u32 i = 0; i < d.batch_count; ++i) {
        const MeshBatch &b = d.batches[i];
        const bool in_range = u64(b.start_index) + u64(b.triangle_count) * 3 <= d.index_count;
        const bool has_material = b.material < material_count;
        const bool has_bones = b.bone_list == 0xFFFFFFFFu || (d.skin && b.bone_list < d.skin->list_count);
        if (!in_range || !has_material || !has_bones) {
            ++dropped;
            continue;
        }
        _batches.push_back({b, nullptr});
    }
    if (dropped)
        log_message("render", "mesh: %u of %u batches name indices, a material slot or a bone list it lacks; "
                              "they are not drawn", dropped, d.batch_count);

    if (const MeshSkinDesc *skin = d.skin) {
        u32 bad = 0;
        copy_into(_bone_nodes, skin->bone_nodes, skin->bone_count);
        copy_into(_inverse_binds, skin->inverse_binds, skin->bone_count);
        _bone_list_starts.push_back(0);
        for (u32 l = 0; l < skin->list_count; ++l) {
            for (u32 k = 0; k < skin->lists[l].count; ++k) {
                u32 bone = skin->lists[l].bones[k];
                if (bone >= skin->bone_count) {
                    ++bad;
                    bone = 0; // the list keeps its length, so constants stay where the shader expects them
                }
                _bone_list_words.push_back(bone);
            }
            _bone_list_starts.push_back(_bone_list_words.size());
        }
        if (bad || skin->bone_count == 0)
            log_message("render", "mesh skin: %u bone list entries name bones past its %u bones; they use bone 0",
                        bad, skin->bone_count);
    }
}

void RenderMeshObject::create_resources(RenderResourceContext *context)
{
    _bindings[0] = {render_handle_kind::vertex_buffer, invalid_render_handle};
    _bindings[1] = {render_handle_kind::index_buffer, invalid_render_handle};
    _bindings[2] = {render_handle_kind::vertex_declaration, invalid_render_handle};
    if (!context || _vertex_bytes.empty() || _index_bytes.empty())
        return;
    context->create_resource(&_vertex_buffer.resource);
    context->create_resource(&_index_buffer.resource);
    context->create_resource(&_declaration.resource);
    _bindings[0].handle = _vertex_buffer.resource.handle;
    _bindings[1].handle = _index_buffer.resource.handle;
    _bindings[2].handle = _declaration.resource.handle;
}

void RenderMeshObject::destroy_resources(RenderResourceContext *context)
{
    if (!context)
        return;
    if (_vertex_buffer.resource.handle != invalid_render_handle)
        context->release_resource(&_vertex_buffer.resource);
    if (_index_buffer.resource.handle != invalid_render_handle)
        context->release_resource(&_index_buffer.resource);
    if (_declaration.resource.handle != invalid_render_handle)
        context->release_resource(&_declaration.resource);
}

Matrix4x4 RenderMeshObject::world() const
{
    const Matrix4x4 *m = node_world(_graph, _node);
    return m ? *m : matrix4x4_identity;
}

void RenderMeshObject::on_create(RenderWorld &world, u32 slot)
{
    _graph = scene_graph_of(world, _graph_handle);
    u32 missing = 0;
    for (Batch &b : _batches) {
        RenderObject *o = world.object(_material_handles[b.batch.material]);
        b.material = o && o->class_id() == u32(RenderObjectClass::Material) ? static_cast<RenderMaterial *>(o) : nullptr;
        missing += b.material == nullptr;
    }
    if (missing)
        log_message("render", "mesh: %u batches have no material; they are not drawn", missing);
    if (_mask & mesh_mask::no_record)
        return;
    RenderRecord record{};
    record.world = this->world();
    memcpy(record.box_min, _box_min, sizeof _box_min);
    memcpy(record.box_max, _box_max, sizeof _box_max);
    record.class_id = class_id();
    record.slot = slot;
    record.kind = (_mask & mesh_mask::unculled) ? render_record_always_drawn : render_record_culled;
    if (!_visible)
        record.kind &= ~render_record_visible;
    if (_mask & mesh_mask::main_set)
        world.flag1_set().add(record, _graph, _node);
    if (_mask & mesh_mask::second_set)
        world.flag2_set().add(record, _graph, _node);
}

void RenderMeshObject::on_destroy(RenderWorld &world, u32 slot)
{
    if (_mask & mesh_mask::no_record)
        return;
    if (_mask & mesh_mask::main_set)
        world.flag1_set().remove(slot);
    if (_mask & mesh_mask::second_set)
        world.flag2_set().remove(slot);
}

void RenderMeshObject::apply_visibility(RenderWorld &world, u32 slot, const VisibilityRecord &r)
{
    if (!(r.mask & mesh_mask::no_record)) {
        if (r.mask & mesh_mask::main_set)
            world.flag1_set().set_visible(slot, r.visible != 0);
        if (r.mask & mesh_mask::second_set)
            world.flag2_set().set_visible(slot, r.visible != 0);
    }
    _visible = r.visible;
}

void RenderMeshObject::compute_skin_matrices(const Matrix4x4 &inverse_mesh_world)
{
    (void)compute_skin_matrices(inverse_mesh_world, _bone_matrices);
}

bool RenderMeshObject::compute_skin_matrices(const Matrix4x4 &inverse_mesh_world, Array<Matrix4x4> &out) const
{
    const u32 n = _bone_nodes.size();
    out.resize(n);
    if (out.size() != n)
        return false;
    for (u32 i = 0; i < n; ++i) {
        const Matrix4x4 *node = node_world(_graph, _bone_nodes[i]);
        out[i] = _inverse_binds[i] * (node ? *node : matrix4x4_identity) * inverse_mesh_world;
    }
    return true;
}

void RenderMeshObject::render(RenderContext &context, const MeshRenderParams &params)
{
    if (!_visible || _batches.empty() || !params.camera)
        return;
    const Matrix4x4 world = this->world();
    Array<Matrix4x4> &bone_matrices = params.bone_scratch ? *params.bone_scratch : _bone_matrices;
    // Without memory for the bones the batches still draw, with the material's own bones.
    const bool has_bones = is_skinned() && compute_skin_matrices(rigid_inverse(world), bone_matrices);

    // Depth from the camera's near plane over its far range, clamped to [0, 1].
    const RenderCamera &camera = *params.camera;
    const FrustumPlane &near = camera.planes().planes[frustum_near];
    const Vector3 p = translation(world);
    const f32 far_range = camera.block().far_range > 0 ? camera.block().far_range : 1.0f;
    f32 depth = (near.a * p.x + near.b * p.y + near.c * p.z - near.d) / far_range;
    depth = depth > 0 ? (depth < 1 ? depth : 1) : 0;

    const u32 slot_index = context.shader_slot_index();
    // Most blocks fit the stack; a larger one goes to the heap. Shadow views draw on many
    // threads at once, where an allocation per draw would meet the others' in the allocator.
    alignas(16) u8 local_block[1024];
    Array<u8> heap_block(context.allocator());
    for (const Batch &b : _batches) {
        if (!b.material)
            continue;
        const ShaderContext &shading = b.material->context();
        ShaderSlotEntry entry;
        if (!shading.slot_entry(slot_index, &entry))
            continue;
        const Shader &shader = *shading.shader(slot_index);
        // The material's block is shared by every mesh drawing it, on every render batch:
        // the per-draw values go into a copy that the draw record carries.
        const u32 size = entry.constant_size_bytes;
        u8 *block = nullptr;
        if (size > sizeof local_block) {
            heap_block.resize(size);
            if (heap_block.size() != size)
                continue;
            block = heap_block.data();
        } else if (size) {
            block = local_block;
        }
        if (size)
            memcpy(block, entry.constant_block, size);
        evaluate_object_auto_variables(shader.object_autos().data(), shader.object_autos().size(), world,
                                       camera.view(), camera.projection(), block, size);
        evaluate_camera_auto_variables(shader.camera_autos().data(), shader.camera_autos().size(),
                                       shader.manager().camera_values(), block, size);
        if (params.environment)
            params.environment->write_constants(shader, block, size);
        if (params.environment_values)
            write_variable_block(*params.environment_values, shader, block, size);
        if (params.variables)
            write_variable_block(*params.variables, shader, block, size);
        const Array<MaterialTextureBinding> &textures = b.material->textures();
        for (u32 t = 0; t < textures.size() && t < params.texture_channel_count; ++t) {
            const ShaderVariable *v = shader.find_variable(params.texture_channels[t]);
            if (textures[t].handle != invalid_render_handle && v && v->kind == shader_variable_kind::resource &&
                u64(v->offset) + 4 <= size)
                memcpy(block + v->offset, &textures[t].handle, 4);
        }
        if (has_bones && b.batch.bone_list != 0xFFFFFFFFu && shader.bones_offset() != variable_not_found) {
            // Never more bones than the shader's "bones" array holds.
            const ShaderVariable *bones = shader.find_variable(bones_name);
            const u32 room_bytes = bones ? bones->size_bytes : 0;
            const u32 first = _bone_list_starts[b.batch.bone_list];
            const u32 count = _bone_list_starts[b.batch.bone_list + 1] - first;
            for (u32 k = 0; k < count; ++k) {
                const u64 at = u64(shader.bones_offset()) + u64(k) * 64;
                if (u64(k + 1) * 64 > room_bytes || at + 64 > size)
                    break;
                write_transposed(bone_matrices[_bone_list_words[first + k]], block + at);
            }
        }
        entry.constant_block = block;
        RenderBatch draw;
        draw.bindings = _bindings;
        draw.binding_count = 3;
        draw.sort_depth = depth;
        draw.primitive_count = b.batch.triangle_count;
        draw.start_index = b.batch.start_index;
        draw.copy_constants = true;
        if (params.step_key)
            context.render_step_batch(draw, entry, params.caller_bits);
        else
            context.render_batch(draw, entry, params.caller_bits);
    }
}

// --- Game side ----------------------------------------------------------------------------------

Mesh::Mesh(Allocator &allocator, u32 name_id, u32 mask)
    : _name(name_id), _mask(mask), _materials(allocator), _material_names(allocator)
{
}

u32 Mesh::create(RenderWorld &world, WorldRenderLink &link, const MeshDesc &desc, const MaterialEntry *const *entries,
                 const u32 *names, u32 material_count)
{
    if (_handle != 0xFFFFFFFFu)
        return _handle;
    _materials.resize(material_count);
    _material_names.resize(material_count);
    if (_materials.size() != material_count || _material_names.size() != material_count) {
        log_message("render", "no memory for the materials of mesh %08x", _name);
        return _handle;
    }
    ShaderManager *shaders = world.shader_manager();
    u32 missing = 0;
    for (u32 i = 0; i < material_count; ++i) {
        _materials[i] = 0xFFFFFFFFu;
        _material_names[i] = names ? names[i] : 0;
        if (!entries || !entries[i] || !shaders) {
            ++missing;
            continue;
        }
        RenderMaterial *m = make_new<RenderMaterial>(world.allocator(), world.allocator(), *entries[i], *shaders);
        if (m)
            world.create_object(link, _materials[i], m);
    }
    if (missing)
        log_message("render", "mesh %08x: %u of its %u material slots have no material%s; their batches draw nothing",
                    _name, missing, material_count, shaders ? "" : " (no shader manager)");
    MeshDesc d = desc;
    d.mask = _mask;
    RenderMeshObject *object =
        make_new<RenderMeshObject>(world.allocator(), world.allocator(), d, _materials.data(), _materials.size());
    if (!object) {
        log_message("render", "no memory for mesh %08x", _name);
        destroy(world, link);
        return _handle;
    }
    world.create_object(link, _handle, object);
    _link = &link;
    return _handle;
}

void Mesh::destroy(RenderWorld &world, WorldRenderLink &link)
{
    world.destroy_object(link, _handle);
    for (u32 &m : _materials)
        world.destroy_object(link, m);
    _link = nullptr;
}

void Mesh::set_visible(bool visible)
{
    _visible = visible;
    if (!(_mask & (mesh_mask::main_set | mesh_mask::second_set)) || !_link || _handle == 0xFFFFFFFFu ||
        !_link->state())
        return;
    VisibilityRecord r{u32(RenderObjectClass::MeshObject), _handle, _mask, u8(visible ? 1 : 0), {}};
    if (!_link->state()->update_stream(0).write(0, r))
        log_message("render", "no room for the visibility record of mesh %08x", _name);
}

u32 Mesh::material(u32 name_id) const
{
    for (u32 i = 0; i < _material_names.size(); ++i)
        if (_material_names[i] == name_id)
            return _materials[i];
    return 0xFFFFFFFFu;
}

} // namespace tallow
