#pragma once
// Makes the Direct3D side of textures and render targets: the 2D texture (or structured
// buffer) and every view the pipeline may bind, kept in the manager's records.
//
//   D3DTextureCreator creator(allocator, device, feature_level);
//   TextureRecord record(allocator);
//   creator.create_texture(record, desc, subresources, count);   // texture + two views
//   creator.update_texture(context, record, desc, data, count);
//   creator.release_texture(record);
//
// Descriptions are checked before anything is made: an unknown format code, an image
// type other than 2D or cube, a zero size or a subresource list of the wrong length is
// refused with a log line and makes nothing. Direct3D creation failures leave null
// interfaces, which the draw code treats as absent. Render thread only.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"
#include "platform/d3d11/d3d11_shim.h"
#include "render/d3d11/d3d_resource.h"
#include "render/d3d11/owned_com_ptr.h"

namespace tallow::render::d3d11 {

constexpr u32 image_type_2d = 0;
constexpr u32 image_type_cube = 2;

/// What the creator reads of a front-end texture.
struct TextureDesc {
    u32 format = 0;     ///< engine format code 0-14
    u32 image_type = 0; ///< 0 2D, 2 cube
    u32 width = 0;
    u32 height = 0;
    u32 array_size = 1; ///< 6 per cube
    u32 mip_levels = 1;
};

/// What the creator reads of a front-end render target (or its copy-cache twin).
struct RenderTargetDesc {
    u32 format = 15;
    u32 image_type = 0;
    u32 width = 0;
    u32 height = 0;
    u32 array_size = 1;
    u32 sample_count = 1;
    u32 sample_quality = 0;
    bool multisampled = false;
};

struct TextureRecord {
    D3DTexture2D *object = nullptr;
    OwnedComPtr<ID3D11ShaderResourceView> linear_view;
    OwnedComPtr<ID3D11ShaderResourceView> srgb_view; ///< owns the linear view when the formats agree
    bool valid = false;
    u32 byte_size = 0; ///< bytes of all subresources when initial data was given
    TextureDesc desc;  ///< the description the texture was made from
};

struct RenderTargetRecord {
    u32 kind = 0xFFFFFFFF; ///< copy of the handle record
    u32 id = 0xFFFFFFFF;
    D3DResource *object = nullptr; ///< D3DTexture2D, or D3DBuffer for a buffer target
    Array<OwnedComPtr<ID3D11RenderTargetView>> linear_targets; ///< one per array slice
    Array<OwnedComPtr<ID3D11RenderTargetView>> srgb_targets;   ///< one per array slice
    Array<OwnedComPtr<ID3D11DepthStencilView>> depth_targets;  ///< one per array slice
    OwnedComPtr<ID3D11ShaderResourceView> linear_view;
    OwnedComPtr<ID3D11ShaderResourceView> srgb_view;
    OwnedComPtr<ID3D11UnorderedAccessView> unordered_view;
    bool alive = false;
    bool is_depth = false;  ///< formats 3 and 10
    u32 byte_size = 0;      ///< bytes of a buffer target's data
    RenderTargetDesc desc;  ///< the description the objects were made from
    /// Set by the resource manager each time it makes a target (never 0 there, 0 for
    /// records it did not make): what a render context keeps to know the target it bound
    /// is still the one under the handle.
    u32 serial = 0;

    explicit RenderTargetRecord(Allocator &allocator)
        : linear_targets(allocator), srgb_targets(allocator), depth_targets(allocator)
    {
    }
};

class D3DTextureCreator {
  public:
    /// `device` must outlive the creator; the creator's objects come from its own trace
    /// allocator "D3DTextureCreator" over `parent`.
    D3DTextureCreator(Allocator &parent, ID3D11Device *device, D3D_FEATURE_LEVEL feature_level);
    ~D3DTextureCreator();
    D3DTextureCreator(const D3DTextureCreator &) = delete;
    D3DTextureCreator &operator=(const D3DTextureCreator &) = delete;

    /// Makes the texture and its linear and sRGB views. `subresources` (slice-major, mips
    /// within a slice) may be null for no initial data; otherwise `count` must be
    /// array_size x mip_levels. Format 0 pixels are stored B, G, R, A by the front end and
    /// are swapped into a scratch copy; the caller's bytes are never written. Returns
    /// false (record untouched) for a refused description.
    bool create_texture(TextureRecord &record, const TextureDesc &desc, const void *const *subresources, u32 count);

    /// Rewrites the mips of slice 0 of a 2D texture from `data` (one pointer per mip,
    /// `count` of them, at most mip_levels) on `context`, with the sizes it was made with.
    /// Cubes are not updated.
    void update_texture(ID3D11DeviceContext *context, TextureRecord &record, const void *const *data, u32 count);

    /// Destroys the texture and both views; the record stays usable for a new create.
    void release_texture(TextureRecord &record);

    /// Kinds 1 and 2 (the caller resolves a dependent target's size first). Format 12
    /// makes a structured buffer target. False for a refused description.
    bool create_render_target(RenderTargetRecord &record, const RenderTargetDesc &desc);
    /// The structured buffer of a "BUFFER_32F" target.
    bool create_buffer_target(RenderTargetRecord &record, const RenderTargetDesc &desc);
    /// Kind 3: takes buffer 0 of `swap_chain`; `out_desc` receives its size and format 0.
    bool create_back_buffer(RenderTargetRecord &record, IDXGISwapChain *swap_chain, RenderTargetDesc &out_desc);
    /// Destroys the object and every view; the view arrays keep their lengths.
    void release_render_target(RenderTargetRecord &record);

    /// Checks a render-target description; logs and returns false when it cannot be made.
    static bool is_valid_target_desc(const RenderTargetDesc &desc);
    /// Checks a texture description; logs and returns false when it cannot be made.
    static bool is_valid_texture_desc(const TextureDesc &desc);

    Allocator &allocator() { return _allocator; }
    D3D_FEATURE_LEVEL feature_level() const { return _feature_level; }

  private:
    void destroy_object(D3DResource *object);

    TraceAllocator _allocator;
    ID3D11Device *_device;
    D3D_FEATURE_LEVEL _feature_level;
};

} // namespace tallow::render::d3d11
