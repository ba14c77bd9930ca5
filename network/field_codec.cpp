#include "network/field_codec.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace tallow::network {

namespace {

constexpr f64 quaternion_range = 0.72;
constexpr f64 quaternion_scale = 0.6944444; // 1 / 1.44

u32 max_value(u32 bits) { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1; }

void write_float(BitWriter &writer, f32 value, u32 bits, f32 minimum, f32 maximum)
{
    f64 t = (f64(value) - minimum) / (f64(maximum) - minimum);
    if (!(t > 0))
        t = 0; // NaN as well
    if (t > 1)
        t = 1;
    const f64 q = std::trunc(t * max_value(bits) + 0.5);
    writer.write_bits(u32(q), bits);
}

f32 read_float(BitReader &reader, u32 bits, f32 minimum, f32 maximum)
{
    const u32 q = reader.read_bits(bits);
    return f32(f64(minimum) + (f64(maximum) - minimum) * f64(q) / f64(max_value(bits)));
}

template <typename T> T load(const u8 *p)
{
    T value;
    memcpy(&value, p, sizeof(T));
    return value;
}
template <typename T> void store(u8 *p, T value) { memcpy(p, &value, sizeof(T)); }

void write_quaternion(BitWriter &writer, const f32 *q, u32 bits)
{
    f64 c[4] = {q[0], q[1], q[2], q[3]};
    if (!(std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]) && std::isfinite(c[3])))
        c[0] = c[1] = c[2] = 0, c[3] = 1;
    u32 largest = 0;
    for (u32 i = 1; i < 4; ++i)
        if (c[i] * c[i] > c[largest] * c[largest])
            largest = i;
    const f64 sign = c[largest] < 0 ? -1 : 1;
    writer.write_bits(largest, 2);
    const u32 k = (bits - 2) / 3;
    const f64 top = max_value(k);
    for (u32 i = 0; i < 4; ++i) {
        if (i == largest)
            continue;
        f64 v = c[i] * sign;
        if (v < -quaternion_range)
            v = -quaternion_range;
        if (v > quaternion_range)
            v = quaternion_range;
        writer.write_bits(u32(std::trunc((v + quaternion_range) * top * quaternion_scale + 0.5)), k);
    }
}

void read_quaternion(BitReader &reader, f32 *out, u32 bits)
{
    const u32 largest = reader.read_bits(2);
    const u32 k = (bits - 2) / 3;
    const f64 top = max_value(k);
    f64 sum = 0;
    for (u32 i = 0; i < 4; ++i) {
        if (i == largest)
            continue;
        const f64 v = f64(reader.read_bits(k)) / top * 1.44 - quaternion_range;
        out[i] = f32(v);
        sum += v * v;
    }
    f64 rest = 1 - sum;
    if (rest < 0)
        rest = 0;
    out[largest] = f32(std::sqrt(rest));
}

} // namespace

u32 field_wire_bits(const FieldDescriptor &d)
{
    switch (d.field_type()) {
    case FieldType::Bool: return 1;
    case FieldType::Int:
    case FieldType::Float: return d.bits;
    case FieldType::Vector3: return 3 * d.bits;
    case FieldType::Quaternion: return 2 + 3 * ((d.bits - 2) / 3);
    case FieldType::Id: return 64;
    default: return 0;
    }
}

void write_field(BitWriter &writer, const FieldDescriptor &d, const u8 *value)
{
    switch (d.field_type()) {
    case FieldType::Bool:
        writer.write_bits(value[0] != 0 ? 1 : 0, 1);
        break;
    case FieldType::Int: {
        i64 offset = i64(load<i32>(value)) - d.minimum_int();
        if (offset < 0)
            offset = 0;
        if (offset > i64(max_value(d.bits)))
            offset = max_value(d.bits);
        writer.write_bits(u32(offset), d.bits);
        break;
    }
    case FieldType::Float:
        write_float(writer, load<f32>(value), d.bits, d.minimum_float(), d.maximum);
        break;
    case FieldType::Vector3:
        for (u32 i = 0; i < 3; ++i)
            write_float(writer, load<f32>(value + 4 * i), d.bits, d.minimum_float(), d.maximum);
        break;
    case FieldType::Quaternion: {
        f32 q[4];
        memcpy(q, value, sizeof(q));
        write_quaternion(writer, q, d.bits);
        break;
    }
    case FieldType::Id:
        writer.write_u64(load<u64>(value));
        break;
    default:
        break;
    }
}

bool read_field(BitReader &reader, const FieldDescriptor &d, u8 *out)
{
    switch (d.field_type()) {
    case FieldType::Bool:
        out[0] = u8(reader.read_bits(1));
        break;
    case FieldType::Int:
        store<i32>(out, i32(u32(reader.read_bits(d.bits)) + u32(d.minimum_int())));
        break;
    case FieldType::Float:
        store<f32>(out, read_float(reader, d.bits, d.minimum_float(), d.maximum));
        break;
    case FieldType::Vector3:
        for (u32 i = 0; i < 3; ++i)
            store<f32>(out + 4 * i, read_float(reader, d.bits, d.minimum_float(), d.maximum));
        break;
    case FieldType::Quaternion: {
        f32 q[4] = {};
        read_quaternion(reader, q, d.bits);
        memcpy(out, q, sizeof(q));
        break;
    }
    case FieldType::Id:
        store<u64>(out, reader.read_u64());
        break;
    default:
        break;
    }
    return !reader.has_overflowed();
}

