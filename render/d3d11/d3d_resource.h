#pragma once
// The Direct3D resource behind a texture, render target or buffer, with the dimension of
// its main shader-resource view. Made and destroyed by the creators through their own
// allocator; the destructor releases the resource when owned.

#include "foundation/types.h"
#include "platform/d3d11/d3d11_shim.h"
#include "render/d3d11/owned_com_ptr.h"

namespace tallow::render::d3d11 {

class D3DResource {
  public:
    virtual ~D3DResource() = default;
    /// The resource as the copy and view calls take it; null when creation failed.
    virtual ID3D11Resource *resource() const = 0;

    u32 view_dimension = 0; ///< D3D11_SRV_DIMENSION of the main view (4 2D, 5 array, 9 cube, 10 cube array)
};

class D3DTexture2D final : public D3DResource {
  public:
    ID3D11Resource *resource() const override { return texture.get(); } // See D3DResource
    OwnedComPtr<ID3D11Texture2D> texture;
};

class D3DBuffer final : public D3DResource {
  public:
    ID3D11Resource *resource() const override { return buffer.get(); } // See D3DResource
    OwnedComPtr<ID3D11Buffer> buffer;
};

} // namespace tallow::render::d3d11
