// The Direct3D rules of device calls, checked once for every backend (d3d11_validation.h).
// Checks read resources only through the Direct3D interface (GetType, GetDesc), so they hold
// for any backend, and messages name no backend-specific detail.
#include "platform/d3d11/d3d11_validation.h"

#include <functional>
#include <thread>
#include <type_traits>

namespace tallow::d3d11 {
namespace {

ViewShape texture_shape(ViewShape::Fit fit, u32 dimension, u64 first_mip, u64 mip_count, u64 first_slice,
                        u64 slice_count)
{
    return {fit, dimension, first_mip, mip_count, first_slice, slice_count, 0, 0};
}

ViewShape buffer_shape(u32 dimension, u64 first_element, u64 element_count)
{
    return {ViewShape::Fit::buffer, dimension, 0, 1, 0, 1, first_element, element_count};
}

ViewShape unknown_shape(u32 dimension) { return {ViewShape::Fit::unknown, dimension, 0, 1, 0, 1, 0, 0}; }

u64 srv_mip_count(UINT mip_levels) { return mip_levels == UINT(-1) ? ViewShape::all_mips : mip_levels; }

/// Render target and depth stencil views name texture slices alike; only their dimension
/// values differ.
template <class Desc>
ViewShape target_shape(const Desc &desc, u32 texture2d, u32 texture2d_array, u32 texture2d_ms, u32 texture2d_ms_array)
{
    using Fit = ViewShape::Fit;
    const u32 d = desc.ViewDimension;
    if (d == texture2d) return texture_shape(Fit::single_sample, d, desc.Texture2D.MipSlice, 1, 0, 1);
    if (d == texture2d_array)
        return texture_shape(Fit::single_sample, d, desc.Texture2DArray.MipSlice, 1,
                             desc.Texture2DArray.FirstArraySlice, desc.Texture2DArray.ArraySize);
    if (d == texture2d_ms) return texture_shape(Fit::multisample, d, 0, 1, 0, 1);
    if (d == texture2d_ms_array)
        return texture_shape(Fit::multisample, d, 0, 1, desc.Texture2DMSArray.FirstArraySlice,
                             desc.Texture2DMSArray.ArraySize);
    return unknown_shape(d);
}

/// What a view check needs to know of a resource, read through its interface.
struct ResourceFacts {
    bool is_buffer = false;
    u32 bind_flags = 0;
    DXGI_FORMAT format = DXGI_FORMAT_UNKNOWN;
    D3D11_USAGE usage = D3D11_USAGE_DEFAULT;
    u64 byte_width = 0;       // buffers
    u64 width = 0;            // textures
    u64 height = 0;
    u32 structure_stride = 0; // structured buffers
    u64 mip_levels = 1;
    u64 array_size = 1;
    u32 sample_count = 1;
    bool is_cube = false;
};

ResourceFacts facts_of(ID3D11Resource *resource)
{
    ResourceFacts facts;
    D3D11_RESOURCE_DIMENSION dimension = D3D11_RESOURCE_DIMENSION_UNKNOWN;
    resource->GetType(&dimension);
    if (dimension == D3D11_RESOURCE_DIMENSION_BUFFER) {
        D3D11_BUFFER_DESC desc{};
        static_cast<ID3D11Buffer *>(resource)->GetDesc(&desc);
        facts.is_buffer = true;
        facts.usage = desc.Usage;
        facts.bind_flags = desc.BindFlags;
        facts.byte_width = desc.ByteWidth;
        if (desc.MiscFlags & D3D11_RESOURCE_MISC_BUFFER_STRUCTURED) facts.structure_stride = desc.StructureByteStride;
        return facts;
    }
    D3D11_TEXTURE2D_DESC desc{};
    static_cast<ID3D11Texture2D *>(resource)->GetDesc(&desc);
    facts.usage = desc.Usage;
    facts.bind_flags = desc.BindFlags;
    facts.format = desc.Format;
    facts.width = desc.Width;
    facts.height = desc.Height;
    facts.mip_levels = desc.MipLevels;
    facts.array_size = desc.ArraySize;
    facts.sample_count = desc.SampleDesc.Count ? desc.SampleDesc.Count : 1;
    facts.is_cube = (desc.MiscFlags & D3D11_RESOURCE_MISC_TEXTURECUBE) != 0;
    return facts;
}

/// Width and height of one subresource: bytes and one row for a buffer, the mip's texels for a texture.
void subresource_extent(const ResourceFacts &facts, UINT subresource, u64 &width, u64 &height)
{
    if (facts.is_buffer) {
        width = facts.byte_width;
        height = 1;
        return;
    }
    const u64 mip = facts.mip_levels ? subresource % facts.mip_levels : 0;
    width = facts.width >> mip ? facts.width >> mip : 1;
    height = facts.height >> mip ? facts.height >> mip : 1;
}

/// A box is a non-empty range of one subresource, one slice deep (one row for a buffer).
bool box_inside(const ResourceFacts &facts, UINT subresource, const D3D11_BOX &box)
{
    if (box.right <= box.left || box.bottom <= box.top || box.front != 0 || box.back != 1) return false;
    u64 width = 0, height = 0;
    subresource_extent(facts, subresource, width, height);
    return box.right <= width && box.bottom <= height;
}

const char *kind_name(const ResourceFacts &facts) { return facts.is_buffer ? "buffer" : "texture2d"; }

bool is_depth_format(DXGI_FORMAT format)
{
    return format == DXGI_FORMAT_D32_FLOAT || format == DXGI_FORMAT_D24_UNORM_S8_UINT ||
           format == DXGI_FORMAT_D16_UNORM;
}

/// Checks a view of `resource` with the bind flag its kind needs and its description (a null
/// description is the whole resource in its own format).
template <class Desc>
bool check_view(const char *what, u32 bind_flag, ID3D11Resource *resource, bool owned, const Desc *desc)
{
    if (!resource || !owned) {
        report(Rule::invalid_call, "%s on an object that is not a resource of this backend", what);
        return false;
    }
    const ResourceFacts data = facts_of(resource);
    if (!(data.bind_flags & bind_flag)) {
        report(Rule::view_without_bind_flag, "%s on a %s whose bind flags 0x%x lack 0x%x", what, kind_name(data),
               data.bind_flags, bind_flag);
        return false;
    }
    if (bind_flag == D3D11_BIND_DEPTH_STENCIL) {
        const DXGI_FORMAT format = desc && desc->Format != DXGI_FORMAT_UNKNOWN ? desc->Format : data.format;
        if (!is_depth_format(format)) {
            report(Rule::invalid_call, "%s of format %u, which is not a depth format", what, format);
            return false;
        }
    }
    if (!desc) return true;
    const ViewShape shape = shape_of(*desc);
    bool fits = false;
    switch (shape.fit) {
    case ViewShape::Fit::buffer: fits = data.is_buffer; break;
    case ViewShape::Fit::single_sample: fits = !data.is_buffer && data.sample_count == 1; break;
    case ViewShape::Fit::multisample: fits = !data.is_buffer && data.sample_count > 1; break;
    case ViewShape::Fit::cube: fits = !data.is_buffer && data.is_cube && data.sample_count == 1; break;
    case ViewShape::Fit::unknown: break;
    }
    if (!fits) {
        report(Rule::view_dimension_mismatch, "%s of dimension %u does not fit a %s (sample count %u%s)", what,
               shape.dimension, kind_name(data), data.sample_count, data.is_cube ? ", cube" : "");
        return false;
    }
    // Every comparison below is a difference against what the resource holds, so a first
    // index near the top of its range cannot wrap past the check.
    if (data.is_buffer) {
        const DXGI_FORMAT format = desc->Format;
        const u64 element_bytes = data.structure_stride ? data.structure_stride : format_layout(format).block_bytes;
        const u64 elements = element_bytes ? data.byte_width / element_bytes : 0;
        if (shape.element_count == 0 || shape.first_element >= elements ||
            shape.element_count > elements - shape.first_element) {
            report(Rule::view_out_of_range, "%s of elements %llu+%llu on a buffer of %llu elements", what,
                   (unsigned long long)shape.first_element, (unsigned long long)shape.element_count,
                   (unsigned long long)elements);
            return false;
        }
        return true;
    }
    const u64 mips = data.mip_levels;
    const u64 slices = data.array_size;
    const bool all_mips = shape.mip_count == ViewShape::all_mips;
    if (shape.first_mip >= mips || shape.mip_count == 0 || (!all_mips && shape.mip_count > mips - shape.first_mip) ||
        shape.slice_count == 0 || shape.first_slice >= slices || shape.slice_count > slices - shape.first_slice) {
        report(Rule::view_out_of_range, "%s of mips %llu+%lld, slices %llu+%llu on a texture2d of %llu mips, %llu slices",
               what, (unsigned long long)shape.first_mip, all_mips ? -1ll : (long long)shape.mip_count,
               (unsigned long long)shape.first_slice, (unsigned long long)shape.slice_count, (unsigned long long)mips,
               (unsigned long long)slices);
        return false;
    }
    return true;
}

} // namespace

ViewShape shape_of(const D3D11_SHADER_RESOURCE_VIEW_DESC &desc)
{
    using Fit = ViewShape::Fit;
    const u32 d = desc.ViewDimension;
    switch (desc.ViewDimension) {
    case D3D11_SRV_DIMENSION_BUFFER: return buffer_shape(d, desc.Buffer.FirstElement, desc.Buffer.NumElements);
    case D3D11_SRV_DIMENSION_TEXTURE2D:
        return texture_shape(Fit::single_sample, d, desc.Texture2D.MostDetailedMip,
                             srv_mip_count(desc.Texture2D.MipLevels), 0, 1);
    case D3D11_SRV_DIMENSION_TEXTURE2DARRAY:
        return texture_shape(Fit::single_sample, d, desc.Texture2DArray.MostDetailedMip,
                             srv_mip_count(desc.Texture2DArray.MipLevels), desc.Texture2DArray.FirstArraySlice,
                             desc.Texture2DArray.ArraySize);
    case D3D11_SRV_DIMENSION_TEXTURE2DMS: return texture_shape(Fit::multisample, d, 0, 1, 0, 1);
    case D3D11_SRV_DIMENSION_TEXTURE2DMSARRAY:
        return texture_shape(Fit::multisample, d, 0, 1, desc.Texture2DMSArray.FirstArraySlice,
                             desc.Texture2DMSArray.ArraySize);
    case D3D11_SRV_DIMENSION_TEXTURECUBE:
        return texture_shape(Fit::cube, d, desc.TextureCube.MostDetailedMip, srv_mip_count(desc.TextureCube.MipLevels),
                             0, 6);
    case D3D11_SRV_DIMENSION_TEXTURECUBEARRAY:
        return texture_shape(Fit::cube, d, desc.TextureCubeArray.MostDetailedMip,
                             srv_mip_count(desc.TextureCubeArray.MipLevels), desc.TextureCubeArray.First2DArrayFace,
                             u64(desc.TextureCubeArray.NumCubes) * 6);
    default: return unknown_shape(d);
    }
}

ViewShape shape_of(const D3D11_RENDER_TARGET_VIEW_DESC &desc)
{
    if (desc.ViewDimension == D3D11_RTV_DIMENSION_BUFFER)
        return buffer_shape(desc.ViewDimension, desc.Buffer.FirstElement, desc.Buffer.NumElements);
    return target_shape(desc, D3D11_RTV_DIMENSION_TEXTURE2D, D3D11_RTV_DIMENSION_TEXTURE2DARRAY,
                        D3D11_RTV_DIMENSION_TEXTURE2DMS, D3D11_RTV_DIMENSION_TEXTURE2DMSARRAY);
}

ViewShape shape_of(const D3D11_DEPTH_STENCIL_VIEW_DESC &desc)
{
    return target_shape(desc, D3D11_DSV_DIMENSION_TEXTURE2D, D3D11_DSV_DIMENSION_TEXTURE2DARRAY,
                        D3D11_DSV_DIMENSION_TEXTURE2DMS, D3D11_DSV_DIMENSION_TEXTURE2DMSARRAY);
}

ViewShape shape_of(const D3D11_UNORDERED_ACCESS_VIEW_DESC &desc)
{
    using Fit = ViewShape::Fit;
    const u32 d = desc.ViewDimension;
    switch (desc.ViewDimension) {
    case D3D11_UAV_DIMENSION_BUFFER: return buffer_shape(d, desc.Buffer.FirstElement, desc.Buffer.NumElements);
    case D3D11_UAV_DIMENSION_TEXTURE2D: return texture_shape(Fit::single_sample, d, desc.Texture2D.MipSlice, 1, 0, 1);
    case D3D11_UAV_DIMENSION_TEXTURE2DARRAY:
        return texture_shape(Fit::single_sample, d, desc.Texture2DArray.MipSlice, 1,
                             desc.Texture2DArray.FirstArraySlice, desc.Texture2DArray.ArraySize);
    default: return unknown_shape(d);
    }
}

namespace rules {

bool create_buffer(const D3D11_BUFFER_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial_data)
{
    if (!desc || desc->ByteWidth == 0) {
        report(Rule::invalid_call, "CreateBuffer with no description or zero size");
        return false;
    }
    if (desc->Usage == D3D11_USAGE_IMMUTABLE && !(initial_data && initial_data->pSysMem)) {
        report(Rule::invalid_call, "CreateBuffer of an immutable buffer without initial data");
        return false;
    }
    return true;
}

bool create_texture2d(const D3D11_TEXTURE2D_DESC *desc)
{
    if (!desc || desc->Width == 0 || desc->Height == 0 || desc->ArraySize == 0 ||
        format_layout(desc->Format).block_bytes == 0) {
        report(Rule::invalid_call, "CreateTexture2D with a zero size or an unknown format");
        return false;
    }
    if ((desc->MiscFlags & D3D11_RESOURCE_MISC_TEXTURECUBE) && desc->ArraySize % 6 != 0) {
        report(Rule::invalid_call, "CreateTexture2D of a cube with %u slices (not a multiple of 6)", desc->ArraySize);
        return false;
    }
    return true;
}

bool create_view(ID3D11Resource *resource, bool owned, const D3D11_SHADER_RESOURCE_VIEW_DESC *desc)
{
    return check_view("CreateShaderResourceView", D3D11_BIND_SHADER_RESOURCE, resource, owned, desc);
}
bool create_view(ID3D11Resource *resource, bool owned, const D3D11_UNORDERED_ACCESS_VIEW_DESC *desc)
{
    return check_view("CreateUnorderedAccessView", D3D11_BIND_UNORDERED_ACCESS, resource, owned, desc);
}
bool create_view(ID3D11Resource *resource, bool owned, const D3D11_RENDER_TARGET_VIEW_DESC *desc)
{
    return check_view("CreateRenderTargetView", D3D11_BIND_RENDER_TARGET, resource, owned, desc);
}
bool create_view(ID3D11Resource *resource, bool owned, const D3D11_DEPTH_STENCIL_VIEW_DESC *desc)
{
    return check_view("CreateDepthStencilView", D3D11_BIND_DEPTH_STENCIL, resource, owned, desc);
}

bool create_input_layout(const D3D11_INPUT_ELEMENT_DESC *elements, UINT element_count, const void *bytecode,
                         SIZE_T length)
{
    // The runtime also matches the elements against the shader's input signature; byte code
    // is not asked for here because the OpenGL backend's shaders are source text without one.
    (void)bytecode;
    (void)length;
    if (!elements && element_count) {
        report(Rule::invalid_call, "CreateInputLayout with %u elements and no element array", element_count);
        return false;
    }
    for (UINT i = 0; i < element_count; ++i)
        if (elements[i].InputSlot >= D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT) {
            report(Rule::invalid_call, "CreateInputLayout element %u (%s) reads input slot %u of %u", i,
                   elements[i].SemanticName ? elements[i].SemanticName : "", elements[i].InputSlot,
                   D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT);
            return false;
        }
    return true;
}

bool create_shader(ObjectKind kind, const void *bytecode, SIZE_T length, D3D_FEATURE_LEVEL device_level)
{
    if (!bytecode || length == 0) {
        report(Rule::invalid_call, "%s without byte code", to_string(kind));
        return false;
    }
    D3D_FEATURE_LEVEL needed = D3D_FEATURE_LEVEL_9_1;
    if (kind == ObjectKind::geometry_shader || kind == ObjectKind::compute_shader) needed = D3D_FEATURE_LEVEL_10_0;
    if (kind == ObjectKind::hull_shader || kind == ObjectKind::domain_shader) needed = D3D_FEATURE_LEVEL_11_0;
    if (device_level < needed) {
        report(Rule::feature_level, "%s needs feature level 0x%X, the device has 0x%X", to_string(kind), needed,
               device_level);
        return false;
    }
    return true;
}

bool create_state(ObjectKind kind, const void *desc)
{
    if (!desc) {
        report(Rule::invalid_call, "%s without a description", to_string(kind));
        return false;
    }
    return true;
}

bool create_deferred_context(UINT flags)
{
    if (flags != 0) {
        report(Rule::invalid_call, "CreateDeferredContext with flags 0x%x", flags);
        return false;
    }
    return true;
}

bool update_subresource(ID3D11Resource *resource, bool owned, UINT subresource, const D3D11_BOX *box,
                        const void *data)
{
    if (!resource || !owned || !data) {
        report(Rule::invalid_call, "UpdateSubresource with no resource of this backend or no data");
        return false;
    }
    const ResourceFacts facts = facts_of(resource);
    const u64 subresources = facts.is_buffer ? 1 : facts.mip_levels * facts.array_size;
    if (subresource >= subresources) {
        report(Rule::invalid_call, "UpdateSubresource of subresource %u of a %s with %llu", subresource,
               kind_name(facts), (unsigned long long)subresources);
        return false;
    }
    if (facts.usage == D3D11_USAGE_DYNAMIC || facts.usage == D3D11_USAGE_IMMUTABLE) {
        report(Rule::update_dynamic, "UpdateSubresource on a %s with usage %u (use Map, or initial data)",
               kind_name(facts), facts.usage);
        return false;
    }
    if (box && !box_inside(facts, subresource, *box)) {
        report(Rule::copy_out_of_range, "UpdateSubresource box outside subresource %u of a %s", subresource,
               kind_name(facts));
        return false;
    }
    return true;
}

bool copy_resource(ID3D11Resource *destination, bool destination_owned, ID3D11Resource *source, bool source_owned)
{
    bool alike = destination && source && destination_owned && source_owned && destination != source;
    if (alike) {
        const ResourceFacts to = facts_of(destination), from = facts_of(source);
        const FormatLayout to_layout = format_layout(to.format), from_layout = format_layout(from.format);
        alike = to.is_buffer == from.is_buffer && to.byte_width == from.byte_width && to.width == from.width &&
                to.height == from.height && to.mip_levels == from.mip_levels && to.array_size == from.array_size &&
                to_layout.block_bytes == from_layout.block_bytes && to_layout.block_size == from_layout.block_size;
    }
    if (!alike) {
        report(Rule::copy_out_of_range, "CopyResource between unlike resources");
        return false;
    }
    return true;
}

bool map(ID3D11Resource *resource, bool owned, UINT subresource, bool has_output)
{
    bool fits = resource && owned && has_output;
    if (fits) {
        const ResourceFacts facts = facts_of(resource);
        fits = subresource < (facts.is_buffer ? 1 : facts.mip_levels * facts.array_size);
    }
    if (!fits) {
        report(Rule::invalid_call, "Map with no resource of this backend, no output or subresource %u", subresource);
        return false;
    }
    return true;
}

bool map_not_open(bool open, UINT subresource)
{
    if (open) {
        report(Rule::invalid_call, "Map of subresource %u while it is mapped", subresource);
        return false;
    }
    return true;
}

bool map_type(ID3D11Resource *resource, D3D11_MAP type, bool deferred)
{
    if (type < D3D11_MAP_READ || type > D3D11_MAP_WRITE_NO_OVERWRITE) {
        report(Rule::invalid_call, "Map of type %u, which is no map type", type);
        return false;
    }
    const ResourceFacts facts = facts_of(resource);
    u32 cpu = 0;
    if (facts.is_buffer) {
        D3D11_BUFFER_DESC desc{};
        static_cast<ID3D11Buffer *>(resource)->GetDesc(&desc);
        cpu = desc.CPUAccessFlags;
    } else {
        D3D11_TEXTURE2D_DESC desc{};
        static_cast<ID3D11Texture2D *>(resource)->GetDesc(&desc);
        cpu = desc.CPUAccessFlags;
    }
    const bool writes_dynamic = type == D3D11_MAP_WRITE_DISCARD || type == D3D11_MAP_WRITE_NO_OVERWRITE;
    const bool reads = type == D3D11_MAP_READ || type == D3D11_MAP_READ_WRITE;
    const bool writes = type != D3D11_MAP_READ;
    bool fits = false;
    if (facts.usage == D3D11_USAGE_DYNAMIC) fits = writes_dynamic && (cpu & D3D11_CPU_ACCESS_WRITE);
    else if (facts.usage == D3D11_USAGE_STAGING)
        fits = !writes_dynamic && (!reads || (cpu & D3D11_CPU_ACCESS_READ)) && (!writes || (cpu & D3D11_CPU_ACCESS_WRITE));
    if (!fits) {
        report(Rule::map_not_dynamic, "Map type %u on a %s with usage %u and CPU access 0x%x", type, kind_name(facts),
               facts.usage, cpu);
        return false;
    }
    if (deferred && facts.usage != D3D11_USAGE_DYNAMIC) {
        report(Rule::invalid_call, "Map of a staging %s on a deferred context", kind_name(facts));
        return false;
    }
    return true;
}

bool map_live(bool released)
{
    if (released) {
        report(Rule::invalid_call, "Map on a resource after its last Release");
        return false;
    }
    return true;
}

bool bind_slots(const char *what, UINT start, UINT count, UINT slots)
{
    if (start > slots || count > slots - start) {
        report(Rule::invalid_call, "%s slots %u+%u past %u", what, start, count, slots);
        return false;
    }
    return true;
}

bool bind_items(const char *what, UINT count, const void *items)
{
    if (count && !items) {
        report(Rule::invalid_call, "%s of %u with no array", what, count);
        return false;
    }
    return true;
}

void input_bound_as_output(u32 stage, UINT slot)
{
    report(Rule::input_bound_as_output,
           "shader-resource view bound to stage %u slot %u while its resource is an output; the slot is set to null",
           stage, slot);
}

bool unmap(bool was_open, UINT subresource)
{
    if (!was_open) {
        report(Rule::invalid_call, "Unmap of subresource %u that is not mapped", subresource);
        return false;
    }
    return true;
}

bool no_overwrite_after_discard(D3D11_MAP type, bool discarded)
{
    if (type == D3D11_MAP_WRITE_NO_OVERWRITE && !discarded) {
        report(Rule::no_overwrite_before_discard, "NO_OVERWRITE map in a command list before any DISCARD of its resource");
        return false;
    }
    return true;
}

bool finish_with_maps(size_t open_maps)
{
    if (open_maps) {
        report(Rule::invalid_call, "FinishCommandList with %zu subresources still mapped", open_maps);
        return false;
    }
    return true;
}

bool set_render_targets(UINT count)
{
    if (count > D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT) {
        report(Rule::invalid_call, "OMSetRenderTargets slots 0+%u past %u", count,
               D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT);
        return false;
    }
    return true;
}

bool render_target_sizes(UINT count, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth)
{
    u64 width = 0, height = 0;
    bool have_size = false, alike = true;
    for (UINT i = 0; i <= count; ++i) {
        ID3D11View *view = nullptr;
        u32 mip = 0;
        if (i < count && views && views[i]) {
            D3D11_RENDER_TARGET_VIEW_DESC desc{};
            views[i]->GetDesc(&desc);
            const bool multisampled = desc.ViewDimension == D3D11_RTV_DIMENSION_TEXTURE2DMS ||
                                      desc.ViewDimension == D3D11_RTV_DIMENSION_TEXTURE2DMSARRAY;
            mip = multisampled ? 0 : desc.Texture2D.MipSlice; // the array's MipSlice shares its place
            view = views[i];
        } else if (i == count && depth) {
            D3D11_DEPTH_STENCIL_VIEW_DESC desc{};
            depth->GetDesc(&desc);
            const bool multisampled = desc.ViewDimension == D3D11_DSV_DIMENSION_TEXTURE2DMS ||
                                      desc.ViewDimension == D3D11_DSV_DIMENSION_TEXTURE2DMSARRAY;
            mip = multisampled ? 0 : desc.Texture2D.MipSlice;
            view = depth;
        }
        if (!view) continue;
        ID3D11Resource *resource = nullptr;
        view->GetResource(&resource);
        if (!resource) continue;
        const ResourceFacts facts = facts_of(resource);
        resource->Release();
        if (facts.is_buffer) continue;
        u64 w = 0, h = 0;
        subresource_extent(facts, mip, w, h);
        if (!have_size) {
            width = w, height = h, have_size = true;
        } else if (w != width || h != height) {
            alike = false;
            report(Rule::target_size_mismatch, "output %u is %llux%llu, the first output is %llux%llu", i,
                   (unsigned long long)w, (unsigned long long)h, (unsigned long long)width,
                   (unsigned long long)height);
        }
    }
    return alike;
}

bool clear_render_target_view(bool view_owned, const FLOAT *color)
{
    if (!view_owned || !color) {
        report(Rule::invalid_call, "ClearRenderTargetView without a view or a colour");
        return false;
    }
    return true;
}

bool clear_depth_stencil_view(bool view_owned)
{
    if (!view_owned) {
        report(Rule::invalid_call, "ClearDepthStencilView without a view");
        return false;
    }
    return true;
}

bool copy_subresource_region(ID3D11Resource *destination, bool destination_owned, UINT destination_subresource,
                             UINT x, UINT y, UINT z, ID3D11Resource *source, bool source_owned,
                             UINT source_subresource, const D3D11_BOX *source_box)
{
    bool alike = destination && source && destination_owned && source_owned;
    ResourceFacts to, from;
    if (alike) {
        to = facts_of(destination);
        from = facts_of(source);
        const FormatLayout to_layout = format_layout(to.format), from_layout = format_layout(from.format);
        alike = to.is_buffer == from.is_buffer && to_layout.block_bytes == from_layout.block_bytes &&
                to_layout.block_size == from_layout.block_size &&
                destination_subresource < (to.is_buffer ? 1 : to.mip_levels * to.array_size) &&
                source_subresource < (from.is_buffer ? 1 : from.mip_levels * from.array_size);
    }
    if (!alike) {
        report(Rule::copy_out_of_range, "CopySubresourceRegion between unknown or unlike resources");
        return false;
    }
    u64 from_width = 0, from_height = 0, to_width = 0, to_height = 0;
    subresource_extent(from, source_subresource, from_width, from_height);
    subresource_extent(to, destination_subresource, to_width, to_height);
    const D3D11_BOX box = source_box ? *source_box : D3D11_BOX{0, 0, 0, UINT(from_width), UINT(from_height), 1};
    // Written as differences so a position near the top of the range cannot wrap past the check.
    const bool fits = box_inside(from, source_subresource, box) && z == 0 && x <= to_width &&
                      box.right - box.left <= to_width - x && y <= to_height && box.bottom - box.top <= to_height - y;
    if (!fits) {
        report(Rule::copy_out_of_range, "copy from subresource %u to subresource %u at %u,%u,%u is out of range",
               source_subresource, destination_subresource, x, y, z);
        return false;
    }
    return true;
}

bool execute_command_list(bool deferred, bool list_owned)
{
    if (deferred || !list_owned) {
        report(Rule::invalid_call, "ExecuteCommandList needs the immediate context and a command list");
        return false;
    }
    return true;
}

bool finish_command_list(bool deferred, bool has_output)
{
    if (!deferred || !has_output) {
        report(Rule::invalid_call, "FinishCommandList needs a deferred context and an output");
        return false;
    }
    return true;
}

bool resize_buffers(long references)
{
    if (references > 0) {
        report(Rule::resize_with_references, "ResizeBuffers with %ld back-buffer references held", references);
        return false;
    }
    return true;
}

bool create_swap_chain(bool device_owned, const DXGI_SWAP_CHAIN_DESC *desc, bool has_output)
{
    if (!device_owned || !desc || !has_output) {
        report(Rule::invalid_call, "CreateSwapChain needs a device of this backend, a description and an output");
        return false;
    }
    return true;
}

} // namespace rules

// ---- ContextUse --------------------------------------------------------------------------

ContextUse::Entry::Entry(ContextUse &use, bool deferred) : _use(use)
{
    const u64 me = std::hash<std::thread::id>()(std::this_thread::get_id()) | 1;
    u64 expected = 0;
    if (_use._owner.compare_exchange_strong(expected, me, std::memory_order_acquire)) return;
    if (expected == me) {
        _nested = true; // a command list replaying through this context
        return;
    }
    report(Rule::concurrent_context_use, "%s context entered by a second thread", deferred ? "a deferred" : "the immediate");
    do {
        std::this_thread::yield();
        expected = 0;
    } while (!_use._owner.compare_exchange_weak(expected, me, std::memory_order_acquire));
}

ContextUse::Entry::~Entry()
{
    if (!_nested) _use._owner.store(0, std::memory_order_release);
}

// ---- BindingHazards ----------------------------------------------------------------------

template <class View, class Desc> BindingHazards::Span BindingHazards::span_of(View *view)
{
    Span span;
    if (!view) return span;
    ID3D11Resource *resource = nullptr;
    view->GetResource(&resource);
    if (!resource) return span;
    span.resource = resource; // kept for its identity only
    resource->Release();
    Desc desc{};
    view->GetDesc(&desc);
    const ViewShape shape = shape_of(desc);
    // A view made without a description covers every slice, and every mip when it is read
    // (an output writes mip 0); a buffer view (a buffer is one subresource) and a dimension
    // the front does not know cover the whole resource.
    if (desc.ViewDimension == 0 || shape.fit == ViewShape::Fit::buffer || shape.fit == ViewShape::Fit::unknown) {
        const bool output = !std::is_same_v<Desc, D3D11_SHADER_RESOURCE_VIEW_DESC>;
        span.mip_end = desc.ViewDimension == 0 && output ? 1 : ~u64(0);
        span.slice_end = ~u64(0);
        return span;
    }
    span.first_mip = shape.first_mip;
    span.mip_end = shape.mip_count == ViewShape::all_mips ? ~u64(0) : shape.first_mip + shape.mip_count;
    span.first_slice = shape.first_slice;
    span.slice_end = shape.first_slice + shape.slice_count;
    return span;
}

bool BindingHazards::overlaps(const Span &a, const Span &b)
{
    return a.resource && a.resource == b.resource && a.first_mip < b.mip_end && b.first_mip < a.mip_end &&
           a.first_slice < b.slice_end && b.first_slice < a.slice_end;
}

bool BindingHazards::is_output(const Span &input) const
{
    for (const Span &target : _targets)
        if (overlaps(input, target)) return true;
    if (overlaps(input, _depth)) return true;
    for (const Span &view : _unordered)
        if (overlaps(input, view)) return true;
    return false;
}

void BindingHazards::unbind_readers(const Span &output, std::vector<Slot> &out_unbound)
{
    if (!output.resource) return;
    for (size_t i = 0; i < _inputs.size();) {
        if (!overlaps(_inputs[i].span, output)) {
            ++i;
            continue;
        }
        out_unbound.push_back(_inputs[i].at);
        _inputs[i] = _inputs.back();
        _inputs.pop_back();
    }
}

void BindingHazards::bind_inputs(u32 stage, UINT start, UINT count, ID3D11ShaderResourceView *const *views,
                                 std::vector<Slot> &out_refused)
{
    std::lock_guard lock(_mutex);
    for (size_t i = 0; i < _inputs.size();) {
        const Slot at = _inputs[i].at;
        if (at.stage == stage && at.slot >= start && at.slot - start < count) {
            _inputs[i] = _inputs.back();
            _inputs.pop_back();
        } else {
            ++i;
        }
    }
    for (UINT i = 0; views && i < count; ++i) {
        const Span span = span_of<ID3D11ShaderResourceView, D3D11_SHADER_RESOURCE_VIEW_DESC>(views[i]);
        if (!span.resource) continue;
        if (is_output(span)) out_refused.push_back({stage, start + i});
        else _inputs.push_back({{stage, start + i}, span});
    }
}

void BindingHazards::bind_targets(UINT count, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth,
                                  std::vector<Slot> &out_unbound)
{
    std::lock_guard lock(_mutex);
    for (UINT i = 0; i < _targets.size(); ++i)
        _targets[i] = i < count && views ? span_of<ID3D11RenderTargetView, D3D11_RENDER_TARGET_VIEW_DESC>(views[i])
                                         : Span{};
    _depth = span_of<ID3D11DepthStencilView, D3D11_DEPTH_STENCIL_VIEW_DESC>(depth);
    for (const Span &target : _targets) unbind_readers(target, out_unbound);
    unbind_readers(_depth, out_unbound);
}

void BindingHazards::bind_unordered(UINT start, UINT count, ID3D11UnorderedAccessView *const *views,
                                    std::vector<Slot> &out_unbound)
{
    std::lock_guard lock(_mutex);
    for (UINT i = 0; i < count; ++i) {
        _unordered[start + i] =
            span_of<ID3D11UnorderedAccessView, D3D11_UNORDERED_ACCESS_VIEW_DESC>(views ? views[i] : nullptr);
        unbind_readers(_unordered[start + i], out_unbound);
    }
}

void BindingHazards::clear()
{
    std::lock_guard lock(_mutex);
    _inputs.clear();
    _targets = {};
    _depth = {};
    _unordered = {};
}

} // namespace tallow::d3d11
