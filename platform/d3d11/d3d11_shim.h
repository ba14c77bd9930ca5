#pragma once
// The Direct3D 11 side of our layer: the device, immediate and deferred contexts, resources,
// views, states, shaders, input layouts and command lists, with the structs and enum values
// the engine's device code uses (field order as in Direct3D, since state caches compare
// descriptions field by field).
//
//   const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
//   ID3D11Device *device = nullptr; ID3D11DeviceContext *context = nullptr;
//   D3D_FEATURE_LEVEL level;
//   if (FAILED(D3D11CreateDevice(adapter, D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, levels, 2,
//                                D3D11_SDK_VERSION, &device, &level, &context))) return false;
//   D3D11_BUFFER_DESC desc = {256, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER,
//                             D3D11_CPU_ACCESS_WRITE, 0, 0};
//   ID3D11Buffer *constants = nullptr;
//   device->CreateBuffer(&desc, nullptr, &constants);
//   D3D11_MAPPED_SUBRESOURCE mapped;
//   if (SUCCEEDED(context->Map(constants, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
//       memcpy(mapped.pData, values, 256);
//       context->Unmap(constants, 0);
//   }
//   context->VSSetConstantBuffers(0, 1, &constants);
//   context->Draw(3, 0);
//   constants->Release(); context->Release(); device->Release();
//
// Threads: the device may be called from any thread at once (workers create buffers, input
// layouts and copy targets). A context is used by one thread at a time; the immediate context
// belongs to the renderer thread, each deferred context to the worker recording into it.
// FinishCommandList(FALSE) leaves a deferred context in its default state, and
// ExecuteCommandList(list, FALSE) leaves the immediate context in its default state.
//
// A backend implements every pure method below and `D3D11CreateDevice`. Broken rules (a
// release past zero, Map rules, copy boxes out of range, views without the bind flag or
// reaching past their resource...) are logged by the backend; they never crash it.

#include "platform/d3d11/dxgi_shim.h"

