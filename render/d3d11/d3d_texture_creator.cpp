#include "render/d3d11/d3d_texture_creator.h"

#include "foundation/log.h"
#include "foundation/memory/temp_allocator.h"
#include "render/d3d11/texture_format.h"

#include <cstring>

namespace tallow::render::d3d11 {
namespace {

// Direct3D 11's own limits; a description past them cannot be made.
constexpr u32 max_texture_extent = 16384;
constexpr u32 max_array_size = 2048;
constexpr u32 max_mip_levels = 15;

const char *const log_category = "d3d11";

template <typename T> void reset_all(Array<OwnedComPtr<T>> &views)
{
    for (auto &view : views)
        view.reset();
}

/// Render target and depth stencil view descriptions name a slice alike; only their dimension
/// values differ.
struct TargetDimensions {
    u32 texture2d, texture2d_ms, texture2d_array, texture2d_ms_array;
};
constexpr TargetDimensions render_target_dimensions = {D3D11_RTV_DIMENSION_TEXTURE2D, D3D11_RTV_DIMENSION_TEXTURE2DMS,
                                                       D3D11_RTV_DIMENSION_TEXTURE2DARRAY,
                                                       D3D11_RTV_DIMENSION_TEXTURE2DMSARRAY};
constexpr TargetDimensions depth_stencil_dimensions = {D3D11_DSV_DIMENSION_TEXTURE2D, D3D11_DSV_DIMENSION_TEXTURE2DMS,
                                                       D3D11_DSV_DIMENSION_TEXTURE2DARRAY,
                                                       D3D11_DSV_DIMENSION_TEXTURE2DMSARRAY};

/// Points a target view description at `slice` of the texture's `slices` (the whole texture
/// when it has one).
template <typename Desc> void target_slice(Desc &desc, const TargetDimensions &dimensions, bool ms, u32 slices, u32 slice)
{
    using Dimension = decltype(desc.ViewDimension);
    if (slices < 2) {
        desc.ViewDimension = Dimension(ms ? dimensions.texture2d_ms : dimensions.texture2d);
        desc.Texture2D.MipSlice = 0;
    } else if (ms) {
        desc.ViewDimension = Dimension(dimensions.texture2d_ms_array);
        desc.Texture2DMSArray.FirstArraySlice = slice;
        desc.Texture2DMSArray.ArraySize = 1;
    } else {
        desc.ViewDimension = Dimension(dimensions.texture2d_array);
        desc.Texture2DArray.MipSlice = 0;
        desc.Texture2DArray.FirstArraySlice = slice;
        desc.Texture2DArray.ArraySize = 1;
    }
}

} // namespace

D3DTextureCreator::D3DTextureCreator(Allocator &parent, ID3D11Device *device, D3D_FEATURE_LEVEL feature_level)
    : _allocator("D3DTextureCreator", parent), _device(device), _feature_level(feature_level)
{
}

D3DTextureCreator::~D3DTextureCreator() = default;

bool D3DTextureCreator::is_valid_texture_desc(const TextureDesc &desc)
{
    if (!is_known_texture_format(desc.format)) {
        log_message(log_category, "texture refused: unknown format code %u (0-14 are known)", desc.format);
        return false;
    }
    if (desc.width == 0 || desc.height == 0 || desc.width > max_texture_extent || desc.height > max_texture_extent ||
        desc.array_size == 0 || desc.array_size > max_array_size || desc.mip_levels == 0 ||
        desc.mip_levels > max_mip_levels) {
        log_message(log_category, "texture refused: %ux%u, %u slices, %u mips is outside the device's limits",
                    desc.width, desc.height, desc.array_size, desc.mip_levels);
        return false;
    }
    if (desc.image_type == image_type_cube && (desc.array_size % 6 != 0 || desc.width != desc.height)) {
        log_message(log_category, "cube texture refused: %ux%u with %u slices (square, 6 slices per cube)",
                    desc.width, desc.height, desc.array_size);
        return false;
    }
    return true;
}

bool D3DTextureCreator::is_valid_target_desc(const RenderTargetDesc &desc)
{
    if (!is_known_texture_format(desc.format)) {
        log_message(log_category, "render target refused: unknown format code %u (0-14 are known)", desc.format);
        return false;
    }
    if (desc.width == 0 || desc.height == 0 || desc.width > max_texture_extent || desc.height > max_texture_extent ||
        desc.array_size == 0 || desc.array_size > max_array_size) {
        log_message(log_category, "render target refused: %ux%u with %u slices is outside the device's limits",
                    desc.width, desc.height, desc.array_size);
        return false;
    }
    if (desc.image_type != image_type_2d && desc.image_type != image_type_cube) {
        log_message(log_category, "render target refused: image type %u (2D and cube are supported)",
                    desc.image_type);
        return false;
    }
    if (desc.image_type == image_type_cube && (desc.array_size % 6 != 0 || desc.width != desc.height)) {
        log_message(log_category, "cube render target refused: %ux%u with %u slices", desc.width, desc.height,
                    desc.array_size);
        return false;
    }
    if (desc.multisampled && (desc.sample_count == 0 || desc.sample_count > 32)) {
        log_message(log_category, "render target refused: sample count %u", desc.sample_count);
        return false;
    }
    // The device makes no multisampled cube, and no view of one would fit it.
    if (desc.image_type == image_type_cube && desc.multisampled && desc.sample_count > 1) {
        log_message(log_category, "cube render target refused: %u samples (cubes have one sample; turn off "
                    "multisampling)", desc.sample_count);
        return false;
    }
    return true;
}

void D3DTextureCreator::destroy_object(D3DResource *object) { delete_with_allocator<D3DResource>(_allocator, object); }

bool D3DTextureCreator::create_texture(TextureRecord &record, const TextureDesc &desc, const void *const *subresources,
                                       u32 count)
{
    if (!is_valid_texture_desc(desc))
        return false;
    const u32 subresource_count = desc.array_size * desc.mip_levels;
    if (subresources && count != subresource_count) {
        log_message(log_category, "texture refused: %u subresources given, %u slices x %u mips expected", count,
                    desc.array_size, desc.mip_levels);
        return false;
    }
    const u64 total = subresources ? subresource_total_bytes(desc.format, desc.width, desc.height, desc.array_size,
                                                             desc.mip_levels)
                                   : 0;
    if (total > 0xFFFFFFFFull) {
        log_message(log_category, "texture refused: %llu bytes of data", (unsigned long long)total);
        return false;
    }
    if (record.object)
        release_texture(record);

    // Image types other than 2D and cube (a volume) have no device form: the record is
    // valid and empty, and binds as nothing.
    if (desc.image_type != image_type_2d && desc.image_type != image_type_cube) {
        record.valid = true;
        record.byte_size = u32(total);
        record.desc = desc;
        return true;
    }

    TempAllocator scratch;
    Array<D3D11_SUBRESOURCE_DATA> initial(scratch);
    if (subresources) {
        initial.resize(subresource_count);
        if (initial.size() != subresource_count) {
            log_message(log_category, "texture refused: no scratch memory for %u subresources", subresource_count);
            return false;
        }
        for (u32 slice = 0; slice < desc.array_size; ++slice) {
            for (u32 mip = 0; mip < desc.mip_levels; ++mip) {
                const u32 i = slice * desc.mip_levels + mip;
                SubresourcePitch pitch = subresource_pitch(desc.format, desc.width, desc.height, mip);
                const void *pixels = subresources[i];
                if (desc.format == 0 && pixels) {
                    // Stored B, G, R, A; the device wants R, G, B, A. Swapped in a copy so
                    // the caller can hand the same bytes to a second creation.
                    const u64 bytes = u64(pitch.row_pitch) * pitch.rows;
                    u8 *copy = static_cast<u8 *>(scratch.allocate(bytes, 4));
                    if (!copy) {
                        log_message(log_category, "texture refused: no scratch memory for %llu bytes",
                                    (unsigned long long)bytes);
                        return false;
                    }
                    memcpy(copy, pixels, bytes);
                    for (u64 p = 0; p + 3 < bytes; p += 4) {
                        u8 blue = copy[p];
                        copy[p] = copy[p + 2];
                        copy[p + 2] = blue;
                    }
                    pixels = copy;
                }
                initial[i].pSysMem = pixels;
                initial[i].SysMemPitch = pitch.row_pitch;
                initial[i].SysMemSlicePitch = 0;
            }
        }
    }

    D3DTexture2D *object = make_new<D3DTexture2D>(_allocator);
    if (!object) {
        log_message(log_category, "texture not made: out of memory");
        return false;
    }
    const bool cube = desc.image_type == image_type_cube;
    D3D11_TEXTURE2D_DESC texture_desc{};
    texture_desc.Width = desc.width;
    texture_desc.Height = desc.height;
    texture_desc.MipLevels = desc.mip_levels;
    texture_desc.ArraySize = desc.array_size;
    texture_desc.Format = typeless_format(desc.format);
    texture_desc.SampleDesc.Count = 1;
    texture_desc.SampleDesc.Quality = 0;
    texture_desc.Usage = D3D11_USAGE_DEFAULT;
    texture_desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    texture_desc.CPUAccessFlags = 0;
    texture_desc.MiscFlags = cube ? UINT(D3D11_RESOURCE_MISC_TEXTURECUBE) : 0u;
    _device->CreateTexture2D(&texture_desc, subresources ? initial.data() : nullptr, object->texture.put());
    object->view_dimension = D3D11_SRV_DIMENSION_TEXTURE2D;

    D3D11_SHADER_RESOURCE_VIEW_DESC view_desc{};
    view_desc.Format = view_format(desc.format, false);
    if (cube) {
        view_desc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURECUBE;
        view_desc.TextureCube.MostDetailedMip = 0;
        view_desc.TextureCube.MipLevels = desc.mip_levels;
    } else {
        view_desc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
        view_desc.Texture2D.MostDetailedMip = 0;
        view_desc.Texture2D.MipLevels = desc.mip_levels;
    }
    if (object->texture) {
        _device->CreateShaderResourceView(object->texture.get(), &view_desc, record.linear_view.put());
        if (view_format(desc.format, true) != view_desc.Format) {
            view_desc.Format = view_format(desc.format, true);
            _device->CreateShaderResourceView(object->texture.get(), &view_desc, record.srgb_view.put());
        } else {
            record.srgb_view.take_from(record.linear_view);
        }
    }
    record.object = object;
    record.valid = true;
    record.byte_size = u32(total);
    record.desc = desc;
    return true;
}

void D3DTextureCreator::update_texture(ID3D11DeviceContext *context, TextureRecord &record, const void *const *data,
                                       u32 count)
{
    const TextureDesc &desc = record.desc;
    if (!record.valid || !record.object || !record.object->texture || !data || !context)
        return;
    if (desc.image_type != image_type_2d || !is_known_texture_format(desc.format))
        return;
    const u32 mips = count < desc.mip_levels ? count : desc.mip_levels;
    for (u32 mip = 0; mip < mips; ++mip) {
        if (!data[mip])
            continue;
        // Block-compressed mips are updated by block rows, like their creation.
        SubresourcePitch pitch = subresource_pitch(desc.format, desc.width, desc.height, mip);
        context->UpdateSubresource(record.object->texture.get(), mip, nullptr, data[mip], pitch.row_pitch, 0);
    }
}

void D3DTextureCreator::release_texture(TextureRecord &record)
{
    destroy_object(record.object);
    record.object = nullptr;
    record.byte_size = 0;
    record.linear_view.reset();
    record.srgb_view.reset();
    record.valid = false;
}

bool D3DTextureCreator::create_render_target(RenderTargetRecord &record, const RenderTargetDesc &desc)
{
    if (!is_valid_target_desc(desc))
        return false;
    if (desc.format == texture_format_buffer_32f)
        return create_buffer_target(record, desc);
    if (record.object)
        release_render_target(record);

    D3DTexture2D *object = make_new<D3DTexture2D>(_allocator);
    if (!object) {
        log_message(log_category, "render target not made: out of memory");
        return false;
    }
    const bool cube = desc.image_type == image_type_cube;
    const bool depth = desc.format == texture_format_depth_stencil || desc.format == texture_format_shadow_map;
    // One sample is a single-sampled texture, whatever the flag says: its views must use the
    // single-sample dimensions (the device refuses multisampled views of it).
    const bool ms = desc.multisampled && desc.sample_count > 1;
    const u32 slices = desc.array_size;
    const DXGI_FORMAT typeless = typeless_format(desc.format);
    const DXGI_FORMAT linear = view_format(desc.format, false);
    const DXGI_FORMAT srgb = view_format(desc.format, true);

    D3D11_TEXTURE2D_DESC texture_desc{};
    texture_desc.Width = desc.width;
    texture_desc.Height = desc.height;
    texture_desc.MipLevels = 1;
    texture_desc.ArraySize = slices;
    texture_desc.Format = typeless;
    texture_desc.SampleDesc.Count = ms ? desc.sample_count : 1;
    texture_desc.SampleDesc.Quality = ms ? desc.sample_quality : 0;
    texture_desc.Usage = D3D11_USAGE_DEFAULT;
    texture_desc.CPUAccessFlags = 0;
    texture_desc.MiscFlags = cube ? UINT(D3D11_RESOURCE_MISC_TEXTURECUBE) : 0u;
    // Multisampled resources cannot have unordered access.
    const bool unordered = !depth && !ms && _feature_level >= D3D_FEATURE_LEVEL_11_0;
    if (depth)
        texture_desc.BindFlags = D3D11_BIND_DEPTH_STENCIL | D3D11_BIND_SHADER_RESOURCE;
    else
        texture_desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE |
                                 (unordered ? UINT(D3D11_BIND_UNORDERED_ACCESS) : 0u);
    _device->CreateTexture2D(&texture_desc, nullptr, object->texture.put());
    ID3D11Texture2D *texture = object->texture.get();

    record.is_depth = depth;
    record.byte_size = 0;
    record.desc = desc;
    if (texture) {
        // Shader-resource views: the dimension matches the object's view_dimension, so a
        // multi-slice target reads as the array it is.
        D3D11_SHADER_RESOURCE_VIEW_DESC view_desc{};
        view_desc.Format = linear;
        if (cube && slices > 6) {
            view_desc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURECUBEARRAY;
            view_desc.TextureCubeArray.MostDetailedMip = 0;
            view_desc.TextureCubeArray.MipLevels = 1;
            view_desc.TextureCubeArray.First2DArrayFace = 0;
            view_desc.TextureCubeArray.NumCubes = slices / 6;
        } else if (cube) {
            view_desc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURECUBE;
            view_desc.TextureCube.MostDetailedMip = 0;
            view_desc.TextureCube.MipLevels = 1;
        } else if (ms && slices > 1) {
            view_desc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2DMSARRAY;
            view_desc.Texture2DMSArray.FirstArraySlice = 0;
            view_desc.Texture2DMSArray.ArraySize = slices;
        } else if (ms) {
            view_desc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2DMS;
        } else if (slices > 1) {
            view_desc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2DARRAY;
            view_desc.Texture2DArray.MostDetailedMip = 0;
            view_desc.Texture2DArray.MipLevels = 1;
            view_desc.Texture2DArray.FirstArraySlice = 0;
            view_desc.Texture2DArray.ArraySize = slices;
        } else {
            view_desc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
            view_desc.Texture2D.MostDetailedMip = 0;
            view_desc.Texture2D.MipLevels = 1;
        }
        _device->CreateShaderResourceView(texture, &view_desc, record.linear_view.put());
        if (srgb != linear) {
            view_desc.Format = srgb;
            _device->CreateShaderResourceView(texture, &view_desc, record.srgb_view.put());
        } else {
            record.srgb_view.take_from(record.linear_view);
        }

        if (depth) {
            record.linear_targets.resize(0);
            record.srgb_targets.resize(0);
            record.depth_targets.resize(slices);
            D3D11_DEPTH_STENCIL_VIEW_DESC depth_desc{};
            depth_desc.Format = depth_view_format(typeless);
            depth_desc.Flags = 0;
            for (u32 i = 0; i < record.depth_targets.size(); ++i) {
                target_slice(depth_desc, depth_stencil_dimensions, ms, slices, i);
                _device->CreateDepthStencilView(texture, &depth_desc, record.depth_targets[i].put());
            }
        } else {
            record.depth_targets.resize(0);
            record.linear_targets.resize(slices);
            record.srgb_targets.resize(slices);
            const u32 made = record.linear_targets.size() < record.srgb_targets.size() ? record.linear_targets.size()
                                                                                      : record.srgb_targets.size();
            D3D11_RENDER_TARGET_VIEW_DESC target_desc{};
            for (u32 pass = 0; pass < 2; ++pass) {
                const bool srgb_pass = pass == 1;
                if (srgb_pass && srgb == linear) {
                    for (u32 i = 0; i < made; ++i)
                        record.srgb_targets[i].take_from(record.linear_targets[i]);
                    break;
                }
                target_desc.Format = srgb_pass ? srgb : linear;
                for (u32 i = 0; i < made; ++i) {
                    target_slice(target_desc, render_target_dimensions, ms, slices, i);
                    auto &slot = srgb_pass ? record.srgb_targets[i] : record.linear_targets[i];
                    _device->CreateRenderTargetView(texture, &target_desc, slot.put());
                }
            }
            if (unordered) {
                // The whole array: a compute pass writes every slice.
                D3D11_UNORDERED_ACCESS_VIEW_DESC unordered_desc{};
                unordered_desc.Format = linear;
                if (slices > 1) {
                    unordered_desc.ViewDimension = D3D11_UAV_DIMENSION_TEXTURE2DARRAY;
                    unordered_desc.Texture2DArray.MipSlice = 0;
                    unordered_desc.Texture2DArray.FirstArraySlice = 0;
                    unordered_desc.Texture2DArray.ArraySize = slices;
                } else {
                    unordered_desc.ViewDimension = D3D11_UAV_DIMENSION_TEXTURE2D;
                    unordered_desc.Texture2D.MipSlice = 0;
                }
                _device->CreateUnorderedAccessView(texture, &unordered_desc, record.unordered_view.put());
            }
        }
    }
    if (!cube)
        object->view_dimension = slices > 1 ? D3D11_SRV_DIMENSION_TEXTURE2DARRAY : D3D11_SRV_DIMENSION_TEXTURE2D;
    else
        object->view_dimension = slices > 6 ? D3D11_SRV_DIMENSION_TEXTURECUBEARRAY : D3D11_SRV_DIMENSION_TEXTURECUBE;
    record.object = object;
    record.alive = true;
    return true;
}

bool D3DTextureCreator::create_buffer_target(RenderTargetRecord &record, const RenderTargetDesc &desc)
{
    if (!is_valid_target_desc(desc))
        return false;
    if (record.object)
        release_render_target(record);
    D3DBuffer *object = make_new<D3DBuffer>(_allocator);
    if (!object) {
        log_message(log_category, "buffer target not made: out of memory");
        return false;
    }
    const u32 element_size = bits_per_pixel(desc.format) / 8;
    const u32 elements = desc.width * desc.height; // both at most 16384: no wrap
    D3D11_BUFFER_DESC buffer_desc{};
    buffer_desc.ByteWidth = elements * element_size;
    buffer_desc.Usage = D3D11_USAGE_DEFAULT;
    buffer_desc.BindFlags = D3D11_BIND_UNORDERED_ACCESS | D3D11_BIND_SHADER_RESOURCE;
    buffer_desc.CPUAccessFlags = 0;
    buffer_desc.MiscFlags = D3D11_RESOURCE_MISC_BUFFER_STRUCTURED;
    buffer_desc.StructureByteStride = element_size;
    _device->CreateBuffer(&buffer_desc, nullptr, object->buffer.put());
    object->view_dimension = 0;
    if (object->buffer) {
        D3D11_SHADER_RESOURCE_VIEW_DESC view_desc{};
        view_desc.Format = DXGI_FORMAT_UNKNOWN;
        view_desc.ViewDimension = D3D11_SRV_DIMENSION_BUFFER;
        view_desc.Buffer.FirstElement = 0;
        view_desc.Buffer.NumElements = elements;
        _device->CreateShaderResourceView(object->buffer.get(), &view_desc, record.linear_view.put());
        D3D11_UNORDERED_ACCESS_VIEW_DESC unordered_desc{};
        unordered_desc.Format = DXGI_FORMAT_UNKNOWN;
        unordered_desc.ViewDimension = D3D11_UAV_DIMENSION_BUFFER;
        unordered_desc.Buffer.FirstElement = 0;
        unordered_desc.Buffer.NumElements = elements;
        unordered_desc.Buffer.Flags = 0;
        _device->CreateUnorderedAccessView(object->buffer.get(), &unordered_desc, record.unordered_view.put());
    }
    record.linear_targets.resize(0);
    record.object = object;
    record.alive = true;
    record.is_depth = false;
    record.byte_size = elements * element_size;
    record.desc = desc;
    return true;
}

bool D3DTextureCreator::create_back_buffer(RenderTargetRecord &record, IDXGISwapChain *swap_chain,
                                           RenderTargetDesc &out_desc)
{
    if (!swap_chain) {
        log_message(log_category, "back buffer not made: the swap chain does not exist");
        return false;
    }
    DXGI_SWAP_CHAIN_DESC chain_desc{};
    if (FAILED(swap_chain->GetDesc(&chain_desc))) {
        log_message(log_category, "back buffer not made: the swap chain's description is unavailable");
        return false;
    }
    if (record.object)
        release_render_target(record);
    out_desc.format = 0;
    out_desc.image_type = image_type_2d;
    out_desc.width = chain_desc.BufferDesc.Width;
    out_desc.height = chain_desc.BufferDesc.Height;
    out_desc.array_size = 1;
    out_desc.sample_count = chain_desc.SampleDesc.Count;
    out_desc.sample_quality = chain_desc.SampleDesc.Quality;
    out_desc.multisampled = chain_desc.SampleDesc.Count > 1;

    D3DTexture2D *object = make_new<D3DTexture2D>(_allocator);
    if (!object) {
        log_message(log_category, "back buffer not made: out of memory");
        return false;
    }
    void *buffer = nullptr;
    swap_chain->GetBuffer(0, IID_ID3D11Texture2D, &buffer);
    *object->texture.put() = static_cast<ID3D11Texture2D *>(buffer);
    ID3D11Texture2D *texture = object->texture.get();

    record.linear_targets.resize(1);
    record.srgb_targets.resize(1);
    record.depth_targets.resize(0);
    const bool ms = chain_desc.SampleDesc.Count > 1;
    if (texture && record.linear_targets.size() == 1 && record.srgb_targets.size() == 1) {
        D3D11_RENDER_TARGET_VIEW_DESC target_desc{};
        target_desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        target_desc.ViewDimension = ms ? D3D11_RTV_DIMENSION_TEXTURE2DMS : D3D11_RTV_DIMENSION_TEXTURE2D;
        target_desc.Texture2D.MipSlice = 0;
        _device->CreateRenderTargetView(texture, &target_desc, record.linear_targets[0].put());
        target_desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM_SRGB;
        _device->CreateRenderTargetView(texture, &target_desc, record.srgb_targets[0].put());

        D3D11_SHADER_RESOURCE_VIEW_DESC view_desc{};
        view_desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        view_desc.ViewDimension = ms ? D3D11_SRV_DIMENSION_TEXTURE2DMS : D3D11_SRV_DIMENSION_TEXTURE2D;
        view_desc.Texture2D.MostDetailedMip = 0;
        view_desc.Texture2D.MipLevels = 1;
        _device->CreateShaderResourceView(texture, &view_desc, record.linear_view.put());
    }
    object->view_dimension = ms ? D3D11_SRV_DIMENSION_TEXTURE2DMS : D3D11_SRV_DIMENSION_TEXTURE2D;
    record.object = object;
    record.alive = true;
    record.is_depth = false;
    record.byte_size = 0;
    record.desc = out_desc;
    return true;
}

void D3DTextureCreator::release_render_target(RenderTargetRecord &record)
{
    destroy_object(record.object);
    record.object = nullptr;
    // The sRGB slots may only point at the linear views: reset them first so that no
    // slot keeps a pointer to a view that is gone.
    reset_all(record.srgb_targets);
    reset_all(record.linear_targets);
    reset_all(record.depth_targets);
    record.byte_size = 0;
    record.srgb_view.reset();
    record.linear_view.reset();
    record.unordered_view.reset();
    record.alive = false;
}

} // namespace tallow::render::d3d11
