#pragma once
// The DXGI side of our Direct3D 11 layer: base types, result codes, the base object with
// reference counts, the factory, adapters, outputs and swap chains, with the names and
// numbers the engine's device code uses.
//
//   IDXGIFactory *factory = nullptr;
//   if (FAILED(CreateDXGIFactory(IID_IDXGIFactory, (void **)&factory))) return false;
//   IDXGIAdapter *adapter = nullptr;
//   for (UINT i = 0; factory->EnumAdapters(i, &adapter) != DXGI_ERROR_NOT_FOUND; ++i) {
//       DXGI_ADAPTER_DESC desc;
//       if (SUCCEEDED(adapter->GetDesc(&desc))) use(adapter);
//       adapter->Release();
//   }
//   factory->Release();
//
// Every object returned through an out-parameter carries one reference for the caller, who
// releases it with Release. The rules are those the engine relies on from Direct3D:
// GetBuffer adds a reference to the back buffer, and ResizeBuffers fails with
// DXGI_ERROR_INVALID_CALL while any such reference is held.
//
// A backend implements every pure method below plus the entry points `CreateDXGIFactory`
// (here) and `D3D11CreateDevice` (d3d11_shim.h). The headless backend (d3d11_headless.h) is
// always built; it tracks every object and, for tests, journals every call. Nothing in these headers
// depends on which backend runs.

#include "foundation/types.h"

