#include "tools/render/material_compiler.h"

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "tests/support/writers/material_writer.h"
#include "tools/source_check.h"

namespace tallow {

namespace {

bool is_number(const ConfigValue &v) { return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float; }

bool compile_material(const std::string &name, const ConfigValue &m, MaterialSource &out, std::string &error)
{
    if (m.kind() != ConfigKind::Object) {
        error = "material '" + name + "' is not an object";
        return false;
    }
    if (const char *key = unknown_key(m, {"shader", "textures", "values"})) {
        error = "material '" + name + "' has an unknown key '" + key + "'";
        return false;
    }
    const ConfigValue *shader = m.find("shader");
    if (!shader || shader->kind() != ConfigKind::String) {
        error = "material '" + name + "' names no shader template";
        return false;
    }
    out.name = NameId32(name.c_str()).value();
    out.shader_template = NameId32(shader->to_string()).value();
    out.shader_name = shader->to_string();
    if (out.shader_name.size() > 255) {
        error = "the shader template name of material '" + name + "' is longer than 255 bytes";
        return false;
    }
    if (const ConfigValue *textures = m.find("textures")) {
        if (textures->kind() != ConfigKind::Object) {
            error = "the textures of material '" + name + "' are not an object of channel = texture";
            return false;
        }
        for (auto &t : textures->members()) {
            if (t.value.kind() != ConfigKind::String) {
                error = "texture channel '" + std::string(t.key.c_str()) + "' names no texture";
                return false;
            }
            out.textures.push_back({NameId32(t.key.c_str()).value(), NameId64(t.value.to_string()).value()});
        }
    }
    if (const ConfigValue *values = m.find("values")) {
        if (values->kind() != ConfigKind::Object) {
            error = "the values of material '" + name + "' are not an object";
            return false;
        }
        for (auto &v : values->members()) {
            MaterialSourceValue value;
            value.variable = NameId32(v.key.c_str()).value();
            if (is_number(v.value)) {
                value.kind = 0;
                value.value[0] = v.value.to_float();
            } else if (v.value.kind() == ConfigKind::Array && (v.value.count() == 2 || v.value.count() == 3)) {
                value.kind = v.value.count() - 1;
                for (u32 i = 0; i < v.value.count(); ++i) {
                    if (!is_number(v.value.items()[i])) {
                        error = "value '" + std::string(v.key.c_str()) + "' holds something other than numbers";
                        return false;
                    }
                    value.value[i] = v.value.items()[i].to_float();
                }
            } else {
                error = "value '" + std::string(v.key.c_str()) + "' is not a number or 2 or 3 numbers";
                return false;
            }
            out.values.push_back(value);
        }
    }
    return true;
}

} // namespace

bool compile_material_source(const char *text, u64 size_bytes, std::vector<u8> &out, std::string &error)
{
    ConfigValue *root = parse_source_text(text, size_bytes, error);
    if (!root)
        return false;
    bool ok = true;
    std::vector<MaterialSource> materials;
    if (root->kind() == ConfigKind::Object) {
        for (auto &member : root->members()) {
            MaterialSource m;
            if (!compile_material(member.key.c_str(), member.value, m, error)) {
                ok = false;
                break;
            }
            materials.push_back(m);
        }
    }
    destroy_config_root(root);
    if (!ok) {
        error = with_source_line(text, size_bytes, error);
        return false;
    }
    out = write_material_resource(materials);
    return true;
}

} // namespace tallow
