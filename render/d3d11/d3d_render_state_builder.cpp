#include "render/d3d11/d3d_render_state_builder.h"

#include "foundation/log.h"
#include "render/d3d11/d3d_object_caches.h"

#include <cstring>

namespace tallow::render::d3d11 {
namespace {

const char *const log_category = "d3d11";

f32 float_from_bits(u32 bits)
{
    f32 value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

BOOL as_bool(u32 value) { return value != 0 ? TRUE : FALSE; }

// Each setter returns true when the id belongs to the object, so "temporary set" knows
// whether anything of its range was present.
bool set_rasterizer(D3D11_RASTERIZER_DESC &desc, const RenderStateSetting &s)
{
    switch (s.id) {
    case 0: desc.FillMode = D3D11_FILL_MODE(s.value); return true;
    case 1: desc.CullMode = D3D11_CULL_MODE(s.value); return true;
    case 2: desc.FrontCounterClockwise = as_bool(s.value); return true;
    case 3: desc.DepthBias = INT(s.value); return true;
    case 4: desc.DepthBiasClamp = float_from_bits(s.value); return true;
    case 5: desc.SlopeScaledDepthBias = float_from_bits(s.value); return true;
    case 6: desc.DepthClipEnable = as_bool(s.value); return true;
    case 7: desc.ScissorEnable = as_bool(s.value); return true;
    case 8: desc.MultisampleEnable = as_bool(s.value); return true;
    case 9: desc.AntialiasedLineEnable = as_bool(s.value); return true;
    default: return false;
    }
}

void set_stencil_op(D3D11_DEPTH_STENCILOP_DESC &op, u32 which, u32 value)
{
    switch (which) {
    case 0: op.StencilFailOp = D3D11_STENCIL_OP(value); break;
    case 1: op.StencilDepthFailOp = D3D11_STENCIL_OP(value); break;
    case 2: op.StencilPassOp = D3D11_STENCIL_OP(value); break;
    default: op.StencilFunc = D3D11_COMPARISON_FUNC(value); break;
    }
}

// Ids 24 to 27 are written into the object in both modes; the rest into `desc`.
bool set_depth_stencil(D3D11_DEPTH_STENCIL_DESC &desc, DepthStencilStateObject &object, const RenderStateSetting &s)
{
    switch (s.id) {
    case 10: desc.DepthEnable = as_bool(s.value); return true;
    case 11: desc.DepthWriteMask = s.value ? D3D11_DEPTH_WRITE_MASK_ALL : D3D11_DEPTH_WRITE_MASK_ZERO; return true;
    case 12: desc.DepthFunc = D3D11_COMPARISON_FUNC(s.value); return true;
    case 13: desc.StencilEnable = as_bool(s.value); return true;
    case 14: desc.StencilReadMask = UINT8(s.value & 0xFF); return true;
    case 15: desc.StencilWriteMask = UINT8(s.value & 0xFF); return true;
    case 24: object.stencil = {s.first, s.value, s.last}; return true;
    case 25: object.flag = s.value != 0; return true;
    case 26: object.next = {s.first, s.value, s.last}; return true;
    case 27: object.last = {s.first, s.value, s.last}; return true;
    default: break;
    }
    if (s.id >= 16 && s.id <= 19) {
        set_stencil_op(desc.FrontFace, s.id - 16, s.value);
        return true;
    }
    if (s.id >= 20 && s.id <= 23) {
        set_stencil_op(desc.BackFace, s.id - 20, s.value);
        return true;
    }
    return false;
}

bool set_blend(D3D11_BLEND_DESC &desc, BlendStateObject &object, bool separate_alpha[8], const RenderStateSetting &s)
{
    const u32 id = s.id;
    if (id == 28) {
        desc.AlphaToCoverageEnable = as_bool(s.value);
    } else if (id == 29) {
        desc.IndependentBlendEnable = as_bool(s.value);
    } else if (id >= 30 && id < 102) {
        const u32 group = (id - 30) / 8;
        D3D11_RENDER_TARGET_BLEND_DESC &t = desc.RenderTarget[(id - 30) % 8];
        switch (group) {
        case 0: t.BlendEnable = as_bool(s.value); break;
        case 1: t.SrcBlend = D3D11_BLEND(s.value); break;
        case 2: t.DestBlend = D3D11_BLEND(s.value); break;
        case 3: t.BlendOp = D3D11_BLEND_OP(s.value); break;
        case 4: separate_alpha[(id - 30) % 8] = s.value != 0; break;
        case 5: t.SrcBlendAlpha = D3D11_BLEND(s.value); break;
        case 6: t.DestBlendAlpha = D3D11_BLEND(s.value); break;
        case 7: t.BlendOpAlpha = D3D11_BLEND_OP(s.value); break;
        default: t.RenderTargetWriteMask = UINT8(s.value & 0xFF); break;
        }
    } else if (id == 102) {
        object.target_setting = {s.first & 0xFF, s.value & 0xFF, s.last & 0xFF};
    } else if (id >= 103 && id <= 110) {
        object.srgb[id - 103] = s.value != 0;
    } else {
        return false;
    }
    return true;
}

bool set_sampler(D3D11_SAMPLER_DESC &desc, SamplerStateObject &object, const RenderStateSetting &s)
{
    switch (s.id) {
    case 0: desc.Filter = D3D11_FILTER(s.value); return true;
    case 1: desc.AddressU = D3D11_TEXTURE_ADDRESS_MODE(s.value); return true;
    case 2: desc.AddressV = D3D11_TEXTURE_ADDRESS_MODE(s.value); return true;
    case 3: desc.AddressW = D3D11_TEXTURE_ADDRESS_MODE(s.value); return true;
    case 4: desc.MipLODBias = float_from_bits(s.value); return true;
    case 5: desc.MaxAnisotropy = s.value; return true;
    case 6: desc.ComparisonFunc = D3D11_COMPARISON_FUNC(s.value); return true;
    // The border colour carries the float's bits, never an address to read through.
    case 7: case 8: case 9: case 10: desc.BorderColor[s.id - 7] = float_from_bits(s.value); return true;
    case 11: desc.MinLOD = float_from_bits(s.value); return true;
    case 12: desc.MaxLOD = float_from_bits(s.value); return true;
    case 13: object.srgb = s.value != 0; return true;
    default: return false;
    }
}

// The common shape of apply: copy, set, then either a temporary state or the object's own.
template <typename Object, typename Desc, typename State, typename Set, typename Get>
State *apply_to(Object &object, const RenderStateList &settings, ApplyMode mode, Set set, Get get)
{
    Desc desc = object.desc;
    bool touched = false;
    for (u32 i = 0; i < settings.count; ++i)
        touched |= set(desc, settings.settings[i]);
    if (mode == ApplyMode::temporary_set) {
        if (!touched)
            return object.state;
        return get(desc);
    }
    object.state = get(desc); // may finish the description (the blend alpha derivation)
    object.desc = desc;
    return object.state;
}

} // namespace

bool is_alpha_capable_blend(u32 blend)
{
    switch (blend) {
    case D3D11_BLEND_ONE:
    case D3D11_BLEND_SRC_ALPHA:
    case D3D11_BLEND_INV_SRC_ALPHA:
    case D3D11_BLEND_DEST_ALPHA:
    case D3D11_BLEND_INV_DEST_ALPHA:
    case D3D11_BLEND_SRC_ALPHA_SAT:
    case D3D11_BLEND_SRC1_ALPHA:
    case D3D11_BLEND_INV_SRC1_ALPHA: return true;
    default: return false;
    }
}

void derive_blend_alpha(D3D11_BLEND_DESC &desc, const bool separate_alpha[8])
{
    if (desc.IndependentBlendEnable) {
        for (u32 k = 0; k < 8; ++k) {
            if (separate_alpha[k])
                continue;
            D3D11_RENDER_TARGET_BLEND_DESC &t = desc.RenderTarget[k];
            if (is_alpha_capable_blend(t.SrcBlend))
                t.SrcBlendAlpha = t.SrcBlend;
            if (is_alpha_capable_blend(t.DestBlend))
                t.DestBlendAlpha = t.DestBlend;
            t.BlendOpAlpha = t.BlendOp;
        }
        return;
    }
    if (separate_alpha[0])
        return;
    const D3D11_RENDER_TARGET_BLEND_DESC first = desc.RenderTarget[0];
    const D3D11_BLEND src = is_alpha_capable_blend(first.SrcBlend) ? first.SrcBlend : first.SrcBlendAlpha;
    const D3D11_BLEND dest = is_alpha_capable_blend(first.DestBlend) ? first.DestBlend : first.DestBlendAlpha;
    for (D3D11_RENDER_TARGET_BLEND_DESC &t : desc.RenderTarget) {
        t.SrcBlendAlpha = src;
        t.DestBlendAlpha = dest;
        t.BlendOpAlpha = first.BlendOp;
    }
}

ID3D11RasterizerState *apply_rasterizer(RasterizerStateObject &object, const RenderStateList &settings,
                                        D3DObjectCaches &caches, ApplyMode mode)
{
    return apply_to<RasterizerStateObject, D3D11_RASTERIZER_DESC, ID3D11RasterizerState>(
        object, settings, mode, [](D3D11_RASTERIZER_DESC &d, const RenderStateSetting &s) { return set_rasterizer(d, s); },
        [&](const D3D11_RASTERIZER_DESC &d) { return caches.get_rasterizer_state(d); });
}

ID3D11DepthStencilState *apply_depth_stencil(DepthStencilStateObject &object, const RenderStateList &settings,
                                             D3DObjectCaches &caches, ApplyMode mode)
{
    return apply_to<DepthStencilStateObject, D3D11_DEPTH_STENCIL_DESC, ID3D11DepthStencilState>(
        object, settings, mode,
        [&](D3D11_DEPTH_STENCIL_DESC &d, const RenderStateSetting &s) { return set_depth_stencil(d, object, s); },
        [&](const D3D11_DEPTH_STENCIL_DESC &d) { return caches.get_depth_stencil_state(d); });
}

ID3D11BlendState *apply_blend(BlendStateObject &object, const RenderStateList &settings, D3DObjectCaches &caches,
                              ApplyMode mode)
{
    bool separate_alpha[8] = {};
    // The alpha derivation runs once, after every setting, inside the state lookup.
    return apply_to<BlendStateObject, D3D11_BLEND_DESC, ID3D11BlendState>(
        object, settings, mode,
        [&](D3D11_BLEND_DESC &d, const RenderStateSetting &s) { return set_blend(d, object, separate_alpha, s); },
        [&](D3D11_BLEND_DESC &d) {
            derive_blend_alpha(d, separate_alpha);
            return caches.get_blend_state(d);
        });
}

ID3D11SamplerState *apply_sampler(SamplerStateObject &object, const RenderStateList &settings,
                                  D3DObjectCaches &caches, ApplyMode mode)
{
    return apply_to<SamplerStateObject, D3D11_SAMPLER_DESC, ID3D11SamplerState>(
        object, settings, mode,
        [&](D3D11_SAMPLER_DESC &d, const RenderStateSetting &s) { return set_sampler(d, object, s); },
        [&](const D3D11_SAMPLER_DESC &d) { return caches.get_sampler_state(d); });
}

void update_constant_buffer(ID3D11DeviceContext *context, ID3D11Buffer *buffer, const void *data, u32 size_bytes)
{
    if (!context || !buffer || !data)
        return;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped)) || !mapped.pData)
        return;
    memcpy(mapped.pData, data, size_bytes);
    context->Unmap(buffer, 0);
}

