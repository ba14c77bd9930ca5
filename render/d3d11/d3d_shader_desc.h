#pragma once
// The typed description of a shader resource (kind 9) as the shader-library loader hands
// it to the device: passes, each naming byte code for up to six stages with their
// resource and sampler bindings, the pass's samplers and its render-state lists. Every
// pointer is owned by the front end's shader and outlives the device's objects made from
// it. The byte code is opaque: nothing here compiles or reads it.

#include "foundation/types.h"
#include "render/d3d11/d3d_state_objects.h"
#include "render/resources/render_resource.h"

namespace tallow::render::d3d11 {

/// Stages in the order the description lists them.
enum class DescStage : u32 { vertex, domain, hull, geometry, pixel, compute, count };

/// A resource or sampler binding of a stage, found by the name id of the shader variable.
struct ShaderBindingDesc {
    u32 name_id;
    u32 slot;
};

struct ShaderStageDesc {
    const u8 *code = nullptr; ///< byte code; size 0 means the stage is absent
    u32 code_size = 0;
    const ShaderBindingDesc *resources = nullptr;
    u32 resource_count = 0;
    const ShaderBindingDesc *samplers = nullptr;
    u32 sampler_count = 0;
    const void *constant_buffers = nullptr; ///< read by the render-state code, opaque here
};

struct ShaderSamplerDesc {
    u32 name_id;
    RenderStateList states;
};

struct ShaderPassDesc {
    const ShaderSamplerDesc *samplers = nullptr;
    u32 sampler_count = 0;
    ShaderStageDesc stages[u32(DescStage::count)];
    RenderStateList rasterizer_states;
    RenderStateList depth_stencil_states;
    RenderStateList blend_states;
};

struct ShaderDesc {
    const ShaderPassDesc *passes = nullptr;
    u32 pass_count = 0;
    u32 pass_mode = 0; ///< how draws pick the pass number from the sort key
};

/// Limits a description must keep (Direct3D's slot counts); the device refuses more.
constexpr u32 max_shader_passes = 64;
constexpr u32 max_pass_samplers = 16;
constexpr u32 max_stage_resources = 128;
constexpr u32 max_stage_samplers = 16;

} // namespace tallow::render::d3d11

namespace tallow::render::d3d11 {

/// The front end's shader resource (type 9) as update record 6 points at it: its
/// RenderResource header, then the description the device builds the shader from.
struct ShaderResourceRecord {
    RenderResource resource{RenderResourceType::Shader};
    const ShaderDesc *desc = nullptr;
};

} // namespace tallow::render::d3d11
