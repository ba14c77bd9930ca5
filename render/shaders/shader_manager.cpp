#include "render/shaders/shader_manager.h"

#include "foundation/config/config_value.h"
#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "foundation/strings/name_id.h"
#include "render/config/render_branch.h"
#include "render/device/render_device.h"
#include "render/resources/render_resource_set.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tallow {

// ---------------------------------------------------------------------------------------
// Shader

Shader::Shader(ShaderManager &manager, u32 name)
    : _manager(&manager), _allocator("shader_resources", manager.allocator()), _name(name), _variables(_allocator),
      _constants(_allocator), _defaults(_allocator), _pass_keys(_allocator), _object_autos(_allocator),
      _camera_autos(_allocator)
{
}

Shader::~Shader() { unbind(); }

const ShaderVariable *Shader::find_variable(u32 name) const
{
    const ShaderVariable *at = std::lower_bound(_variables.begin(), _variables.end(), name,
                                                [](const ShaderVariable &v, u32 n) { return v.name < n; });
    return at != _variables.end() && at->name == name ? at : nullptr;
}

bool Shader::bind(const ShaderLibrary *library, const ShaderRecord *record, const render::d3d11::ShaderDesc *desc)
{
    unbind();
    const ShaderVariableDesc *constants = library->constants.data() + record->constants.first;
    _constants.resize(record->constants.count);
    _variables.reserve(record->variables.count);
    _defaults.resize(record->block_size);
    _pass_keys.resize(record->passes.count);
    if (_constants.size() != record->constants.count || _defaults.size() != record->block_size ||
        _pass_keys.size() != record->passes.count || _variables.capacity() < record->variables.count) {
        unbind();
        return false;
    }
    if (record->constants.count)
        memcpy(_constants.data(), constants, sizeof(ShaderVariableDesc) * record->constants.count);
    if (record->block_size)
        memset(_defaults.data(), 0, record->block_size);
    for (u32 i = 0; i < record->variables.count; ++i) {
        const ShaderVariableEntry &e = library->variables[record->variables.first + i];
        // The reader checked that every entry names a described variable at its offset.
        for (const ShaderVariableDesc &d : _constants) {
            if (d.name == e.name && d.offset == e.offset) {
                _variables.push_back(ShaderVariable{e.name, e.kind, d.type, d.offset, u32(shader_variable_bytes(d))});
                break;
            }
        }
    }
    std::sort(_variables.begin(), _variables.end(),
              [](const ShaderVariable &a, const ShaderVariable &b) { return a.name < b.name; });
    // A resource nobody bound reads as no resource, not as the handle 0.
    for (const ShaderVariable &v : _variables)
        if (v.kind == shader_variable_kind::resource)
            memcpy(_defaults.data() + v.offset, &invalid_render_handle, 4);
    for (u32 p = 0; p < record->passes.count; ++p)
        _pass_keys[p] = library->passes[record->passes.first + p].keys;
    for (const ShaderVariable &v : _variables) {
        ObjectAutoCode code;
        if (v.kind != shader_variable_kind::value || !object_auto_code(v.name, &code))
            continue;
        if (v.type != u32(ShaderValueType::Matrix4x4)) {
            log_message("render", "shader %08x: auto variable %08x is not a 4x4 matrix; left to setters", _name, v.name);
            continue;
        }
        if (code == ObjectAutoCode::Bones)
            _bones_offset = v.offset;
        else
            _object_autos.push_back(ObjectAutoEntry{v.offset, code});
    }
    _block_size = record->block_size;
    _record = record;
    resource.desc = desc;
    build_camera_list();
    return true;
}

void Shader::unbind()
{
    if (_record)
        ++_generation;
    _record = nullptr;
    resource.desc = nullptr;
    _variables.clear();
    _constants.clear();
    _defaults.clear();
    _pass_keys.clear();
    _object_autos.clear();
    _camera_autos.clear();
    _bones_offset = variable_not_found;
    _block_size = 0;
}

