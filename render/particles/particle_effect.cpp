#include "render/particles/particle_effect.h"

#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "render/commands/render_context.h"
#include "render/materials/material_resource.h"
#include "render/particles/particle_messages.h"
#include "render/resources/render_resource_context.h"
#include "render/shaders/auto_variables.h"

#include <algorithm>
#include <cstring>

namespace tallow {

namespace {

// The quad every particle is drawn as, and its two triangles.
void fill_corners(void *destination, u32, u32)
{
    static const f32 corners[8] = {-1, -1, 1, -1, 1, 1, -1, 1};
    memcpy(destination, corners, sizeof corners);
}

void fill_indices(void *destination, u32, u32)
{
    static const u16 indices[6] = {0, 1, 2, 2, 3, 0};
    memcpy(destination, indices, sizeof indices);
}

// The quad's corner: stream 0, per vertex, as TEXCOORD 7 (instance elements keep the rest).
constexpr u32 corner_semantic = 4;
constexpr u32 corner_semantic_index = 7;

// A depth as an unsigned key in the same order (NaNs at either end, -0 with +0).
u32 depth_order(f32 depth)
{
    depth += 0.0f;
    u32 bits;
    memcpy(&bits, &depth, 4);
    return bits & 0x80000000u ? ~bits : bits | 0x80000000u;
}

u64 fnv(u64 h, const void *data, size_t bytes)
{
    const u8 *p = static_cast<const u8 *>(data);
    for (size_t i = 0; i < bytes; ++i)
        h = (h ^ p[i]) * 0x100000001B3ull;
    return h;
}

} // namespace

ParticleDataView particle_data_view(ParticleSystemInstance &instance) { return instance.view(); }

u32 particle_shader_template(const MaterialEntry &entry, u32 emitter_flags, bool *out_named)
{
    static const struct {
        u32 flag;
        const char *suffix;
    } suffixes[] = {{particle_emitter_flags::pivot, ":PIVOT"},
                    {particle_emitter_flags::rotation, ":ROTATION"},
                    {particle_emitter_flags::vertex_colour, ":VERTEX_COLOR"}};
    if (out_named)
        *out_named = true;
    if ((emitter_flags & (particle_emitter_flags::pivot | particle_emitter_flags::rotation |
                          particle_emitter_flags::vertex_colour)) == 0)
        return entry.shader_template;
    if (entry.shader_name.empty()) {
        if (out_named)
            *out_named = false;
        return entry.shader_template;
    }
    // Names are at most 255 bytes; the three suffixes add 33.
    char name[256 + 40];
    u32 length = entry.shader_name.size() < 256 ? entry.shader_name.size() : 255;
    memcpy(name, entry.shader_name.data(), length);
    for (const auto &s : suffixes)
        if (emitter_flags & s.flag) {
            const u32 n = u32(strlen(s.suffix));
            memcpy(name + length, s.suffix, n);
            length += n;
        }
    return NameId32(name, length).value();
}

// --- ParticleEmitter ------------------------------------------------------------------------

ParticleEmitter::ParticleEmitter(Allocator &allocator, const ParticleEmitterInfo &info, ParticleSystemInstance &system)
    : _allocator(allocator), _info(&info), _system(&system), _vertices(allocator), _sort_keys(allocator)
{
    _vertices.resize(system.info->capacity * info.stride);
    _corners.resource.type = RenderResourceType::VertexBuffer;
    _corners.element_count = 4;
    _corners.element_size = 8;
    _corners.fill = fill_corners;
    _indices.resource.type = RenderResourceType::IndexBuffer;
    _indices.element_count = 6;
    _indices.element_size = 0; // 16-bit
    _indices.fill = fill_indices;
    _instances = make_vertex_buffer_resource(buffer_mode::cpu_memory, system.info->capacity, info.stride, &_vertices);
    _declaration.channels[0] = {corner_semantic, 1, corner_semantic_index, 0, 0, {}};
    for (u32 i = 0; i < info.element_count; ++i)
        _declaration.channels[1 + i] = {info.elements[i].semantic, info.elements[i].channel_type,
                                        info.elements[i].semantic_index, 1, 1, {}};
    _declaration.channel_count = 1 + info.element_count;
}

ParticleEmitter::~ParticleEmitter() { delete_with_allocator(_allocator, _material); }

bool ParticleEmitter::init(RenderResourceContext &context, const MaterialEntry *entry, ShaderManager *shaders)
{
    if (entry && shaders && !_material) {
        bool named = true;
        const u32 shader = particle_shader_template(*entry, _info->flags, &named);
        if (!named)
            log_message("particles", "material %08x carries no shader name: its emitter draws with the plain "
                        "template, without the pivot, rotation or vertex colour variant", entry->name);
        _material = make_new<RenderMaterial>(_allocator, _allocator, *entry, *shaders, shader);
    }
    if (_vertices.size() != _system->info->capacity * _info->stride)
        return false;
    return context.create_resource(&_corners.resource) && context.create_resource(&_indices.resource) &&
           context.create_resource(&_instances.resource) && context.create_resource(&_declaration.resource);
}

void ParticleEmitter::destroy(RenderResourceContext *context)
{
    if (context) {
        context->release_resource(&_corners.resource);
        context->release_resource(&_indices.resource);
        context->release_resource(&_instances.resource);
        context->release_resource(&_declaration.resource);
    }
    delete_with_allocator(_allocator, _material);
    _material = nullptr;
}

void ParticleEmitter::build_vertices(const Matrix4x4 &camera, f32 effect_time)
{
    ParticleDataView view = _system->view();
    ParticleVertexOutput out{_vertices.data(), *view.live_count};
    if (_vertices.size() < size_t(out.count) * _info->stride)
        out.count = 0;
    const u32 *cursor = _info->output.words;
    for (u32 i = 0; i < _info->output.op_count; ++i)
        run_particle_output_ops(cursor, view, out, _info->stride, effect_time, camera);
    _vertex_count = out.count;
    if ((_info->flags & particle_emitter_flags::sort_mask) == 0 || _vertex_count < 2)
        return;
    // Depth from the vertex's own position element (the output ops may have reordered the
    // vertices, so the particles' channels no longer line up with them).
    u32 position = 0xFFFFFFFFu;
    for (u32 e = 0; e < _info->element_count; ++e)
        if (_info->elements[e].semantic == 0 && _info->elements[e].channel_type == 2) {
            position = _info->elements[e].offset;
            break;
        }
    if (position == 0xFFFFFFFFu)
        return;
    // Room for the whole system at the first sort: later frames never grow the keys.
    _sort_keys.reserve(_system->info->capacity);
    _sort_keys.resize(_vertex_count);
    if (_sort_keys.size() != _vertex_count)
        return;
    const Vector3 forward = axis(camera, 1), eye = translation(camera);
    u8 *vertices = _vertices.data();
    const u32 stride = _info->stride;
    for (u32 i = 0; i < _vertex_count; ++i) {
        Vector3 p;
        memcpy(&p, vertices + size_t(i) * stride + position, 12);
        _sort_keys[i] = u64(~depth_order(dot(forward, p - eye))) << 32 | i;
    }
    // Farthest first: back to front for blending. The index in the low bits keeps equal
    // depths in their order, and the integer keys sort without a scratch block or a
    // comparison a NaN could break.
    std::sort(_sort_keys.begin(), _sort_keys.end());
    // Vertex i takes the one at the index in key i: followed cycle by cycle in place, one
    // vertex held aside, each key marked done by pointing at its own place.
    u8 held[particle_max_vertex_stride];
    for (u32 i = 0; i < _vertex_count; ++i) {
        u32 from = u32(_sort_keys[i]);
        if (from == i)
            continue;
        memcpy(held, vertices + size_t(i) * stride, stride);
        u32 to = i;
        while (from != i) {
            memcpy(vertices + size_t(to) * stride, vertices + size_t(from) * stride, stride);
            _sort_keys[to] = to;
            to = from;
            from = u32(_sort_keys[to]);
        }
        memcpy(vertices + size_t(to) * stride, held, stride);
        _sort_keys[to] = to;
    }
}

u32 ParticleEmitter::shader_template() const { return _material ? _material->shader_template() : 0; }

void ParticleEmitter::refresh_shaders()
{
    if (_material)
        _material->refresh_shaders();
}

bool ParticleEmitter::draw(RenderContext &context, f32 order, const ParticleView &view) const
{
    if (!_material || !has_resources() || _vertex_count == 0)
        return true;
    const u32 slot_index = context.shader_slot_index();
    const ShaderContext &shading = _material->context();
    ShaderSlotEntry slot;
    if (!shading.slot_entry(slot_index, &slot))
        return true;
    const Shader &shader = *shading.shader(slot_index);
    // The material's block is shared by every emitter drawing it: the view's values go into
    // a copy that the draw record carries (it copies the constants). Blocks that fit stay
    // on the stack, so a frame's draws allocate nothing.
    const u32 block_bytes = slot.constant_size_bytes;
    alignas(16) u8 local[1024];
    Array<u8> large(context.allocator());
    u8 *block = local;
    if (block_bytes > sizeof local) {
        large.resize(block_bytes);
        if (large.size() != block_bytes)
            return false;
        block = large.data();
    }
    if (block_bytes)
        memcpy(block, slot.constant_block, block_bytes);
    evaluate_object_auto_variables(shader.object_autos().data(), shader.object_autos().size(), matrix4x4_identity,
                                   view.view, view.projection, block, block_bytes);
    evaluate_camera_auto_variables(shader.camera_autos().data(), shader.camera_autos().size(),
                                   shader.manager().camera_values(), block, block_bytes);
    const Array<MaterialTextureBinding> &textures = _material->textures();
    for (u32 t = 0; t < textures.size() && t < view.texture_channel_count; ++t) {
        const ShaderVariable *v = shader.find_variable(view.texture_channels[t]);
        if (textures[t].handle != invalid_render_handle && v && v->kind == shader_variable_kind::resource &&
            u64(v->offset) + 4 <= block_bytes)
            memcpy(block + v->offset, &textures[t].handle, 4);
    }
    slot.constant_block = block_bytes ? block : nullptr; // an empty block passes no pointer
    context.update_resource(&_instances.resource, 0);
    const GeometryBinding bindings[4] = {{5, _corners.resource.handle},
                                         {5, _instances.resource.handle},
                                         {6, _indices.resource.handle},
                                         {8, _declaration.resource.handle}};
    RenderBatch batch;
    batch.bindings = bindings;
    batch.binding_count = 4;
    batch.primitive_count = 2;
    batch.vertex_count = 4;
    batch.instance_count = _vertex_count;
    batch.sort_depth = order;
    batch.copy_constants = true;
    return context.render_batch(batch, slot, 0);
}

// --- ParticleEffect -------------------------------------------------------------------------

ParticleEffect::ParticleEffect(Allocator &allocator, const ParticleEffectResource &resource, u64 name, u32 id,
                               const Matrix4x4 &pose, u32 seed)
    : _allocator(allocator), _resource(&resource), _name(name), _id(id), _pose(pose), _seed(seed),
      _systems(allocator), _emitters(allocator), _events(allocator), _feedback(allocator)
{
}

ParticleEffect::~ParticleEffect()
{
    for (ParticleEmitter *e : _emitters)
        delete_with_allocator(_allocator, e);
    for (ParticleSystemInstance &s : _systems)
        _allocator.deallocate(s.block);
}

bool ParticleEffect::make_systems()
{
    _systems.reserve(_resource->systems.size());
    _emitters.reserve(_resource->emitter_count);
    if (_systems.capacity() < _resource->systems.size() || _emitters.capacity() < _resource->emitter_count)
        return false;
    for (const ParticleSystemInfo &info : _resource->systems) {
        ParticleSystemInstance s;
        s.info = &info;
        u64 bytes = u64(info.capacity) * info.bytes_per_particle + info.state_bytes;
        s.block = static_cast<u8 *>(_allocator.allocate(bytes ? bytes : 16, 16));
        if (!s.block)
            return false;
        memset(s.block, 0, bytes);
        _systems.push_back(s);
    }
    for (ParticleSystemInstance &s : _systems)
        for (const ParticleEmitterInfo &e : s.info->emitters) {
            ParticleEmitter *emitter = make_new<ParticleEmitter>(_allocator, _allocator, e, s);
            if (!emitter)
                return false;
            _emitters.push_back(emitter);
        }
    return true;
}

ParticleEffect *ParticleEffect::create(Allocator &allocator, const ParticleEffectResource &resource, u64 name, u32 id,
                                       const Matrix4x4 &pose, u32 seed)
{
    ParticleEffect *effect = make_new<ParticleEffect>(allocator, allocator, resource, name, id, pose, seed);
    if (effect && !effect->make_systems()) {
        destroy(effect, nullptr);
        effect = nullptr;
    }
    if (!effect)
        log_message("particles", "no memory for particle effect %u", id);
    return effect;
}

void ParticleEffect::destroy(ParticleEffect *effect, RenderResourceContext *context)
{
    if (!effect)
        return;
    for (ParticleEmitter *e : effect->_emitters)
        e->destroy(context);
    Allocator &allocator = effect->_allocator;
    delete_with_allocator(allocator, effect);
}

f32 ParticleEffect::effect_time() const
{
    // A zero duration would make time / duration NaN or infinite.
    if (!(_resource->duration > 0.0f))
        return 1.0f;
    f32 t = _time / _resource->duration;
    return t < 0.0f ? 0.0f : (t > 1.0f ? 1.0f : t);
}

bool ParticleEffect::is_finished() const { return _time > _resource->duration || (!_spawning && _live_total == 0); }

f32 ParticleEffect::emitter_order(u32 i) const
{
    f32 r = f32(_seed >> 8) * (1.0f / 16777216.0f);
    return f32(100 - i32(_emitters[i]->info().index)) * 0.01f * 0.1f + 0.9f + r * 0.0005f;
}

void ParticleEffect::spawn(u32 system, Vector3 position, Vector3 velocity, u32 count)
{
    if (system >= _systems.size())
        return;
    ParticleSystemInstance &s = _systems[system];
    u32 room = s.info->capacity - s.live_count;
    u32 n = count < room ? count : room;
    if (n == 0)
        return;
    s.live_count += n;
    Matrix4x4 pose = s.info->local_pose * _pose;
    set_translation(pose, position);
    ParticleDataView view = s.view();
    const u32 *cursor = s.info->spawn.words;
    for (u32 i = 0; i < s.info->spawn.op_count; ++i)
        run_particle_spawn_ops(cursor, view, n, pose, velocity, _seed);
}

void ParticleEffect::update(f32 dt)
{
    _time += dt;
    const f32 effect_t = effect_time();
    _live_total = 0;
    _events.clear();
    for (u32 k = 0; k < _systems.size(); ++k) {
        ParticleSystemInstance &s = _systems[k];
        ParticleSimulateFrame frame;
        frame.dt = dt;
        frame.effect_time = effect_t;
        frame.pose = s.info->local_pose * _pose;
        frame.system = k;
        frame.state_base = s.state();
        frame.seed = &_seed;
        ParticleDataView view = s.view();
        const u32 *cursor = s.info->simulate.words;
        u8 *state = s.state();
        for (u32 i = 0; i < s.info->simulate.op_count; ++i)
            run_particle_simulate_ops(cursor, state, view, frame, _events);
        _live_total += s.live_count;
    }
    // The events, in the order the operators wrote them.
    u32 at = 0;
    while (at + 4 <= _events.size()) {
        u32 type;
        memcpy(&type, _events.data() + at, 4);
        if (type == particle_event_spawn) {
            ParticleSpawnEvent e;
            memcpy(&e, _events.data() + at, sizeof e);
            at += sizeof e;
            if (_spawning)
                spawn(e.system, e.position, e.velocity, e.count);
        } else if (type == particle_event_height_grid) {
            ParticleGridEvent e;
            memcpy(&e, _events.data() + at, sizeof e);
            at += sizeof e;
            ParticleGridRequest request{_id, e.system, e.state_offset, e.start_z, e.header};
            u32 head[2] = {sizeof request, particle_grid_feedback};
            u32 end = _feedback.size();
            _feedback.resize(end + 8 + sizeof request);
            if (_feedback.size() == end + 8 + sizeof request) {
                memcpy(_feedback.data() + end, head, 8);
                memcpy(_feedback.data() + end + 8, &request, sizeof request);
            }
        } else {
            ParticleTrailEvent e;
            memcpy(&e, _events.data() + at, sizeof e);
            const u32 lines = e.count * 24;
            u32 head[3] = {4 + lines, particle_trail_feedback, e.count};
            u32 end = _feedback.size();
            _feedback.resize(end + 12 + lines);
            if (_feedback.size() == end + 12 + lines) {
                memcpy(_feedback.data() + end, head, 12);
                memcpy(_feedback.data() + end + 12, _events.data() + at + sizeof e, lines);
            }
            at += sizeof e + lines;
        }
    }
    _events.clear();
}

void ParticleEffect::build_vertices(const Matrix4x4 &camera)
{
    const f32 t = effect_time();
    for (ParticleEmitter *e : _emitters)
        e->build_vertices(camera, t);
}

bool ParticleEffect::set_grid_heights(u32 system, u32 state_offset, u32 n, const void *heights)
{
    if (system >= _systems.size())
        return false;
    ParticleSystemInstance &s = _systems[system];
    const u64 bytes = 20 + u64(n) * n * 4;
    if (state_offset < particle_grid_state_head || u64(state_offset) + bytes > s.info->state_bytes)
        return false;
    u8 *grid = s.state() + state_offset;
    ParticleGridHeader h;
    memcpy(&h, grid, sizeof h);
    if (h.n != n || h.heights_offset != 20)
        return false;
    memcpy(grid + 20, heights, size_t(n) * n * 4);
    return true;
}

u64 ParticleEffect::state_hash() const
{
    u64 h = 0xCBF29CE484222325ull;
    for (const ParticleSystemInstance &s : _systems) {
        h = fnv(h, &s.live_count, 4);
        for (u32 k = 0; k < s.info->channel_count; ++k)
            h = fnv(h, s.block + size_t(s.info->capacity) * s.info->channel_offsets[k],
                    size_t(s.live_count) * s.info->channel_sizes[k]);
        h = fnv(h, s.state(), s.info->state_bytes);
    }
    h = fnv(h, &_seed, 4);
    return h;
}

} // namespace tallow
