// The layer's entry points pick the backend. Only the headless backend exists so far; a
// drawing backend plugs in here without the engine noticing.
#include "platform/d3d11/headless_internal.h"

namespace tallow {

HRESULT CreateDXGIFactory(REFIID riid, void **out_factory) { return d3d11::headless_create_factory(riid, out_factory); }

HRESULT D3D11CreateDevice(IDXGIAdapter *adapter, D3D_DRIVER_TYPE driver_type, HMODULE software, UINT flags,
                          const D3D_FEATURE_LEVEL *levels, UINT level_count, UINT sdk_version,
                          ID3D11Device **out_device, D3D_FEATURE_LEVEL *out_level, ID3D11DeviceContext **out_context)
{
    return d3d11::headless_create_device(adapter, driver_type, software, flags, levels, level_count, sdk_version,
                                         out_device, out_level, out_context);
}

} // namespace tallow
