#include "render/world/render_shading_environment.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "render/materials/material_resource.h"
#include "render/resources/resource_cursor.h"
#include "render/shaders/shader_manager.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "resource/resource_manager.h"

#include <algorithm>
#include <cstring>

namespace tallow {

u32 shading_element_bytes(u32 type)
{
    switch (type) {
    case 0:
    case 4: return 4;
    case 1:
    case 5: return 8;
    case 2:
    case 6: return 12;
    default: return 0;
    }
}

const ShadingSetting *ShadingEnvironmentResource::find_setting(u32 name) const
{
    for (const ShadingSetting &s : settings)
        if (s.name == name)
            return &s;
    return nullptr;
}

ShadingEnvironmentResource *read_shading_environment(const u8 *bytes, u64 size_bytes, Allocator &allocator)
{
    ResourceCursor c(bytes, size_bytes, "shading_environment");
    ShadingEnvironmentResource *r = make_new<ShadingEnvironmentResource>(allocator, allocator);
    if (!r)
        return nullptr;
    auto refuse = [&](const char *why) {
        c.fail(why);
        delete_with_allocator(allocator, r);
        return nullptr;
    };
    u32 n = 0;
    c.u64v(r->material);
    if (!c.count(n, 16, "variable count past the end"))
        return refuse("truncated");
    for (u32 i = 0; i < n; ++i) {
        ShadingVariableDesc v;
        c.u32v(v.type);
        c.u32v(v.element_count);
        c.u32v(v.word);
        c.u32v(v.offset);
        const u64 size = u64(v.element_count) * shading_element_bytes(v.type);
        if (size > 0xFFFFFFFFull)
            return refuse("variable size past 4 GiB");
        v.size_bytes = u32(size);
        if (!r->variables.push_back(v))
            return refuse("no memory");
    }
    if (!c.count(n, 8, "setting count past the end"))
        return refuse("truncated");
    for (u32 i = 0; i < n; ++i) {
        ShadingSetting s;
        const u8 *data = nullptr;
        c.u32v(s.name);
        c.u32v(s.size_bytes);
        if (!c.bytes(s.size_bytes, data))
            return refuse("truncated");
        s.offset = r->setting_bytes.size();
        r->setting_bytes.resize(s.offset + s.size_bytes);
        if (r->setting_bytes.size() != s.offset + s.size_bytes || !r->settings.push_back(s))
            return refuse("no memory");
        if (s.size_bytes)
            memcpy(r->setting_bytes.data() + s.offset, data, s.size_bytes);
    }
    if (!c.count(n, 12, "material binding count past the end"))
        return refuse("truncated");
    for (u32 i = 0; i < n; ++i) {
        ShadingMaterialBinding b;
        c.u32v(b.value_set);
        c.u32v(b.parameter);
        c.u32v(b.variable);
        if (!c.failed && b.variable >= r->variables.size())
            return refuse("material binding names a variable it lacks");
        if (!r->bindings.push_back(b))
            return refuse("no memory");
    }
    if (!c.count(n, 12, "render variable count past the end"))
        return refuse("truncated");
    for (u32 i = 0; i < n; ++i) {
        ShadingRenderVariable v;
        c.u32v(v.variable);
        c.u32v(v.id);
        c.u32v(v.word);
        if (!c.failed && v.variable >= r->variables.size())
            return refuse("render variable names a variable it lacks");
        if (!r->render_variables.push_back(v))
            return refuse("no memory");
    }
    if (c.failed) {
        delete_with_allocator(allocator, r);
        return nullptr;
    }
    // Values are read at their offsets in every block, so each must fit in each.
    for (const ShadingSetting &s : r->settings)
        for (const ShadingVariableDesc &v : r->variables)
            if (u64(v.offset) + v.size_bytes > s.size_bytes)
                return refuse("a variable's value lies past the end of a settings block");
    return r;
}

void destroy_shading_environment(ShadingEnvironmentResource *resource, Allocator &allocator)
{
    delete_with_allocator(allocator, resource);
}

namespace {

void *load_environment(const ResourceLoadParams &params)
{
    Array<u8> bytes(params.allocator);
    if (!params.archive.read_whole_bytes(bytes))
        return nullptr;
    ShadingEnvironmentResource *r = read_shading_environment(bytes.data(), bytes.size(), params.allocator);
    if (!r)
        log_message("render", "shading_environment %016llx not loaded", (unsigned long long)params.name.value());
    return r;
}

void unload_environment(const ResourceUnloadParams &params)
{
    destroy_shading_environment(static_cast<ShadingEnvironmentResource *>(params.data), params.allocator);
}

} // namespace

ResourceTypeCallbacks shading_environment_callbacks()
{
    ResourceTypeCallbacks callbacks;
    callbacks.load = load_environment;
    callbacks.unload = unload_environment;
    return callbacks;
}

// --- Render side --------------------------------------------------------------------------------

RenderShadingEnvironment::RenderShadingEnvironment(Allocator &allocator, const ShadingEnvironmentResource &resource)
    : RenderObject(RenderObjectClass::ShadingEnvironment), _variables(allocator), _sizes(allocator),
      _values(allocator), _materials(allocator), _raw(allocator)
{
    u32 at = 0;
    for (const ShadingRenderVariable &rv : resource.render_variables) {
        const ShadingVariableDesc &d = resource.variables[rv.variable];
        if (find_variable(rv.id))
            continue;
        ShadingVariable v;
        v.kind = d.type;
        v.element_count = d.element_count;
        v.id = rv.id;
        v.offset = at;
        if (!_variables.push_back(v) || !_sizes.push_back(d.size_bytes))
            break;
        // A plain value goes to the shaders as the block's record; arrays stay for the
        // steps that index them (loops).
        if (d.type <= shading_variable_kind::vector3 && d.element_count == 1)
            _values.records.push_back(ShaderVariableBlock::Record{d.type, rv.id, at});
        at += (d.size_bytes + 3) & ~3u;
    }
    _values.values.resize(at);
    if (_values.values.size() == at && at)
        memset(_values.values.data(), 0, at);
    else if (_values.values.size() != at)
        _values.records.clear(); // out of memory: no record may point past the values
}

u32 RenderShadingEnvironment::index_of(u32 id) const
{
    for (u32 i = 0; i < _variables.size() && i < _sizes.size(); ++i)
        if (_variables[i].id == id)
            return i;
    return 0xFFFFFFFFu;
}

const ShadingVariable *RenderShadingEnvironment::find_variable(u32 id) const
{
    const u32 i = index_of(id);
    return i == 0xFFFFFFFFu ? nullptr : &_variables[i];
}

u32 RenderShadingEnvironment::variable_size(u32 id) const
{
    const u32 i = index_of(id);
    return i == 0xFFFFFFFFu ? 0 : _sizes[i];
}

ShaderContext *RenderShadingEnvironment::material_context(u32 id)
{
    for (MaterialEntry &m : _materials)
        if (m.id == id && m.object && m.object->class_id() == u32(RenderObjectClass::Material))
            return &static_cast<RenderMaterial *>(m.object)->context();
    return nullptr;
}

void RenderShadingEnvironment::apply(const RenderWorld &world, u32 kind, const u8 *payload, u32 payload_bytes)
{
    switch (kind) {
    case shading_record::materials: {
        ShadingMaterialsRecord r;
        if (payload_bytes < sizeof r)
            break;
        memcpy(&r, payload, sizeof r);
        if (r.list_offset < sizeof r || u64(r.list_offset) + u64(r.count) * 8 > payload_bytes) {
            log_message("render", "shading environment material list of %u entries does not fit; dropped", r.count);
            return;
        }
        for (u32 i = 0; i < r.count; ++i) {
            u32 entry[2];
            memcpy(entry, payload + r.list_offset + i * 8, 8);
            if (r.remove) {
                for (u32 k = 0; k < _materials.size(); ++k)
                    if (_materials[k].id == entry[0]) {
                        _materials[k] = _materials.back();
                        _materials.pop_back();
                        break;
                    }
            } else {
                _materials.push_back({entry[0], entry[1], world.object(entry[1])});
            }
        }
        std::sort(_materials.begin(), _materials.end(),
                  [](const MaterialEntry &a, const MaterialEntry &b) { return a.id < b.id; });
        return;
    }
    case shading_record::variable: {
        ShadingValueRecord r;
        if (payload_bytes < sizeof r)
            break;
        memcpy(&r, payload, sizeof r);
        if (r.data_offset < sizeof r || u64(r.data_offset) + r.size_bytes > payload_bytes)
            break;
        const u32 i = index_of(r.id);
        if (i == 0xFFFFFFFFu)
            return;
        const ShadingVariable *v = &_variables[i];
        // A value never spills into the next constant.
        const u32 n = r.size_bytes < _sizes[i] ? r.size_bytes : _sizes[i];
        if (n)
            memcpy(_values.values.data() + v->offset, payload + r.data_offset, n);
        return;
    }
    case shading_record::block: {
        ShadingBlockRecord r;
        if (payload_bytes < sizeof r)
            break;
        memcpy(&r, payload, sizeof r);
        if (r.data_offset < sizeof r || u64(r.data_offset) + r.size_bytes > payload_bytes)
            break;
        _raw.resize(r.size_bytes);
        if (_raw.size() == r.size_bytes && r.size_bytes)
            memcpy(_raw.data(), payload + r.data_offset, r.size_bytes);
        return;
    }
    default: return;
    }
    log_message("render", "shading environment record of kind %u with %u bytes does not fit; dropped", kind,
                payload_bytes);
}

void RenderShadingEnvironment::write_constants(const Shader &shader, u8 *block, u32 block_size) const
{
    for (u32 i = 0; i < _variables.size() && i < _sizes.size(); ++i) {
        const ShadingVariable &v = _variables[i];
        const ShaderVariable *sv = shader.find_variable(v.id);
        if (!sv || sv->kind != shader_variable_kind::value)
            continue;
        const u32 n = _sizes[i] < sv->size_bytes ? _sizes[i] : sv->size_bytes;
        if (n && u64(sv->offset) + n <= block_size)
            memcpy(block + sv->offset, _values.values.data() + v.offset, n);
    }
}

// --- Game side ----------------------------------------------------------------------------------

ShadingEnvironment::ShadingEnvironment(Allocator &allocator)
    : _allocator("ShadingEnvironment", allocator), _values(_allocator), _value_sets(_allocator)
{
}

void ShadingEnvironment::release_render_objects(RenderWorld &world, WorldRenderLink &link)
{
    // The value sets' materials go with the twin: a resource switch must not leave them.
    for (ValueSet &v : _value_sets)
        world.destroy_object(link, v.handle);
    _value_sets.clear();
    world.destroy_object(link, _handle);
    _link = nullptr;
}

void ShadingEnvironment::set_resource(const ShadingEnvironmentResource *resource, const MaterialResource *material,
                                      RenderWorld &world, WorldRenderLink &link)
{
    release_render_objects(world, link);
    _resource = resource;
    if (!resource)
        return;
    RenderShadingEnvironment *twin = make_new<RenderShadingEnvironment>(world.allocator(), world.allocator(), *resource);
    if (!twin || world.create_object(link, _handle, twin) == 0xFFFFFFFFu) {
        log_message("render", "no shading environment twin could be made");
        return;
    }
    _link = &link;
    ShaderManager *shaders = world.shader_manager();
    if (material && shaders) {
        for (const MaterialEntry *e : material->entries) {
            ValueSet v{e->name, 0xFFFFFFFFu};
            RenderMaterial *m = make_new<RenderMaterial>(world.allocator(), world.allocator(), *e, *shaders);
            if (m)
                world.create_object(link, v.handle, m);
            if (v.handle != 0xFFFFFFFFu)
                _value_sets.push_back(v);
        }
        std::sort(_value_sets.begin(), _value_sets.end(), [](const ValueSet &a, const ValueSet &b) { return a.id < b.id; });
    } else if (material) {
        log_message("render", "shading environment: no shader manager, so its material values are not made");
    }
    const u32 count = _value_sets.size();
    ShadingMaterialsRecord header;
    header.handle = _handle;
    header.count = count;
    u8 *payload = static_cast<u8 *>(link.state()->update_stream(0).append(shading_record::materials,
                                                                          u32(sizeof header + count * 8)));
    if (!payload) {
        log_message("render", "no room for the shading environment's material list");
        return;
    }
    memcpy(payload, &header, sizeof header);
    for (u32 i = 0; i < count; ++i) {
        const u32 entry[2] = {_value_sets[i].id, _value_sets[i].handle};
        memcpy(payload + sizeof header + i * 8, entry, 8);
    }
}

bool ShadingEnvironment::update()
{
    if (!_resource)
        return false;
    const ShadingSetting *s = _resource->find_setting(NameId32("default").value());
    if (!s)
        return false;
    _values.resize(s->size_bytes);
    if (_values.size() != s->size_bytes)
        return false;
    if (s->size_bytes)
        memcpy(_values.data(), _resource->setting_bytes.data() + s->offset, s->size_bytes);
    return true;
}

u32 ShadingEnvironment::value_set(u32 id) const
{
    auto it = std::lower_bound(_value_sets.begin(), _value_sets.end(), id,
                               [](const ValueSet &v, u32 key) { return v.id < key; });
    return it != _value_sets.end() && it->id == id ? it->handle : 0xFFFFFFFFu;
}

void ShadingEnvironment::apply_variables()
{
    if (!_resource || !_link || _handle == 0xFFFFFFFFu || !_link->state())
        return;
    RenderStateStream &stream = _link->state()->update_stream(0);
    // A variable lies inside the values only once update() copied a block.
    auto value_of = [&](u32 index, u32 &out_size) -> const u8 * {
        const ShadingVariableDesc &v = _resource->variables[index];
        out_size = v.size_bytes;
        if (u64(v.offset) + v.size_bytes > _values.size())
            return nullptr;
        return _values.data() + v.offset;
    };
    for (const ShadingMaterialBinding &b : _resource->bindings) {
        const u32 handle = value_set(b.value_set);
        u32 size = 0;
        const u8 *value = value_of(b.variable, size);
        if (handle == 0xFFFFFFFFu || !value)
            continue;
        f32 f[3] = {};
        memcpy(f, value, size < 12 ? size : 12);
        Material m(&stream, handle);
        switch (_resource->variables[b.variable].type) {
        case 0: m.set_scalar(b.parameter, f[0]); break;
        case 1: m.set_vector2(b.parameter, f[0], f[1]); break;
        case 2: m.set_vector3(b.parameter, f[0], f[1], f[2]); break;
        default: break;
        }
    }
    for (const ShadingRenderVariable &rv : _resource->render_variables) {
        u32 size = 0;
        const u8 *value = value_of(rv.variable, size);
        if (!value)
            size = 0;
        ShadingValueRecord r;
        r.handle = _handle;
        r.size_bytes = size;
        r.id = rv.id;
        u8 *payload = static_cast<u8 *>(stream.append(shading_record::variable, u32(sizeof r + size)));
        if (!payload)
            return;
        memcpy(payload, &r, sizeof r);
        if (size)
            memcpy(payload + sizeof r, value, size);
    }
    ShadingBlockRecord r;
    r.handle = _handle;
    r.size_bytes = _values.size();
    u8 *payload = static_cast<u8 *>(stream.append(shading_record::block, u32(sizeof r + _values.size())));
    if (!payload)
        return;
    memcpy(payload, &r, sizeof r);
    if (_values.size())
        memcpy(payload + sizeof r, _values.data(), _values.size());
}

} // namespace tallow