D3DRenderStateBuilder::D3DRenderStateBuilder(Allocator &parent, ID3D11Device *device, D3DObjectCaches *caches)
    : _allocator("D3DConstantBufferManager", parent), _device(device), _caches(caches)
{
}

void D3DRenderStateBuilder::apply_rasterizer(RasterizerStateObject &object, const RenderStateList &settings)
{
    if (_caches)
        d3d11::apply_rasterizer(object, settings, *_caches, ApplyMode::temporary_clear);
}

void D3DRenderStateBuilder::apply_depth_stencil(DepthStencilStateObject &object, const RenderStateList &settings)
{
    if (_caches)
        d3d11::apply_depth_stencil(object, settings, *_caches, ApplyMode::temporary_clear);
}

void D3DRenderStateBuilder::apply_blend(BlendStateObject &object, const RenderStateList &settings)
{
    if (_caches)
        d3d11::apply_blend(object, settings, *_caches, ApplyMode::temporary_clear);
}

void D3DRenderStateBuilder::apply_sampler(SamplerStateObject &object, const RenderStateList &settings)
{
    if (_caches)
        d3d11::apply_sampler(object, settings, *_caches, ApplyMode::temporary_clear);
}

D3DBuffer *D3DRenderStateBuilder::create_constant_buffer(u32 size_bytes)
{
    D3DBuffer *buffer = make_new<D3DBuffer>(_allocator);
    if (!buffer)
        return nullptr;
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = size_bytes;
    desc.Usage = D3D11_USAGE_DYNAMIC;
    desc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    _device->CreateBuffer(&desc, nullptr, buffer->buffer.put());
    if (!buffer->buffer)
        log_message(log_category, "constant buffer of %u bytes not made", size_bytes);
    return buffer;
}

