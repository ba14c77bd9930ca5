// The layer's entry points pick the backend. Only the headless backend exists so far.
#include "platform/d3d11/d3d11_shim.h"

namespace tallow {

HRESULT CreateDXGIFactory(REFIID, void **out_factory)
{
    if (out_factory) *out_factory = nullptr;
    return E_FAIL;
}

HRESULT D3D11CreateDevice(IDXGIAdapter *, D3D_DRIVER_TYPE, HMODULE, UINT, const D3D_FEATURE_LEVEL *, UINT, UINT,
                          ID3D11Device **out_device, D3D_FEATURE_LEVEL *, ID3D11DeviceContext **out_context)
{
    if (out_device) *out_device = nullptr;
    if (out_context) *out_context = nullptr;
    return E_FAIL;
}

} // namespace tallow
