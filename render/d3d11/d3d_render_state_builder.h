#pragma once
// The render-state side of shader passes: numbered render-state settings turned into
// state descriptions and cached Direct3D states, the constant buffers of a pass's stages
// with their per-draw update, and what a stage binds per draw (constant buffers and shader
// resources from the draw's constant block) and per shader change (samplers).
//
//   D3DRenderStateBuilder states(allocator, device);
//   params.states = &states;                         // the resource manager makes passes with it
//   D3DResourceManager manager(allocator, params);
//   states.set_caches(manager.caches());
//   ...
//   ID3D11BlendState *blend = apply_blend(object, settings, caches, ApplyMode::temporary_set);
//
// A stage's layout (`ShaderStageDesc::constant_buffers`) is a `StageResourceLayout`: where
// each constant buffer's bytes and each resource's handle sit in the draw's constant block.
// Slots past Direct3D's limits (14 constant buffers, 128 views, 16 samplers, 8 unordered
// views) are refused when the stage is made: logged and left unbound.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"
#include "platform/d3d11/d3d11_shim.h"
#include "render/d3d11/d3d_resource.h"
#include "render/d3d11/d3d_shader.h"

namespace tallow::render::d3d11 {

class D3DObjectCaches;

/// How `apply_*` treats the object.
enum class ApplyMode : u32 {
    temporary_set,   ///< the object keeps its description; a changed copy gives the returned state
    temporary_clear, ///< the changed description and its state become the object's
};

/// Applies `settings` (ids outside the object's range are ignored) and returns the
/// Direct3D state to bind; null when the caches could not make it.
ID3D11RasterizerState *apply_rasterizer(RasterizerStateObject &object, const RenderStateList &settings,
                                        D3DObjectCaches &caches, ApplyMode mode);
ID3D11DepthStencilState *apply_depth_stencil(DepthStencilStateObject &object, const RenderStateList &settings,
                                             D3DObjectCaches &caches, ApplyMode mode);
ID3D11BlendState *apply_blend(BlendStateObject &object, const RenderStateList &settings, D3DObjectCaches &caches,
                              ApplyMode mode);
ID3D11SamplerState *apply_sampler(SamplerStateObject &object, const RenderStateList &settings,
                                  D3DObjectCaches &caches, ApplyMode mode);

/// After the blend settings: targets without separate alpha take their alpha factors from
/// their colour factors (independent blending) or from target 0's (shared blending).
void derive_blend_alpha(D3D11_BLEND_DESC &desc, const bool separate_alpha[8]);
/// D3D11_BLEND factors that may stand for an alpha factor.
bool is_alpha_capable_blend(u32 blend);

/// One constant buffer of a stage: its slot, size and where its bytes start in the block.
struct StageConstantBufferDesc {
    u32 slot;
    u32 size_bytes;   ///< a multiple of 16
    u32 block_offset; ///< offset of the bytes in the draw's constant block
};

/// Where a stage finds what it binds per draw. Resource handles are u32 render resource
/// handles in the block; 0xFFFFFFFF as an offset means "always null".
struct StageResourceLayout {
    const StageConstantBufferDesc *buffers = nullptr;
    u32 buffer_count = 0;
    const u32 *resource_offsets = nullptr; ///< one per resource binding of the stage desc
    const ShaderBindingDesc *unordered_views = nullptr; ///< compute only: {block offset of the handle, slot}
    u32 unordered_view_count = 0;
};

constexpr u32 max_constant_buffer_slots = 14;
constexpr u32 max_unordered_view_slots = 8;
constexpr u32 no_block_offset = 0xFFFFFFFFu;

/// A stage's constant buffers, made with the stage (D3DStageBinding::constant_buffers).
struct StageConstantBuffers {
    struct Entry {
        D3DBuffer *buffer;
        u32 slot;
        u32 size_bytes;
        u32 block_offset;
    };
    explicit StageConstantBuffers(Allocator &allocator)
        : entries(allocator), resource_slots(allocator), sampler_slots(allocator)
    {
    }
    Array<Entry> entries; ///< valid entries only, in layout order
    u32 slot_count = 0;   ///< highest slot + 1
    const StageResourceLayout *layout = nullptr;
    Array<u32> resource_slots; ///< per resource binding; past the limit: unbound
    Array<u32> sampler_slots;  ///< per sampler binding; past the limit: unbound
};

/// Makes passes' states and stage constant buffers for the resource manager.
/// Render thread only; the constant-buffer allocator is thread-safe.
class D3DRenderStateBuilder final : public IRenderStateBuilder {
  public:
    /// Constant buffers come from a trace allocator "D3DConstantBufferManager" over `parent`.
    /// The caches (the resource manager's, made after the builder) are set before the
    /// first pass is made.
    D3DRenderStateBuilder(Allocator &parent, ID3D11Device *device, D3DObjectCaches *caches = nullptr);
    void set_caches(D3DObjectCaches &caches) { _caches = &caches; }

    void apply_rasterizer(RasterizerStateObject &object, const RenderStateList &settings) override; // See IRenderStateBuilder
    void apply_depth_stencil(DepthStencilStateObject &object, const RenderStateList &settings) override; // See IRenderStateBuilder
    void apply_blend(BlendStateObject &object, const RenderStateList &settings) override; // See IRenderStateBuilder
    void apply_sampler(SamplerStateObject &object, const RenderStateList &settings) override; // See IRenderStateBuilder
    void create_constant_buffers(D3DStageBinding &binding, const ShaderStageDesc &stage) override; // See IRenderStateBuilder
    void destroy_constant_buffers(D3DStageBinding &binding) override; // See IRenderStateBuilder

    /// A dynamic constant buffer of `size_bytes`; null when the device refuses it.
    D3DBuffer *create_constant_buffer(u32 size_bytes);
    void destroy_constant_buffer(D3DBuffer *buffer);

    TraceAllocator &allocator() { return _allocator; }

  private:
    TraceAllocator _allocator;
    ID3D11Device *_device;
    D3DObjectCaches *_caches;
};

/// Map(WRITE_DISCARD), copies `size_bytes` from `data`, Unmap. Nothing on failure.
void update_constant_buffer(ID3D11DeviceContext *context, ID3D11Buffer *buffer, const void *data, u32 size_bytes);

} // namespace tallow::render::d3d11