namespace tallow {

enum D3D_FEATURE_LEVEL : u32 {
    D3D_FEATURE_LEVEL_9_1 = 0x9100,
    D3D_FEATURE_LEVEL_9_2 = 0x9200,
    D3D_FEATURE_LEVEL_9_3 = 0x9300,
    D3D_FEATURE_LEVEL_10_0 = 0xA000,
    D3D_FEATURE_LEVEL_10_1 = 0xA100,
    D3D_FEATURE_LEVEL_11_0 = 0xB000,
};

enum D3D_DRIVER_TYPE : u32 {
    D3D_DRIVER_TYPE_UNKNOWN = 0,
    D3D_DRIVER_TYPE_HARDWARE = 1,
    D3D_DRIVER_TYPE_REFERENCE = 2,
    D3D_DRIVER_TYPE_NULL = 3,
    D3D_DRIVER_TYPE_SOFTWARE = 4,
    D3D_DRIVER_TYPE_WARP = 5,
};

constexpr UINT D3D11_SDK_VERSION = 7;
constexpr UINT D3D11_CREATE_DEVICE_SINGLETHREADED = 1;
constexpr UINT D3D11_CREATE_DEVICE_DEBUG = 2;

// Slot counts of the pipeline.
constexpr UINT D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT = 8;
constexpr UINT D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT = 32;
constexpr UINT D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT = 128;
constexpr UINT D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT = 14;
constexpr UINT D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT = 16;
constexpr UINT D3D11_PS_CS_UAV_REGISTER_COUNT = 8;
constexpr UINT D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE = 16;
constexpr UINT D3D11_DEFAULT_SAMPLE_MASK = 0xFFFFFFFF;
constexpr UINT D3D11_APPEND_ALIGNED_ELEMENT = 0xFFFFFFFF;
constexpr FLOAT D3D11_FLOAT32_MAX = 3.402823466e+38f;

enum D3D11_USAGE : u32 {
    D3D11_USAGE_DEFAULT = 0,
    D3D11_USAGE_IMMUTABLE = 1,
    D3D11_USAGE_DYNAMIC = 2,
    D3D11_USAGE_STAGING = 3,
};

enum D3D11_BIND_FLAG : u32 {
    D3D11_BIND_VERTEX_BUFFER = 0x1,
    D3D11_BIND_INDEX_BUFFER = 0x2,
    D3D11_BIND_CONSTANT_BUFFER = 0x4,
    D3D11_BIND_SHADER_RESOURCE = 0x8,
    D3D11_BIND_STREAM_OUTPUT = 0x10,
    D3D11_BIND_RENDER_TARGET = 0x20,
    D3D11_BIND_DEPTH_STENCIL = 0x40,
    D3D11_BIND_UNORDERED_ACCESS = 0x80,
};

enum D3D11_CPU_ACCESS_FLAG : u32 {
    D3D11_CPU_ACCESS_WRITE = 0x10000,
    D3D11_CPU_ACCESS_READ = 0x20000,
};

enum D3D11_RESOURCE_MISC_FLAG : u32 {
    D3D11_RESOURCE_MISC_GENERATE_MIPS = 0x1,
    D3D11_RESOURCE_MISC_TEXTURECUBE = 0x4,
    D3D11_RESOURCE_MISC_BUFFER_ALLOW_RAW_VIEWS = 0x20,
    D3D11_RESOURCE_MISC_BUFFER_STRUCTURED = 0x40,
};

enum D3D11_MAP : u32 {
    D3D11_MAP_READ = 1,
    D3D11_MAP_WRITE = 2,
    D3D11_MAP_READ_WRITE = 3,
    D3D11_MAP_WRITE_DISCARD = 4,
    D3D11_MAP_WRITE_NO_OVERWRITE = 5,
};

enum D3D11_CLEAR_FLAG : u32 {
    D3D11_CLEAR_DEPTH = 0x1,
    D3D11_CLEAR_STENCIL = 0x2,
};

enum D3D11_PRIMITIVE_TOPOLOGY : u32 {
    D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED = 0,
    D3D11_PRIMITIVE_TOPOLOGY_POINTLIST = 1,
    D3D11_PRIMITIVE_TOPOLOGY_LINELIST = 2,
    D3D11_PRIMITIVE_TOPOLOGY_LINESTRIP = 3,
    D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST = 4,
    D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP = 5,
    D3D11_PRIMITIVE_TOPOLOGY_3_CONTROL_POINT_PATCHLIST = 35,
};

enum D3D11_DEVICE_CONTEXT_TYPE : u32 {
    D3D11_DEVICE_CONTEXT_IMMEDIATE = 0,
    D3D11_DEVICE_CONTEXT_DEFERRED = 1,
};

enum D3D11_SRV_DIMENSION : u32 {
    D3D11_SRV_DIMENSION_UNKNOWN = 0,
    D3D11_SRV_DIMENSION_BUFFER = 1,
    D3D11_SRV_DIMENSION_TEXTURE2D = 4,
    D3D11_SRV_DIMENSION_TEXTURE2DARRAY = 5,
    D3D11_SRV_DIMENSION_TEXTURE2DMS = 6,
    D3D11_SRV_DIMENSION_TEXTURE2DMSARRAY = 7,
    D3D11_SRV_DIMENSION_TEXTURECUBE = 9,
    D3D11_SRV_DIMENSION_TEXTURECUBEARRAY = 10,
};

enum D3D11_RTV_DIMENSION : u32 {
    D3D11_RTV_DIMENSION_UNKNOWN = 0,
    D3D11_RTV_DIMENSION_BUFFER = 1,
    D3D11_RTV_DIMENSION_TEXTURE2D = 4,
    D3D11_RTV_DIMENSION_TEXTURE2DARRAY = 5,
    D3D11_RTV_DIMENSION_TEXTURE2DMS = 6,
    D3D11_RTV_DIMENSION_TEXTURE2DMSARRAY = 7,
};

enum D3D11_DSV_DIMENSION : u32 {
    D3D11_DSV_DIMENSION_UNKNOWN = 0,
    D3D11_DSV_DIMENSION_TEXTURE2D = 3,
    D3D11_DSV_DIMENSION_TEXTURE2DARRAY = 4,
    D3D11_DSV_DIMENSION_TEXTURE2DMS = 5,
    D3D11_DSV_DIMENSION_TEXTURE2DMSARRAY = 6,
};

enum D3D11_UAV_DIMENSION : u32 {
    D3D11_UAV_DIMENSION_UNKNOWN = 0,
    D3D11_UAV_DIMENSION_BUFFER = 1,
    D3D11_UAV_DIMENSION_TEXTURE2D = 4,
    D3D11_UAV_DIMENSION_TEXTURE2DARRAY = 5,
};

enum D3D11_INPUT_CLASSIFICATION : u32 {
    D3D11_INPUT_PER_VERTEX_DATA = 0,
    D3D11_INPUT_PER_INSTANCE_DATA = 1,
};

enum D3D11_FILL_MODE : u32 {
    D3D11_FILL_WIREFRAME = 2,
    D3D11_FILL_SOLID = 3,
};

enum D3D11_CULL_MODE : u32 {
    D3D11_CULL_NONE = 1,
    D3D11_CULL_FRONT = 2,
    D3D11_CULL_BACK = 3,
};

enum D3D11_COMPARISON_FUNC : u32 {
    D3D11_COMPARISON_NEVER = 1,
    D3D11_COMPARISON_LESS = 2,
    D3D11_COMPARISON_EQUAL = 3,
    D3D11_COMPARISON_LESS_EQUAL = 4,
    D3D11_COMPARISON_GREATER = 5,
    D3D11_COMPARISON_NOT_EQUAL = 6,
    D3D11_COMPARISON_GREATER_EQUAL = 7,
    D3D11_COMPARISON_ALWAYS = 8,
};

enum D3D11_DEPTH_WRITE_MASK : u32 {
    D3D11_DEPTH_WRITE_MASK_ZERO = 0,
    D3D11_DEPTH_WRITE_MASK_ALL = 1,
};

enum D3D11_STENCIL_OP : u32 {
    D3D11_STENCIL_OP_KEEP = 1,
    D3D11_STENCIL_OP_ZERO = 2,
    D3D11_STENCIL_OP_REPLACE = 3,
    D3D11_STENCIL_OP_INCR_SAT = 4,
    D3D11_STENCIL_OP_DECR_SAT = 5,
    D3D11_STENCIL_OP_INVERT = 6,
    D3D11_STENCIL_OP_INCR = 7,
    D3D11_STENCIL_OP_DECR = 8,
};

enum D3D11_BLEND : u32 {
    D3D11_BLEND_ZERO = 1,
    D3D11_BLEND_ONE = 2,
    D3D11_BLEND_SRC_COLOR = 3,
    D3D11_BLEND_INV_SRC_COLOR = 4,
    D3D11_BLEND_SRC_ALPHA = 5,
    D3D11_BLEND_INV_SRC_ALPHA = 6,
    D3D11_BLEND_DEST_ALPHA = 7,
    D3D11_BLEND_INV_DEST_ALPHA = 8,
    D3D11_BLEND_DEST_COLOR = 9,
    D3D11_BLEND_INV_DEST_COLOR = 10,
    D3D11_BLEND_SRC_ALPHA_SAT = 11,
    D3D11_BLEND_BLEND_FACTOR = 14,
    D3D11_BLEND_INV_BLEND_FACTOR = 15,
    D3D11_BLEND_SRC1_COLOR = 16,
    D3D11_BLEND_INV_SRC1_COLOR = 17,
    D3D11_BLEND_SRC1_ALPHA = 18,
    D3D11_BLEND_INV_SRC1_ALPHA = 19,
};

enum D3D11_BLEND_OP : u32 {
    D3D11_BLEND_OP_ADD = 1,
    D3D11_BLEND_OP_SUBTRACT = 2,
    D3D11_BLEND_OP_REV_SUBTRACT = 3,
    D3D11_BLEND_OP_MIN = 4,
    D3D11_BLEND_OP_MAX = 5,
};

constexpr UINT8 D3D11_COLOR_WRITE_ENABLE_ALL = 0xF;

/// Filters are a bit field: bit 0 mip linear, bit 2 mag linear, bit 4 min linear, bit 6
/// anisotropic, bit 7 comparison.
enum D3D11_FILTER : u32 {
    D3D11_FILTER_MIN_MAG_MIP_POINT = 0x00,
    D3D11_FILTER_MIN_MAG_POINT_MIP_LINEAR = 0x01,
    D3D11_FILTER_MIN_POINT_MAG_LINEAR_MIP_POINT = 0x04,
    D3D11_FILTER_MIN_POINT_MAG_MIP_LINEAR = 0x05,
    D3D11_FILTER_MIN_LINEAR_MAG_MIP_POINT = 0x10,
    D3D11_FILTER_MIN_LINEAR_MAG_POINT_MIP_LINEAR = 0x11,
    D3D11_FILTER_MIN_MAG_LINEAR_MIP_POINT = 0x14,
    D3D11_FILTER_MIN_MAG_MIP_LINEAR = 0x15,
    D3D11_FILTER_ANISOTROPIC = 0x55,
    D3D11_FILTER_COMPARISON_MIN_MAG_MIP_POINT = 0x80,
    D3D11_FILTER_COMPARISON_MIN_MAG_LINEAR_MIP_POINT = 0x94,
    D3D11_FILTER_COMPARISON_MIN_MAG_MIP_LINEAR = 0x95,
    D3D11_FILTER_COMPARISON_ANISOTROPIC = 0xD5,
};

enum D3D11_TEXTURE_ADDRESS_MODE : u32 {
    D3D11_TEXTURE_ADDRESS_WRAP = 1,
    D3D11_TEXTURE_ADDRESS_MIRROR = 2,
    D3D11_TEXTURE_ADDRESS_CLAMP = 3,
    D3D11_TEXTURE_ADDRESS_BORDER = 4,
    D3D11_TEXTURE_ADDRESS_MIRROR_ONCE = 5,
};

struct D3D11_BUFFER_DESC {
    UINT ByteWidth;
    D3D11_USAGE Usage;
    UINT BindFlags;
    UINT CPUAccessFlags;
    UINT MiscFlags;
    UINT StructureByteStride;
};

struct D3D11_SUBRESOURCE_DATA {
    const void *pSysMem;
    UINT SysMemPitch;      // bytes per row (textures)
    UINT SysMemSlicePitch; // bytes per depth slice (unused for 2D)
};

struct D3D11_TEXTURE2D_DESC {
    UINT Width;
    UINT Height;
    UINT MipLevels; // 0 = the full chain
    UINT ArraySize;
    DXGI_FORMAT Format;
    DXGI_SAMPLE_DESC SampleDesc;
    D3D11_USAGE Usage;
    UINT BindFlags;
    UINT CPUAccessFlags;
    UINT MiscFlags;
};

struct D3D11_BUFFER_SRV {
    union {
        UINT FirstElement;
        UINT ElementOffset;
    };
    union {
        UINT NumElements;
        UINT ElementWidth;
    };
};
struct D3D11_TEX2D_SRV {
    UINT MostDetailedMip;
    UINT MipLevels;
};
struct D3D11_TEX2D_ARRAY_SRV {
    UINT MostDetailedMip;
    UINT MipLevels;
    UINT FirstArraySlice;
    UINT ArraySize;
};
struct D3D11_TEX2DMS_SRV {
    UINT UnusedField_NothingToDefine;
};
struct D3D11_TEX2DMS_ARRAY_SRV {
    UINT FirstArraySlice;
    UINT ArraySize;
};
struct D3D11_TEXCUBE_SRV {
    UINT MostDetailedMip;
    UINT MipLevels;
};
struct D3D11_TEXCUBE_ARRAY_SRV {
    UINT MostDetailedMip;
    UINT MipLevels;
    UINT First2DArrayFace;
    UINT NumCubes;
};
struct D3D11_SHADER_RESOURCE_VIEW_DESC {
    DXGI_FORMAT Format;
    D3D11_SRV_DIMENSION ViewDimension;
    union {
        D3D11_BUFFER_SRV Buffer;
        D3D11_TEX2D_SRV Texture2D;
        D3D11_TEX2D_ARRAY_SRV Texture2DArray;
        D3D11_TEX2DMS_SRV Texture2DMS;
        D3D11_TEX2DMS_ARRAY_SRV Texture2DMSArray;
        D3D11_TEXCUBE_SRV TextureCube;
        D3D11_TEXCUBE_ARRAY_SRV TextureCubeArray;
    };
};

struct D3D11_BUFFER_RTV {
    union {
        UINT FirstElement;
        UINT ElementOffset;
    };
    union {
        UINT NumElements;
        UINT ElementWidth;
    };
};
struct D3D11_TEX2D_RTV {
    UINT MipSlice;
};
struct D3D11_TEX2D_ARRAY_RTV {
    UINT MipSlice;
    UINT FirstArraySlice;
    UINT ArraySize;
};
struct D3D11_TEX2DMS_RTV {
    UINT UnusedField_NothingToDefine;
};
struct D3D11_TEX2DMS_ARRAY_RTV {
    UINT FirstArraySlice;
    UINT ArraySize;
};
struct D3D11_RENDER_TARGET_VIEW_DESC {
    DXGI_FORMAT Format;
    D3D11_RTV_DIMENSION ViewDimension;
    union {
        D3D11_BUFFER_RTV Buffer;
        D3D11_TEX2D_RTV Texture2D;
        D3D11_TEX2D_ARRAY_RTV Texture2DArray;
        D3D11_TEX2DMS_RTV Texture2DMS;
        D3D11_TEX2DMS_ARRAY_RTV Texture2DMSArray;
    };
};

struct D3D11_TEX2D_DSV {
    UINT MipSlice;
};
struct D3D11_TEX2D_ARRAY_DSV {
    UINT MipSlice;
    UINT FirstArraySlice;
    UINT ArraySize;
};
struct D3D11_TEX2DMS_DSV {
    UINT UnusedField_NothingToDefine;
};
struct D3D11_TEX2DMS_ARRAY_DSV {
    UINT FirstArraySlice;
    UINT ArraySize;
};
struct D3D11_DEPTH_STENCIL_VIEW_DESC {
    DXGI_FORMAT Format;
    D3D11_DSV_DIMENSION ViewDimension;
    UINT Flags;
    union {
        D3D11_TEX2D_DSV Texture2D;
        D3D11_TEX2D_ARRAY_DSV Texture2DArray;
        D3D11_TEX2DMS_DSV Texture2DMS;
        D3D11_TEX2DMS_ARRAY_DSV Texture2DMSArray;
    };
};

struct D3D11_BUFFER_UAV {
    UINT FirstElement;
    UINT NumElements;
    UINT Flags;
};
struct D3D11_TEX2D_UAV {
    UINT MipSlice;
};
struct D3D11_TEX2D_ARRAY_UAV {
    UINT MipSlice;
    UINT FirstArraySlice;
    UINT ArraySize;
};
struct D3D11_UNORDERED_ACCESS_VIEW_DESC {
    DXGI_FORMAT Format;
    D3D11_UAV_DIMENSION ViewDimension;
    union {
        D3D11_BUFFER_UAV Buffer;
        D3D11_TEX2D_UAV Texture2D;
        D3D11_TEX2D_ARRAY_UAV Texture2DArray;
    };
};

struct D3D11_RASTERIZER_DESC {
    D3D11_FILL_MODE FillMode;
    D3D11_CULL_MODE CullMode;
    BOOL FrontCounterClockwise;
    INT DepthBias;
    FLOAT DepthBiasClamp;
    FLOAT SlopeScaledDepthBias;
    BOOL DepthClipEnable;
    BOOL ScissorEnable;
    BOOL MultisampleEnable;
    BOOL AntialiasedLineEnable;
};

struct D3D11_DEPTH_STENCILOP_DESC {
    D3D11_STENCIL_OP StencilFailOp;
    D3D11_STENCIL_OP StencilDepthFailOp;
    D3D11_STENCIL_OP StencilPassOp;
    D3D11_COMPARISON_FUNC StencilFunc;
};

struct D3D11_DEPTH_STENCIL_DESC {
    BOOL DepthEnable;
    D3D11_DEPTH_WRITE_MASK DepthWriteMask;
    D3D11_COMPARISON_FUNC DepthFunc;
    BOOL StencilEnable;
    UINT8 StencilReadMask;
    UINT8 StencilWriteMask;
    D3D11_DEPTH_STENCILOP_DESC FrontFace;
    D3D11_DEPTH_STENCILOP_DESC BackFace;
};

struct D3D11_RENDER_TARGET_BLEND_DESC {
    BOOL BlendEnable;
    D3D11_BLEND SrcBlend;
    D3D11_BLEND DestBlend;
    D3D11_BLEND_OP BlendOp;
    D3D11_BLEND SrcBlendAlpha;
    D3D11_BLEND DestBlendAlpha;
    D3D11_BLEND_OP BlendOpAlpha;
    UINT8 RenderTargetWriteMask;
};

struct D3D11_BLEND_DESC {
    BOOL AlphaToCoverageEnable;
    BOOL IndependentBlendEnable;
    D3D11_RENDER_TARGET_BLEND_DESC RenderTarget[8];
};

struct D3D11_SAMPLER_DESC {
    D3D11_FILTER Filter;
    D3D11_TEXTURE_ADDRESS_MODE AddressU;
    D3D11_TEXTURE_ADDRESS_MODE AddressV;
    D3D11_TEXTURE_ADDRESS_MODE AddressW;
    FLOAT MipLODBias;
    UINT MaxAnisotropy;
    D3D11_COMPARISON_FUNC ComparisonFunc;
    FLOAT BorderColor[4];
    FLOAT MinLOD;
    FLOAT MaxLOD;
};

struct D3D11_INPUT_ELEMENT_DESC {
    LPCSTR SemanticName; // compared by text, not by address
    UINT SemanticIndex;
    DXGI_FORMAT Format;
    UINT InputSlot;
    UINT AlignedByteOffset;
    D3D11_INPUT_CLASSIFICATION InputSlotClass;
    UINT InstanceDataStepRate;
};

struct D3D11_VIEWPORT {
    FLOAT TopLeftX;
    FLOAT TopLeftY;
    FLOAT Width;
    FLOAT Height;
    FLOAT MinDepth;
    FLOAT MaxDepth;
};

using D3D11_RECT = RECT;

struct D3D11_BOX {
    UINT left;
    UINT top;
    UINT front;
    UINT right; // one past the last texel (or byte, for buffers)
    UINT bottom;
    UINT back;
};

struct D3D11_MAPPED_SUBRESOURCE {
    void *pData;
    UINT RowPitch;
    UINT DepthPitch;
};

/// Subresource index of mip `mip` of array slice `slice`.
constexpr UINT D3D11CalcSubresource(UINT mip, UINT slice, UINT mip_levels) { return mip + slice * mip_levels; }

class ID3D11Device;

/// Anything a device creates.
class ID3D11DeviceChild : public IUnknown {
public:
    /// Adds a reference to the device for the caller.
    virtual void GetDevice(ID3D11Device **out_device) = 0;

protected:
    ~ID3D11DeviceChild() = default;
};

enum D3D11_RESOURCE_DIMENSION : u32 {
    D3D11_RESOURCE_DIMENSION_UNKNOWN = 0,
    D3D11_RESOURCE_DIMENSION_BUFFER = 1,
    D3D11_RESOURCE_DIMENSION_TEXTURE2D = 3,
};

class ID3D11Resource : public ID3D11DeviceChild {
public:
    virtual void GetType(D3D11_RESOURCE_DIMENSION *out_dimension) = 0;

protected:
    ~ID3D11Resource() = default;
};

class ID3D11Buffer : public ID3D11Resource {
public:
    virtual void GetDesc(D3D11_BUFFER_DESC *out_desc) = 0;

protected:
    ~ID3D11Buffer() = default;
};

class ID3D11Texture2D : public ID3D11Resource {
public:
    virtual void GetDesc(D3D11_TEXTURE2D_DESC *out_desc) = 0;

protected:
    ~ID3D11Texture2D() = default;
};

class ID3D11View : public ID3D11DeviceChild {
public:
    /// Adds a reference to the viewed resource for the caller.
    virtual void GetResource(ID3D11Resource **out_resource) = 0;

protected:
    ~ID3D11View() = default;
};

class ID3D11ShaderResourceView : public ID3D11View {
public:
    virtual void GetDesc(D3D11_SHADER_RESOURCE_VIEW_DESC *out_desc) = 0;

protected:
    ~ID3D11ShaderResourceView() = default;
};

class ID3D11RenderTargetView : public ID3D11View {
public:
    virtual void GetDesc(D3D11_RENDER_TARGET_VIEW_DESC *out_desc) = 0;

protected:
    ~ID3D11RenderTargetView() = default;
};

class ID3D11DepthStencilView : public ID3D11View {
public:
    virtual void GetDesc(D3D11_DEPTH_STENCIL_VIEW_DESC *out_desc) = 0;

protected:
    ~ID3D11DepthStencilView() = default;
};

class ID3D11UnorderedAccessView : public ID3D11View {
public:
    virtual void GetDesc(D3D11_UNORDERED_ACCESS_VIEW_DESC *out_desc) = 0;

protected:
    ~ID3D11UnorderedAccessView() = default;
};

class ID3D11RasterizerState : public ID3D11DeviceChild {
public:
    virtual void GetDesc(D3D11_RASTERIZER_DESC *out_desc) = 0;

protected:
    ~ID3D11RasterizerState() = default;
};

class ID3D11DepthStencilState : public ID3D11DeviceChild {
public:
    virtual void GetDesc(D3D11_DEPTH_STENCIL_DESC *out_desc) = 0;

protected:
    ~ID3D11DepthStencilState() = default;
};

class ID3D11BlendState : public ID3D11DeviceChild {
public:
    virtual void GetDesc(D3D11_BLEND_DESC *out_desc) = 0;

protected:
    ~ID3D11BlendState() = default;
};

class ID3D11SamplerState : public ID3D11DeviceChild {
public:
    virtual void GetDesc(D3D11_SAMPLER_DESC *out_desc) = 0;

protected:
    ~ID3D11SamplerState() = default;
};

// Shaders hold opaque byte code.
class ID3D11VertexShader : public ID3D11DeviceChild {
protected:
    ~ID3D11VertexShader() = default;
};
class ID3D11HullShader : public ID3D11DeviceChild {
protected:
    ~ID3D11HullShader() = default;
};
class ID3D11DomainShader : public ID3D11DeviceChild {
protected:
    ~ID3D11DomainShader() = default;
};
class ID3D11GeometryShader : public ID3D11DeviceChild {
protected:
    ~ID3D11GeometryShader() = default;
};
class ID3D11PixelShader : public ID3D11DeviceChild {
protected:
    ~ID3D11PixelShader() = default;
};
class ID3D11ComputeShader : public ID3D11DeviceChild {
protected:
    ~ID3D11ComputeShader() = default;
};

class ID3D11InputLayout : public ID3D11DeviceChild {
protected:
    ~ID3D11InputLayout() = default;
};

/// A deferred context's recorded calls; only released by the engine.
class ID3D11CommandList : public ID3D11DeviceChild {
protected:
    ~ID3D11CommandList() = default;
};

/// Obtained from the device with QueryInterface(IID_ID3D11Debug) on a debug device.
class ID3D11Debug : public IUnknown {
protected:
    ~ID3D11Debug() = default;
};

/// Never created here; shader-setting calls take null.
class ID3D11ClassLinkage;
class ID3D11ClassInstance;

/// Immediate or deferred context. Calls on a deferred context are recorded and run when
/// its command list is executed on the immediate context.
class ID3D11DeviceContext : public ID3D11DeviceChild {
public:
    virtual void VSSetConstantBuffers(UINT start_slot, UINT count, ID3D11Buffer *const *buffers) = 0;
    virtual void PSSetShaderResources(UINT start_slot, UINT count, ID3D11ShaderResourceView *const *views) = 0;
    virtual void PSSetShader(ID3D11PixelShader *shader, ID3D11ClassInstance *const *instances, UINT instance_count) = 0;
    virtual void PSSetSamplers(UINT start_slot, UINT count, ID3D11SamplerState *const *samplers) = 0;
    virtual void VSSetShader(ID3D11VertexShader *shader, ID3D11ClassInstance *const *instances, UINT instance_count) = 0;
    virtual void DrawIndexed(UINT index_count, UINT start_index, INT base_vertex) = 0;
    virtual void Draw(UINT vertex_count, UINT start_vertex) = 0;
    /// DISCARD or NO_OVERWRITE on a dynamic resource with CPU write access; READ, WRITE or
    /// READ_WRITE on a staging resource with the CPU access they need (immediate context only).
    virtual HRESULT Map(ID3D11Resource *resource, UINT subresource, D3D11_MAP map_type, UINT map_flags,
                        D3D11_MAPPED_SUBRESOURCE *out_mapped) = 0;
    virtual void Unmap(ID3D11Resource *resource, UINT subresource) = 0;
    virtual void PSSetConstantBuffers(UINT start_slot, UINT count, ID3D11Buffer *const *buffers) = 0;
    virtual void IASetInputLayout(ID3D11InputLayout *layout) = 0;
    virtual void IASetVertexBuffers(UINT start_slot, UINT count, ID3D11Buffer *const *buffers, const UINT *strides,
                                    const UINT *offsets) = 0;
    virtual void IASetIndexBuffer(ID3D11Buffer *buffer, DXGI_FORMAT format, UINT offset) = 0;
    virtual void DrawIndexedInstanced(UINT index_count_per_instance, UINT instance_count, UINT start_index,
                                      INT base_vertex, UINT start_instance) = 0;
    virtual void DrawInstanced(UINT vertex_count_per_instance, UINT instance_count, UINT start_vertex,
                               UINT start_instance) = 0;
    virtual void GSSetConstantBuffers(UINT start_slot, UINT count, ID3D11Buffer *const *buffers) = 0;
    virtual void GSSetShader(ID3D11GeometryShader *shader, ID3D11ClassInstance *const *instances, UINT instance_count) = 0;
    virtual void IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY topology) = 0;
    virtual void VSSetShaderResources(UINT start_slot, UINT count, ID3D11ShaderResourceView *const *views) = 0;
    virtual void VSSetSamplers(UINT start_slot, UINT count, ID3D11SamplerState *const *samplers) = 0;
    virtual void GSSetShaderResources(UINT start_slot, UINT count, ID3D11ShaderResourceView *const *views) = 0;
    virtual void GSSetSamplers(UINT start_slot, UINT count, ID3D11SamplerState *const *samplers) = 0;
    virtual void OMSetRenderTargets(UINT count, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth) = 0;
    /// `blend_factor` null means {1, 1, 1, 1}.
    virtual void OMSetBlendState(ID3D11BlendState *state, const FLOAT blend_factor[4], UINT sample_mask) = 0;
    virtual void OMSetDepthStencilState(ID3D11DepthStencilState *state, UINT stencil_ref) = 0;
    virtual void Dispatch(UINT groups_x, UINT groups_y, UINT groups_z) = 0;
    virtual void RSSetState(ID3D11RasterizerState *state) = 0;
    virtual void RSSetViewports(UINT count, const D3D11_VIEWPORT *viewports) = 0;
    virtual void RSSetScissorRects(UINT count, const D3D11_RECT *rects) = 0;
    /// `source_box` null copies the whole subresource; a box outside either side is refused.
    virtual void CopySubresourceRegion(ID3D11Resource *destination, UINT destination_subresource, UINT x, UINT y,
                                       UINT z, ID3D11Resource *source, UINT source_subresource,
                                       const D3D11_BOX *source_box) = 0;
    virtual void CopyResource(ID3D11Resource *destination, ID3D11Resource *source) = 0;
    /// Not for dynamic resources (use Map). `box` null updates the whole subresource.
    virtual void UpdateSubresource(ID3D11Resource *destination, UINT subresource, const D3D11_BOX *box,
                                   const void *data, UINT row_pitch, UINT depth_pitch) = 0;
    virtual void ClearRenderTargetView(ID3D11RenderTargetView *view, const FLOAT color[4]) = 0;
    virtual void ClearDepthStencilView(ID3D11DepthStencilView *view, UINT clear_flags, FLOAT depth, UINT8 stencil) = 0;
    virtual void HSSetShaderResources(UINT start_slot, UINT count, ID3D11ShaderResourceView *const *views) = 0;
    virtual void HSSetShader(ID3D11HullShader *shader, ID3D11ClassInstance *const *instances, UINT instance_count) = 0;
    virtual void HSSetSamplers(UINT start_slot, UINT count, ID3D11SamplerState *const *samplers) = 0;
    virtual void HSSetConstantBuffers(UINT start_slot, UINT count, ID3D11Buffer *const *buffers) = 0;
    virtual void DSSetShaderResources(UINT start_slot, UINT count, ID3D11ShaderResourceView *const *views) = 0;
    virtual void DSSetShader(ID3D11DomainShader *shader, ID3D11ClassInstance *const *instances, UINT instance_count) = 0;
    virtual void DSSetSamplers(UINT start_slot, UINT count, ID3D11SamplerState *const *samplers) = 0;
    virtual void DSSetConstantBuffers(UINT start_slot, UINT count, ID3D11Buffer *const *buffers) = 0;
    virtual void CSSetShaderResources(UINT start_slot, UINT count, ID3D11ShaderResourceView *const *views) = 0;
    /// `initial_counts` may be null.
    virtual void CSSetUnorderedAccessViews(UINT start_slot, UINT count, ID3D11UnorderedAccessView *const *views,
                                           const UINT *initial_counts) = 0;
    virtual void CSSetShader(ID3D11ComputeShader *shader, ID3D11ClassInstance *const *instances, UINT instance_count) = 0;
    virtual void CSSetSamplers(UINT start_slot, UINT count, ID3D11SamplerState *const *samplers) = 0;
    virtual void CSSetConstantBuffers(UINT start_slot, UINT count, ID3D11Buffer *const *buffers) = 0;
    /// Unbinds everything and restores every default state.
    virtual void ClearState() = 0;
    virtual void Flush() = 0;
    virtual D3D11_DEVICE_CONTEXT_TYPE GetType() = 0;
    /// Immediate context only. With `restore_state` FALSE the context is left in its default state.
    virtual void ExecuteCommandList(ID3D11CommandList *list, BOOL restore_state) = 0;
    /// Deferred context only: hands over what was recorded (one reference for the caller)
    /// and starts a new list; with `restore_state` FALSE the context returns to defaults.
    virtual HRESULT FinishCommandList(BOOL restore_state, ID3D11CommandList **out_list) = 0;

protected:
    ~ID3D11DeviceContext() = default;
};