void Shader::build_camera_list()
{
    _camera_autos.clear();
    const CameraVariableValues &values = _manager->camera_values();
    for (const ShaderVariable &v : _variables) {
        if (v.kind != shader_variable_kind::value)
            continue;
        CameraAutoSlot slot;
        u32 type = 0, setting = 0;
        if (camera_auto_slot(v.name, &slot, &type)) {
            if (v.type != type) {
                log_message("render", "shader %08x: camera variable %08x has type %u, not %u; left to setters", _name,
                            v.name, v.type, type);
                continue;
            }
            _camera_autos.push_back(CameraAutoEntry{v.offset, slot, 0});
        } else if (v.type == u32(ShaderValueType::Scalar) && values.setting_index(v.name, &setting)) {
            _camera_autos.push_back(CameraAutoEntry{v.offset, CameraAutoSlot::RenderSetting, setting});
        }
    }
}

// ---------------------------------------------------------------------------------------
// ShaderVariableBlock

bool ShaderVariableBlock::add(u32 kind, u32 name, const f32 *value)
{
    if (kind > 2)
        return false;
    const u32 bytes = (kind + 1) * 4;
    const u32 offset = values.size();
    values.resize(offset + bytes);
    if (values.size() != offset + bytes)
        return false;
    memcpy(values.data() + offset, value, bytes);
    return records.push_back(Record{kind, name, offset});
}

// ---------------------------------------------------------------------------------------
// ShaderContext

ShaderContext::ShaderContext(Allocator &allocator) : _allocator(allocator), _slots(allocator) {}

ShaderContext::~ShaderContext() { free_slots(_slots); }

void ShaderContext::free_slots(Array<Slot> &slots)
{
    for (Slot &s : slots) {
        if (s.block)
            _allocator.deallocate(s.block);
        if (s.layout)
            delete_with_allocator(_allocator, s.layout);
    }
    slots.clear();
}

bool ShaderContext::instantiate(const Shader *const *slots, u32 slot_count)
{
    Array<Slot> fresh(_allocator);
    fresh.resize(slot_count);
    bool ok = fresh.size() == slot_count;
    for (u32 i = 0; ok && i < slot_count; ++i) {
        const Shader *shader = slots[i];
        if (!shader || !shader->is_loaded())
            continue;
        Slot &slot = fresh[i];
        slot.shader = shader;
        slot.generation = shader->generation();
        slot.layout = make_new<Array<ShaderVariableDesc>>(_allocator, _allocator);
        if (!slot.layout) {
            ok = false;
            break;
        }
        *slot.layout = shader->constants();
        if (slot.layout->size() != shader->constants().size()) {
            ok = false;
            break;
        }
        slot.size = shader->block_size();
        if (slot.size) {
            slot.block = static_cast<u8 *>(_allocator.allocate(slot.size, 16));
            if (!slot.block) {
                ok = false;
                break;
            }
            memcpy(slot.block, shader->defaults(), slot.size);
        }
        if (i < _slots.size() && _slots[i].block && _slots[i].layout) {
            const Slot &old = _slots[i];
            copy_matching_variables(old.layout->data(), old.layout->size(), old.block, old.size, slot.layout->data(),
                                    slot.layout->size(), slot.block, slot.size);
        }
    }
    free_slots(_slots);
    if (!ok) {
        free_slots(fresh);
        _state = 0;
        log_message("render", "shader context not instantiated: out of memory");
        return false;
    }
    _slots = static_cast<Array<Slot> &&>(fresh);
    _state = 1;
    return true;
}

bool ShaderContext::refresh()
{
    if (!_manager || !_template || _epoch == _manager->epoch())
        return false;
    _epoch = _manager->epoch();
    const Shader *const *slots = _manager->template_slots(_template);
    if (!slots)
        return false;
    return instantiate(slots, _manager->slot_name_count());
}

bool ShaderContext::is_live(const Slot &slot) const
{
    return slot.shader && slot.shader->is_loaded() && slot.shader->generation() == slot.generation;
}

