#pragma once
// Builds "shader_library" and "shader_library_group" resource bytes
// (render/shaders/shader_library.h) from readable values. The render tests, the fuzz seeds,
// the benchmark and the shader library compiler (tools/render/shader_library_compiler.h) write
// libraries through it.
//
//   test::ShaderSpec mesh{"mesh", {{"world", ShaderValueType::Matrix4x4}, {"alpha", ShaderValueType::Scalar}},
//                         {"diffuse_map"}, {{"opaque", "vertex code", "pixel code"}}};
//   test::ShaderLibrarySource library;
//   library.shaders.push_back(test::build_shader(mesh));
//   library.templates.push_back({NameId32("mesh").value(), {{NameId32("default").value(),
//                                {{NameId32("mesh").value(), {}}}}}});
//   std::vector<u8> bytes = test::write_shader_library(library);
//
// Source records hold raw values, so a test can write what the reader must refuse;
// build_shader makes a consistent shader (laid-out block, variable map, stage tables).

#include "render/shaders/shader_constant_buffer.h"

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace tallow::test {

struct ShaderStateSource {
    u32 id = 0;
    u8 first = 0;
    u32 value = 0;
    u32 last = 0;
};

struct ShaderSamplerSource {
    u32 name = 0;
    std::vector<ShaderStateSource> states;
};

struct ShaderStageSource {
    std::string code; // empty: the stage is absent
    std::vector<std::array<u32, 4>> resources;       // {name, slot, block offset, 0}
    std::vector<std::array<u32, 4>> constant_buffers; // {slot, size, block offset, 0}
    std::vector<std::array<u32, 4>> unordered_views; // {block offset, slot, 0, 0}
    std::vector<std::array<u32, 3>> samplers;        // {name, slot, 0}
};

/// Stages in file order: vertex, hull, domain, geometry, pixel, compute.
struct ShaderProgramSource {
    std::vector<ShaderStateSource> states;
    std::vector<ShaderSamplerSource> samplers;
    ShaderStageSource stages[6];
};

struct ShaderConstantBufferSource {
    std::vector<ShaderVariableDesc> variables;
    u32 slot = 0;
    u32 size_bytes = 0;
};

struct ShaderSource {
    u32 name = 0;
    u32 options = 0;
    std::vector<std::array<u32, 3>> variables; // {name, kind, offset}
    std::vector<ShaderConstantBufferSource> buffers;
    std::vector<u32> pass_layers;
    u32 high_pass = 0;
    std::vector<ShaderProgramSource> programs; // one per pass
};

struct TemplateOptionSource {
    u32 shader = 0;
    std::vector<u8> condition; // a flat config blob; empty: always chosen
};

struct TemplateSlotSource {
    u32 name = 0;
    std::vector<TemplateOptionSource> options;
};

struct TemplateSource {
    u32 name = 0;
    std::vector<TemplateSlotSource> slots;
};

struct ShaderLibrarySource {
    u32 version = 18;
    std::vector<ShaderSource> shaders;
    std::vector<TemplateSource> templates;
    /// Device-data entries: by default one per shader, its programs.
    bool write_device_data = true;
};

std::vector<u8> write_shader_library(const ShaderLibrarySource &library);
/// A group of the named libraries (their NameId64).
std::vector<u8> write_shader_library_group(const std::vector<std::string> &library_names);
/// The flat config blob of `config_text` (a condition such as "deferred = true").
std::vector<u8> condition_blob(const char *config_text);

// --- consistent shaders -----------------------------------------------------------------

struct VariableSpec {
    VariableSpec(std::string n = {}, ShaderValueType t = ShaderValueType::Scalar, u32 c = 1)
        : name(std::move(n)), type(t), count(c)
    {
    }
    std::string name;
    ShaderValueType type = ShaderValueType::Scalar;
    u32 count = 1;
};

struct PassSpec {
    using Samplers = std::vector<std::pair<std::string, std::vector<ShaderStateSource>>>;
    PassSpec(std::string l = {}, std::string v = {}, std::string p = {}, std::vector<ShaderStateSource> st = {},
             Samplers sa = {}, std::string c = {})
        : layer(std::move(l)), vertex(std::move(v)), pixel(std::move(p)), states(std::move(st)), samplers(std::move(sa)),
          compute(std::move(c))
    {
    }
    std::string layer;  // "" for none
    std::string vertex; // stage code; "" absent
    std::string pixel;
    std::vector<ShaderStateSource> states;
    Samplers samplers;
    std::string compute;
};

struct ShaderSpec {
    ShaderSpec(std::string n = {}, std::vector<VariableSpec> c = {}, std::vector<std::string> r = {},
               std::vector<PassSpec> p = {}, bool high = false, u32 o = 0)
        : name(std::move(n)), constants(std::move(c)), resources(std::move(r)), passes(std::move(p)), high_pass(high),
          options(o)
    {
    }
    std::string name;
    std::vector<VariableSpec> constants; // one constant buffer, slot 0
    std::vector<std::string> resources;  // one u32 handle each, after the constants
    std::vector<PassSpec> passes;
    bool high_pass = false;
    u32 options = 0;
};

/// A shader whose block, variable map and stage tables agree: the constants form constant
/// buffer 0 (bound to every stage with code), the resources follow as Int handles bound in
/// order, and each pass's samplers are bound in order.
ShaderSource build_shader(const ShaderSpec &spec);

} // namespace tallow::test
