#include "tests/support/writers/shader_library_writer.h"

#include "foundation/config/config_blob.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "render/shaders/shader_library.h"

#include <cstring>

namespace tallow::test {

namespace {

void put(std::vector<u8> &out, u32 v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(u8(v >> (8 * i)));
}

void put_bytes(std::vector<u8> &out, const void *p, size_t n)
{
    const u8 *b = static_cast<const u8 *>(p);
    out.insert(out.end(), b, b + n);
}

void put_states(std::vector<u8> &out, const std::vector<ShaderStateSource> &states)
{
    put(out, u32(states.size()));
    for (const ShaderStateSource &s : states) {
        put(out, s.id);
        out.push_back(s.first);
        put(out, s.value);
        put(out, s.last);
    }
}

template <size_t N> void put_words(std::vector<u8> &out, const std::vector<std::array<u32, N>> &items)
{
    put(out, u32(items.size()));
    for (const auto &item : items)
        for (u32 w : item)
            put(out, w);
}

} // namespace

std::vector<u8> write_shader_library(const ShaderLibrarySource &library)
{
    std::vector<u8> out;
    put(out, library.version);
    put(out, u32(library.shaders.size()));
    for (const ShaderSource &s : library.shaders) {
        put(out, s.name);
        put(out, s.options);
        put_words(out, s.variables);
        put(out, u32(s.buffers.size()));
        for (const ShaderConstantBufferSource &b : s.buffers) {
            put(out, u32(b.variables.size()));
            for (const ShaderVariableDesc &v : b.variables) {
                put(out, v.type);
                put(out, v.count);
                put(out, v.name);
                put(out, v.offset);
            }
            put(out, b.slot);
            put(out, b.size_bytes);
        }
        put(out, u32(s.pass_layers.size()));
        for (u32 layer : s.pass_layers)
            put(out, layer);
        put(out, s.high_pass);
    }
    put(out, u32(library.templates.size()));
    for (const TemplateSource &t : library.templates) {
        put(out, t.name);
        put(out, u32(t.slots.size()));
        for (const TemplateSlotSource &slot : t.slots) {
            put(out, slot.name);
            put(out, u32(slot.options.size()));
            for (const TemplateOptionSource &o : slot.options) {
                put(out, o.shader);
                put(out, u32(o.condition.size()));
                put_bytes(out, o.condition.data(), o.condition.size());
            }
        }
    }
    if (!library.write_device_data)
        return out;
    put(out, u32(library.shaders.size()));
    for (const ShaderSource &s : library.shaders) {
        put(out, u32(s.programs.size()));
        for (const ShaderProgramSource &p : s.programs) {
            put_states(out, p.states);
            put(out, u32(p.samplers.size()));
            for (const ShaderSamplerSource &sampler : p.samplers) {
                put(out, sampler.name);
                put_states(out, sampler.states);
            }
            for (const ShaderStageSource &stage : p.stages) {
                put(out, u32(stage.code.size()));
                put_bytes(out, stage.code.data(), stage.code.size());
                put_words(out, stage.resources);
                put_words(out, stage.constant_buffers);
                put_words(out, stage.unordered_views);
                put_words(out, stage.samplers);
            }
        }
    }
    return out;
}

std::vector<u8> write_shader_library_group(const std::vector<std::string> &library_names)
{
    std::vector<u8> out;
    put(out, 1);
    put(out, u32(library_names.size()));
    for (const std::string &name : library_names) {
        const u64 id = NameId64(name.c_str()).value();
        put(out, u32(id));
        put(out, u32(id >> 32));
    }
    return out;
}

std::vector<u8> condition_blob(const char *config_text)
{
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(config_text, config_text + strlen(config_text), *root);
    u32 size = 0;
    void *blob = flatten_config(*root, default_allocator(), &size);
    std::vector<u8> out(static_cast<u8 *>(blob), static_cast<u8 *>(blob) + size);
    default_allocator().deallocate(blob);
    destroy_config_root(root);
    return out;
}

ShaderSource build_shader(const ShaderSpec &spec)
{
    ShaderSource s;
    s.name = NameId32(spec.name.c_str()).value();
    s.options = spec.options;
    s.high_pass = spec.high_pass ? 1 : 0;
    std::vector<ShaderVariableDesc> all;
    for (const VariableSpec &v : spec.constants)
        all.push_back({u32(v.type), v.count, NameId32(v.name.c_str()).value(), 0});
    for (const std::string &r : spec.resources)
        all.push_back({u32(ShaderValueType::Int), 1, NameId32(r.c_str()).value(), 0});
    layout_shader_variables(all.data(), u32(all.size()));
    const size_t value_count = spec.constants.size();
    u32 constants_span = 0;
    if (value_count) {
        ShaderConstantBufferSource cb;
        cb.variables.assign(all.begin(), all.begin() + value_count);
        const ShaderVariableDesc &last = cb.variables.back();
        constants_span = last.offset + u32(shader_variable_bytes(last));
        cb.slot = 0;
        cb.size_bytes = (constants_span + 15) & ~15u;
        s.buffers.push_back(cb);
    }
    if (!spec.resources.empty()) {
        ShaderConstantBufferSource handles;
        handles.variables.assign(all.begin() + value_count, all.end());
        handles.slot = 0xFFFFFFFFu; // not a device constant buffer: the handles bound per draw
        handles.size_bytes = u32(spec.resources.size()) * 4;
        s.buffers.push_back(handles);
    }
    for (size_t i = 0; i < all.size(); ++i)
        s.variables.push_back({all[i].name, i < value_count ? 0u : 1u, all[i].offset});
    for (const PassSpec &pass : spec.passes) {
        s.pass_layers.push_back(pass.layer.empty() ? 0 : NameId32(pass.layer.c_str()).value());
        ShaderProgramSource program;
        program.states = pass.states;
        for (const auto &sampler : pass.samplers)
            program.samplers.push_back({NameId32(sampler.first.c_str()).value(), sampler.second});
        const std::string *codes[6] = {&pass.vertex, nullptr, nullptr, nullptr, &pass.pixel, &pass.compute};
        for (int f = 0; f < 6; ++f) {
            if (!codes[f] || codes[f]->empty())
                continue;
            ShaderStageSource &stage = program.stages[f];
            stage.code = *codes[f];
            if (value_count)
                stage.constant_buffers.push_back({0, (constants_span + 15) & ~15u, 0, 0});
            for (size_t r = 0; r < spec.resources.size(); ++r)
                stage.resources.push_back({all[value_count + r].name, u32(r), all[value_count + r].offset, 0});
            for (size_t k = 0; k < program.samplers.size(); ++k)
                stage.samplers.push_back({program.samplers[k].name, u32(k), 0});
        }
        s.programs.push_back(program);
    }
    return s;
}

} // namespace tallow::test