namespace tallow {

using HRESULT = i32;
using BOOL = i32;
using UINT = u32;
using INT = i32;
using LONG = i32;
using ULONG = u32;
using FLOAT = f32;
using BYTE = u8;
using UINT8 = u8;
using SIZE_T = u64;
using WCHAR = char16_t; // 16-bit, so output names convert with utf16_to_utf8
using LPCSTR = const char *;
using HMODULE = void *;
using HMONITOR = void *;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT DXGI_ERROR_INVALID_CALL = static_cast<HRESULT>(0x887A0001u);
constexpr HRESULT DXGI_ERROR_NOT_FOUND = static_cast<HRESULT>(0x887A0002u);
constexpr HRESULT DXGI_ERROR_MORE_DATA = static_cast<HRESULT>(0x887A0003u);
constexpr HRESULT DXGI_ERROR_UNSUPPORTED = static_cast<HRESULT>(0x887A0004u);
constexpr HRESULT DXGI_ERROR_NOT_CURRENTLY_AVAILABLE = static_cast<HRESULT>(0x887A0022u);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

/// Interface tag passed to QueryInterface, GetBuffer and the factory entry point.
struct IID {
    u32 value;
    constexpr bool operator==(const IID &) const = default;
};
using REFIID = const IID &;

constexpr IID IID_IUnknown{1};
constexpr IID IID_IDXGIFactory{2};
constexpr IID IID_IDXGIAdapter{3};
constexpr IID IID_IDXGIOutput{4};
constexpr IID IID_IDXGISwapChain{5};
constexpr IID IID_ID3D11Device{6};
constexpr IID IID_ID3D11DeviceContext{7};
constexpr IID IID_ID3D11Resource{8};
constexpr IID IID_ID3D11Buffer{9};
constexpr IID IID_ID3D11Texture2D{10};
constexpr IID IID_ID3D11Debug{11};

/// The window a swap chain presents into: a record owned by the window layer. A swap chain
/// described with width and height 0 takes its size from the client size here.
struct NativeWindowRecord {
    u32 client_width = 0;
    u32 client_height = 0;
    void *native_handle = nullptr; // the window layer's own window (SDL2), or null headless
};
using HWND = NativeWindowRecord *;

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

/// The base of every object: real reference counts. Release returns the count left; a
/// release past zero is a reported fault of the caller, not a crash.
class IUnknown {
public:
    virtual HRESULT QueryInterface(REFIID riid, void **out_object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

enum DXGI_FORMAT : u32 {
    DXGI_FORMAT_UNKNOWN = 0,
    DXGI_FORMAT_R32G32B32A32_TYPELESS = 1,
    DXGI_FORMAT_R32G32B32A32_FLOAT = 2,
    DXGI_FORMAT_R32G32B32A32_UINT = 3,
    DXGI_FORMAT_R32G32B32A32_SINT = 4,
    DXGI_FORMAT_R32G32B32_TYPELESS = 5,
    DXGI_FORMAT_R32G32B32_FLOAT = 6,
    DXGI_FORMAT_R32G32B32_UINT = 7,
    DXGI_FORMAT_R32G32B32_SINT = 8,
    DXGI_FORMAT_R16G16B16A16_TYPELESS = 9,
    DXGI_FORMAT_R16G16B16A16_FLOAT = 10,
    DXGI_FORMAT_R16G16B16A16_UNORM = 11,
    DXGI_FORMAT_R16G16B16A16_UINT = 12,
    DXGI_FORMAT_R16G16B16A16_SNORM = 13,
    DXGI_FORMAT_R16G16B16A16_SINT = 14,
    DXGI_FORMAT_R32G32_TYPELESS = 15,
    DXGI_FORMAT_R32G32_FLOAT = 16,
    DXGI_FORMAT_R32G32_UINT = 17,
    DXGI_FORMAT_R32G32_SINT = 18,
    DXGI_FORMAT_R10G10B10A2_TYPELESS = 23,
    DXGI_FORMAT_R10G10B10A2_UNORM = 24,
    DXGI_FORMAT_R11G11B10_FLOAT = 26,
    DXGI_FORMAT_R8G8B8A8_TYPELESS = 27,
    DXGI_FORMAT_R8G8B8A8_UNORM = 28,
    DXGI_FORMAT_R8G8B8A8_UNORM_SRGB = 29,
    DXGI_FORMAT_R8G8B8A8_UINT = 30,
    DXGI_FORMAT_R8G8B8A8_SNORM = 31,
    DXGI_FORMAT_R8G8B8A8_SINT = 32,
    DXGI_FORMAT_R16G16_TYPELESS = 33,
    DXGI_FORMAT_R16G16_FLOAT = 34,
    DXGI_FORMAT_R16G16_UNORM = 35,
    DXGI_FORMAT_R16G16_UINT = 36,
    DXGI_FORMAT_R16G16_SNORM = 37,
    DXGI_FORMAT_R16G16_SINT = 38,
    DXGI_FORMAT_R32_TYPELESS = 39,
    DXGI_FORMAT_D32_FLOAT = 40,
    DXGI_FORMAT_R32_FLOAT = 41,
    DXGI_FORMAT_R32_UINT = 42,
    DXGI_FORMAT_R32_SINT = 43,
    DXGI_FORMAT_R24G8_TYPELESS = 44,
    DXGI_FORMAT_D24_UNORM_S8_UINT = 45,
    DXGI_FORMAT_R24_UNORM_X8_TYPELESS = 46,
    DXGI_FORMAT_X24_TYPELESS_G8_UINT = 47,
    DXGI_FORMAT_R8G8_TYPELESS = 48,
    DXGI_FORMAT_R8G8_UNORM = 49,
    DXGI_FORMAT_R8G8_UINT = 50,
    DXGI_FORMAT_R8G8_SNORM = 51,
    DXGI_FORMAT_R8G8_SINT = 52,
    DXGI_FORMAT_R16_TYPELESS = 53,
    DXGI_FORMAT_R16_FLOAT = 54,
    DXGI_FORMAT_D16_UNORM = 55,
    DXGI_FORMAT_R16_UNORM = 56,
    DXGI_FORMAT_R16_UINT = 57,
    DXGI_FORMAT_R16_SNORM = 58,
    DXGI_FORMAT_R16_SINT = 59,
    DXGI_FORMAT_R8_TYPELESS = 60,
    DXGI_FORMAT_R8_UNORM = 61,
    DXGI_FORMAT_R8_UINT = 62,
    DXGI_FORMAT_R8_SNORM = 63,
    DXGI_FORMAT_R8_SINT = 64,
    DXGI_FORMAT_A8_UNORM = 65,
    DXGI_FORMAT_BC1_TYPELESS = 70,
    DXGI_FORMAT_BC1_UNORM = 71,
    DXGI_FORMAT_BC1_UNORM_SRGB = 72,
    DXGI_FORMAT_BC2_TYPELESS = 73,
    DXGI_FORMAT_BC2_UNORM = 74,
    DXGI_FORMAT_BC2_UNORM_SRGB = 75,
    DXGI_FORMAT_BC3_TYPELESS = 76,
    DXGI_FORMAT_BC3_UNORM = 77,
    DXGI_FORMAT_BC3_UNORM_SRGB = 78,
    DXGI_FORMAT_BC4_TYPELESS = 79,
    DXGI_FORMAT_BC4_UNORM = 80,
    DXGI_FORMAT_BC4_SNORM = 81,
    DXGI_FORMAT_BC5_TYPELESS = 82,
    DXGI_FORMAT_BC5_UNORM = 83,
    DXGI_FORMAT_BC5_SNORM = 84,
    DXGI_FORMAT_B8G8R8A8_UNORM = 87,
    DXGI_FORMAT_B8G8R8A8_TYPELESS = 90,
    DXGI_FORMAT_B8G8R8A8_UNORM_SRGB = 91,
};

enum DXGI_MODE_SCANLINE_ORDER : u32 {
    DXGI_MODE_SCANLINE_ORDER_UNSPECIFIED = 0,
    DXGI_MODE_SCANLINE_ORDER_PROGRESSIVE = 1,
};
enum DXGI_MODE_SCALING : u32 {
    DXGI_MODE_SCALING_UNSPECIFIED = 0,
    DXGI_MODE_SCALING_CENTERED = 1,
    DXGI_MODE_SCALING_STRETCHED = 2,
};
enum DXGI_MODE_ROTATION : u32 {
    DXGI_MODE_ROTATION_UNSPECIFIED = 0,
    DXGI_MODE_ROTATION_IDENTITY = 1,
};
enum DXGI_SWAP_EFFECT : u32 {
    DXGI_SWAP_EFFECT_DISCARD = 0,
    DXGI_SWAP_EFFECT_SEQUENTIAL = 1,
};

using DXGI_USAGE = u32;
constexpr DXGI_USAGE DXGI_USAGE_SHADER_INPUT = 0x10;
constexpr DXGI_USAGE DXGI_USAGE_RENDER_TARGET_OUTPUT = 0x20;

constexpr UINT DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH = 2;
constexpr UINT DXGI_ENUM_MODES_INTERLACED = 1;
constexpr UINT DXGI_ENUM_MODES_SCALING = 2;
constexpr UINT DXGI_MWA_NO_WINDOW_CHANGES = 1;
constexpr UINT DXGI_MWA_NO_ALT_ENTER = 2;

struct DXGI_RATIONAL {
    UINT Numerator;
    UINT Denominator;
};

struct DXGI_MODE_DESC {
    UINT Width;
    UINT Height;
    DXGI_RATIONAL RefreshRate;
    DXGI_FORMAT Format;
    DXGI_MODE_SCANLINE_ORDER ScanlineOrdering;
    DXGI_MODE_SCALING Scaling;
};

struct DXGI_SAMPLE_DESC {
    UINT Count;
    UINT Quality;
};

struct DXGI_SWAP_CHAIN_DESC {
    DXGI_MODE_DESC BufferDesc;
    DXGI_SAMPLE_DESC SampleDesc;
    DXGI_USAGE BufferUsage;
    UINT BufferCount;
    HWND OutputWindow;
    BOOL Windowed;
    DXGI_SWAP_EFFECT SwapEffect;
    UINT Flags;
};

struct LUID {
    u32 LowPart;
    i32 HighPart;
};

struct DXGI_ADAPTER_DESC {
    WCHAR Description[128];
    UINT VendorId;
    UINT DeviceId;
    UINT SubSysId;
    UINT Revision;
    SIZE_T DedicatedVideoMemory;
    SIZE_T DedicatedSystemMemory;
    SIZE_T SharedSystemMemory;
    LUID AdapterLuid;
};

struct DXGI_OUTPUT_DESC {
    WCHAR DeviceName[32];
    RECT DesktopCoordinates;
    BOOL AttachedToDesktop;
    DXGI_MODE_ROTATION Rotation;
    HMONITOR Monitor;
};

class IDXGIOutput : public IUnknown {
public:
    virtual HRESULT GetDesc(DXGI_OUTPUT_DESC *out_desc) = 0;
    /// With `out_modes` null, writes the number of modes to `*io_count`; otherwise fills up
    /// to `*io_count` modes and writes how many were filled.
    virtual HRESULT GetDisplayModeList(DXGI_FORMAT format, UINT flags, UINT *io_count, DXGI_MODE_DESC *out_modes) = 0;

protected:
    ~IDXGIOutput() = default;
};

class IDXGIAdapter : public IUnknown {
public:
    /// DXGI_ERROR_NOT_FOUND past the last output.
    virtual HRESULT EnumOutputs(UINT output, IDXGIOutput **out_output) = 0;
    virtual HRESULT GetDesc(DXGI_ADAPTER_DESC *out_desc) = 0;

protected:
    ~IDXGIAdapter() = default;
};

class IDXGISwapChain : public IUnknown {
public:
    virtual HRESULT Present(UINT sync_interval, UINT flags) = 0;
    /// Adds a reference to the back buffer (`riid` IID_ID3D11Texture2D).
    virtual HRESULT GetBuffer(UINT buffer, REFIID riid, void **out_surface) = 0;
    virtual HRESULT SetFullscreenState(BOOL fullscreen, IDXGIOutput *target) = 0;
    /// `out_target` (may be null) receives a reference to the output when full screen.
    virtual HRESULT GetFullscreenState(BOOL *out_fullscreen, IDXGIOutput **out_target) = 0;
    virtual HRESULT GetDesc(DXGI_SWAP_CHAIN_DESC *out_desc) = 0;
    /// Fails with DXGI_ERROR_INVALID_CALL while references to the back buffer are held.
    /// Width and height 0 take the window's client size; count 0 and format UNKNOWN keep.
    virtual HRESULT ResizeBuffers(UINT buffer_count, UINT width, UINT height, DXGI_FORMAT format, UINT flags) = 0;
    virtual HRESULT ResizeTarget(const DXGI_MODE_DESC *target) = 0;

protected:
    ~IDXGISwapChain() = default;
};

class IDXGIFactory : public IUnknown {
public:
    /// DXGI_ERROR_NOT_FOUND past the last adapter.
    virtual HRESULT EnumAdapters(UINT adapter, IDXGIAdapter **out_adapter) = 0;
    virtual HRESULT MakeWindowAssociation(HWND window, UINT flags) = 0;
    /// `device` is the ID3D11Device the swap chain presents for.
    virtual HRESULT CreateSwapChain(IUnknown *device, DXGI_SWAP_CHAIN_DESC *desc, IDXGISwapChain **out_swap_chain) = 0;

protected:
    ~IDXGIFactory() = default;
};

/// Creates a factory (`riid` IID_IDXGIFactory); safe from any thread.
HRESULT CreateDXGIFactory(REFIID riid, void **out_factory);

} // namespace tallow
