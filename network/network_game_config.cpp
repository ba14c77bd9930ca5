#include "network/network_game_config.h"

#include "foundation/log.h"

#include <cmath>
#include <cstring>

namespace tallow::network {

namespace {
const char *const log_category = "network";
}

f32 FieldDescriptor::minimum_float() const
{
    f32 value;
    memcpy(&value, &minimum, sizeof(value));
    return value;
}

u32 field_size(FieldType type)
{
    switch (type) {
    case FieldType::Bool: return 1;
    case FieldType::Int: return 4;
    case FieldType::Float: return 4;
    case FieldType::Vector3: return 12;
    case FieldType::Quaternion: return 16;
    case FieldType::Id: return 8;
    default: return 0;
    }
}

u32 GameObjectType::find_field(u32 id) const
{
    for (u32 i = 0; i < field_count && i < max_object_fields; ++i)
        if (field_name_ids[i] == id)
            return i;
    return 0xFFFFFFFFu;
}

u32 GameObjectType::field_offset(u32 index) const
{
    u32 offset = 0;
    for (u32 i = 0; i < index && i < max_object_fields; ++i)
        offset += field_size(fields[i].field_type());
    return offset;
}

bool GameObjectType::has_interpolating_field() const
{
    for (u32 i = 0; i < field_count && i < max_object_fields; ++i)
        if (fields[i].interpolate)
            return true;
    return false;
}

bool is_valid_descriptor(const FieldDescriptor &d, bool as_argument, const char **out_reason)
{
    const char *reason = nullptr;
    const f32 minimum = d.minimum_float();
    switch (d.field_type()) {
    case FieldType::Bool:
        break;
    case FieldType::Int:
        if (d.bits < 1 || d.bits > 32)
            reason = "int bits must be 1 to 32";
        break;
    case FieldType::Float:
    case FieldType::Vector3:
        if (d.bits < 1 || d.bits > 32)
            reason = "float bits must be 1 to 32";
        else if (!std::isfinite(minimum) || !std::isfinite(d.maximum) || !(d.maximum > minimum))
            reason = "float range must be finite with maximum above minimum";
        break;
    case FieldType::Quaternion:
        if (d.bits < 5 || d.bits > 32)
            reason = "quaternion bits must be 5 to 32";
        break;
    case FieldType::String:
        if (!as_argument)
            reason = "strings are only call arguments";
        break;
    case FieldType::Id:
        break;
    default:
        reason = "unknown field type";
    }
    if (!as_argument && d.interpolate && (d.field_type() == FieldType::Id))
        reason = "id fields do not interpolate";
    if (out_reason)
        *out_reason = reason;
    return reason == nullptr;
}

const RpcEntry *NetworkGameConfig::rpcs() const
{
    return reinterpret_cast<const RpcEntry *>(_bytes + config_rpc_table_offset);
}

const GameObjectType *NetworkGameConfig::types() const
{
    return reinterpret_cast<const GameObjectType *>(_bytes + config_type_table_offset);
}

bool NetworkGameConfig::open(const void *data, u32 size)
{
    _bytes = nullptr;
    _rpc_count = _type_count = 0;
    const u8 *bytes = static_cast<const u8 *>(data);
    if (!bytes || (reinterpret_cast<uintptr_t>(bytes) & 3) != 0) {
        log_message(log_category, "network_game_config: block missing or not 4-byte aligned");
        return false;
    }
    if (size < config_data_offset) {
        log_message(log_category, "network_game_config: %u bytes, below the %u of its tables", size,
                    config_data_offset);
        return false;
    }
    u32 rpc_count, type_count;
    memcpy(&rpc_count, bytes, 4);
    memcpy(&type_count, bytes + config_type_count_offset, 4);
    if (rpc_count > max_config_entries || type_count > max_config_entries) {
        log_message(log_category, "network_game_config: %u calls and %u object types; at most %u of each", rpc_count,
                    type_count, max_config_entries);
        return false;
    }
    const u32 data_size = size - config_data_offset;
    const auto *rpc_table = reinterpret_cast<const RpcEntry *>(bytes + config_rpc_table_offset);
    for (u32 i = 0; i < rpc_count; ++i) {
        const RpcEntry &r = rpc_table[i];
        const char *reason = nullptr;
        if (memchr(r.name, 0, rpc_name_bytes) == nullptr)
            reason = "name has no terminator within 32 bytes";
        else if (r.argument_count > max_rpc_arguments)
            reason = "more than 6 arguments";
        else if (i > 0 && !(rpc_table[i - 1].name_id < r.name_id))
            reason = "entries not sorted by name id, or a name id repeated";
        for (u32 a = 0; !reason && a < r.argument_count; ++a)
            is_valid_descriptor(r.arguments[a], true, &reason);
        if (reason) {
            log_message(log_category, "network_game_config: call %u: %s", i, reason);
            return false;
        }
    }
    const auto *type_table = reinterpret_cast<const GameObjectType *>(bytes + config_type_table_offset);
    for (u32 i = 0; i < type_count; ++i) {
        const GameObjectType &t = type_table[i];
        const char *reason = nullptr;
        if (t.field_count > max_object_fields)
            reason = "more than 10 fields";
        else if (i > 0 && !(type_table[i - 1].name_id < t.name_id))
            reason = "entries not sorted by name id, or a name id repeated";
        u32 state_size = 0;
        for (u32 f = 0; !reason && f < t.field_count; ++f) {
            is_valid_descriptor(t.fields[f], false, &reason);
            state_size += field_size(t.fields[f].field_type());
        }
        if (!reason && state_size != t.state_size)
            reason = "state size differs from the sum of its fields";
        else if (!reason && state_size > max_object_state_bytes)
            reason = "state too large for a creation message";
        else if (!reason && (t.default_offset > data_size || data_size - t.default_offset < t.state_size))
            reason = "default state outside the data block";
        if (reason) {
            log_message(log_category, "network_game_config: object type %u: %s", i, reason);
            return false;
        }
    }
    _bytes = bytes;
    _size = size;
    _rpc_count = rpc_count;
    _type_count = type_count;
    return true;
}

const RpcEntry *NetworkGameConfig::rpc(u32 index) const { return index < _rpc_count ? rpcs() + index : nullptr; }

const GameObjectType *NetworkGameConfig::object_type(u32 index) const
{
    return index < _type_count ? types() + index : nullptr;
}

namespace {
template <typename T> const T *binary_search(const T *entries, u32 count, u32 name_id)
{
    u32 lo = 0, hi = count;
    while (lo < hi) {
        const u32 mid = (lo + hi) / 2;
        if (entries[mid].name_id == name_id)
            return entries + mid;
        if (name_id < entries[mid].name_id)
            hi = mid;
        else
            lo = mid + 1;
    }
    return nullptr;
}
} // namespace

const RpcEntry *NetworkGameConfig::find_rpc(u32 name_id) const
{
    return _bytes ? binary_search(rpcs(), _rpc_count, name_id) : nullptr;
}

const GameObjectType *NetworkGameConfig::find_object_type(u32 name_id) const
{
    return _bytes ? binary_search(types(), _type_count, name_id) : nullptr;
}

const u8 *NetworkGameConfig::data_at(const GameObjectType &type) const
{
    return _bytes + config_data_offset + type.default_offset;
}

} // namespace tallow::network
