#pragma once
// Helpers shared by the files of D3DRenderContext (d3d_render_context.cpp: frames, sort
// entries, targets, viewports and clears; d3d_render_context_draw.cpp: draw batches and
// geometry).
#include "render/d3d11/d3d_render_context.h"
#include "render/d3d11/d3d_shader.h"

namespace tallow::render::d3d11 {

const char *const log_category = "d3d11";

constexpr u32 stage_count = u32(PassStage::count);
constexpr u32 compute_stage = u32(PassStage::compute);

/// Sets the shader of one stage (PassStage order) on `c`; a null shader unbinds it.
void set_stage_shader(ID3D11DeviceContext *c, u32 stage, ID3D11DeviceChild *shader);
/// The slot setters of one stage, as the context's XSSet... calls.
void set_stage_constant_buffers(ID3D11DeviceContext *c, u32 stage, u32 start, u32 count, ID3D11Buffer *const *buffers);
void set_stage_views(ID3D11DeviceContext *c, u32 stage, u32 start, u32 count, ID3D11ShaderResourceView *const *views);
void set_stage_samplers(ID3D11DeviceContext *c, u32 stage, u32 start, u32 count, ID3D11SamplerState *const *samplers);

} // namespace tallow::render::d3d11