/// Safe to call from several threads at once.
class ID3D11Device : public IUnknown {
public:
    virtual HRESULT CreateBuffer(const D3D11_BUFFER_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial_data,
                                 ID3D11Buffer **out_buffer) = 0;
    /// `initial_data` (may be null) holds one entry per subresource, slice by slice, mips within.
    virtual HRESULT CreateTexture2D(const D3D11_TEXTURE2D_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial_data,
                                    ID3D11Texture2D **out_texture) = 0;
    /// The view descriptions may be null (the whole resource in its own format).
    /// E_INVALIDARG (and no view) when the resource lacks the matching bind flag, when the
    /// description's mips, slices, cubes or elements are empty or reach past the resource, or
    /// when its dimension does not fit the resource: a buffer view of a texture or the reverse,
    /// a cube view of a texture made without D3D11_RESOURCE_MISC_TEXTURECUBE, a multisampled
    /// view of a single-sampled texture or the reverse. A shader-resource view's MipLevels of
    /// UINT(-1) means every mip from MostDetailedMip on.
    virtual HRESULT CreateShaderResourceView(ID3D11Resource *resource, const D3D11_SHADER_RESOURCE_VIEW_DESC *desc,
                                             ID3D11ShaderResourceView **out_view) = 0;
    virtual HRESULT CreateUnorderedAccessView(ID3D11Resource *resource, const D3D11_UNORDERED_ACCESS_VIEW_DESC *desc,
                                              ID3D11UnorderedAccessView **out_view) = 0;
    virtual HRESULT CreateRenderTargetView(ID3D11Resource *resource, const D3D11_RENDER_TARGET_VIEW_DESC *desc,
                                           ID3D11RenderTargetView **out_view) = 0;
    virtual HRESULT CreateDepthStencilView(ID3D11Resource *resource, const D3D11_DEPTH_STENCIL_VIEW_DESC *desc,
                                           ID3D11DepthStencilView **out_view) = 0;
    virtual HRESULT CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *elements, UINT element_count,
                                      const void *shader_bytecode, SIZE_T bytecode_length,
                                      ID3D11InputLayout **out_layout) = 0;
    virtual HRESULT CreateVertexShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *linkage,
                                       ID3D11VertexShader **out_shader) = 0;
    virtual HRESULT CreateGeometryShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *linkage,
                                         ID3D11GeometryShader **out_shader) = 0;
    virtual HRESULT CreatePixelShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *linkage,
                                      ID3D11PixelShader **out_shader) = 0;
    /// Hull and domain shaders need feature level 11_0.
    virtual HRESULT CreateHullShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *linkage,
                                     ID3D11HullShader **out_shader) = 0;
    virtual HRESULT CreateDomainShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *linkage,
                                       ID3D11DomainShader **out_shader) = 0;
    /// Compute (and geometry) shaders need feature level 10_0.
    virtual HRESULT CreateComputeShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *linkage,
                                        ID3D11ComputeShader **out_shader) = 0;
    virtual HRESULT CreateBlendState(const D3D11_BLEND_DESC *desc, ID3D11BlendState **out_state) = 0;
    virtual HRESULT CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *desc,
                                            ID3D11DepthStencilState **out_state) = 0;
    virtual HRESULT CreateRasterizerState(const D3D11_RASTERIZER_DESC *desc, ID3D11RasterizerState **out_state) = 0;
    virtual HRESULT CreateSamplerState(const D3D11_SAMPLER_DESC *desc, ID3D11SamplerState **out_state) = 0;
    /// `flags` must be 0.
    virtual HRESULT CreateDeferredContext(UINT flags, ID3D11DeviceContext **out_context) = 0;
    virtual D3D_FEATURE_LEVEL GetFeatureLevel() = 0;
    /// Adds a reference to the immediate context for the caller.
    virtual void GetImmediateContext(ID3D11DeviceContext **out_context) = 0;

protected:
    ~ID3D11Device() = default;
};

/// Creates a device at the first of `levels` (or 11_0 down to 9_1 when null) that the adapter
/// supports, and its immediate context. `adapter` null takes the first adapter. Every out
/// pointer may be null. Safe from any thread.
HRESULT D3D11CreateDevice(IDXGIAdapter *adapter, D3D_DRIVER_TYPE driver_type, HMODULE software, UINT flags,
                          const D3D_FEATURE_LEVEL *levels, UINT level_count, UINT sdk_version,
                          ID3D11Device **out_device, D3D_FEATURE_LEVEL *out_level,
                          ID3D11DeviceContext **out_context);

} // namespace tallow