void ShaderContext::write(u32 name, const void *value, u32 size)
{
    for (Slot &slot : _slots) {
        if (!is_live(slot))
            continue;
        const ShaderVariable *v = slot.shader->find_variable(name);
        if (v && v->kind == shader_variable_kind::value && v->size_bytes >= size && u64(v->offset) + size <= slot.size)
            memcpy(slot.block + v->offset, value, size);
    }
}

void ShaderContext::set_scalar(u32 name, f32 value) { write(name, &value, 4); }

void ShaderContext::set_vector2(u32 name, f32 x, f32 y)
{
    const f32 v[2] = {x, y};
    write(name, v, sizeof(v));
}

void ShaderContext::set_vector3(u32 name, f32 x, f32 y, f32 z)
{
    const f32 v[3] = {x, y, z};
    write(name, v, sizeof(v));
}

void ShaderContext::set_matrix(u32 name, const Matrix4x4 &value)
{
    f32 t[16];
    write_transposed(value, t);
    write(name, t, sizeof(t));
}

void ShaderContext::set_matrices(const Matrix4x4 &world, const Matrix4x4 &view, const Matrix4x4 &projection,
                                 const ShaderVariableBlock *block)
{
    for (Slot &slot : _slots) {
        if (!is_live(slot))
            continue;
        const Shader &shader = *slot.shader;
        evaluate_object_auto_variables(shader.object_autos().data(), shader.object_autos().size(), world, view,
                                       projection, slot.block, slot.size);
        evaluate_camera_auto_variables(shader.camera_autos().data(), shader.camera_autos().size(),
                                       shader.manager().camera_values(), slot.block, slot.size);
        if (block)
            write_variable_block(*block, shader, slot.block, slot.size);
    }
}

void write_variable_block(const ShaderVariableBlock &block, const Shader &shader, u8 *out, u32 size)
{
    for (const ShaderVariableBlock::Record &r : block.records) {
        const u32 bytes = r.kind <= 2 ? (r.kind + 1) * 4 : 0;
        if (bytes == 0 || u64(r.offset) + bytes > block.values.size())
            continue;
        const ShaderVariable *v = shader.find_variable(r.name);
        if (v && v->kind == shader_variable_kind::value && v->size_bytes >= bytes && u64(v->offset) + bytes <= size)
            memcpy(out + v->offset, block.values.data() + r.offset, bytes);
    }
}

void ShaderContext::bind_resources(RenderDevice &device, const RenderResourceSet &resources)
{
    for (Slot &slot : _slots) {
        if (!is_live(slot))
            continue;
        for (const ShaderVariable &v : slot.shader->variables()) {
            if (v.kind != shader_variable_kind::resource || u64(v.offset) + 4 > slot.size)
                continue;
            RenderResource *r = resources.find(v.name);
            if (!r)
                continue;
            RenderResourceHandle handle = r->handle;
            if (r->type == RenderResourceType::RenderTarget || r->type == RenderResourceType::DependentRenderTarget ||
                r->type == RenderResourceType::BackBuffer) {
                RenderTarget *instance = device.render_target(static_cast<RenderTarget *>(r), template_window_index);
                if (!instance)
                    continue;
                handle = instance->handle;
            }
            memcpy(slot.block + v.offset, &handle, 4);
        }
    }
}

void ShaderContext::set_resource(u32 name, RenderResourceHandle handle)
{
    for (Slot &slot : _slots) {
        if (!is_live(slot))
            continue;
        const ShaderVariable *v = slot.shader->find_variable(name);
        if (v && v->kind == shader_variable_kind::resource && u64(v->offset) + 4 <= slot.size)
            memcpy(slot.block + v->offset, &handle, 4);
    }
}

bool ShaderContext::slot_entry(u32 slot_index, ShaderSlotEntry *out) const
{
    if (slot_index >= _slots.size() || !is_live(_slots[slot_index]))
        return false;
    const Slot &slot = _slots[slot_index];
    out->shader = slot.shader->resource.resource.handle;
    out->passes = slot.shader->pass_keys().data();
    out->pass_count = slot.shader->pass_keys().size();
    out->constant_block = slot.block;
    out->constant_size_bytes = slot.size;
    return true;
}

