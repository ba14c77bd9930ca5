#pragma once
// The state objects of a shader pass: each holds the Direct3D description that the pass's
// render-state settings fill, and the cached Direct3D state made from it (owned by the
// object caches, never by the object). A new object holds the engine's defaults.

#include "foundation/types.h"
#include "platform/d3d11/d3d11_shim.h"

namespace tallow::render::d3d11 {

/// One numbered render-state setting of a shader library: {id, first, value, last}.
struct RenderStateSetting {
    u32 id;
    u32 first;
    u32 value;
    u32 last;
};
static_assert(sizeof(RenderStateSetting) == 16);

/// A list of settings owned by the shader description.
struct RenderStateList {
    const RenderStateSetting *settings = nullptr;
    u32 count = 0;
};

/// {first, value, last} of a setting kept in an object.
struct StateTriple {
    u32 first = 0;
    u32 value = 0;
    u32 last = 0;
};

struct RasterizerStateObject {
    ID3D11RasterizerState *state = nullptr;
    D3D11_RASTERIZER_DESC desc;
    RasterizerStateObject();
};

struct DepthStencilStateObject {
    ID3D11DepthStencilState *state = nullptr;
    D3D11_DEPTH_STENCIL_DESC desc;
    StateTriple stencil{2, 0, 0};  ///< id 24; value is the stencil reference
    bool flag = false;             ///< id 25
    StateTriple next{0, 0, 0};     ///< id 26
    StateTriple last{0, 0x3F800000u, 0}; ///< id 27; value holds the bits of 1.0
    DepthStencilStateObject();
};

struct BlendStateObject {
    StateTriple target_setting{2, 0xFFFFFFFFu, 0}; ///< id 102
    ID3D11BlendState *state = nullptr;
    D3D11_BLEND_DESC desc;
    bool srgb[8] = {}; ///< per render target: bind its sRGB view
    BlendStateObject();
};

struct SamplerStateObject {
    ID3D11SamplerState *state = nullptr;
    D3D11_SAMPLER_DESC desc;
    bool srgb = false; ///< id 13: textures sampled with it are read as sRGB
    SamplerStateObject();
};

/// The defaults a new object holds, for tests and for the render-state code.
D3D11_RASTERIZER_DESC default_rasterizer_desc();
D3D11_DEPTH_STENCIL_DESC default_depth_stencil_desc();
D3D11_BLEND_DESC default_blend_desc();
D3D11_SAMPLER_DESC default_sampler_desc();

} // namespace tallow::render::d3d11