bool field_changed(const FieldDescriptor &d, u8 *stored, const u8 *value)
{
    bool changed = false;
    switch (d.field_type()) {
    case FieldType::Bool:
        changed = !(d.tolerance > FLT_MAX);
        break;
    case FieldType::Int:
        changed = f32(std::fabs(f64(load<i32>(value)) - f64(load<i32>(stored)))) >= d.tolerance;
        break;
    case FieldType::Float:
        changed = std::fabs(load<f32>(value) - load<f32>(stored)) >= d.tolerance;
        break;
    case FieldType::Vector3: {
        f32 s = 0;
        for (u32 i = 0; i < 3; ++i) {
            const f32 delta = load<f32>(value + 4 * i) - load<f32>(stored + 4 * i);
            s += delta * delta;
        }
        changed = std::sqrt(s) >= d.tolerance;
        break;
    }
    case FieldType::Quaternion: {
        f64 a[4], b[4], dot = 0;
        for (u32 i = 0; i < 4; ++i) {
            a[i] = load<f32>(value + 4 * i);
            b[i] = load<f32>(stored + 4 * i);
            dot += a[i] * b[i];
        }
        f64 s = 0;
        for (u32 i = 0; i < 4; ++i) {
            const f64 delta = dot > 0 ? a[i] - b[i] : a[i] + b[i];
            s += delta * delta;
        }
        changed = std::sqrt(s) >= d.tolerance;
        break;
    }
    case FieldType::Id: {
        const u64 x = load<u64>(value), y = load<u64>(stored);
        changed = f64(x > y ? x - y : y - x) >= d.tolerance;
        break;
    }
    default:
        return false;
    }
    if (changed)
        memcpy(stored, value, field_size(d.field_type()));
    return changed;
}

bool blend_field(const FieldDescriptor &d, u8 *state, const u8 *target, f64 target_time_s, f64 now_s, f32 dt_s)
{
    const u32 size = field_size(d.field_type());
    if (now_s >= target_time_s) {
        memcpy(state, target, size);
        return true;
    }
    const f64 t = f64(dt_s) / (target_time_s - now_s + dt_s);
    switch (d.field_type()) {
    case FieldType::Float:
    case FieldType::Vector3:
        for (u32 i = 0; i < size / 4; ++i)
            store<f32>(state + 4 * i, f32(load<f32>(state + 4 * i) * (1 - t) + load<f32>(target + 4 * i) * t));
        return false;
    case FieldType::Quaternion: {
        f64 s[4], v[4], dot = 0, length = 0;
        for (u32 i = 0; i < 4; ++i) {
            s[i] = load<f32>(state + 4 * i);
            v[i] = load<f32>(target + 4 * i);
            dot += s[i] * v[i];
        }
        f64 q[4];
        for (u32 i = 0; i < 4; ++i) {
            q[i] = dot < 0 ? -s[i] * (1 - t) + v[i] * t : s[i] + (v[i] - s[i]) * t;
            length += q[i] * q[i];
        }
        length = std::sqrt(length);
        for (u32 i = 0; i < 4; ++i) {
            const f32 c = (length > 0 && std::isfinite(length)) ? f32(q[i] / length) : (i == 3 ? 1.0f : 0.0f);
            store<f32>(state + 4 * i, c);
        }
        return false;
    }
    default:
        return false; // bool, int and ids step at the target time
    }
}

bool write_rpc(BitWriter &writer, u32 index, const RpcEntry &entry, const RpcValue *values, u32 value_count)
{
    writer.write_u8(u8(index));
    for (u32 a = 0; a < entry.argument_count; ++a) {
        const FieldDescriptor &d = entry.arguments[a];
        if (d.field_type() == FieldType::Id)
            continue; // carries nothing
        if (a >= value_count || values[a].type != d.field_type()) {
            return false;
        }
        const RpcValue &v = values[a];
        u8 scratch[16];
        switch (d.field_type()) {
        case FieldType::Bool: scratch[0] = v.boolean ? 1 : 0; break;
        case FieldType::Int: store<i32>(scratch, v.integer); break;
        case FieldType::String:
            if (v.length > 2047 || (v.length > 0 && !v.text)) {
                return false;
            }
            writer.write_bits(v.length, 11);
            writer.write_bytes(v.text, v.length);
            continue;
        default: memcpy(scratch, v.number, sizeof(scratch)); break;
        }
        write_field(writer, d, scratch);
    }
    writer.flush();
    return !writer.has_overflowed();
}

bool read_rpc_arguments(BitReader &reader, const RpcEntry &entry, RpcValue *out)
{
    for (u32 a = 0; a < entry.argument_count && a < max_rpc_arguments; ++a) {
        const FieldDescriptor &d = entry.arguments[a];
        RpcValue &v = out[a];
        v = RpcValue{};
        v.type = d.field_type();
        u8 scratch[16] = {};
        switch (d.field_type()) {
        case FieldType::Id: continue;
        case FieldType::String: {
            v.length = reader.read_bits(11);
            reader.align();
            v.text = reinterpret_cast<const char *>(reader.cursor());
            if (!reader.skip_bytes(v.length))
                return false;
            continue;
        }
        default: break;
        }
        if (!read_field(reader, d, scratch))
            return false;
        if (d.field_type() == FieldType::Bool)
            v.boolean = scratch[0] != 0;
        else if (d.field_type() == FieldType::Int)
            v.integer = load<i32>(scratch);
        else
            memcpy(v.number, scratch, sizeof(v.number));
    }
    reader.align();
    return !reader.has_overflowed();
}

} // namespace tallow::network
