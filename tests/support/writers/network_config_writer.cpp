#include "tests/support/writers/network_config_writer.h"

#include "foundation/strings/name_id.h"

#include <algorithm>
#include <cstring>

namespace tallow::test {

using namespace network;

namespace {
FieldSpec field(const std::string &name, FieldType type, u32 bits, f32 minimum, f32 maximum, f32 tolerance,
                bool interpolate)
{
    FieldSpec f;
    f.name = name;
    f.type = type;
    f.bits = bits;
    f.minimum = minimum;
    f.maximum = maximum;
    f.tolerance = tolerance;
    f.interpolate = interpolate;
    return f;
}

u32 name_id(const std::string &name) { return NameId32(name.c_str(), u32(name.size())).value(); }
} // namespace

FieldSpec bool_field(const std::string &name, f32 tolerance)
{
    return field(name, FieldType::Bool, 1, 0, 1, tolerance, false);
}
FieldSpec int_field(const std::string &name, u32 bits, i32 minimum, f32 tolerance)
{
    return field(name, FieldType::Int, bits, f32(minimum), 0, tolerance, false);
}
FieldSpec float_field(const std::string &name, u32 bits, f32 minimum, f32 maximum, f32 tolerance, bool interpolate)
{
    return field(name, FieldType::Float, bits, minimum, maximum, tolerance, interpolate);
}
FieldSpec vector3_field(const std::string &name, u32 bits, f32 minimum, f32 maximum, f32 tolerance, bool interpolate)
{
    return field(name, FieldType::Vector3, bits, minimum, maximum, tolerance, interpolate);
}
FieldSpec quaternion_field(const std::string &name, u32 bits, f32 tolerance, bool interpolate)
{
    FieldSpec f = field(name, FieldType::Quaternion, bits, -1, 1, tolerance, interpolate);
    f.value[3] = 1;
    return f;
}
FieldSpec id_field(const std::string &name, f32 tolerance) { return field(name, FieldType::Id, 64, 0, 0, tolerance, false); }
FieldSpec string_argument(const std::string &name) { return field(name, FieldType::String, 0, 0, 0, 0, false); }

FieldDescriptor make_descriptor(const FieldSpec &f)
{
    FieldDescriptor d{};
    d.type = u32(f.type);
    d.bits = f.bits;
    d.tolerance = f.tolerance;
    d.interpolate = f.interpolate ? 1 : 0;
    if (f.type == FieldType::Int) {
        const i32 minimum = i32(f.minimum);
        memcpy(&d.minimum, &minimum, 4);
    } else {
        memcpy(&d.minimum, &f.minimum, 4);
    }
    d.maximum = f.maximum;
    return d;
}

std::vector<u8> default_bytes(const FieldSpec &f)
{
    std::vector<u8> bytes(field_size(f.type));
    switch (f.type) {
    case FieldType::Bool: bytes[0] = f.value[0] != 0 ? 1 : 0; break;
    case FieldType::Int: {
        const i32 v = i32(f.value[0]);
        memcpy(bytes.data(), &v, 4);
        break;
    }
    case FieldType::Id: memcpy(bytes.data(), &f.id, 8); break;
    default: memcpy(bytes.data(), f.value, bytes.size()); break;
    }
    return bytes;
}

std::vector<u8> write_network_config(const NetworkConfigSpec &spec)
{
    std::vector<u8> out(config_data_offset, 0);
    std::vector<const RpcSpec *> rpcs;
    for (const RpcSpec &r : spec.rpcs)
        rpcs.push_back(&r);
    std::stable_sort(rpcs.begin(), rpcs.end(),
                     [](const RpcSpec *a, const RpcSpec *b) { return name_id(a->name) < name_id(b->name); });
    const u32 rpc_count = u32(rpcs.size());
    memcpy(out.data(), &rpc_count, 4);
    for (u32 i = 0; i < rpcs.size() && i < max_config_entries; ++i) {
        RpcEntry entry{};
        entry.name_id = name_id(rpcs[i]->name);
        strncpy(entry.name, rpcs[i]->name.c_str(), rpc_name_bytes - 1);
        entry.argument_count = u32(rpcs[i]->arguments.size());
        for (u32 a = 0; a < rpcs[i]->arguments.size() && a < max_rpc_arguments; ++a)
            entry.arguments[a] = make_descriptor(rpcs[i]->arguments[a]);
        memcpy(out.data() + config_rpc_table_offset + i * sizeof(RpcEntry), &entry, sizeof(entry));
    }
    std::vector<const ObjectTypeSpec *> types;
    for (const ObjectTypeSpec &t : spec.types)
        types.push_back(&t);
    std::stable_sort(types.begin(), types.end(), [](const ObjectTypeSpec *a, const ObjectTypeSpec *b) {
        return name_id(a->name) < name_id(b->name);
    });
    const u32 type_count = u32(types.size());
    memcpy(out.data() + config_type_count_offset, &type_count, 4);
    std::vector<u8> data;
    for (u32 i = 0; i < types.size() && i < max_config_entries; ++i) {
        GameObjectType type{};
        type.name_id = name_id(types[i]->name);
        type.field_count = u32(types[i]->fields.size());
        type.default_offset = u32(data.size());
        for (u32 f = 0; f < types[i]->fields.size() && f < max_object_fields; ++f) {
            const FieldSpec &field = types[i]->fields[f];
            type.fields[f] = make_descriptor(field);
            type.field_name_ids[f] = name_id(field.name);
            const std::vector<u8> value = default_bytes(field);
            data.insert(data.end(), value.begin(), value.end());
            type.state_size += u32(value.size());
        }
        memcpy(out.data() + config_type_table_offset + i * sizeof(GameObjectType), &type, sizeof(type));
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

u32 object_type_index(const NetworkGameConfig &config, const char *name)
{
    const GameObjectType *type = config.find_object_type(NameId32(name).value());
    return type ? config.object_type_index(*type) : 0xFFFFFFFFu;
}

u32 rpc_index(const NetworkGameConfig &config, const char *name)
{
    const RpcEntry *entry = config.find_rpc(NameId32(name).value());
    return entry ? config.rpc_index(*entry) : 0xFFFFFFFFu;
}

} // namespace tallow::test
