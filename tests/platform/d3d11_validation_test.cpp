// The Direct3D rules of device and context calls, run against each backend behind the validation front:
// every broken rule is refused with its rule and one message, the same on the headless and
// the OpenGL backend. The OpenGL half skips when this machine cannot make an OpenGL 4.5
// context.
#include "platform/d3d11/d3d11_backend.h"
#include "platform/d3d11/d3d11_headless.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tallow::d3d11 {
namespace {

/// A device of one backend, its immediate context and the objects a case made before its
/// refused call.
struct Bench {
    ID3D11Device *device = nullptr;
    ID3D11DeviceContext *context = nullptr;
    std::vector<IUnknown *> owned;

    template <class T> T *own(T *object)
    {
        if (object) owned.push_back(object);
        return object;
    }
    ID3D11Texture2D *texture(u32 bind, DXGI_FORMAT format = DXGI_FORMAT_R8G8B8A8_UNORM, u32 slices = 1)
    {
        D3D11_TEXTURE2D_DESC desc{16, 16, 1, slices, format, {1, 0}, D3D11_USAGE_DEFAULT, bind, 0, 0};
        ID3D11Texture2D *texture = nullptr;
        EXPECT_EQ(device->CreateTexture2D(&desc, nullptr, &texture), S_OK);
        return own(texture);
    }
    ID3D11Buffer *buffer(u32 bytes, u32 bind, D3D11_USAGE usage = D3D11_USAGE_DEFAULT)
    {
        const u32 cpu = usage == D3D11_USAGE_DYNAMIC ? u32(D3D11_CPU_ACCESS_WRITE) : 0u;
        D3D11_BUFFER_DESC desc{bytes, usage, bind, cpu, 0, 0};
        const std::vector<u8> zeros(bytes, 0);
        D3D11_SUBRESOURCE_DATA init{zeros.data(), 0, 0};
        ID3D11Buffer *buffer = nullptr;
        EXPECT_EQ(device->CreateBuffer(&desc, &init, &buffer), S_OK);
        return own(buffer);
    }
    ID3D11Buffer *staging(u32 bytes, u32 cpu_access)
    {
        D3D11_BUFFER_DESC desc{bytes, D3D11_USAGE_STAGING, 0, cpu_access, 0, 0};
        ID3D11Buffer *buffer = nullptr;
        EXPECT_EQ(device->CreateBuffer(&desc, nullptr, &buffer), S_OK);
        return own(buffer);
    }
    /// A render target view and a shader-resource view of one texture.
    void target_and_input(ID3D11RenderTargetView *&out_target, ID3D11ShaderResourceView *&out_input)
    {
        ID3D11Texture2D *both = texture(D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE);
        EXPECT_EQ(device->CreateRenderTargetView(both, nullptr, &out_target), S_OK);
        EXPECT_EQ(device->CreateShaderResourceView(both, nullptr, &out_input), S_OK);
        own(out_target);
        own(out_input);
    }
    ID3D11DeviceContext *deferred()
    {
        ID3D11DeviceContext *out = nullptr;
        EXPECT_EQ(device->CreateDeferredContext(0, &out), S_OK);
        return own(out);
    }
    IDXGIFactory *factory()
    {
        IDXGIFactory *out = nullptr;
        EXPECT_EQ(CreateDXGIFactory(IID_IDXGIFactory, reinterpret_cast<void **>(&out)), S_OK);
        return own(out);
    }
    static DXGI_SWAP_CHAIN_DESC chain_desc()
    {
        DXGI_SWAP_CHAIN_DESC desc{};
        desc.BufferDesc = {32, 16, {60, 1}, DXGI_FORMAT_B8G8R8A8_UNORM, {}, {}};
        desc.SampleDesc = {1, 0};
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = 2;
        desc.Windowed = TRUE;
        return desc;
    }
    ~Bench()
    {
        for (IUnknown *object : owned) object->Release();
        if (context) context->Release();
        if (device) device->Release();
    }
};

/// The made object of a call that should have been refused is kept so it is released. The
/// object is taken by reference: it is read here, after the call has filled it in (a copy could
/// be taken before the call, since arguments are evaluated in no set order).
template <class T> HRESULT keep(Bench &b, HRESULT result, T *&object)
{
    b.own(object);
    return result;
}

struct Case {
    const char *name;
    Rule rule;
    std::function<HRESULT(Bench &)> call; // calls without a result return S_OK
    D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
    HRESULT result = E_INVALIDARG;
};

const D3D11_INPUT_ELEMENT_DESC position_element = {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0,
                                                   D3D11_INPUT_PER_VERTEX_DATA, 0};
const char *const shader_text = "#version 450 core\nvoid main() {}\n";

const Case cases[] = {
    {"buffer of zero bytes", Rule::invalid_call,
     [](Bench &b) {
         D3D11_BUFFER_DESC desc{0, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
         ID3D11Buffer *out = nullptr;
         return keep(b, b.device->CreateBuffer(&desc, nullptr, &out), out);
     }},
    {"buffer without description", Rule::invalid_call,
     [](Bench &b) {
         ID3D11Buffer *out = nullptr;
         return keep(b, b.device->CreateBuffer(nullptr, nullptr, &out), out);
     }},
    {"immutable buffer without initial data", Rule::invalid_call,
     [](Bench &b) {
         D3D11_BUFFER_DESC desc{64, D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
         ID3D11Buffer *out = nullptr;
         return keep(b, b.device->CreateBuffer(&desc, nullptr, &out), out);
     }},
    {"texture of zero width", Rule::invalid_call,
     [](Bench &b) {
         D3D11_TEXTURE2D_DESC desc{0, 16, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                                   D3D11_BIND_SHADER_RESOURCE, 0, 0};
         ID3D11Texture2D *out = nullptr;
         return keep(b, b.device->CreateTexture2D(&desc, nullptr, &out), out);
     }},
    {"texture of unknown format", Rule::invalid_call,
     [](Bench &b) {
         D3D11_TEXTURE2D_DESC desc{16, 16, 1, 1, DXGI_FORMAT_UNKNOWN, {1, 0}, D3D11_USAGE_DEFAULT,
                                   D3D11_BIND_SHADER_RESOURCE, 0, 0};
         ID3D11Texture2D *out = nullptr;
         return keep(b, b.device->CreateTexture2D(&desc, nullptr, &out), out);
     }},
    {"cube texture of four slices", Rule::invalid_call,
     [](Bench &b) {
         D3D11_TEXTURE2D_DESC desc{16, 16, 1, 4, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                                   D3D11_BIND_SHADER_RESOURCE, 0, D3D11_RESOURCE_MISC_TEXTURECUBE};
         ID3D11Texture2D *out = nullptr;
         return keep(b, b.device->CreateTexture2D(&desc, nullptr, &out), out);
     }},
    {"shader-resource view without its bind flag", Rule::view_without_bind_flag,
     [](Bench &b) {
         ID3D11ShaderResourceView *out = nullptr;
         return keep(b, b.device->CreateShaderResourceView(b.texture(D3D11_BIND_RENDER_TARGET), nullptr, &out), out);
     }},
    {"render-target view without its bind flag", Rule::view_without_bind_flag,
     [](Bench &b) {
         ID3D11RenderTargetView *out = nullptr;
         return keep(b, b.device->CreateRenderTargetView(b.texture(D3D11_BIND_SHADER_RESOURCE), nullptr, &out), out);
     }},
    {"depth-stencil view without its bind flag", Rule::view_without_bind_flag,
     [](Bench &b) {
         ID3D11DepthStencilView *out = nullptr;
         return keep(b, b.device->CreateDepthStencilView(b.texture(D3D11_BIND_SHADER_RESOURCE), nullptr, &out), out);
     }},
    {"unordered-access view without its bind flag", Rule::view_without_bind_flag,
     [](Bench &b) {
         ID3D11UnorderedAccessView *out = nullptr;
         return keep(b, b.device->CreateUnorderedAccessView(b.buffer(64, D3D11_BIND_SHADER_RESOURCE), nullptr, &out),
                     out);
     }},
    {"view of no resource", Rule::invalid_call,
     [](Bench &b) {
         ID3D11ShaderResourceView *out = nullptr;
         return keep(b, b.device->CreateShaderResourceView(nullptr, nullptr, &out), out);
     }},
    {"cube view of a plain texture", Rule::view_dimension_mismatch,
     [](Bench &b) {
         D3D11_SHADER_RESOURCE_VIEW_DESC desc{};
         desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
         desc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURECUBE;
         desc.TextureCube = {0, 1};
         ID3D11ShaderResourceView *out = nullptr;
         return keep(b, b.device->CreateShaderResourceView(b.texture(D3D11_BIND_SHADER_RESOURCE), &desc, &out), out);
     }},
    {"shader-resource view past the last mip", Rule::view_out_of_range,
     [](Bench &b) {
         D3D11_SHADER_RESOURCE_VIEW_DESC desc{};
         desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
         desc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
         desc.Texture2D = {3, 1};
         ID3D11ShaderResourceView *out = nullptr;
         return keep(b, b.device->CreateShaderResourceView(b.texture(D3D11_BIND_SHADER_RESOURCE), &desc, &out), out);
     }},
    {"render-target view past the last slice", Rule::view_out_of_range,
     [](Bench &b) {
         D3D11_RENDER_TARGET_VIEW_DESC desc{};
         desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
         desc.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2DARRAY;
         desc.Texture2DArray = {0, 1, 2};
         ID3D11RenderTargetView *out = nullptr;
         ID3D11Texture2D *texture = b.texture(D3D11_BIND_RENDER_TARGET, DXGI_FORMAT_R8G8B8A8_UNORM, 2);
         return keep(b, b.device->CreateRenderTargetView(texture, &desc, &out), out);
     }},
    {"unordered-access view past the buffer's end", Rule::view_out_of_range,
     [](Bench &b) {
         D3D11_UNORDERED_ACCESS_VIEW_DESC desc{};
         desc.Format = DXGI_FORMAT_R32_UINT;
         desc.ViewDimension = D3D11_UAV_DIMENSION_BUFFER;
         desc.Buffer = {10, 8, 0};
         ID3D11UnorderedAccessView *out = nullptr;
         return keep(b, b.device->CreateUnorderedAccessView(b.buffer(64, D3D11_BIND_UNORDERED_ACCESS), &desc, &out),
                     out);
     }},
    {"vertex shader without byte code", Rule::invalid_call,
     [](Bench &b) {
         ID3D11VertexShader *out = nullptr;
         return keep(b, b.device->CreateVertexShader(nullptr, 0, nullptr, &out), out);
     }},
    {"hull shader on a feature level 10_0 device", Rule::feature_level,
     [](Bench &b) {
         ID3D11HullShader *out = nullptr;
         return keep(b, b.device->CreateHullShader(shader_text, 32, nullptr, &out), out);
     },
     D3D_FEATURE_LEVEL_10_0},
    {"blend state without description", Rule::invalid_call,
     [](Bench &b) {
         ID3D11BlendState *out = nullptr;
         return keep(b, b.device->CreateBlendState(nullptr, &out), out);
     }},
    {"sampler state without description", Rule::invalid_call,
     [](Bench &b) {
         ID3D11SamplerState *out = nullptr;
         return keep(b, b.device->CreateSamplerState(nullptr, &out), out);
     }},
    {"deferred context with flags", Rule::invalid_call,
     [](Bench &b) {
         ID3D11DeviceContext *out = nullptr;
         return keep(b, b.device->CreateDeferredContext(1, &out), out);
     }},
    {"input layout reading slot 16", Rule::invalid_call,
     [](Bench &b) {
         D3D11_INPUT_ELEMENT_DESC element = position_element;
         element.InputSlot = D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT;
         ID3D11InputLayout *out = nullptr;
         return keep(b, b.device->CreateInputLayout(&element, 1, shader_text, 32, &out), out);
     }},
    {"input layout with a count and no elements", Rule::invalid_call,
     [](Bench &b) {
         ID3D11InputLayout *out = nullptr;
         return keep(b, b.device->CreateInputLayout(nullptr, 2, shader_text, 32, &out), out);
     }},
    {"update of a dynamic buffer", Rule::update_dynamic,
     [](Bench &b) {
         const u8 bytes[16] = {};
         b.context->UpdateSubresource(b.buffer(16, D3D11_BIND_CONSTANT_BUFFER, D3D11_USAGE_DYNAMIC), 0, nullptr, bytes,
                                      0, 0);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"update of an immutable buffer", Rule::update_dynamic,
     [](Bench &b) {
         const u8 bytes[16] = {};
         b.context->UpdateSubresource(b.buffer(16, D3D11_BIND_VERTEX_BUFFER, D3D11_USAGE_IMMUTABLE), 0, nullptr, bytes,
                                      0, 0);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"update without data", Rule::invalid_call,
     [](Bench &b) {
         b.context->UpdateSubresource(b.buffer(16, D3D11_BIND_VERTEX_BUFFER), 0, nullptr, nullptr, 0, 0);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"update of a subresource past the last", Rule::invalid_call,
     [](Bench &b) {
         const u8 bytes[16 * 16 * 4] = {};
         b.context->UpdateSubresource(b.texture(D3D11_BIND_SHADER_RESOURCE), 1, nullptr, bytes, 64, 0);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"update box past a texture's right edge", Rule::copy_out_of_range,
     [](Bench &b) {
         const u8 bytes[16 * 16 * 4] = {};
         const D3D11_BOX box{8, 0, 0, 17, 4, 1};
         b.context->UpdateSubresource(b.texture(D3D11_BIND_SHADER_RESOURCE), 0, &box, bytes, 64, 0);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"update box past the second mip of a texture", Rule::copy_out_of_range,
     [](Bench &b) {
         D3D11_TEXTURE2D_DESC desc{16, 16, 2, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                                   D3D11_BIND_SHADER_RESOURCE, 0, 0};
         ID3D11Texture2D *texture = nullptr;
         EXPECT_EQ(b.device->CreateTexture2D(&desc, nullptr, &texture), S_OK);
         const u8 bytes[16 * 16 * 4] = {};
         const D3D11_BOX box{0, 0, 0, 16, 16, 1}; // the second mip is 8x8
         b.context->UpdateSubresource(b.own(texture), 1, &box, bytes, 64, 0);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"update box that is empty", Rule::copy_out_of_range,
     [](Bench &b) {
         const u8 bytes[16] = {};
         const D3D11_BOX box{4, 0, 0, 4, 1, 1};
         b.context->UpdateSubresource(b.buffer(16, D3D11_BIND_VERTEX_BUFFER), 0, &box, bytes, 0, 0);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"update box two slices deep", Rule::copy_out_of_range,
     [](Bench &b) {
         const u8 bytes[16] = {};
         const D3D11_BOX box{0, 0, 0, 16, 1, 2};
         b.context->UpdateSubresource(b.buffer(16, D3D11_BIND_VERTEX_BUFFER), 0, &box, bytes, 0, 0);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"map of a subresource past the last", Rule::invalid_call,
     [](Bench &b) {
         D3D11_MAPPED_SUBRESOURCE mapped{};
         return b.context->Map(b.buffer(16, D3D11_BIND_VERTEX_BUFFER, D3D11_USAGE_DYNAMIC), 1,
                               D3D11_MAP_WRITE_DISCARD, 0, &mapped);
     }},
    {"map of a buffer mapped already", Rule::invalid_call,
     [](Bench &b) {
         ID3D11Buffer *ring = b.buffer(16, D3D11_BIND_VERTEX_BUFFER, D3D11_USAGE_DYNAMIC);
         D3D11_MAPPED_SUBRESOURCE mapped{};
         EXPECT_EQ(b.context->Map(ring, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), S_OK);
         const HRESULT second = b.context->Map(ring, 0, D3D11_MAP_WRITE_NO_OVERWRITE, 0, &mapped);
         b.context->Unmap(ring, 0);
         return second;
     }},
    {"unmap of a buffer never mapped", Rule::invalid_call,
     [](Bench &b) {
         b.context->Unmap(b.buffer(16, D3D11_BIND_VERTEX_BUFFER, D3D11_USAGE_DYNAMIC), 0);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"unmap twice on a deferred context", Rule::invalid_call,
     [](Bench &b) {
         ID3D11DeviceContext *deferred = b.deferred();
         ID3D11Buffer *ring = b.buffer(16, D3D11_BIND_VERTEX_BUFFER, D3D11_USAGE_DYNAMIC);
         D3D11_MAPPED_SUBRESOURCE mapped{};
         EXPECT_EQ(deferred->Map(ring, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), S_OK);
         deferred->Unmap(ring, 0);
         deferred->Unmap(ring, 0);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"NO_OVERWRITE before any DISCARD in a command list", Rule::no_overwrite_before_discard,
     [](Bench &b) {
         ID3D11DeviceContext *deferred = b.deferred();
         ID3D11Buffer *ring = b.buffer(16, D3D11_BIND_VERTEX_BUFFER, D3D11_USAGE_DYNAMIC);
         D3D11_MAPPED_SUBRESOURCE mapped{};
         const HRESULT result = deferred->Map(ring, 0, D3D11_MAP_WRITE_NO_OVERWRITE, 0, &mapped); // still made
         deferred->Unmap(ring, 0);
         return result;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"command list finished with a map open", Rule::invalid_call,
     [](Bench &b) {
         ID3D11DeviceContext *deferred = b.deferred();
         D3D11_MAPPED_SUBRESOURCE mapped{};
         EXPECT_EQ(deferred->Map(b.buffer(16, D3D11_BIND_VERTEX_BUFFER, D3D11_USAGE_DYNAMIC), 0,
                                 D3D11_MAP_WRITE_DISCARD, 0, &mapped),
                   S_OK);
         ID3D11CommandList *list = nullptr;
         return keep(b, deferred->FinishCommandList(FALSE, &list), list); // the list is still made
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"render targets past the last slot", Rule::invalid_call,
     [](Bench &b) {
         ID3D11RenderTargetView *views[D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT + 1] = {};
         b.context->OMSetRenderTargets(D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT + 1, views, nullptr);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"render target and depth view of unequal sizes", Rule::target_size_mismatch,
     [](Bench &b) {
         ID3D11RenderTargetView *target = nullptr;
         EXPECT_EQ(b.device->CreateRenderTargetView(b.texture(D3D11_BIND_RENDER_TARGET), nullptr, &target), S_OK);
         D3D11_TEXTURE2D_DESC desc{16, 8, 1, 1, DXGI_FORMAT_D32_FLOAT, {1, 0}, D3D11_USAGE_DEFAULT,
                                   D3D11_BIND_DEPTH_STENCIL, 0, 0};
         ID3D11Texture2D *depth_texture = nullptr;
         EXPECT_EQ(b.device->CreateTexture2D(&desc, nullptr, &depth_texture), S_OK);
         ID3D11DepthStencilView *depth = nullptr;
         EXPECT_EQ(b.device->CreateDepthStencilView(b.own(depth_texture), nullptr, &depth), S_OK);
         b.own(depth);
         b.own(target);
         b.context->OMSetRenderTargets(1, &target, depth); // still bound
         b.context->OMSetRenderTargets(0, nullptr, nullptr);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"render target of a second mip beside the first", Rule::target_size_mismatch,
     [](Bench &b) {
         D3D11_TEXTURE2D_DESC desc{16, 16, 2, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                                   D3D11_BIND_RENDER_TARGET, 0, 0};
         ID3D11Texture2D *texture = nullptr;
         EXPECT_EQ(b.device->CreateTexture2D(&desc, nullptr, &texture), S_OK);
         b.own(texture);
         D3D11_RENDER_TARGET_VIEW_DESC second{};
         second.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
         second.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2D;
         second.Texture2D.MipSlice = 1;
         ID3D11RenderTargetView *views[2] = {};
         EXPECT_EQ(b.device->CreateRenderTargetView(texture, nullptr, &views[0]), S_OK);
         EXPECT_EQ(b.device->CreateRenderTargetView(texture, &second, &views[1]), S_OK);
         b.own(views[0]);
         b.own(views[1]);
         b.context->OMSetRenderTargets(2, views, nullptr);
         b.context->OMSetRenderTargets(0, nullptr, nullptr);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"clear of a render target without a colour", Rule::invalid_call,
     [](Bench &b) {
         ID3D11RenderTargetView *view = nullptr;
         EXPECT_EQ(b.device->CreateRenderTargetView(b.texture(D3D11_BIND_RENDER_TARGET), nullptr, &view), S_OK);
         b.context->ClearRenderTargetView(b.own(view), nullptr);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"clear of no render target", Rule::invalid_call,
     [](Bench &b) {
         const FLOAT colour[4] = {1, 0, 0, 1};
         b.context->ClearRenderTargetView(nullptr, colour);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"clear of no depth-stencil view, on a deferred context", Rule::invalid_call,
     [](Bench &b) {
         b.deferred()->ClearDepthStencilView(nullptr, D3D11_CLEAR_DEPTH, 1.0f, 0);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"copy between buffers of different sizes", Rule::copy_out_of_range,
     [](Bench &b) {
         b.context->CopyResource(b.buffer(32, D3D11_BIND_VERTEX_BUFFER), b.buffer(16, D3D11_BIND_VERTEX_BUFFER));
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"copy of a texture onto itself", Rule::copy_out_of_range,
     [](Bench &b) {
         ID3D11Texture2D *texture = b.texture(D3D11_BIND_SHADER_RESOURCE);
         b.context->CopyResource(texture, texture);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"region copy between a buffer and a texture", Rule::copy_out_of_range,
     [](Bench &b) {
         b.context->CopySubresourceRegion(b.texture(D3D11_BIND_SHADER_RESOURCE), 0, 0, 0, 0,
                                          b.buffer(64, D3D11_BIND_VERTEX_BUFFER), 0, nullptr);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"region copy from a subresource past the last", Rule::copy_out_of_range,
     [](Bench &b) {
         b.context->CopySubresourceRegion(b.texture(D3D11_BIND_SHADER_RESOURCE), 0, 0, 0, 0,
                                          b.texture(D3D11_BIND_SHADER_RESOURCE), 1, nullptr);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"region copy box past the source's bottom", Rule::copy_out_of_range,
     [](Bench &b) {
         const D3D11_BOX box{0, 8, 0, 4, 17, 1};
         b.context->CopySubresourceRegion(b.texture(D3D11_BIND_SHADER_RESOURCE), 0, 0, 0, 0,
                                          b.texture(D3D11_BIND_SHADER_RESOURCE), 0, &box);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"region copy placed past the destination's right edge", Rule::copy_out_of_range,
     [](Bench &b) {
         const D3D11_BOX box{0, 0, 0, 8, 8, 1};
         b.context->CopySubresourceRegion(b.texture(D3D11_BIND_SHADER_RESOURCE), 0, 12, 0, 0,
                                          b.texture(D3D11_BIND_SHADER_RESOURCE), 0, &box);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"region copy placed past a buffer's end, near the top of the range", Rule::copy_out_of_range,
     [](Bench &b) {
         const D3D11_BOX box{0, 0, 0, 16, 1, 1};
         b.context->CopySubresourceRegion(b.buffer(64, D3D11_BIND_VERTEX_BUFFER), 0, 0xFFFFFFF8u, 0, 0,
                                          b.buffer(64, D3D11_BIND_VERTEX_BUFFER), 0, &box);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"region copy recorded on a deferred context, at a depth", Rule::copy_out_of_range,
     [](Bench &b) {
         b.deferred()->CopySubresourceRegion(b.texture(D3D11_BIND_SHADER_RESOURCE), 0, 0, 0, 1,
                                             b.texture(D3D11_BIND_SHADER_RESOURCE), 0, nullptr);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"resize of a swap chain while its back buffer is held", Rule::resize_with_references,
     [](Bench &b) {
         DXGI_SWAP_CHAIN_DESC desc = Bench::chain_desc();
         IDXGISwapChain *chain = nullptr;
         EXPECT_EQ(b.factory()->CreateSwapChain(b.device, &desc, &chain), S_OK);
         b.own(chain);
         ID3D11Texture2D *back = nullptr;
         EXPECT_EQ(chain->GetBuffer(0, IID_ID3D11Texture2D, reinterpret_cast<void **>(&back)), S_OK);
         b.own(back);
         return chain->ResizeBuffers(0, 64, 64, DXGI_FORMAT_UNKNOWN, 0);
     },
     D3D_FEATURE_LEVEL_11_0, DXGI_ERROR_INVALID_CALL},
    {"swap chain without a device", Rule::invalid_call,
     [](Bench &b) {
         DXGI_SWAP_CHAIN_DESC desc = Bench::chain_desc();
         IDXGISwapChain *chain = nullptr;
         return keep(b, b.factory()->CreateSwapChain(nullptr, &desc, &chain), chain);
     }},
    {"swap chain on a context rather than a device", Rule::invalid_call,
     [](Bench &b) {
         DXGI_SWAP_CHAIN_DESC desc = Bench::chain_desc();
         IDXGISwapChain *chain = nullptr;
         return keep(b, b.factory()->CreateSwapChain(b.context, &desc, &chain), chain);
     }},
    {"swap chain without a description", Rule::invalid_call,
     [](Bench &b) {
         IDXGISwapChain *chain = nullptr;
         return keep(b, b.factory()->CreateSwapChain(b.device, nullptr, &chain), chain);
     }},
    {"command list finished on the immediate context", Rule::invalid_call,
     [](Bench &b) {
         ID3D11CommandList *out = nullptr;
         return keep(b, b.context->FinishCommandList(FALSE, &out), out);
     },
     D3D_FEATURE_LEVEL_11_0, DXGI_ERROR_INVALID_CALL},
    {"shader resources past the last slot", Rule::invalid_call,
     [](Bench &b) {
         ID3D11ShaderResourceView *views[2] = {};
         b.context->PSSetShaderResources(D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT - 1, 2, views);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"constant buffers past the last slot", Rule::invalid_call,
     [](Bench &b) {
         ID3D11Buffer *buffer = b.buffer(16, D3D11_BIND_CONSTANT_BUFFER);
         b.context->VSSetConstantBuffers(D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT, 1, &buffer);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"samplers from a first slot near the top of the range", Rule::invalid_call,
     [](Bench &b) {
         ID3D11SamplerState *samplers[2] = {};
         b.context->CSSetSamplers(0xFFFFFFFFu, 2, samplers);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"unordered-access views past the last slot", Rule::invalid_call,
     [](Bench &b) {
         ID3D11UnorderedAccessView *views[2] = {};
         b.context->CSSetUnorderedAccessViews(D3D11_PS_CS_UAV_REGISTER_COUNT - 1, 2, views, nullptr);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"vertex buffers past the last slot, on a deferred context", Rule::invalid_call,
     [](Bench &b) {
         ID3D11Buffer *buffers[2] = {};
         const UINT strides[2] = {}, offsets[2] = {};
         b.deferred()->IASetVertexBuffers(D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT - 1, 2, buffers, strides, offsets);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"viewports past the last slot", Rule::invalid_call,
     [](Bench &b) {
         D3D11_VIEWPORT viewports[D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE + 1] = {};
         b.context->RSSetViewports(D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE + 1, viewports);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"viewports counted without their array", Rule::invalid_call,
     [](Bench &b) {
         b.context->RSSetViewports(2, nullptr);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"scissor rectangles counted without their array, on a deferred context", Rule::invalid_call,
     [](Bench &b) {
         b.deferred()->RSSetScissorRects(1, nullptr);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"input bound while its texture is the render target", Rule::input_bound_as_output,
     [](Bench &b) {
         ID3D11RenderTargetView *target = nullptr;
         ID3D11ShaderResourceView *input = nullptr;
         b.target_and_input(target, input);
         b.context->OMSetRenderTargets(1, &target, nullptr);
         b.context->PSSetShaderResources(2, 1, &input); // the slot is set to null
         b.context->ClearState();
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"input bound on a deferred context while its texture is the render target", Rule::input_bound_as_output,
     [](Bench &b) {
         ID3D11RenderTargetView *target = nullptr;
         ID3D11ShaderResourceView *input = nullptr;
         b.target_and_input(target, input);
         ID3D11DeviceContext *deferred = b.deferred();
         deferred->OMSetRenderTargets(1, &target, nullptr);
         deferred->CSSetShaderResources(0, 1, &input);
         ID3D11CommandList *list = nullptr;
         EXPECT_EQ(deferred->FinishCommandList(FALSE, &list), S_OK);
         b.context->ExecuteCommandList(b.own(list), FALSE); // checked when recorded, not again
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
    {"map of a default-usage buffer", Rule::map_not_dynamic,
     [](Bench &b) {
         D3D11_MAPPED_SUBRESOURCE mapped{};
         return b.context->Map(b.buffer(16, D3D11_BIND_VERTEX_BUFFER), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped);
     }},
    {"map for reading of a dynamic buffer", Rule::map_not_dynamic,
     [](Bench &b) {
         D3D11_MAPPED_SUBRESOURCE mapped{};
         return b.context->Map(b.buffer(16, D3D11_BIND_VERTEX_BUFFER, D3D11_USAGE_DYNAMIC), 0, D3D11_MAP_READ, 0,
                               &mapped);
     }},
    {"map for reading of a staging buffer the CPU may only write", Rule::map_not_dynamic,
     [](Bench &b) {
         D3D11_MAPPED_SUBRESOURCE mapped{};
         return b.context->Map(b.staging(16, D3D11_CPU_ACCESS_WRITE), 0, D3D11_MAP_READ, 0, &mapped);
     }},
    {"DISCARD map of a staging buffer", Rule::map_not_dynamic,
     [](Bench &b) {
         D3D11_MAPPED_SUBRESOURCE mapped{};
         return b.context->Map(b.staging(16, D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE), 0,
                               D3D11_MAP_WRITE_DISCARD, 0, &mapped);
     }},
    {"map of a staging buffer on a deferred context", Rule::invalid_call,
     [](Bench &b) {
         D3D11_MAPPED_SUBRESOURCE mapped{};
         return b.deferred()->Map(b.staging(16, D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE), 0, D3D11_MAP_READ,
                                  0, &mapped);
     }},
    {"map of a type that is none", Rule::invalid_call,
     [](Bench &b) {
         D3D11_MAPPED_SUBRESOURCE mapped{};
         return b.context->Map(b.buffer(16, D3D11_BIND_VERTEX_BUFFER, D3D11_USAGE_DYNAMIC), 0, D3D11_MAP(0), 0,
                               &mapped);
     }},
    {"depth-stencil view in a colour format", Rule::invalid_call,
     [](Bench &b) {
         D3D11_DEPTH_STENCIL_VIEW_DESC desc{};
         desc.Format = DXGI_FORMAT_R32_FLOAT;
         desc.ViewDimension = D3D11_DSV_DIMENSION_TEXTURE2D;
         ID3D11DepthStencilView *out = nullptr;
         ID3D11Texture2D *depth = b.texture(D3D11_BIND_DEPTH_STENCIL, DXGI_FORMAT_D32_FLOAT);
         return keep(b, b.device->CreateDepthStencilView(depth, &desc, &out), out);
     }},
    {"command list executed on a deferred context", Rule::invalid_call,
     [](Bench &b) {
         ID3D11DeviceContext *deferred = b.deferred();
         ID3D11CommandList *list = nullptr;
         EXPECT_EQ(deferred->FinishCommandList(FALSE, &list), S_OK);
         b.own(list);
         deferred->ExecuteCommandList(list, FALSE);
         return S_OK;
     },
     D3D_FEATURE_LEVEL_11_0, S_OK},
};

struct Refusal {
    HRESULT result = S_OK;
    std::vector<Diagnostic> diagnostics;
};

/// Runs one case on a fresh device of the backend entry points use now.
Refusal refuse(const Case &c)
{
    Bench b;
    const D3D_FEATURE_LEVEL levels[] = {c.level};
    EXPECT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 1, D3D11_SDK_VERSION, &b.device,
                                nullptr, &b.context),
              S_OK);
    Refusal r;
    if (!b.device) return r;
    headless_clear_diagnostics();
    r.result = c.call(b);
    r.diagnostics = headless_diagnostics();
    return r;
}

class DeviceRulesTest : public ::testing::Test {
protected:
    void SetUp() override { headless_reset(); }
    void TearDown() override
    {
        set_backend(Backend::headless);
        headless_reset();
    }
    /// The headless backend, and OpenGL where this machine can run it.
    static std::vector<Backend> backends()
    {
        std::vector<Backend> out = {Backend::headless};
        if (gl_available()) out.push_back(Backend::gl);
        return out;
    }
    /// Gives `b` a device and its immediate context (feature level 11_0) on the current backend.
    static bool make_device(Bench &b)
    {
        const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0};
        return D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 1, D3D11_SDK_VERSION,
                                 &b.device, nullptr, &b.context) == S_OK;
    }
};

TEST_F(DeviceRulesTest, EachBrokenRuleIsRefusedWithItsRuleAndOneMessage)
{
    set_backend(Backend::headless);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Refusal r = refuse(c);
        EXPECT_EQ(r.result, c.result);
        ASSERT_EQ(r.diagnostics.size(), 1u);
        EXPECT_EQ(r.diagnostics[0].rule, c.rule) << r.diagnostics[0].message;
        EXPECT_FALSE(r.diagnostics[0].message.empty());
    }
}

TEST_F(DeviceRulesTest, OpenGlBackendRefusesTheSameCallsWithTheSameMessages)
{
    std::string reason;
    if (!gl_available(&reason)) GTEST_SKIP() << "no usable EGL / OpenGL 4.5 here: " << reason;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        set_backend(Backend::headless);
        Refusal headless = refuse(c);
        set_backend(Backend::gl);
        Refusal gl = refuse(c);
        EXPECT_EQ(gl.result, headless.result);
        ASSERT_EQ(gl.diagnostics.size(), 1u);
        ASSERT_EQ(headless.diagnostics.size(), 1u);
        EXPECT_EQ(gl.diagnostics[0].rule, headless.diagnostics[0].rule);
        EXPECT_EQ(gl.diagnostics[0].message, headless.diagnostics[0].message);
    }
}

TEST_F(DeviceRulesTest, NullOutPointerOnlyValidatesOnBothBackends)
{
    for (Backend backend : backends()) {
        SCOPED_TRACE(to_string(backend));
        set_backend(backend);
        Bench b;
        ASSERT_TRUE(make_device(b));
        headless_clear_diagnostics();
        D3D11_BUFFER_DESC good{64, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        D3D11_BUFFER_DESC empty{0, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        EXPECT_EQ(b.device->CreateBuffer(&good, nullptr, nullptr), S_FALSE);
        EXPECT_TRUE(headless_diagnostics().empty());
        EXPECT_EQ(b.device->CreateBuffer(&empty, nullptr, nullptr), E_INVALIDARG);
        EXPECT_EQ(headless_diagnostics().size(), 1u);
        EXPECT_EQ(b.device->CreateDeferredContext(0, nullptr), E_INVALIDARG);
    }
}

TEST_F(DeviceRulesTest, BindingAnOutputUnbindsOnlyTheInputsThatReadIt)
{
    // A texture of 2 mips drawn into at mip 0: the view of mip 1 alone stays bound, the view
    // of every mip is set to null, with no report; the same through a replayed command list.
    set_backend(Backend::headless);
    Bench b;
    ASSERT_TRUE(make_device(b));
    D3D11_TEXTURE2D_DESC desc{16, 16, 2, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                              D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE, 0, 0};
    ID3D11Texture2D *texture = nullptr;
    ASSERT_EQ(b.device->CreateTexture2D(&desc, nullptr, &texture), S_OK);
    b.own(texture);
    D3D11_SHADER_RESOURCE_VIEW_DESC second_mip{};
    second_mip.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    second_mip.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
    second_mip.Texture2D = {1, 1};
    ID3D11ShaderResourceView *inputs[2] = {};
    ID3D11RenderTargetView *target = nullptr;
    ASSERT_EQ(b.device->CreateShaderResourceView(texture, &second_mip, &inputs[0]), S_OK);
    ASSERT_EQ(b.device->CreateShaderResourceView(texture, nullptr, &inputs[1]), S_OK);
    ASSERT_EQ(b.device->CreateRenderTargetView(texture, nullptr, &target), S_OK);
    b.own(inputs[0]);
    b.own(inputs[1]);
    b.own(target);
    const u64 kept = headless_object_id(inputs[0]);

    for (bool through_list : {false, true}) {
        SCOPED_TRACE(through_list ? "through a command list" : "on the immediate context");
        headless_clear_diagnostics();
        headless_clear_journal(b.context);
        ID3D11DeviceContext *recorder = through_list ? b.deferred() : b.context;
        recorder->PSSetShaderResources(0, 2, inputs);
        recorder->OMSetRenderTargets(1, &target, nullptr);
        recorder->Draw(3, 0);
        if (through_list) {
            ID3D11CommandList *list = nullptr;
            ASSERT_EQ(recorder->FinishCommandList(FALSE, &list), S_OK);
            b.context->ExecuteCommandList(b.own(list), FALSE);
        }
        const std::vector<DrawRecord> draws = headless_draws(b.context);
        ASSERT_EQ(draws.size(), 1u);
        const StageSnapshot &pixel = draws[0].stages[static_cast<u32>(Stage::pixel)];
        EXPECT_EQ(pixel.resources[0], kept);
        EXPECT_EQ(pixel.resources[1], 0u);
        EXPECT_TRUE(headless_diagnostics().empty());
        b.context->ClearState();
    }
}

TEST_F(DeviceRulesTest, StagingMapsReadWhatWasCopiedOnBothBackends)
{
    for (Backend backend : backends()) {
        SCOPED_TRACE(to_string(backend));
        set_backend(backend);
        Bench b;
        ASSERT_TRUE(make_device(b));
        headless_clear_diagnostics();
        std::vector<u8> bytes(16);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = u8(3 * i + 1);
        D3D11_BUFFER_DESC desc{16, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        D3D11_SUBRESOURCE_DATA init{bytes.data(), 0, 0};
        ID3D11Buffer *source = nullptr;
        ASSERT_EQ(b.device->CreateBuffer(&desc, &init, &source), S_OK);
        b.own(source);
        ID3D11Buffer *readback = b.staging(16, D3D11_CPU_ACCESS_READ);
        b.context->CopyResource(readback, source);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        ASSERT_EQ(b.context->Map(readback, 0, D3D11_MAP_READ, 0, &mapped), S_OK);
        ASSERT_NE(mapped.pData, nullptr);
        EXPECT_EQ(std::vector<u8>(static_cast<const u8 *>(mapped.pData), static_cast<const u8 *>(mapped.pData) + 16),
                  bytes);
        b.context->Unmap(readback, 0);
        EXPECT_TRUE(headless_diagnostics().empty());
    }
}

TEST_F(DeviceRulesTest, TwoThreadsInOneContextAreReportedOnBothBackends)
{
    // Two threads record draws on one deferred context until the front sees them overlap;
    // it makes the second wait, so the recording itself stays sound.
    for (Backend backend : backends()) {
        SCOPED_TRACE(to_string(backend));
        set_backend(backend);
        Bench b;
        ASSERT_TRUE(make_device(b));
        ID3D11DeviceContext *deferred = b.deferred();
        headless_clear_diagnostics();
        const auto reported = [] {
            for (const Diagnostic &d : headless_diagnostics())
                if (d.rule == Rule::concurrent_context_use) return true;
            return false;
        };
        std::atomic<bool> stop{false};
        auto hammer = [&] {
            while (!stop.load()) deferred->Draw(3, 0);
        };
        std::thread first(hammer), second(hammer);
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!reported() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
        stop = true;
        first.join();
        second.join();
        EXPECT_TRUE(reported());
        ID3D11CommandList *list = nullptr;
        EXPECT_EQ(deferred->FinishCommandList(FALSE, &list), S_OK);
        b.own(list);
    }
}

} // namespace
} // namespace tallow::d3d11