void D3DRenderStateBuilder::destroy_constant_buffer(D3DBuffer *buffer) { delete_with_allocator(_allocator, buffer); }

void D3DRenderStateBuilder::create_constant_buffers(D3DStageBinding &binding, const ShaderStageDesc &stage)
{
    destroy_constant_buffers(binding);
    StageConstantBuffers *set = make_new<StageConstantBuffers>(_allocator, _allocator);
    if (!set)
        return;
    const auto *layout = static_cast<const StageResourceLayout *>(stage.constant_buffers);
    set->layout = layout;
    if (layout) {
        for (u32 i = 0; i < layout->buffer_count; ++i) {
            const StageConstantBufferDesc &desc = layout->buffers[i];
            if (desc.slot >= max_constant_buffer_slots || desc.size_bytes == 0) {
                log_message(log_category, "constant buffer %u of a stage: slot %u or size %u refused", i, desc.slot,
                            desc.size_bytes);
                continue;
            }
            D3DBuffer *buffer = create_constant_buffer(desc.size_bytes);
            if (!buffer)
                continue;
            set->entries.push_back({buffer, desc.slot, desc.size_bytes, desc.block_offset});
            if (desc.slot + 1 > set->slot_count)
                set->slot_count = desc.slot + 1;
        }
    }
    set->resource_slots.resize(stage.resource_count);
    for (u32 i = 0; i < set->resource_slots.size(); ++i) {
        u32 slot = stage.resources[i].slot;
        if (slot >= D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT) {
            log_message(log_category, "resource binding %u of a stage: slot %u refused", i, slot);
            slot = no_block_offset;
        }
        set->resource_slots[i] = slot;
    }
    set->sampler_slots.resize(stage.sampler_count);
    for (u32 i = 0; i < set->sampler_slots.size(); ++i) {
        u32 slot = stage.samplers[i].slot;
        if (slot >= D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT) {
            log_message(log_category, "sampler binding %u of a stage: slot %u refused", i, slot);
            slot = no_block_offset;
        }
        set->sampler_slots[i] = slot;
    }
    binding.constant_buffers = set;
}

void D3DRenderStateBuilder::destroy_constant_buffers(D3DStageBinding &binding)
{
    auto *set = static_cast<StageConstantBuffers *>(binding.constant_buffers);
    if (!set)
        return;
    for (StageConstantBuffers::Entry &entry : set->entries)
        destroy_constant_buffer(entry.buffer);
    delete_with_allocator(_allocator, set);
    binding.constant_buffers = nullptr;
}

} // namespace tallow::render::d3d11
