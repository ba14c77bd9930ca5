#pragma once
// The "network_game_config" resource: the remote calls a game may make, with their typed
// arguments, and the replicated object types, with their typed fields. One block of bytes,
// read in place once `NetworkGameConfig::open` has validated it.
//
//   NetworkGameConfig config;
//   if (!config.open(bytes, size)) ...              // logged under "network"; not usable
//   const GameObjectType *type = config.find_object_type(NameId32("player").value());
//   const u8 *defaults = config.data_at(*type);     // type->state_size bytes
//   u32 index = type->find_field(NameId32("position").value());
//
// Layout (little-endian, byte offsets from the start; written by the config compiler,
// tools/network/network_config_compiler.h, through tests/support/writers/network_config_writer.h):
//
//   0       u32 RPC count (at most 255)
//   4       255 x 184-byte RPC entries, the first count used, sorted by name id
//   46924   u32 object type count (at most 255)
//   46928   255 x 296-byte object types, the first count used, sorted by name id
//   122408  data block: the default state of each type
//
//   field descriptor (24 bytes): u32 type (FieldType), u32 bits, f32 tolerance,
//     u8 interpolate + 3 unused, minimum (f32, or i32 for int fields), f32 maximum
//   RPC entry (184 bytes): u32 name id (NameId32), char name[32] NUL-terminated,
//     u32 argument count (at most 6), 6 descriptors
//   object type (296 bytes): u32 name id, u32 field count (at most 10), 10 descriptors,
//     10 x u32 field name ids, u32 state size, u32 offset of the default state in the
//     data block
//
// A type's state packs its fields in order with the sizes of `field_size` (bool 1, int 4,
// float 4, Vector3 12, Quaternion 16, id 8), unaligned.
//
// Nothing in the block is trusted: `open` refuses counts over the tables, argument and
// field counts over their arrays, descriptors whose encoding is undefined (bits 0 or over
// 32, quaternions under 5 bits, a float range that is empty or not finite, a type used
// where it has no meaning), names without their NUL, tables out of order, a state size
// that differs from its fields' sum or does not fit a creation message, and defaults
// outside the data block. Main thread only; the config does not own the bytes.

#include "foundation/types.h"

namespace tallow::network {

enum class FieldType : u32 {
    Bool = 0,
    Int = 1,
    Float = 2,
    Vector3 = 3,
    Quaternion = 4,
    String = 5, // remote call arguments only
    Id = 6,     // 64-bit id; object fields only (an argument of this type carries nothing)
};

struct FieldDescriptor {
    u32 type;        // FieldType
    u32 bits;        // bits per value (per component for Vector3; total for Quaternion)
    f32 tolerance;   // smallest change of an object field that counts
    u8 interpolate;  // nonzero: received values are blended in over time
    u8 unused[3];
    u32 minimum;     // f32 bits, or an i32 for int fields
    f32 maximum;

    FieldType field_type() const { return FieldType(type); }
    f32 minimum_float() const;
    i32 minimum_int() const { return i32(minimum); }
};
static_assert(sizeof(FieldDescriptor) == 24);

constexpr u32 max_rpc_arguments = 6;
constexpr u32 max_object_fields = 10;
constexpr u32 rpc_name_bytes = 32;

struct RpcEntry {
    u32 name_id;
    char name[rpc_name_bytes];
    u32 argument_count;
    FieldDescriptor arguments[max_rpc_arguments];
};
static_assert(sizeof(RpcEntry) == 184);

struct GameObjectType {
    u32 name_id;
    u32 field_count;
    FieldDescriptor fields[max_object_fields];
    u32 field_name_ids[max_object_fields];
    u32 state_size;
    u32 default_offset;

    /// The index of the field with this name id, or -1 (0xFFFFFFFF).
    u32 find_field(u32 name_id) const;
    /// Byte offset of field `index` in the packed state.
    u32 field_offset(u32 index) const;
    bool has_interpolating_field() const;
};
static_assert(sizeof(GameObjectType) == 296);

constexpr u32 max_config_entries = 255;
constexpr u32 config_rpc_table_offset = 4;
constexpr u32 config_type_count_offset = 4 + max_config_entries * sizeof(RpcEntry); // 46924
constexpr u32 config_type_table_offset = config_type_count_offset + 4;              // 46928
constexpr u32 config_data_offset = config_type_table_offset + max_config_entries * sizeof(GameObjectType); // 122408
static_assert(config_type_count_offset == 46924 && config_data_offset == 122408);
/// The largest state a type may have: its creation message (type byte, 24 bits of type
/// index and id, the state) must fit the reliable bytes of one datagram.
constexpr u32 max_object_state_bytes = 1189 - 4;

/// Bytes a field of this type takes in a packed state; 0 for strings and unknown types.
u32 field_size(FieldType type);

class NetworkGameConfig {
  public:
    /// Validates the block and reads it in place; `bytes` must be 4-byte aligned and stay
    /// alive and unchanged while the config is used. False (logged) for a bad block.
    [[nodiscard]] bool open(const void *bytes, u32 size);
    bool is_open() const { return _bytes != nullptr; }

    u32 rpc_count() const { return _rpc_count; }
    u32 object_type_count() const { return _type_count; }
    /// Entries by position (the index sent on the wire); null past the count.
    const RpcEntry *rpc(u32 index) const;
    const GameObjectType *object_type(u32 index) const;
    /// Binary search by name id; null when absent.
    const RpcEntry *find_rpc(u32 name_id) const;
    const GameObjectType *find_object_type(u32 name_id) const;
    u32 rpc_index(const RpcEntry &entry) const { return u32(&entry - rpcs()); }
    u32 object_type_index(const GameObjectType &type) const { return u32(&type - types()); }
    /// The type's default state (state_size bytes).
    const u8 *data_at(const GameObjectType &type) const;

  private:
    const RpcEntry *rpcs() const;
    const GameObjectType *types() const;

    const u8 *_bytes = nullptr;
    u32 _size = 0;
    u32 _rpc_count = 0;
    u32 _type_count = 0;
};

/// True when `descriptor` has a defined encoding as an object field (`as_argument` false)
/// or a call argument; `out_reason` names the fault otherwise.
bool is_valid_descriptor(const FieldDescriptor &descriptor, bool as_argument, const char **out_reason);

} // namespace tallow::network
