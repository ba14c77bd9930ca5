#include "tools/render/shading_environment_compiler.h"

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "tests/support/writers/shading_environment_writer.h"
#include "tools/source_check.h"

#include <cstring>

namespace tallow {

namespace {

struct Variable {
    std::string name;
    u32 type = 0;       // 0 scalar, 1 vector2, 2 vector3
    u32 components = 1; // type + 1
    u32 count = 1;
    u32 offset = 0;     // bytes into a settings block
    bool render = true;
};

bool is_number(const ConfigValue &v) { return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float; }

class Compiler {
  public:
    std::string error;
    ShadingEnvironmentSource out;

    bool compile(const ConfigValue &root)
    {
        if (root.kind() != ConfigKind::Object)
            return fail("a shading environment source is an object of material, variables, settings and bindings");
        if (const char *key = unknown_key(root, {"material", "variables", "settings", "bindings"}))
            return fail("unknown key '" + std::string(key) + "'");
        if (const ConfigValue *material = root.find("material")) {
            if (material->kind() != ConfigKind::String)
                return fail("'material' names no material resource");
            out.material = NameId64(material->to_string()).value();
        }
        if (!read_variables(root.find("variables")))
            return false;
        if (const ConfigValue *settings = root.find("settings")) {
            if (settings->kind() != ConfigKind::Object)
                return fail("'settings' is not an object of named value blocks");
            for (auto &s : settings->members())
                if (!read_setting(s.key.c_str(), s.value))
                    return false;
        }
        if (const ConfigValue *bindings = root.find("bindings")) {
            if (bindings->kind() != ConfigKind::Array)
                return fail("'bindings' is not an array");
            for (const ConfigValue &b : bindings->items())
                if (!read_binding(b))
                    return false;
        }
        return true;
    }

  private:
    bool fail(const std::string &message)
    {
        error = message;
        return false;
    }

    const Variable *find(const std::string &name) const
    {
        for (const Variable &v : _variables)
            if (v.name == name)
                return &v;
        return nullptr;
    }

    bool read_variables(const ConfigValue *variables)
    {
        if (!variables)
            return true;
        if (variables->kind() != ConfigKind::Array)
            return fail("'variables' is not an array");
        u32 offset = 0;
        for (const ConfigValue &v : variables->items()) {
            if (v.kind() != ConfigKind::Object)
                return fail("a variable is not an object of name and type");
            const ConfigValue *name = v.find("name");
            if (!name || name->kind() != ConfigKind::String)
                return fail("a variable has no name");
            Variable var;
            var.name = name->to_string();
            if (const char *key = unknown_key(v, {"name", "type", "count", "render"}))
                return fail("variable '" + var.name + "' has an unknown key '" + key + "'");
            if (find(var.name))
                return fail("variable '" + var.name + "' is declared twice");
            const ConfigValue *type = v.find("type");
            const char *types[] = {"scalar", "vector2", "vector3"};
            var.type = 3;
            for (u32 t = 0; type && type->kind() == ConfigKind::String && t < 3; ++t)
                if (strcmp(type->to_string(), types[t]) == 0)
                    var.type = t;
            if (var.type == 3)
                return fail("variable '" + var.name + "' has no type of scalar, vector2 or vector3");
            var.components = var.type + 1;
            if (const ConfigValue *count = v.find("count")) {
                if (count->kind() != ConfigKind::Integer || count->to_integer() < 1 || count->to_integer() > 4096)
                    return fail("the count of variable '" + var.name + "' is not an integer from 1 to 4096");
                var.count = u32(count->to_integer());
            }
            if (const ConfigValue *render = v.find("render")) {
                if (render->kind() != ConfigKind::Bool)
                    return fail("'render' of variable '" + var.name + "' is not true or false");
                var.render = render->to_bool();
            }
            var.offset = offset;
            offset += var.components * var.count * 4;
            const u32 index = u32(_variables.size());
            out.variables.push_back({var.type, var.count, 0, var.offset});
            if (var.render)
                out.render_variables.push_back({index, NameId32(var.name.c_str()).value(), 0});
            _variables.push_back(var);
        }
        _block_bytes = offset;
        return true;
    }

    bool read_setting(const std::string &name, const ConfigValue &values)
    {
        if (values.kind() != ConfigKind::Object)
            return fail("setting '" + name + "' is not an object of variable values");
        std::vector<f32> block(_block_bytes / 4, 0.0f);
        for (auto &m : values.members()) {
            const std::string key = m.key.c_str();
            const Variable *v = find(key);
            if (!v)
                return fail("setting '" + name + "' gives a value for no variable '" + key + "'");
            const u32 floats = v->components * v->count;
            f32 *to = block.data() + v->offset / 4;
            if (floats == 1 && is_number(m.value)) {
                to[0] = m.value.to_float();
                continue;
            }
            bool ok = m.value.kind() == ConfigKind::Array && m.value.count() == floats;
            for (u32 i = 0; ok && i < floats; ++i) {
                ok = is_number(m.value.items()[i]);
                if (ok)
                    to[i] = m.value.items()[i].to_float();
            }
            if (!ok)
                return fail("value '" + key + "' of setting '" + name + "' is not " + std::to_string(floats) +
                            (floats == 1 ? " number" : " numbers"));
        }
        out.settings.push_back({NameId32(name.c_str()).value(), floats_bytes(block)});
        return true;
    }

    bool read_binding(const ConfigValue &b)
    {
        if (b.kind() != ConfigKind::Object)
            return fail("a binding is not an object of material, parameter and variable");
        if (const char *key = unknown_key(b, {"material", "parameter", "variable"}))
            return fail("a binding has an unknown key '" + std::string(key) + "'");
        const ConfigValue *material = b.find("material"), *parameter = b.find("parameter"), *variable = b.find("variable");
        if (!material || !parameter || !variable || material->kind() != ConfigKind::String ||
            parameter->kind() != ConfigKind::String || variable->kind() != ConfigKind::String)
            return fail("a binding needs the names material, parameter and variable");
        const Variable *v = find(variable->to_string());
        if (!v)
            return fail("a binding names no variable '" + std::string(variable->to_string()) + "'");
        if (v->count != 1)
            return fail("a binding names the array '" + v->name + "'; it takes one value");
        if (out.material == 0)
            return fail("a binding of material '" + std::string(material->to_string()) +
                        "' needs the key material naming the material resource");
        out.bindings.push_back({NameId32(material->to_string()).value(), NameId32(parameter->to_string()).value(),
                                u32(v - _variables.data())});
        return true;
    }

    std::vector<Variable> _variables;
    u32 _block_bytes = 0;
};

} // namespace

bool compile_shading_environment_source(const char *text, u64 size_bytes, std::vector<u8> &out, std::string &error)
{
    ConfigValue *root = parse_source_text(text, size_bytes, error);
    if (!root)
        return false;
    Compiler compiler;
    const bool ok = compiler.compile(*root);
    destroy_config_root(root);
    if (!ok) {
        error = with_source_line(text, size_bytes, compiler.error);
        return false;
    }
    out = write_shading_environment(compiler.out);
    return true;
}

} // namespace tallow
