#pragma once
// Quantised field encodings shared by replicated objects and remote calls, the change
// test of object fields, blending of received values, and the remote-call payload.
//
//   BitWriter writer(bytes, sizeof(bytes));
//   write_field(writer, descriptor, state + offset);  // bits least significant first
//   BitReader reader(bytes, size);
//   read_field(reader, descriptor, value);            // false on a short message
//
// Encodings (n = the descriptor's bits): bool 1 bit; int the n bits of value - minimum;
// float q = trunc((v - min) / (max - min) x (2^n - 1) + 0.5) in n bits, read back as
// min + (max - min) x q / (2^n - 1); Vector3 three floats; Quaternion the index of its
// largest component (2 bits), then the other three (sign flipped so the largest is
// positive) in (n - 2) / 3 bits each over [-0.72, 0.72]; id: 8 bytes at the next byte
// boundary. Values outside the range (and NaN) are clamped into it before quantising, so
// every value has a defined encoding; the wire layout is the same for values in range.
//
// Values in states are unaligned and little-endian: read and write them with memcpy.

#include "foundation/types.h"
#include "network/bit_packing.h"
#include "network/network_game_config.h"

namespace tallow::network {

/// Writes one value (field_size bytes at `value`); strings are not fields (nothing is written).
void write_field(BitWriter &writer, const FieldDescriptor &descriptor, const u8 *value);
/// Reads one value into `out_value` (field_size bytes); false when the reader overflowed.
bool read_field(BitReader &reader, const FieldDescriptor &descriptor, u8 *out_value);
/// Bits `write_field` spends on a value, not counting the alignment of an id field.
u32 field_wire_bits(const FieldDescriptor &descriptor);

/// The change test: true when `new_value` moved by at least the tolerance from `stored`,
/// in which case it replaces it; a change below the tolerance leaves `stored` as it is,
/// so small steps add up. Bools always change unless the tolerance exceeds FLT_MAX.
bool field_changed(const FieldDescriptor &descriptor, u8 *stored, const u8 *new_value);

/// Moves `state` towards `target` for a field whose target time is `target_time_s`; true
/// when the field reached it. `t` = dt / (target - now + dt) per the blend rules.
bool blend_field(const FieldDescriptor &descriptor, u8 *state, const u8 *target, f64 target_time_s, f64 now_s,
                 f32 dt_s);

/// One remote-call argument, as the script glue hands it over.
struct RpcValue {
    FieldType type = FieldType::Bool;
    bool boolean = false;
    i32 integer = 0;
    f32 number[4] = {}; // float in [0]; Vector3 x y z; Quaternion x y z w
    const char *text = nullptr; // string bytes (no terminator needed); read: points into the message
    u32 length = 0;
};

/// Writes [index][arguments][flush]; false when the payload does not fit (the writer is
/// then flagged), or a value is missing or of the wrong type, or a string is longer than
/// 2047 bytes (its length has 11 bits); the bytes written are then not to be sent.
bool write_rpc(BitWriter &writer, u32 index, const RpcEntry &entry, const RpcValue *values, u32 value_count);
/// Reads the arguments after the index byte into `out_values` (argument_count entries);
/// false when the message is short or a string runs past its end (nothing may be called then).
bool read_rpc_arguments(BitReader &reader, const RpcEntry &entry, RpcValue *out_values);

} // namespace tallow::network
