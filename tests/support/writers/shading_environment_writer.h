#pragma once
// Writes "shading_environment" resource bytes (render/world/render_shading_environment.h)
// from readable values. Shared by the render tests and the fuzz seeds.
//
//   ShadingEnvironmentSource env;
//   env.material = NameId64("environments/day").value();
//   env.variables.push_back({2, 1, 0, 0});                        // a vector3 at offset 0
//   env.settings.push_back({NameId32("default").value(), floats_bytes({1, 0.9f, 0.8f})});
//   env.render_variables.push_back({0, NameId32("sun_color").value(), 0});
//   std::vector<u8> bytes = write_shading_environment(env);

#include "foundation/types.h"

#include <array>
#include <vector>

namespace tallow {

struct ShadingEnvironmentSource {
    struct Setting {
        u32 name = 0;
        std::vector<u8> bytes;
    };
    u64 material = 0;
    std::vector<std::array<u32, 4>> variables;        // {type, element count, word, offset}
    std::vector<Setting> settings;
    std::vector<std::array<u32, 3>> bindings;         // {value-set id, parameter id, variable index}
    std::vector<std::array<u32, 3>> render_variables; // {variable index, variable id, word}
};

std::vector<u8> write_shading_environment(const ShadingEnvironmentSource &source);
/// The bytes of `values` as little-endian f32s.
std::vector<u8> floats_bytes(const std::vector<f32> &values);

} // namespace tallow