const Shader *ShaderContext::shader(u32 slot_index) const
{
    return slot_index < _slots.size() && is_live(_slots[slot_index]) ? _slots[slot_index].shader : nullptr;
}

u8 *ShaderContext::block(u32 slot_index)
{
    return slot_index < _slots.size() && is_live(_slots[slot_index]) ? _slots[slot_index].block : nullptr;
}

u32 ShaderContext::block_size(u32 slot_index) const
{
    return slot_index < _slots.size() && is_live(_slots[slot_index]) ? _slots[slot_index].size : 0;
}

// ---------------------------------------------------------------------------------------
// ShaderManager

ShaderManager::ShaderManager(RenderDevice &device, Allocator &parent)
    : _allocator("ShaderManager", parent), _device(device), _shaders(_allocator), _slot_names(_allocator),
      _templates(_allocator), _camera(_allocator)
{
}

ShaderManager::~ShaderManager()
{
    RenderResourceContext *rc = _device.alloc_resource_context();
    for (Shader *s : _shaders)
        if (rc && s->resource.resource.handle != invalid_render_handle)
            rc->release_resource(&s->resource.resource);
    submit(rc);
    for (Shader *s : _shaders)
        delete_with_allocator(_allocator, s);
    for (Template *t : _templates)
        delete_with_allocator(_allocator, t);
}

void ShaderManager::submit(RenderResourceContext *context)
{
    if (!context)
        return;
    context->set_event(true);
    _device.update_resources(1, &context);
    context->set_event(false);
    _device.release_resource_context(context);
}

void ShaderManager::set_render_settings(const ConfigValue *settings)
{
    _settings = settings;
    _camera.set_settings(settings);
    for (Shader *s : _shaders)
        if (s->is_loaded())
            s->build_camera_list();
}

Shader *ShaderManager::find_shader(u32 name) const
{
    Shader *const *at = std::lower_bound(_shaders.begin(), _shaders.end(), name,
                                         [](const Shader *s, u32 n) { return s->name() < n; });
    return at != _shaders.end() && (*at)->name() == name ? *at : nullptr;
}

bool ShaderManager::add_shader_library(const ShaderLibrary &library)
{
    RenderResourceContext *rc = _device.alloc_resource_context();
    if (!rc)
        return false;
    bool ok = true;
    Array<Shader *> fresh(_allocator);
    for (u32 i = 0; i < library.shaders.size(); ++i) {
        const ShaderRecord &record = library.shaders[i];
        Shader *shader = find_shader(record.name);
        for (u32 k = 0; !shader && k < fresh.size(); ++k)
            if (fresh[k]->name() == record.name)
                shader = fresh[k];
        if (shader) {
            if (shader->resource.resource.handle != invalid_render_handle)
                rc->release_resource(&shader->resource.resource);
        } else {
            shader = make_new<Shader>(_allocator, *this, record.name);
            if (!shader || !fresh.push_back(shader)) {
                if (shader)
                    delete_with_allocator(_allocator, shader);
                ok = false;
                continue;
            }
        }
        const render::d3d11::ShaderDesc *desc = library.device_data ? library.device_data->description(i) : nullptr;
        if (!shader->bind(&library, &record, desc)) {
            log_message("render", "shader %08x not added: out of memory", record.name);
            ok = false;
            continue;
        }
        rc->create_resource(&shader->resource.resource);
    }
    submit(rc);
    ++_epoch;
    for (Shader *s : fresh)
        _shaders.push_back(s);
    std::sort(_shaders.begin(), _shaders.end(), [](const Shader *a, const Shader *b) { return a->name() < b->name(); });
    return ok;
}

void ShaderManager::remove_shader_library(const ShaderLibrary &library)
{
    RenderResourceContext *rc = _device.alloc_resource_context();
    for (const ShaderRecord &record : library.shaders) {
        Shader *shader = find_shader(record.name);
        if (!shader || shader->record() != &record)
            continue; // replaced by another library since
        if (rc && shader->resource.resource.handle != invalid_render_handle)
            rc->release_resource(&shader->resource.resource);
        shader->unbind();
    }
    submit(rc);
    ++_epoch;
}

