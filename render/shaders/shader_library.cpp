#include "render/shaders/shader_library.h"

#include "foundation/config/config_blob.h"
#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "render/commands/sort_key.h"
#include "render/d3d11/d3d_render_state_builder.h"
#include "render/d3d11/d3d_shader_desc.h"
#include "render/resources/resource_cursor.h"
#include "resource/resource_manager.h"

#include <cstring>

namespace tallow {

namespace d3d = render::d3d11;

namespace {

using Cursor = ResourceCursor;

template <typename T> bool append(Array<T> &pool, const T &value, Cursor &c)
{
    return pool.push_back(value) || c.fail("out of memory");
}

PoolRange range_at(u32 first, u32 end) { return PoolRange{first, end - first}; }

bool read_states(Cursor &c, Array<ProgramState> &states, PoolRange &out)
{
    u32 n = 0;
    if (!c.count(n, 13, "render-state count past the end"))
        return false;
    const u32 first = states.size();
    for (u32 i = 0; i < n; ++i) {
        ProgramState s{};
        u8 first_byte = 0;
        c.u32v(s.id);
        c.u8v(first_byte);
        c.u32v(s.value);
        c.u32v(s.last);
        s.first = first_byte;
        if (c.failed || !append(states, s, c))
            return false;
    }
    out = range_at(first, states.size());
    return true;
}

template <typename T, u32 Words> bool read_words(Cursor &c, Array<T> &pool, PoolRange &out, const char *what)
{
    u32 n = 0;
    if (!c.count(n, Words * 4, what))
        return false;
    const u32 first = pool.size();
    for (u32 i = 0; i < n; ++i) {
        u32 w[Words] = {};
        for (u32 k = 0; k < Words; ++k)
            c.u32v(w[k]);
        T value;
        memcpy(&value, w, sizeof(T));
        if (c.failed || !append(pool, value, c))
            return false;
    }
    out = range_at(first, pool.size());
    return true;
}

bool read_shaders(Cursor &c, ShaderLibrary &lib)
{
    u32 shader_count = 0;
    if (!c.count(shader_count, 28, "shader count past the end"))
        return false;
    for (u32 s = 0; s < shader_count; ++s) {
        ShaderRecord r{};
        c.u32v(r.name);
        c.u32v(r.options);
        if (!read_words<ShaderVariableEntry, 3>(c, lib.variables, r.variables, "variable count past the end"))
            return false;
        u32 buffer_count = 0;
        if (!c.count(buffer_count, 12, "constant-buffer count past the end"))
            return false;
        const u32 first_buffer = lib.buffers.size();
        const u32 first_constant = lib.constants.size();
        for (u32 b = 0; b < buffer_count; ++b) {
            ShaderConstantBufferEntry e{};
            if (!read_words<ShaderVariableDesc, 4>(c, lib.constants, e.variables, "constant count past the end"))
                return false;
            c.u32v(e.slot);
            c.u32v(e.size_bytes);
            if (c.failed || !append(lib.buffers, e, c))
                return false;
        }
        r.buffers = range_at(first_buffer, lib.buffers.size());
        r.constants = range_at(first_constant, lib.constants.size());
        u32 pass_count = 0;
        if (!c.count(pass_count, 4, "pass count past the end"))
            return false;
        if (pass_count > sort_key::max_passes)
            return c.fail("a shader has more than 7 passes (the sort key holds pass numbers 1 to 7)");
        const u32 first_pass = lib.passes.size();
        for (u32 p = 0; p < pass_count; ++p) {
            ShaderPassRecord pass{};
            c.u32v(pass.layer);
            for (u32 k = 0; k < max_layer_configs; ++k)
                pass.keys.sort_mode[k] = SortMode::Nothing;
            if (c.failed || !append(lib.passes, pass, c))
                return false;
        }
        r.passes = range_at(first_pass, lib.passes.size());
        c.u32v(r.high_pass);
        if (c.failed || !append(lib.shaders, r, c))
            return false;
    }
    return true;
}

bool read_templates(Cursor &c, ShaderLibrary &lib)
{
    u32 template_count = 0;
    if (!c.count(template_count, 8, "template count past the end"))
        return false;
    for (u32 t = 0; t < template_count; ++t) {
        TemplateRecord r{};
        u32 slot_count = 0;
        c.u32v(r.name);
        if (!c.count(slot_count, 8, "template slot count past the end"))
            return false;
        const u32 first_slot = lib.slots.size();
        for (u32 s = 0; s < slot_count; ++s) {
            TemplateSlotRecord slot{};
            u32 option_count = 0;
            c.u32v(slot.name);
            if (!c.count(option_count, 8, "template option count past the end"))
                return false;
            const u32 first_option = lib.options.size();
            for (u32 o = 0; o < option_count; ++o) {
                TemplateOptionRecord option{};
                u32 length = 0;
                const u8 *blob = nullptr;
                c.u32v(option.shader);
                c.u32v(length);
                if (!c.bytes(length, blob))
                    return false;
                option.condition.first = lib.conditions.size();
                option.condition.count = length;
                if (length) {
                    if (!validate_const_config(blob, length))
                        return c.fail("a template condition is not a valid config blob");
                    // Conditions start 4-aligned in the pool, as flat blobs must.
                    const u32 at = (lib.conditions.size() + 3) & ~3u;
                    lib.conditions.resize(at + length);
                    if (lib.conditions.size() != at + length)
                        return c.fail("out of memory");
                    memcpy(lib.conditions.data() + at, blob, length);
                    option.condition.first = at;
                }
                if (!append(lib.options, option, c))
                    return false;
            }
            slot.options = range_at(first_option, lib.options.size());
            if (c.failed || !append(lib.slots, slot, c))
                return false;
        }
        r.slots = range_at(first_slot, lib.slots.size());
        if (c.failed || !append(lib.templates, r, c))
            return false;
    }
    return true;
}

bool read_device_data(Cursor &c, ShaderLibrary &lib, DeviceDataWin32 &dd)
{
    u32 entry_count = 0;
    if (!c.count(entry_count, 4, "device-data count past the end"))
        return false;
    if (entry_count != lib.shaders.size())
        return c.fail("device data does not hold one entry per shader");
    constexpr u64 min_program_bytes = 8 + shader_stage_count * 20;
    for (u32 s = 0; s < entry_count; ++s) {
        u32 program_count = 0;
        if (!c.count(program_count, min_program_bytes, "program count past the end"))
            return false;
        if (program_count != lib.shaders[s].passes.count)
            return c.fail("a shader's device data does not hold one program per pass");
        const u32 first_program = dd.programs.size();
        for (u32 p = 0; p < program_count; ++p) {
            ProgramRecord program{};
            if (!read_states(c, dd.states, program.states))
                return false;
            u32 sampler_count = 0;
            if (!c.count(sampler_count, 8, "sampler count past the end"))
                return false;
            const u32 first_sampler = dd.samplers.size();
            for (u32 k = 0; k < sampler_count; ++k) {
                ProgramSampler sampler{};
                c.u32v(sampler.name);
                if (!read_states(c, dd.states, sampler.states) || !append(dd.samplers, sampler, c))
                    return false;
            }
            program.samplers = range_at(first_sampler, dd.samplers.size());
            for (ProgramStage &stage : program.stages) {
                u32 length = 0;
                const u8 *code = nullptr;
                c.u32v(length);
                if (!c.bytes(length, code))
                    return false;
                stage.code.first = dd.code.size();
                stage.code.count = length;
                if (length) {
                    dd.code.resize(stage.code.first + length);
                    if (dd.code.size() != stage.code.first + length)
                        return c.fail("out of memory");
                    memcpy(dd.code.data() + stage.code.first, code, length);
                }
                if (!read_words<ProgramWords4, 4>(c, dd.words4, stage.resources, "resource binding count past the end") ||
                    !read_words<ProgramWords4, 4>(c, dd.words4, stage.buffers, "constant buffer count past the end") ||
                    !read_words<ProgramWords4, 4>(c, dd.words4, stage.unordered_views, "unordered view count past the end") ||
                    !read_words<ProgramWords3, 3>(c, dd.words3, stage.samplers, "sampler binding count past the end"))
                    return false;
            }
            if (!append(dd.programs, program, c))
                return false;
        }
        if (!append(dd.shader_programs, range_at(first_program, dd.programs.size()), c))
            return false;
    }
    return true;
}

bool refuse(const ShaderRecord &r, const char *what)
{
    log_message("render", "shader library refused: shader %08x %s", r.name, what);
    return false;
}

// The checks that need the whole library: layouts, variable maps and stage tables against
// the block each shader's contexts will allocate.
bool validate(ShaderLibrary &lib, const DeviceDataWin32 &dd)
{
    for (ShaderRecord &r : lib.shaders) {
        ShaderVariableDesc *constants = lib.constants.data() + r.constants.first;
        r.layout_size = layout_shader_variables(constants, r.constants.count);
        if (r.layout_size == variable_not_found)
            return refuse(r, "has an unknown value type or a constant block past 1 MiB");
        u64 block = r.layout_size;
        const PoolRange programs = dd.shader_programs[u32(&r - lib.shaders.data())];
        for (u32 p = 0; p < programs.count; ++p) {
            for (const ProgramStage &stage : dd.programs[programs.first + p].stages) {
                for (u32 b = 0; b < stage.buffers.count; ++b) {
                    const ProgramWords4 &w = dd.words4[stage.buffers.first + b];
                    if (w.b == 0 || w.b % 16 != 0 || w.b > 65536)
                        return refuse(r, "has a stage constant buffer whose size is 0, past 64 KiB or not a multiple of 16");
                    if (u64(w.c) + w.b > block)
                        block = u64(w.c) + w.b;
                }
            }
        }
        block = (block + 15) & ~u64(15);
        if (block > max_constant_block_bytes)
            return refuse(r, "has a constant block past 1 MiB");
        r.block_size = u32(block);
        for (u32 v = 0; v < r.variables.count; ++v) {
            const ShaderVariableEntry &e = lib.variables[r.variables.first + v];
            const ShaderVariableDesc *desc = nullptr;
            for (u32 k = 0; k < r.constants.count && !desc; ++k)
                if (constants[k].name == e.name)
                    desc = &constants[k];
            if (!desc || desc->offset != e.offset)
                return refuse(r, "has a variable entry that names no described variable at its offset");
            if (e.kind > shader_variable_kind::resource)
                return refuse(r, "has a variable entry of an unknown kind");
            if (e.kind == shader_variable_kind::resource && desc->type != u32(ShaderValueType::Int))
                return refuse(r, "has a resource variable that is not a 32-bit handle");
        }
        for (u32 p = 0; p < programs.count; ++p) {
            for (const ProgramStage &stage : dd.programs[programs.first + p].stages) {
                for (u32 k = 0; k < stage.resources.count; ++k) {
                    const u32 at = dd.words4[stage.resources.first + k].c;
                    if (at != d3d::no_block_offset && u64(at) + 4 > block)
                        return refuse(r, "binds a resource handle outside its constant block");
                }
                for (u32 k = 0; k < stage.unordered_views.count; ++k) {
                    const u32 at = dd.words4[stage.unordered_views.first + k].a;
                    if (at != d3d::no_block_offset && u64(at) + 4 > block)
                        return refuse(r, "binds an unordered view outside its constant block");
                }
            }
        }
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------

struct DeviceDataWin32::Built {
    explicit Built(Allocator &a)
        : descs(a), passes(a), samplers(a), bindings(a), offsets(a), buffers(a), layouts(a)
    {
    }
    Array<d3d::ShaderDesc> descs;
    Array<d3d::ShaderPassDesc> passes;
    Array<d3d::ShaderSamplerDesc> samplers;
    Array<d3d::ShaderBindingDesc> bindings;
    Array<u32> offsets;
    Array<d3d::StageConstantBufferDesc> buffers;
    Array<d3d::StageResourceLayout> layouts;
};

DeviceDataWin32::DeviceDataWin32(Allocator &allocator)
    : shader_programs(allocator), programs(allocator), states(allocator), samplers(allocator), words4(allocator),
      words3(allocator), code(allocator), _allocator(allocator)
{
}

DeviceDataWin32::~DeviceDataWin32()
{
    if (_built)
        delete_with_allocator(_allocator, _built);
}

bool DeviceDataWin32::build_descriptions(const Array<ShaderRecord> &shaders)
{
    if (!_built)
        _built = make_new<Built>(_allocator, _allocator);
    if (!_built)
        return false;
    Built &b = *_built;
    // Size every pool first: the descriptions point into them, so none may move afterwards.
    u32 binding_count = 0, buffer_count = 0, resource_count = 0;
    for (const ProgramRecord &p : programs)
        for (const ProgramStage &s : p.stages) {
            binding_count += s.resources.count + s.samplers.count + s.unordered_views.count;
            buffer_count += s.buffers.count;
            resource_count += s.resources.count;
        }
    b.descs.reserve(shader_programs.size());
    b.passes.reserve(programs.size());
    b.samplers.reserve(samplers.size());
    b.bindings.reserve(binding_count);
    b.offsets.reserve(resource_count);
    b.buffers.reserve(buffer_count);
    b.layouts.reserve(programs.size() * shader_stage_count);
    if (b.descs.capacity() < shader_programs.size() || b.passes.capacity() < programs.size() ||
        b.samplers.capacity() < samplers.size() || b.bindings.capacity() < binding_count ||
        b.offsets.capacity() < resource_count || b.buffers.capacity() < buffer_count ||
        b.layouts.capacity() < programs.size() * shader_stage_count)
        return false;

    // File order vertex, hull, domain, geometry, pixel, compute; the description's order
    // swaps hull and domain.
    static const d3d::DescStage stage_of[shader_stage_count] = {d3d::DescStage::vertex, d3d::DescStage::hull,
                                                                d3d::DescStage::domain, d3d::DescStage::geometry,
                                                                d3d::DescStage::pixel, d3d::DescStage::compute};
    const auto state_list = [&](PoolRange r) {
        d3d::RenderStateList list;
        list.settings = r.count ? reinterpret_cast<const d3d::RenderStateSetting *>(states.data() + r.first) : nullptr;
        list.count = r.count;
        return list;
    };
    static_assert(sizeof(ProgramState) == sizeof(d3d::RenderStateSetting));
    for (u32 s = 0; s < shader_programs.size(); ++s) {
        const PoolRange range = shader_programs[s];
        d3d::ShaderDesc desc;
        desc.passes = b.passes.data() + b.passes.size();
        desc.pass_count = range.count;
        desc.pass_mode = s < shaders.size() && shaders[s].high_pass ? 1 : 0;
        for (u32 p = 0; p < range.count; ++p) {
            const ProgramRecord &program = programs[range.first + p];
            d3d::ShaderPassDesc pass;
            pass.samplers = b.samplers.data() + b.samplers.size();
            pass.sampler_count = program.samplers.count;
            for (u32 k = 0; k < program.samplers.count; ++k) {
                const ProgramSampler &ps = samplers[program.samplers.first + k];
                b.samplers.push_back(d3d::ShaderSamplerDesc{ps.name, state_list(ps.states)});
            }
            if (!program.samplers.count)
                pass.samplers = nullptr;
            for (u32 f = 0; f < shader_stage_count; ++f) {
                const ProgramStage &in = program.stages[f];
                d3d::ShaderStageDesc &out = pass.stages[u32(stage_of[f])];
                out.code = in.code.count ? code.data() + in.code.first : nullptr;
                out.code_size = in.code.count;
                d3d::StageResourceLayout layout;
                out.resources = b.bindings.data() + b.bindings.size();
                out.resource_count = in.resources.count;
                layout.resource_offsets = b.offsets.data() + b.offsets.size();
                for (u32 k = 0; k < in.resources.count; ++k) {
                    const ProgramWords4 &w = words4[in.resources.first + k];
                    b.bindings.push_back(d3d::ShaderBindingDesc{w.a, w.b});
                    b.offsets.push_back(w.c);
                }
                out.samplers = b.bindings.data() + b.bindings.size();
                out.sampler_count = in.samplers.count;
                for (u32 k = 0; k < in.samplers.count; ++k) {
                    const ProgramWords3 &w = words3[in.samplers.first + k];
                    b.bindings.push_back(d3d::ShaderBindingDesc{w.a, w.b});
                }
                layout.unordered_views = b.bindings.data() + b.bindings.size();
                layout.unordered_view_count = in.unordered_views.count;
                for (u32 k = 0; k < in.unordered_views.count; ++k) {
                    const ProgramWords4 &w = words4[in.unordered_views.first + k];
                    b.bindings.push_back(d3d::ShaderBindingDesc{w.a, w.b});
                }
                layout.buffers = b.buffers.data() + b.buffers.size();
                layout.buffer_count = in.buffers.count;
                for (u32 k = 0; k < in.buffers.count; ++k) {
                    const ProgramWords4 &w = words4[in.buffers.first + k];
                    b.buffers.push_back(d3d::StageConstantBufferDesc{w.a, w.b, w.c});
                }
                b.layouts.push_back(layout);
                out.constant_buffers = &b.layouts.back();
            }
            // Each state object takes the settings of its own range and ignores the rest.
            pass.rasterizer_states = state_list(program.states);
            pass.depth_stencil_states = state_list(program.states);
            pass.blend_states = state_list(program.states);
            b.passes.push_back(pass);
        }
        if (!range.count)
            desc.passes = nullptr;
        b.descs.push_back(desc);
    }
    return true;
}

const d3d::ShaderDesc *DeviceDataWin32::description(u32 index) const
{
    return _built && index < _built->descs.size() ? &_built->descs[index] : nullptr;
}

ShaderLibrary::ShaderLibrary(Allocator &parent)
    : allocator("shader_library", parent), shaders(allocator), variables(allocator), buffers(allocator),
      constants(allocator), passes(allocator), templates(allocator), slots(allocator), options(allocator),
      conditions(allocator)
{
}

ShaderLibrary *read_shader_library(const u8 *bytes, u64 size_bytes, Allocator &allocator)
{
    ShaderLibrary *lib = make_new<ShaderLibrary>(allocator, allocator);
    if (!lib)
        return nullptr;
    lib->device_data = make_new<DeviceDataWin32>(lib->allocator, lib->allocator);
    Cursor c(bytes, size_bytes, "shader library");
    bool ok = lib->device_data && c.u32v(lib->version) && read_shaders(c, *lib) && read_templates(c, *lib) &&
              read_device_data(c, *lib, *lib->device_data);
    if (ok && c.left != 0)
        ok = c.fail("bytes left after the device data");
    ok = ok && validate(*lib, *lib->device_data);
    if (ok && !lib->device_data->build_descriptions(lib->shaders)) {
        log_message("render", "shader library refused: out of memory");
        ok = false;
    }
    if (!ok) {
        destroy_shader_library(lib);
        return nullptr;
    }
    return lib;
}

void destroy_shader_library(ShaderLibrary *library)
{
    if (!library)
        return;
    Allocator &owner = library->allocator.parent();
    if (library->device_data)
        delete_with_allocator(library->allocator, library->device_data);
    library->device_data = nullptr;
    delete_with_allocator(owner, library);
}

ShaderLibraryGroup *read_shader_library_group(const u8 *bytes, u64 size_bytes, Allocator &allocator)
{
    Cursor c(bytes, size_bytes, "shader library");
    ShaderLibraryGroup *group = make_new<ShaderLibraryGroup>(allocator, allocator);
    if (!group)
        return nullptr;
    u32 count = 0;
    bool ok = c.u32v(group->version) && c.count(count, 8, "library count past the end");
    for (u32 i = 0; ok && i < count; ++i) {
        u32 low = 0, high = 0;
        c.u32v(low);
        c.u32v(high);
        ok = !c.failed && group->libraries.push_back(u64(high) << 32 | low);
    }
    if (ok && c.left != 0)
        ok = c.fail("bytes left after the library list");
    if (!ok) {
        destroy_shader_library_group(group);
        return nullptr;
    }
    return group;
}

void destroy_shader_library_group(ShaderLibraryGroup *group)
{
    if (group)
        delete_with_allocator(group->libraries.allocator(), group);
}

namespace {

bool read_resource_bytes(const ResourceLoadParams &params, Array<u8> &out)
{
    if (!params.archive.read_whole_bytes(out)) {
        log_message("render", "cannot read resource %016llx", hex(params.name));
        return false;
    }
    return true;
}

void *load_library(const ResourceLoadParams &params)
{
    Array<u8> bytes(params.allocator);
    if (!read_resource_bytes(params, bytes))
        return nullptr;
    ShaderLibrary *lib = read_shader_library(bytes.data(), bytes.size(), params.allocator);
    if (!lib)
        log_message("render", "shader_library %016llx not loaded", hex(params.name));
    return lib;
}

void unload_library(const ResourceUnloadParams &params) { destroy_shader_library(static_cast<ShaderLibrary *>(params.data)); }

void *load_group(const ResourceLoadParams &params)
{
    Array<u8> bytes(params.allocator);
    if (!read_resource_bytes(params, bytes))
        return nullptr;
    ShaderLibraryGroup *group = read_shader_library_group(bytes.data(), bytes.size(), params.allocator);
    if (!group)
        log_message("render", "shader_library_group %016llx not loaded", hex(params.name));
    return group;
}

void unload_group(const ResourceUnloadParams &params)
{
    destroy_shader_library_group(static_cast<ShaderLibraryGroup *>(params.data));
}

} // namespace

ResourceTypeCallbacks shader_library_callbacks()
{
    ResourceTypeCallbacks callbacks;
    callbacks.load = load_library;
    callbacks.unload = unload_library;
    return callbacks;
}

ResourceTypeCallbacks shader_library_group_callbacks()
{
    ResourceTypeCallbacks callbacks;
    callbacks.load = load_group;
    callbacks.unload = unload_group;
    return callbacks;
}

} // namespace tallow
