#pragma once
// Writes "material" resource bytes (render/materials/material_resource.h). Shared by the
// render tests, the material compiler and the fuzz seeds.
//
//   MaterialSource m;  m.name = NameId32("crate").value();  m.shader_template = ...;
//   m.textures.push_back({NameId32("diffuse_map").value(), NameId64("textures/crate").value()});
//   m.values.push_back({0, NameId32("roughness").value(), {0.5f}});
//   std::vector<u8> bytes = write_material_resource({m});

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

struct MaterialSourceTexture {
    u32 channel = 0; // NameId32
    u64 texture = 0; // NameId64
};

struct MaterialSourceValue {
    u32 kind = 0;    // 0 scalar, 1 vector2, 2 vector3
    u32 variable = 0;
    f32 value[3] = {0, 0, 0};
};

struct MaterialSource {
    u32 name = 0;
    u32 shader_template = 0;
    std::string shader_name; // written in the names block (when any material has one)
    std::vector<MaterialSourceTexture> textures;
    std::vector<MaterialSourceValue> values;
};

/// Version 8; each material's values are packed in order into its value block (the kind's
/// float count each), with the offsets that point at them. The shader names block follows
/// when any material has a name.
std::vector<u8> write_material_resource(const std::vector<MaterialSource> &materials);

} // namespace tallow
