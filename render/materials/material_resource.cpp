#include "render/materials/material_resource.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "render/resources/render_target.h"
#include "render/resources/resource_cursor.h"
#include "render/world/render_state_stream.h"
#include "resource/resource_manager.h"

#include <cstring>

namespace tallow {

namespace {

using Cursor = ResourceCursor;

bool read_entry(Cursor &c, MaterialEntry &e)
{
    u32 n = 0;
    c.u32v(e.name);
    c.u32v(e.shader_template);
    if (!c.count(n, 16, "more texture references than bytes"))
        return false;
    e.textures.reserve(n);
    if (e.textures.capacity() < n)
        return c.fail("out of memory");
    for (u32 i = 0; i < n; ++i) {
        MaterialTextureRef ref;
        u32 unused = 0;
        c.u32v(ref.channel);
        c.u32v(unused);
        c.u64v(ref.texture);
        e.textures.push_back(ref);
    }
    u32 value_count = 0;
    if (!c.count(value_count, 16, "more values than bytes"))
        return false;
    struct Raw {
        u32 kind, variable, offset;
    };
    Array<Raw> raw(e.values.allocator());
    raw.reserve(value_count);
    if (raw.capacity() < value_count)
        return c.fail("out of memory");
    for (u32 i = 0; i < value_count; ++i) {
        Raw r{};
        u32 unused = 0;
        c.u32v(r.kind);
        c.u32v(unused);
        c.u32v(r.variable);
        c.u32v(r.offset);
        if (!c.failed && material_value_floats(r.kind) == 0)
            return c.fail("a value kind past 2");
        raw.push_back(r);
    }
    u32 block_bytes = 0;
    if (!c.count(block_bytes, 1, "a value block longer than the bytes left"))
        return false;
    const u8 *block = c.p;
    c.p += block_bytes;
    c.left -= block_bytes;
    e.values.reserve(value_count);
    if (e.values.capacity() < value_count)
        return c.fail("out of memory");
    for (const Raw &r : raw) {
        u32 floats = material_value_floats(r.kind);
        if (u64(r.offset) + u64(floats) * 4 > block_bytes)
            return c.fail("a value outside its value block");
        MaterialValue v;
        v.kind = r.kind;
        v.variable = r.variable;
        memcpy(v.value, block + r.offset, floats * 4);
        e.values.push_back(v);
    }
    return !c.failed;
}

// The optional names block after the materials; any mismatch leaves every name empty.
void read_shader_names(Cursor &c, MaterialResource &material)
{
    if (c.left == 0)
        return;
    u32 count = 0;
    c.u32v(count);
    if (count != material.entries.size()) {
        log_message("render", "material shader names: %u names for %u materials; names ignored", count,
                    material.entries.size());
        return;
    }
    for (MaterialEntry *e : material.entries) {
        u32 length = 0;
        const u8 *text = nullptr;
        if (!c.u32v(length) || length > 255 || !c.bytes((length + 3) & ~3u, text)) {
            log_message("render", "material shader names do not fit their block; names ignored");
            for (MaterialEntry *f : material.entries)
                f->shader_name.clear();
            return;
        }
        e->shader_name.resize(length);
        if (e->shader_name.size() == length && length)
            memcpy(e->shader_name.data(), text, length);
    }
}

} // namespace

u32 material_value_floats(u32 kind) { return kind <= 2 ? kind + 1 : 0; }

MaterialResource::~MaterialResource()
{
    for (MaterialEntry *e : entries)
        delete_with_allocator(*allocator, e);
}

const MaterialEntry *MaterialResource::find(u32 name) const
{
    for (const MaterialEntry *e : entries)
        if (e->name == name)
            return e;
    return nullptr;
}

MaterialResource *read_material_resource(const u8 *bytes, u64 size_bytes, Allocator &allocator)
{
    Cursor c(bytes, size_bytes, "material");
    u32 version = 0, count = 0;
    c.u32v(version);
    // A material takes at least 20 bytes: two ids and three counts.
    if (!c.count(count, 20, "more materials than bytes"))
        return nullptr;
    MaterialResource *material = make_new<MaterialResource>(allocator, allocator);
    if (!material)
        return nullptr;
    material->entries.reserve(count);
    bool ok = material->entries.capacity() >= count || c.fail("out of memory");
    for (u32 i = 0; ok && i < count; ++i) {
        MaterialEntry *e = make_new<MaterialEntry>(allocator, allocator);
        if (!e) {
            ok = c.fail("out of memory");
            break;
        }
        material->entries.push_back(e);
        ok = read_entry(c, *e);
    }
    if (!ok) {
        delete_with_allocator(allocator, material);
        return nullptr;
    }
    // The block is optional and lenient: its own cursor, so a bad one refuses nothing.
    Cursor names(c.p, c.left, "material shader names");
    read_shader_names(names, *material);
    return material;
}

void destroy_material_resource(MaterialResource *material)
{
    if (material)
        delete_with_allocator(*material->allocator, material);
}

u32 resolve_material_textures(MaterialResource &material, const Array<u32> &texture_channels,
                              const ResourceLookup &resources)
{
    static const NameId64 texture_type("texture");
    u32 skipped = 0;
    for (MaterialEntry *e : material.entries) {
        e->slots.resize(0);
        e->slots.resize(texture_channels.size());
        for (u32 s = 0; s < e->slots.size(); ++s)
            e->slots[s] = nullptr;
        for (const MaterialTextureRef &ref : e->textures) {
            u32 slot = 0;
            while (slot < texture_channels.size() && texture_channels[slot] != ref.channel)
                ++slot;
            if (slot == texture_channels.size() || slot >= e->slots.size()) {
                log_message("render", "material %08x: texture channel %08x is not a texture channel of the render "
                                      "configuration; its texture is skipped",
                            e->name, ref.channel);
                ++skipped;
                continue;
            }
            e->slots[slot] = static_cast<const Texture *>(resources.find(texture_type, NameId64::from_value(ref.texture)));
            if (!e->slots[slot])
                log_message_once(ref.texture ^ (u64(e->name) << 32 | ref.channel), "render",
                                 "material %08x: texture %016llx (channel %08x) is not loaded; the channel draws "
                                 "with no texture",
                                 e->name, (unsigned long long)ref.texture, ref.channel);
        }
    }
    material.resolved = true;
    return skipped;
}

namespace {

void *load_material(const ResourceLoadParams &params)
{
    Array<u8> bytes(params.allocator);
    if (!params.archive.read_whole_bytes(bytes))
        return nullptr;
    MaterialResource *m = read_material_resource(bytes.data(), bytes.size(), params.allocator);
    if (!m)
        log_message("render", "material %016llx not loaded", (unsigned long long)params.name.value());
    return m;
}

void release_textures(MaterialResource &material, u32 first)
{
    for (u32 i = first; i < material.textures.size(); ++i)
        material.textures[i].release(*material.texture_holder);
    material.textures.resize(first);
}

void unload_material(const ResourceUnloadParams &params)
{
    auto *material = static_cast<MaterialResource *>(params.data);
    if (material && material->texture_holder)
        release_textures(*material, 0);
    destroy_material_resource(material);
}

void resolve_material(void *userdata, void *data, ResourceManager &manager)
{
    auto *context = static_cast<const MaterialResolveContext *>(userdata);
    const Array<u32> no_channels(manager.allocator());
    const Array<u32> &channels = context && context->texture_channels ? *context->texture_channels : no_channels;
    auto &material = *static_cast<MaterialResource *>(data);
    resolve_material_textures(material, channels, resource_lookup(manager));
    // The slots point into the textures: hold each one they name, the new holds before the
    // old ones go (a texture held again must not be freed in between).
    static const NameId64 texture_type("texture");
    const u32 old_count = material.textures.size();
    material.texture_holder = &manager;
    for (const MaterialEntry *e : material.entries)
        for (const MaterialTextureRef &ref : e->textures) {
            const NameId64 name = NameId64::from_value(ref.texture);
            bool held = false;
            for (u32 i = old_count; i < material.textures.size(); ++i)
                held = held || material.textures[i].name == name;
            ResourceHold h;
            if (held || !h.hold(manager, texture_type, name))
                continue;
            if (!material.textures.push_back(h)) {
                // Not held: its slots must not point into it.
                h.release(manager);
                for (MaterialEntry *entry : material.entries)
                    for (const Texture *&slot : entry->slots)
                        if (slot == manager.get(texture_type, name))
                            slot = nullptr;
            }
        }
    for (u32 i = 0; i < old_count; ++i)
        material.textures[i].release(manager);
    for (u32 i = old_count; i < material.textures.size(); ++i)
        material.textures[i - old_count] = material.textures[i];
    material.textures.resize(material.textures.size() - old_count);
}

} // namespace

ResourceTypeCallbacks material_resource_callbacks(const MaterialResolveContext *context)
{
    ResourceTypeCallbacks callbacks;
    callbacks.userdata = const_cast<MaterialResolveContext *>(context);
    callbacks.load = load_material;
    callbacks.unload = unload_material;
    callbacks.resolve = resolve_material;
    return callbacks;
}

// --- RenderMaterial ---------------------------------------------------------------------

RenderMaterial::RenderMaterial(Allocator &allocator, const MaterialEntry &entry, ShaderManager &shaders,
                               u32 shader_template)
    : RenderObject(RenderObjectClass::Material), _shaders(&shaders), _variant(shader_template), _context(allocator),
      _textures(allocator), _values(allocator)
{
    set_entry(entry);
}

void RenderMaterial::set_template(u32 name, const Array<char> *text)
{
    _template = name;
    // The warning of a missing template names it when the material data carries its name.
    if (text && !text->empty() && text->size() < 256) {
        char buffer[256];
        memcpy(buffer, text->data(), text->size());
        buffer[text->size()] = '\0';
        if (NameId32(buffer).value() == name) {
            _shaders->find_template(buffer, _context);
            return;
        }
    }
    _shaders->find_template(name, _context);
}

void RenderMaterial::apply_value(const MaterialValue &v)
{
    switch (v.kind) {
    case 0: _context.set_scalar(v.variable, v.value[0]); break;
    case 1: _context.set_vector2(v.variable, v.value[0], v.value[1]); break;
    case 2: _context.set_vector3(v.variable, v.value[0], v.value[1], v.value[2]); break;
    default: return;
    }
    for (MaterialValue &held : _values)
        if (held.variable == v.variable) {
            held = v;
            return;
        }
    _values.push_back(v);
}

void RenderMaterial::refresh_shaders()
{
    if (!_context.refresh())
        return;
    // A variable whose type changed with its shader lost its value in the new block.
    for (const MaterialValue &v : _values) {
        switch (v.kind) {
        case 0: _context.set_scalar(v.variable, v.value[0]); break;
        case 1: _context.set_vector2(v.variable, v.value[0], v.value[1]); break;
        case 2: _context.set_vector3(v.variable, v.value[0], v.value[1], v.value[2]); break;
        default: break;
        }
    }
}

void RenderMaterial::set_entry(const MaterialEntry &entry)
{
    set_template(_variant ? _variant : entry.shader_template, _variant ? nullptr : &entry.shader_name);
    _values.resize(0);
    for (const MaterialValue &v : entry.values)
        apply_value(v);
    _textures.resize(0);
    for (const Texture *t : entry.slots) {
        MaterialTextureBinding b;
        if (t) {
            b.type = u32(t->type);
            b.handle = t->handle;
        }
        _textures.push_back(b);
    }
}

void RenderMaterial::apply_message(u32 kind, const u8 *payload, u32 payload_bytes)
{
    u32 words[6] = {}; // the longest record: a three-component value after its three header words
    auto need = [&](u32 n) {
        static_assert(sizeof words == 6 * 4);
        if (n > 6 || payload_bytes < n * 4) {
            log_message("render", "material record of kind %u with %u bytes dropped", kind, payload_bytes);
            return false;
        }
        memcpy(words, payload, n * 4);
        return true;
    };
    switch (kind) {
    case 0:
        if (!need(5))
            return;
        if (words[2] >= _textures.size()) {
            log_message("render", "material record names texture channel %u of %u; dropped", words[2],
                        _textures.size());
            return;
        }
        _textures[words[2]] = {words[3], words[4]};
        return;
    case 1:
        if (need(3))
            set_template(words[2]);
        return;
    case 2:
    case 3:
    case 4: {
        if (!need(3 + (kind - 1)))
            return;
        MaterialValue v;
        v.kind = kind - 2;
        v.variable = words[2];
        memcpy(v.value, payload + 12, (kind - 1) * 4);
        apply_value(v);
        return;
    }
    case 5: {
        const MaterialEntry *entry = nullptr;
        if (payload_bytes < 8 + sizeof entry) {
            log_message("render", "material record of kind 5 with %u bytes dropped", payload_bytes);
            return;
        }
        memcpy(&entry, payload + 8, sizeof entry);
        if (entry)
            set_entry(*entry);
        return;
    }
    default: RenderObject::apply_message(kind, payload, payload_bytes);
    }
}

// --- MaterialValueSet -----------------------------------------------------------------------

void MaterialValueSet::copy_from(const MaterialValueSet &other)
{
    reserved = 0;
    handle = 0xFFFFFFFFu;
    flags = 0;
    shader = other.shader;
    extra[0] = other.extra[0];
    extra[1] = other.extra[1];
}

MaterialValueSet &MaterialValueSet::operator=(const MaterialValueSet &other)
{
    if (this != &other) {
        values = other.values;
        copy_from(other);
    }
    return *this;
}

// --- Material (game side) ----------------------------------------------------------------

void Material::send(u32 floats, u32 variable, const f32 *value)
{
    if (!_stream || _handle == 0xFFFFFFFFu)
        return;
    MaterialValueRecord record;
    record.handle = _handle;
    record.variable = variable;
    memcpy(record.value, value, floats * 4);
    _stream->write(material_record_kind_scalar + floats - 1, &record, 12 + floats * 4);
}

void Material::set_scalar(u32 variable, f32 value) { send(1, variable, &value); }

void Material::set_vector2(u32 variable, f32 x, f32 y)
{
    const f32 v[2] = {x, y};
    send(2, variable, v);
}

void Material::set_vector3(u32 variable, f32 x, f32 y, f32 z)
{
    const f32 v[3] = {x, y, z};
    send(3, variable, v);
}

} // namespace tallow
