#include "tools/render/shader_library_compiler.h"

#include "foundation/config/config_blob.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "render/commands/sort_key.h"
#include "tests/support/writers/shader_library_writer.h"

#include <cstring>

namespace tallow {

namespace {

struct Root {
    ConfigValue *value;
    Root(const char *text, u64 size) : value(create_config_root(default_allocator()))
    {
        parse_config_text(text, text + size, *value);
    }
    ~Root() { destroy_config_root(value); }
};

bool fail(std::string &error, const std::string &what)
{
    error = what;
    return false;
}

bool type_from_name(const char *name, ShaderValueType *out)
{
    static const char *names[] = {"scalar", "vector2", "vector3", "matrix4x4", "int", "int2", "int3", "int4x4"};
    for (u32 i = 0; i < 8; ++i) {
        if (strcmp(names[i], name) == 0) {
            *out = ShaderValueType(i);
            return true;
        }
    }
    return false;
}

bool read_states(const ConfigValue *list, std::vector<test::ShaderStateSource> &out, const std::string &where,
                 std::string &error)
{
    if (!list)
        return true;
    if (list->kind() != ConfigKind::Array)
        return fail(error, where + ": render states must be an array of [id first value last]");
    for (const ConfigValue &item : list->items()) {
        if (item.kind() != ConfigKind::Array || item.count() != 4)
            return fail(error, where + ": a render state must be [id first value last]");
        u32 w[4];
        for (u32 i = 0; i < 4; ++i) {
            const ConfigValue &n = item.items()[i];
            if (n.kind() == ConfigKind::Integer)
                w[i] = u32(n.to_integer());
            else if (n.kind() == ConfigKind::Float) {
                f32 f = n.to_float(); // float states keep their bits
                memcpy(&w[i], &f, 4);
            } else
                return fail(error, where + ": render state words must be numbers");
        }
        if (w[1] > 255)
            return fail(error, where + ": a render state's second word must fit a byte");
        out.push_back({w[0], u8(w[1]), w[2], w[3]});
    }
    return true;
}

bool read_shader(const char *name, const ConfigValue &source, test::ShaderSpec &spec, std::string &error)
{
    const std::string where = std::string("shader '") + name + "'";
    spec.name = name;
    if (source.kind() != ConfigKind::Object)
        return fail(error, where + " must be an object");
    if (const ConfigValue *constants = source.find("constants")) {
        for (const ConfigValue &c : constants->items()) {
            test::VariableSpec v;
            const ConfigValue *n = c.find("name"), *t = c.find("type"), *count = c.find("count");
            if (!n || n->kind() != ConfigKind::String)
                return fail(error, where + ": a constant has no name");
            v.name = n->to_string();
            if (!t || !type_from_name(t->to_string(), &v.type))
                return fail(error, where + ": constant '" + v.name + "' has no known type");
            if (count && (count->kind() != ConfigKind::Integer || count->to_integer() < 0))
                return fail(error, where + ": constant '" + v.name + "' has a bad count");
            v.count = count ? u32(count->to_integer()) : 1;
            spec.constants.push_back(v);
        }
    }
    if (const ConfigValue *resources = source.find("resources")) {
        for (const ConfigValue &r : resources->items()) {
            if (r.kind() != ConfigKind::String)
                return fail(error, where + ": resources must be names");
            spec.resources.push_back(r.to_string());
        }
    }
    if (const ConfigValue *high = source.find("high_pass"))
        spec.high_pass = high->to_bool();
    if (const ConfigValue *options = source.find("options"))
        spec.options = u32(options->to_integer());
    const ConfigValue *passes = source.find("passes");
    if (!passes || passes->kind() != ConfigKind::Array)
        return fail(error, where + ": passes must be an array");
    if (passes->count() > sort_key::max_passes)
        return fail(error, where + ": at most 7 passes");
    static const char *stage_keys[] = {"vertex", "hull", "domain", "geometry", "pixel", "compute"};
    for (const ConfigValue &p : passes->items()) {
        test::PassSpec pass;
        if (const ConfigValue *layer = p.find("layer"))
            pass.layer = layer->to_string();
        if (!read_states(p.find("states"), pass.states, where, error))
            return false;
        if (const ConfigValue *samplers = p.find("samplers")) {
            for (const auto &member : samplers->members()) {
                std::vector<test::ShaderStateSource> states;
                if (!read_states(&member.value, states, where + " sampler '" + member.key.c_str() + "'", error))
                    return false;
                pass.samplers.push_back({member.key.c_str(), states});
            }
        }
        for (const char *key : stage_keys) {
            const ConfigValue *code = p.find(key);
            if (code && code->kind() != ConfigKind::String)
                return fail(error, where + ": stage '" + key + "' must be a string of code");
        }
        if (p.find("hull") || p.find("domain") || p.find("geometry"))
            return fail(error, where + ": hull, domain and geometry stages are not compiled from source yet");
        if (const ConfigValue *v = p.find("vertex"))
            pass.vertex = v->to_string();
        if (const ConfigValue *px = p.find("pixel"))
            pass.pixel = px->to_string();
        if (const ConfigValue *cs = p.find("compute"))
            pass.compute = cs->to_string();
        spec.passes.push_back(pass);
    }
    return true;
}

bool read_templates(const ConfigValue *templates, std::vector<test::TemplateSource> &out, std::string &error)
{
    if (!templates)
        return true;
    for (const auto &t : templates->members()) {
        test::TemplateSource source;
        source.name = NameId32(t.key.c_str()).value();
        for (const auto &slot : t.value.members()) {
            test::TemplateSlotSource slot_source;
            slot_source.name = NameId32(slot.key.c_str()).value();
            if (slot.value.kind() != ConfigKind::Array)
                return fail(error, std::string("template '") + t.key.c_str() + "' slot '" + slot.key.c_str() +
                                       "' must be an array of options");
            for (const ConfigValue &option : slot.value.items()) {
                test::TemplateOptionSource o;
                const ConfigValue *shader = option.find("shader");
                if (!shader || shader->kind() != ConfigKind::String)
                    return fail(error, std::string("template '") + t.key.c_str() + "': an option names no shader");
                o.shader = NameId32(shader->to_string()).value();
                if (const ConfigValue *when = option.find("when")) {
                    if (when->kind() != ConfigKind::Object)
                        return fail(error, std::string("template '") + t.key.c_str() + "': \"when\" must be an object");
                    u32 size = 0;
                    void *blob = flatten_config(*when, default_allocator(), &size);
                    if (!blob)
                        return fail(error, "out of memory");
                    o.condition.assign(static_cast<u8 *>(blob), static_cast<u8 *>(blob) + size);
                    default_allocator().deallocate(blob);
                }
                slot_source.options.push_back(o);
            }
            source.slots.push_back(slot_source);
        }
        out.push_back(source);
    }
    return true;
}

} // namespace

bool compile_shader_library_source(const char *text, u64 size, std::vector<u8> &out_bytes, std::string &out_error)
{
    Root root(text, size);
    if (!root.value)
        return fail(out_error, "out of memory");
    test::ShaderLibrarySource library;
    if (const ConfigValue *shaders = root.value->find("shaders")) {
        for (const auto &member : shaders->members()) {
            test::ShaderSpec spec;
            if (!read_shader(member.key.c_str(), member.value, spec, out_error))
                return false;
            library.shaders.push_back(test::build_shader(spec));
        }
    }
    if (!read_templates(root.value->find("templates"), library.templates, out_error))
        return false;
    out_bytes = test::write_shader_library(library);
    return true;
}

bool compile_shader_library_group_source(const char *text, u64 size, std::vector<u8> &out_bytes,
                                         std::string &out_error)
{
    Root root(text, size);
    if (!root.value)
        return fail(out_error, "out of memory");
    std::vector<std::string> names;
    const ConfigValue *libraries = root.value->find("libraries");
    if (!libraries || libraries->kind() != ConfigKind::Array)
        return fail(out_error, "libraries must be an array of shader_library names");
    for (const ConfigValue &n : libraries->items()) {
        if (n.kind() != ConfigKind::String)
            return fail(out_error, "a library name is not a string");
        names.push_back(n.to_string());
    }
    out_bytes = test::write_shader_library_group(names);
    return true;
}

} // namespace tallow
