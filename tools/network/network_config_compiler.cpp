#include "tools/network/network_config_compiler.h"

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "tests/support/writers/network_config_writer.h"

#include <cstring>

namespace tallow {

using namespace network;
using test::FieldSpec;

namespace {

struct TypeName {
    const char *name;
    FieldType type;
};
const TypeName type_names[] = {{"bool", FieldType::Bool},         {"int", FieldType::Int},
                               {"float", FieldType::Float},       {"vector3", FieldType::Vector3},
                               {"quaternion", FieldType::Quaternion}, {"string", FieldType::String},
                               {"id", FieldType::Id}};

bool is_number(const ConfigValue &v) { return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float; }

bool read_field(const ConfigValue &node, bool as_argument, const std::string &where, FieldSpec &out, std::string &error)
{
    if (node.kind() != ConfigKind::Object) {
        error = where + ": expected an object with the field's keys";
        return false;
    }
    static const char *const known[] = {"name", "type", "bits", "min", "max", "tolerance", "interpolate", "default"};
    for (const auto &member : node.members()) {
        bool found = false;
        for (const char *k : known)
            found |= strcmp(member.key.c_str(), k) == 0;
        if (!found) {
            error = where + ": unknown key '" + member.key.c_str() + "'";
            return false;
        }
    }
    const ConfigValue *name = node.find("name");
    if (name && name->kind() == ConfigKind::String)
        out.name = name->to_string();
    else if (!as_argument) {
        error = where + ": a field needs a name";
        return false;
    }
    const ConfigValue *type = node.find("type");
    bool known_type = false;
    for (const TypeName &t : type_names)
        if (type && type->kind() == ConfigKind::String && strcmp(type->to_string(), t.name) == 0) {
            out.type = t.type;
            known_type = true;
        }
    if (!known_type) {
        error = where + ": type must be bool, int, float, vector3, quaternion, string or id";
        return false;
    }
    out.bits = out.type == FieldType::Bool ? 1 : out.type == FieldType::Id ? 64 : 0;
    out.maximum = 0;
    out.minimum = out.type == FieldType::Quaternion ? -1 : 0;
    if (out.type == FieldType::Quaternion)
        out.value[3] = 1;
    struct Number {
        const char *key;
        f32 *target;
    };
    f32 bits = f32(out.bits);
    const Number numbers[] = {{"bits", &bits}, {"min", &out.minimum}, {"max", &out.maximum}, {"tolerance", &out.tolerance}};
    for (const Number &n : numbers) {
        if (const ConfigValue *v = node.find(n.key)) {
            if (!is_number(*v)) {
                error = where + ": '" + n.key + "' must be a number";
                return false;
            }
            *n.target = v->to_float();
        }
    }
    out.bits = bits < 0 ? 0 : u32(bits);
    if (const ConfigValue *v = node.find("interpolate")) {
        if (v->kind() != ConfigKind::Bool) {
            error = where + ": 'interpolate' must be true or false";
            return false;
        }
        out.interpolate = v->to_bool();
    }
    if (const ConfigValue *v = node.find("default")) {
        bool ok = false;
        if (out.type == FieldType::Id && v->kind() == ConfigKind::String && strlen(v->to_string()) == 16) {
            char *end = nullptr;
            out.id = strtoull(v->to_string(), &end, 16);
            ok = *end == 0;
        } else if (out.type == FieldType::Bool && v->kind() == ConfigKind::Bool) {
            out.value[0] = v->to_bool() ? 1 : 0;
            ok = true;
        } else if ((out.type == FieldType::Int || out.type == FieldType::Float) && is_number(*v)) {
            out.value[0] = v->to_float();
            ok = true;
        } else if ((out.type == FieldType::Vector3 || out.type == FieldType::Quaternion) &&
                   v->kind() == ConfigKind::Array && v->count() == (out.type == FieldType::Vector3 ? 3u : 4u)) {
            ok = true;
            for (u32 i = 0; i < v->count(); ++i) {
                ok &= is_number(v->items()[i]);
                out.value[i] = v->items()[i].to_float();
            }
        }
        if (!ok) {
            error = where + ": 'default' does not suit the field's type";
            return false;
        }
    }
    const char *reason = nullptr;
    if (!is_valid_descriptor(test::make_descriptor(out), as_argument, &reason)) {
        error = where + ": " + reason;
        return false;
    }
    return true;
}

bool read_list(const ConfigValue &root, const char *key, bool as_argument, u32 max_items,
               std::vector<std::pair<std::string, std::vector<FieldSpec>>> &out, std::string &error)
{
    const ConfigValue *table = root.find(key);
    if (!table)
        return true;
    if (table->kind() != ConfigKind::Object) {
        error = std::string("'") + key + "' must be an object of named lists";
        return false;
    }
    for (const auto &member : table->members()) {
        const std::string where = std::string(key) + "." + member.key.c_str();
        if (member.value.kind() != ConfigKind::Array || member.value.count() > max_items) {
            error = where + ": expected a list of at most " + std::to_string(max_items) + (as_argument ? " arguments" : " fields");
            return false;
        }
        std::vector<FieldSpec> fields;
        for (u32 i = 0; i < member.value.count(); ++i) {
            FieldSpec field;
            if (!read_field(member.value.items()[i], as_argument, where + "[" + std::to_string(i) + "]", field, error))
                return false;
            fields.push_back(field);
        }
        out.emplace_back(member.key.c_str(), std::move(fields));
    }
    if (out.size() > max_config_entries) {
        error = std::string("'") + key + "' has more than 255 entries";
        return false;
    }
    return true;
}

} // namespace

bool compile_network_config_source(const char *text, u64 size, std::vector<u8> &out_resource, std::string &out_error)
{
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + size, *root);
    std::vector<std::pair<std::string, std::vector<FieldSpec>>> rpcs, types;
    bool ok = true;
    for (const auto &member : root->members())
        if (strcmp(member.key.c_str(), "rpcs") != 0 && strcmp(member.key.c_str(), "object_types") != 0) {
            out_error = std::string("unknown key '") + member.key.c_str() + "'";
            ok = false;
        }
    ok = ok && read_list(*root, "rpcs", true, max_rpc_arguments, rpcs, out_error) &&
         read_list(*root, "object_types", false, max_object_fields, types, out_error);
    destroy_config_root(root);
    if (!ok)
        return false;
    test::NetworkConfigSpec spec;
    for (auto &r : rpcs) {
        if (r.first.size() >= rpc_name_bytes) {
            out_error = "rpcs." + r.first + ": names of calls are at most 31 bytes";
            return false;
        }
        spec.rpcs.push_back({r.first, r.second});
    }
    for (auto &t : types)
        spec.types.push_back({t.first, t.second});
    std::vector<u8> bytes = test::write_network_config(spec);
    // The reader's own checks (state sizes, repeated name ids) are the last word.
    std::vector<u32> aligned((bytes.size() + 3) / 4);
    memcpy(aligned.data(), bytes.data(), bytes.size());
    NetworkGameConfig check;
    if (!check.open(aligned.data(), u32(bytes.size()))) {
        out_error = "the compiled config does not validate (see the log)";
        return false;
    }
    out_resource = std::move(bytes);
    return true;
}

} // namespace tallow
