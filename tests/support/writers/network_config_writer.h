#pragma once
// Builds "network_game_config" resources (layout in network/network_game_config.h) from
// readable values. Shared by the network tests, the config compiler, the fuzz seeds and
// the benchmarks.
//
//   NetworkConfigSpec spec;
//   spec.rpcs.push_back({"chat", {string_argument()}});
//   spec.types.push_back({"ball", {float_field("height", 8, 0, 10), bool_field("held")}});
//   std::vector<u8> bytes = write_network_config(spec);   // tables sorted by name id
//
// Entries are written in name-id order, as the reader requires; defaults are packed in the
// data block type by type. Nothing is checked here: hostile tests write what they want.

#include "foundation/types.h"
#include "network/network_game_config.h"

#include <string>
#include <vector>

namespace tallow::test {

struct FieldSpec {
    std::string name;
    network::FieldType type = network::FieldType::Bool;
    u32 bits = 0;
    f32 minimum = 0; // an int field's minimum is this, converted
    f32 maximum = 0;
    f32 tolerance = 0;
    bool interpolate = false;
    f32 value[4] = {0, 0, 0, 0}; // default: bool/int/float in [0], Vector3, Quaternion
    u64 id = 0;                  // default of an id field
};

struct RpcSpec {
    std::string name;
    std::vector<FieldSpec> arguments;
};

struct ObjectTypeSpec {
    std::string name;
    std::vector<FieldSpec> fields;
};

struct NetworkConfigSpec {
    std::vector<RpcSpec> rpcs;
    std::vector<ObjectTypeSpec> types;
};

FieldSpec bool_field(const std::string &name, f32 tolerance = 0);
FieldSpec int_field(const std::string &name, u32 bits, i32 minimum, f32 tolerance = 0);
FieldSpec float_field(const std::string &name, u32 bits, f32 minimum, f32 maximum, f32 tolerance = 0,
                      bool interpolate = false);
FieldSpec vector3_field(const std::string &name, u32 bits, f32 minimum, f32 maximum, f32 tolerance = 0,
                        bool interpolate = false);
FieldSpec quaternion_field(const std::string &name, u32 bits, f32 tolerance = 0, bool interpolate = false);
FieldSpec id_field(const std::string &name, f32 tolerance = 0);
FieldSpec string_argument(const std::string &name = "text");

/// The descriptor a spec stands for.
network::FieldDescriptor make_descriptor(const FieldSpec &field);
/// The default value bytes of a field (field_size bytes).
std::vector<u8> default_bytes(const FieldSpec &field);
std::vector<u8> write_network_config(const NetworkConfigSpec &spec);

/// Finds the position of the type or call named `name` in a written config.
u32 object_type_index(const network::NetworkGameConfig &config, const char *name);
u32 rpc_index(const network::NetworkGameConfig &config, const char *name);

} // namespace tallow::test
