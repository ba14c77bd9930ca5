#pragma once
// A shader resource on the device: one pass per pass description, each with its stage
// programs (shared through the object caches), its sampler objects and its rasterizer,
// depth-stencil and blend state objects. Each stage carries a binding object telling the
// draw code which samplers and view forms (linear or sRGB) to bind.
//
//   D3DShader *shader = D3DShader::create(allocator, caches, states, desc);
//   const D3DShaderPass *pass = shader->pass(0);
//   ... draws bind pass->vertex->shader, pass->rasterizer.state ...
//   D3DShader::destroy(allocator, shader);
//
// The render-state settings and stage constant buffers are filled by an
// `IRenderStateBuilder` when one is given; without one the state objects keep their
// defaults. A stage whose byte code the device refuses, or that the feature level does
// not allow, is absent. A description past the limits of d3d_shader_desc.h is refused
// (null). Render thread only.

#include "foundation/containers/array.h"
#include "foundation/memory/allocator.h"
#include "foundation/types.h"
#include "render/d3d11/d3d_shader_desc.h"
#include "render/d3d11/d3d_state_objects.h"

namespace tallow::render::d3d11 {

class D3DObjectCaches;
struct D3DStageBinding;

/// The render-state code's part in making a pass. Implementations fill a state object
/// from its settings and take the Direct3D state from the caches; set up and tear down a
/// stage's constant buffers. Called on the render thread.
class IRenderStateBuilder {
  public:
    virtual ~IRenderStateBuilder() = default;
    virtual void apply_rasterizer(RasterizerStateObject &object, const RenderStateList &settings) = 0;
    virtual void apply_depth_stencil(DepthStencilStateObject &object, const RenderStateList &settings) = 0;
    virtual void apply_blend(BlendStateObject &object, const RenderStateList &settings) = 0;
    virtual void apply_sampler(SamplerStateObject &object, const RenderStateList &settings) = 0;
    virtual void create_constant_buffers(D3DStageBinding &binding, const ShaderStageDesc &stage) = 0;
    virtual void destroy_constant_buffers(D3DStageBinding &binding) = 0;
};

/// What the draw code binds for one stage.
struct D3DStageBinding {
    Array<const SamplerStateObject *> samplers; ///< per sampler binding; null when no pass sampler matches
    Array<u8> srgb_flags;                       ///< per resource binding: read the sRGB view
    void *constant_buffers = nullptr;           ///< owned by the render-state code
    explicit D3DStageBinding(Allocator &allocator) : samplers(allocator), srgb_flags(allocator) {}
};

/// Pass stages in binding order.
enum class PassStage : u32 { vertex, hull, domain, geometry, pixel, compute, count };

struct D3DShaderStage {
    const ShaderStageDesc *desc = nullptr;
    ID3D11DeviceChild *shader = nullptr; ///< from the caches, one user counted for this stage
    D3DStageBinding binding;
    explicit D3DShaderStage(Allocator &allocator) : binding(allocator) {}
};

struct D3DSamplerEntry {
    u32 name_id;
    SamplerStateObject *sampler;
};

class D3DShaderPass {
  public:
    D3DShaderPass(Allocator &allocator) : samplers(allocator) {}

    /// Null when the stage is absent.
    D3DShaderStage *stages[u32(PassStage::count)] = {};
    RasterizerStateObject *rasterizer = nullptr;
    DepthStencilStateObject *depth_stencil = nullptr;
    BlendStateObject *blend = nullptr;
    Array<D3DSamplerEntry> samplers;

    D3DShaderStage *stage(PassStage s) const { return stages[u32(s)]; }
};

class D3DShader {
  public:
    /// Makes every pass of `desc`; null (logged) when the description breaks a limit or
    /// memory runs out. `states` may be null. Everything comes from `allocator`.
    static D3DShader *create(Allocator &allocator, D3DObjectCaches &caches, IRenderStateBuilder *states,
                             const ShaderDesc &desc);
    /// Gives every stage program back to the caches and frees the shader. Null is ignored.
    static void destroy(Allocator &allocator, D3DObjectCaches &caches, IRenderStateBuilder *states,
                        D3DShader *shader);
    /// Checks the description's counts against the limits; logs the first one broken.
    static bool is_valid_desc(const ShaderDesc &desc);

    explicit D3DShader(Allocator &allocator) : _passes(allocator) {}

    u32 pass_count() const { return _passes.size(); }
    const D3DShaderPass *pass(u32 index) const { return index < _passes.size() ? _passes[index] : nullptr; }
    u32 pass_mode() const { return _pass_mode; }

  private:
    Array<D3DShaderPass *> _passes;
    u32 _pass_mode = 0;
};

} // namespace tallow::render::d3d11
