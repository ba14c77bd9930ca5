#include "foundation/config/const_config_value.h"

#include <cstring>

namespace tallow {

const char *to_string(ConstConfigKind kind)
{
    switch (kind) {
    case ConstConfigKind::Nil: return "nil";
    case ConstConfigKind::Bool: return "bool";
    case ConstConfigKind::Integer: return "integer";
    case ConstConfigKind::Float: return "float";
    case ConstConfigKind::String: return "string";
    case ConstConfigKind::Array: return "array";
    case ConstConfigKind::Object: return "object";
    }
    return "unknown";
}

namespace {
constexpr u32 max_kind = u32(ConstConfigKind::Object);
constexpr u64 object_entry_bytes = 12;
}

ConstConfigValue::ConstConfigValue(const u8 *blob, u64 size, u32 kind, u32 payload) : _blob(blob), _size(size)
{
    // An unknown kind reads as nil (its payload is meaningless).
    if (blob && kind <= max_kind && kind != 0) {
        _kind = ConstConfigKind(kind);
        _payload = payload;
    }
}

ConstConfigValue ConstConfigValue::root(const void *blob, u64 size_bytes)
{
    const u8 *bytes = static_cast<const u8 *>(blob);
    if (!bytes || size_bytes < 8)
        return {};
    u32 kind, payload;
    memcpy(&kind, bytes, 4);
    memcpy(&payload, bytes + 4, 4);
    return ConstConfigValue(bytes, size_bytes, kind, payload);
}

bool ConstConfigValue::read_u32(u64 offset, u32 &out) const
{
    if (offset > _size || _size - offset < 4)
        return false;
    memcpy(&out, _blob + offset, 4);
    return true;
}

i32 ConstConfigValue::record_count(u64 count_offset, u64 header, u64 item) const
{
    u32 raw;
    if (!read_u32(count_offset, raw))
        return -1;
    i32 count = i32(raw);
    if (count < 0)
        return -1;
    u64 start = _payload;
    if (start > _size || header > _size - start)
        return -1;
    if (u64(count) > (_size - start - header) / item)
        return -1;
    return count;
}

const char *ConstConfigValue::text_at(u32 offset) const
{
    if (u64(offset) >= _size)
        return nullptr;
    const char *text = reinterpret_cast<const char *>(_blob + offset);
    return memchr(text, 0, _size - offset) ? text : nullptr;
}

bool ConstConfigValue::to_bool() const { return _kind == ConstConfigKind::Bool && (_payload & 0xFF) != 0; }

i32 ConstConfigValue::to_integer() const { return _kind == ConstConfigKind::Integer ? i32(_payload) : 0; }

f32 ConstConfigValue::to_float() const
{
    if (_kind == ConstConfigKind::Float) {
        f32 f;
        memcpy(&f, &_payload, 4);
        return f;
    }
    if (_kind == ConstConfigKind::Integer)
        return f32(i32(_payload));
    return 0;
}

const char *ConstConfigValue::to_string() const
{
    if (_kind != ConstConfigKind::String)
        return "";
    const char *text = text_at(_payload);
    return text ? text : "";
}

i32 ConstConfigValue::count() const
{
    i32 n = -1;
    if (_kind == ConstConfigKind::Array)
        n = record_count(u64(_payload) + 4, 8, 4);
    else if (_kind == ConstConfigKind::Object)
        n = record_count(_payload, 4, object_entry_bytes);
    return n < 0 ? 0 : n;
}

ConstConfigValue ConstConfigValue::member_at(i32 i, const char **out_key) const
{
    if (out_key)
        *out_key = "";
    if (_kind != ConstConfigKind::Object || i < 0 || i >= count())
        return {};
    u64 entry = u64(_payload) + 4 + u64(i) * object_entry_bytes;
    u32 key, kind, payload;
    if (!read_u32(entry, key) || !read_u32(entry + 4, kind) || !read_u32(entry + 8, payload))
        return {};
    if (out_key) {
        const char *text = text_at(key);
        *out_key = text ? text : "";
    }
    return ConstConfigValue(_blob, _size, kind, payload);
}

ConstConfigValue ConstConfigValue::member(const char *key) const
{
    if (_kind != ConstConfigKind::Object || !key)
        return {};
    const i32 n = count();
    const u64 key_length = strlen(key);
    for (i32 i = 0; i < n; ++i) {
        u64 entry = u64(_payload) + 4 + u64(i) * object_entry_bytes;
        u32 offset;
        if (!read_u32(entry, offset))
            return {};
        // Bounded compare: the stored key must hold key_length bytes plus its zero.
        if (u64(offset) >= _size || _size - offset <= key_length)
            continue;
        if (memcmp(_blob + offset, key, key_length + 1) == 0)
            return member_at(i);
    }
    return {};
}

ConstConfigValue ConstConfigValue::element(i32 i) const
{
    if (_kind != ConstConfigKind::Array || i < 0 || i >= count())
        return {};
    u32 kind, payload;
    if (!read_u32(_payload, kind) || !read_u32(u64(_payload) + 8 + u64(i) * 4, payload))
        return {};
    return ConstConfigValue(_blob, _size, kind, payload);
}

} // namespace tallow