ShaderManager::Template *ShaderManager::find_template_entry(u32 name) const
{
    Template *const *at = std::lower_bound(_templates.begin(), _templates.end(), name,
                                           [](const Template *t, u32 n) { return t->name < n; });
    return at != _templates.end() && (*at)->name == name ? *at : nullptr;
}

u32 ShaderManager::slot_index(u32 slot_name) const
{
    for (u32 i = 0; i < _slot_names.size(); ++i)
        if (_slot_names[i] == slot_name)
            return i;
    return variable_not_found;
}

void ShaderManager::update_templates(const ShaderLibrary &library)
{
    ++_epoch;
    for (const TemplateRecord &record : library.templates) {
        Template *entry = find_template_entry(record.name);
        if (!entry) {
            entry = make_new<Template>(_allocator, _allocator);
            if (!entry || !_templates.push_back(entry)) {
                if (entry)
                    delete_with_allocator(_allocator, entry);
                continue;
            }
            entry->name = record.name;
            std::sort(_templates.begin(), _templates.end(),
                      [](const Template *a, const Template *b) { return a->name < b->name; });
        }
        entry->slots.resize(_slot_names.size());
        for (Shader *&s : entry->slots)
            s = nullptr;
        for (u32 k = 0; k < record.slots.count; ++k) {
            const TemplateSlotRecord &slot = library.slots[record.slots.first + k];
            u32 index = slot_index(slot.name);
            if (index == variable_not_found) {
                index = _slot_names.size();
                _slot_names.push_back(slot.name);
            }
            // Every template is as long as the slot list, so a slot index learnt from a
            // later template never reads past an older template's array.
            for (Template *t : _templates) {
                const u32 had = t->slots.size();
                t->slots.resize(_slot_names.size());
                for (u32 j = had; j < t->slots.size(); ++j)
                    t->slots[j] = nullptr;
            }
            if (index >= entry->slots.size())
                continue; // out of memory
            Shader *chosen = nullptr;
            for (u32 o = 0; o < slot.options.count; ++o) {
                const TemplateOptionRecord &option = library.options[slot.options.first + o];
                const bool matches =
                    option.condition.count == 0 ||
                    config_matches(_caps, ConstConfigValue::root(library.conditions.data() + option.condition.first,
                                                                 option.condition.count));
                if (matches) {
                    chosen = find_shader(option.shader);
                    break;
                }
            }
            entry->slots[index] = chosen;
        }
    }
}

void ShaderManager::remove_templates(const ShaderLibrary &library)
{
    ++_epoch;
    for (const TemplateRecord &record : library.templates) {
        for (u32 i = 0; i < _templates.size(); ++i) {
            if (_templates[i]->name == record.name) {
                delete_with_allocator(_allocator, _templates[i]);
                _templates.erase(i);
                break;
            }
        }
    }
}

const Shader *const *ShaderManager::template_slots(u32 name) const
{
    const Template *entry = find_template_entry(name);
    return entry ? entry->slots.data() : nullptr;
}

bool ShaderManager::instantiate_template(const Template &entry, ShaderContext &context)
{
    const bool ok = context.instantiate(entry.slots.data(), entry.slots.size());
    context._manager = this;
    context._template = entry.name;
    context._epoch = _epoch;
    return ok;
}

bool ShaderManager::find_template(u32 name, ShaderContext &context)
{
    Template *entry = find_template_entry(name);
    if (!entry) {
        char text[16];
        snprintf(text, sizeof(text), "%08x", name);
        log_message("render", "Can't find shader template: %s", text);
        return false;
    }
    return instantiate_template(*entry, context);
}

bool ShaderManager::find_template(const char *name, ShaderContext &context)
{
    Template *entry = find_template_entry(NameId32(name).value());
    if (!entry) {
        log_message("render", "Can't find shader template: %s", name);
        return false;
    }
    return instantiate_template(*entry, context);
}

bool ShaderManager::find_optional_template(u32 name, ShaderContext &context)
{
    Template *entry = find_template_entry(name);
    return entry && instantiate_template(*entry, context);
}

} // namespace tallow
