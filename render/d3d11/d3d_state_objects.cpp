#include "render/d3d11/d3d_state_objects.h"

#include <cfloat>

namespace tallow::render::d3d11 {

D3D11_RASTERIZER_DESC default_rasterizer_desc()
{
    D3D11_RASTERIZER_DESC desc{};
    desc.FillMode = D3D11_FILL_SOLID;
    desc.CullMode = D3D11_CULL_BACK;
    desc.FrontCounterClockwise = TRUE;
    desc.DepthBias = 0;
    desc.DepthBiasClamp = 0.0f;
    desc.SlopeScaledDepthBias = 0.0f;
    desc.DepthClipEnable = TRUE;
    desc.ScissorEnable = TRUE;
    desc.MultisampleEnable = FALSE;
    desc.AntialiasedLineEnable = FALSE;
    return desc;
}

D3D11_DEPTH_STENCIL_DESC default_depth_stencil_desc()
{
    D3D11_DEPTH_STENCIL_DESC desc{};
    desc.DepthEnable = TRUE;
    desc.DepthWriteMask = D3D11_DEPTH_WRITE_MASK_ALL;
    desc.DepthFunc = D3D11_COMPARISON_LESS_EQUAL;
    desc.StencilEnable = FALSE;
    desc.StencilReadMask = 0xFF;
    desc.StencilWriteMask = 0xFF;
    desc.FrontFace = {D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP, D3D11_COMPARISON_ALWAYS};
    desc.BackFace = desc.FrontFace;
    return desc;
}

D3D11_BLEND_DESC default_blend_desc()
{
    D3D11_BLEND_DESC desc{};
    desc.AlphaToCoverageEnable = FALSE;
    desc.IndependentBlendEnable = FALSE;
    for (D3D11_RENDER_TARGET_BLEND_DESC &target : desc.RenderTarget)
        target = {FALSE,           D3D11_BLEND_ONE,  D3D11_BLEND_ZERO, D3D11_BLEND_OP_ADD,
                  D3D11_BLEND_ONE, D3D11_BLEND_ZERO, D3D11_BLEND_OP_ADD, D3D11_COLOR_WRITE_ENABLE_ALL};
    return desc;
}

D3D11_SAMPLER_DESC default_sampler_desc()
{
    D3D11_SAMPLER_DESC desc{};
    desc.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    desc.AddressU = D3D11_TEXTURE_ADDRESS_WRAP;
    desc.AddressV = D3D11_TEXTURE_ADDRESS_WRAP;
    desc.AddressW = D3D11_TEXTURE_ADDRESS_WRAP;
    desc.MipLODBias = 0.0f;
    desc.MaxAnisotropy = 16;
    desc.ComparisonFunc = D3D11_COMPARISON_NEVER;
    desc.MinLOD = -FLT_MAX;
    desc.MaxLOD = FLT_MAX;
    return desc;
}

RasterizerStateObject::RasterizerStateObject() : desc(default_rasterizer_desc()) {}
DepthStencilStateObject::DepthStencilStateObject() : desc(default_depth_stencil_desc()) {}
BlendStateObject::BlendStateObject() : desc(default_blend_desc()) {}
SamplerStateObject::SamplerStateObject() : desc(default_sampler_desc()) {}

} // namespace tallow::render::d3d11
