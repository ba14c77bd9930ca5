// Headless contexts: bytes moved by Map and Unmap, UpdateSubresource, copies and clears. On a
// device that keeps no texels each call is journalled and deferred as with bytes, and then
// moves nothing.
#include "platform/d3d11/headless_context_internal.h"

#include <cmath>
#include <cstring>

namespace tallow::d3d11 {
namespace {

u8 unorm8(f32 value)
{
    value = value < 0 ? 0 : value > 1 ? 1 : value;
    return static_cast<u8>(std::lround(value * 255.0f));
}

f32 linear_to_srgb(f32 value)
{
    value = value < 0 ? 0 : value > 1 ? 1 : value;
    return value <= 0.0031308f ? value * 12.92f : 1.055f * std::pow(value, 1.0f / 2.4f) - 0.055f;
}

/// Fills every texel of the view's subresources with `texel` (when the view's format has one).
void fill_view(const ViewRange &range, const u8 *texel, u32 texel_size)
{
    ResourceData &data = *range.data;
    std::lock_guard lock(data.bytes_mutex);
    for (u32 slice = range.first_slice; slice < range.first_slice + range.slice_count; ++slice) {
        u32 index = range.mip + slice * data.mip_levels;
        if (index >= data.subresources.size()) continue;
        ResourceData::Subresource &sub = data.subresources[index];
        if (data.block_bytes != texel_size || data.block_size != 1) continue;
        for (size_t at = 0; at + texel_size <= sub.bytes.size(); at += texel_size)
            std::memcpy(sub.bytes.data() + at, texel, texel_size);
    }
}

} // namespace

// ---- Data --------------------------------------------------------------------------------

HRESULT HeadlessContext::Map(ID3D11Resource *resource, UINT subresource, D3D11_MAP type, UINT, D3D11_MAPPED_SUBRESOURCE *out)
{
    Enter enter(*this);
    if (out) *out = {};
    ObjectBase *object = base_of(resource);
    ResourceData *data = data_of(object);
    if (!data || !out || subresource >= data->subresources.size()) return E_INVALIDARG; // refused by the front
    ResourceData::Subresource &sub = data->subresources[subresource];
    log(ContextOp::map, {object->id}, {f64(subresource), f64(type)});
    PendingMap pending{object, subresource, type, {}, {}};
    u8 *at = nullptr;
    if (!keep_texels) {
        at = lend_scratch(pending, static_cast<size_t>(sub.row_pitch) * sub.rows);
    } else if (deferred) {
        {
            std::lock_guard lock(data->bytes_mutex);
            pending.baseline = sub.bytes;
        }
        pending.scratch = pending.baseline;
        at = pending.scratch.data();
    } else {
        at = sub.bytes.data();
    }
    maps.push_back(std::move(pending)); // the blocks move, their bytes stay where they are
    out->pData = at;
    out->RowPitch = sub.row_pitch;
    out->DepthPitch = sub.row_pitch * sub.rows;
    return S_OK;
}

void HeadlessContext::Unmap(ID3D11Resource *resource, UINT subresource)
{
    Enter enter(*this);
    ObjectBase *object = base_of(resource);
    size_t at = 0;
    while (at < maps.size() && !(maps[at].resource == object && maps[at].subresource == subresource)) ++at;
    if (at == maps.size()) return; // refused by the front
    PendingMap pending = std::move(maps[at]);
    maps.erase(maps.begin() + static_cast<std::ptrdiff_t>(at));
    log(ContextOp::unmap, {object->id}, {f64(subresource)});
    name(resource); // a deferred context keeps the unmap
    if (!keep_texels) {
        take_back_scratch(pending);
        // Played back as a map and an unmap, so the immediate journal shows them.
        if (deferred) {
            D3D11_MAP type = pending.type;
            defer([resource, subresource, type](HeadlessContext &c) {
                D3D11_MAPPED_SUBRESOURCE mapped;
                if (SUCCEEDED(c.Map(resource, subresource, type, 0, &mapped))) c.Unmap(resource, subresource);
            });
        }
        return;
    }
    if (!deferred) return;
    // Keep only what the caller changed, so earlier lists' writes to the same ring survive.
    // A constant buffer can only be mapped with DISCARD and is rewritten whole: all of
    // it is kept, since bytes equal to the baseline here may differ at playback.
    std::vector<ByteRun> runs;
    const std::vector<u8> &before = pending.baseline, &after = pending.scratch;
    const ResourceData *data = data_of(object);
    const bool whole = pending.type == D3D11_MAP_WRITE_DISCARD && data &&
                       (data->bind_flags & D3D11_BIND_CONSTANT_BUFFER);
    if (whole)
        runs.push_back({0, after});
    for (size_t i = 0; !whole && i < after.size();) {
        if (after[i] == before[i]) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < after.size() && after[end] != before[end]) ++end;
        runs.push_back({static_cast<u32>(i), std::vector<u8>(after.begin() + i, after.begin() + end)});
        i = end;
    }
    D3D11_MAP type = pending.type;
    defer([resource, subresource, type, runs](HeadlessContext &c) {
        D3D11_MAPPED_SUBRESOURCE mapped;
        if (FAILED(c.Map(resource, subresource, type, 0, &mapped))) return;
        size_t size = mapped.pData ? data_of(base_of(resource))->subresources[subresource].bytes.size() : 0;
        for (const ByteRun &run : runs)
            if (run.offset + run.bytes.size() <= size)
                std::memcpy(static_cast<u8 *>(mapped.pData) + run.offset, run.bytes.data(), run.bytes.size());
        c.Unmap(resource, subresource);
    });
}

u8 *HeadlessContext::lend_scratch(PendingMap &pending, size_t bytes)
{
    std::vector<u8> block;
    if (!spare_scratch.empty()) {
        block = std::move(spare_scratch.back());
        spare_scratch.pop_back();
    }
    if (block.size() < bytes) {
        count_storage(i64(bytes) - i64(block.size()));
        block.resize(bytes);
    }
    pending.scratch = std::move(block);
    return pending.scratch.data();
}

void HeadlessContext::take_back_scratch(PendingMap &pending)
{
    if (keep_texels || pending.scratch.empty()) return;
    spare_scratch.push_back(std::move(pending.scratch));
    pending.scratch = {};
}

bool HeadlessContext::block_region(const ResourceData &data, const ResourceData::Subresource &sub, const D3D11_BOX *box,
                         Region &out)
{
    if (!box) {
        out = {0, 0, data.is_buffer ? sub.width : sub.row_pitch / data.block_bytes, sub.rows};
        return true;
    }
    if (box->right <= box->left || box->bottom <= box->top || box->back <= box->front || box->front != 0 ||
        box->back != 1)
        return false;
    if (data.is_buffer) {
        out = {box->left, 0, box->right, 1};
        return box->right <= sub.width && box->top == 0 && box->bottom == 1;
    }
    if (box->right > sub.width || box->bottom > sub.height) return false;
    u32 b = data.block_size;
    out = {box->left / b, box->top / b, (box->right + b - 1) / b, (box->bottom + b - 1) / b};
    return true;
}

void HeadlessContext::UpdateSubresource(ID3D11Resource *resource, UINT subresource, const D3D11_BOX *box, const void *source,
                       UINT row_pitch, UINT)
{
    Enter enter(*this);
    ObjectBase *object = base_of(resource);
    ResourceData *data = data_of(object);
    ResourceData::Subresource &sub = data->subresources[subresource];
    Region region{};
    if (!block_region(*data, sub, box, region)) return; // the front has checked the box
    u32 unit = data->is_buffer ? 1 : data->block_bytes;
    u32 row_bytes = (region.x1 - region.x0) * unit;
    if (data->is_buffer || row_pitch == 0) row_pitch = row_bytes;
    u32 rows = region.y1 - region.y0;
    log(ContextOp::update_subresource, {object->id}, {f64(subresource), f64(row_bytes * rows)});
    name(resource); // a deferred context keeps the update
    if (!keep_texels) {
        if (deferred) {
            // Nothing is read at playback; the pointer only has to pass the front's check.
            std::optional<D3D11_BOX> kept_box;
            if (box) kept_box = *box;
            defer([resource, subresource, kept_box](HeadlessContext &c) {
                static const u8 unread = 0;
                c.UpdateSubresource(resource, subresource, kept_box ? &*kept_box : nullptr, &unread, 0, 0);
            });
        }
        return;
    }
    if (deferred) {
        // The caller's bytes are captured now and written when the list plays back.
        std::vector<u8> packed(static_cast<size_t>(row_bytes) * rows);
        for (u32 r = 0; r < rows; ++r)
            std::memcpy(packed.data() + r * row_bytes, static_cast<const u8 *>(source) + r * row_pitch, row_bytes);
        std::optional<D3D11_BOX> kept_box;
        if (box) kept_box = *box;
        defer([resource, subresource, kept_box, packed, row_bytes](HeadlessContext &c) {
            c.UpdateSubresource(resource, subresource, kept_box ? &*kept_box : nullptr, packed.data(), row_bytes, 0);
        });
        return;
    }
    std::lock_guard lock(data->bytes_mutex);
    if (sub.bytes.empty()) return; // released
    for (u32 r = 0; r < rows; ++r)
        std::memcpy(sub.bytes.data() + (region.y0 + r) * sub.row_pitch + region.x0 * unit,
                    static_cast<const u8 *>(source) + r * row_pitch, row_bytes);
}

void HeadlessContext::CopySubresourceRegion(ID3D11Resource *destination, UINT destination_subresource, UINT x, UINT y, UINT z,
                           ID3D11Resource *source, UINT source_subresource, const D3D11_BOX *source_box)
{
    Enter enter(*this);
    ObjectBase *to = base_of(destination), *from = base_of(source);
    ResourceData *to_data = data_of(to), *from_data = data_of(from);
    if (!to_data || !from_data || destination_subresource >= to_data->subresources.size() ||
        source_subresource >= from_data->subresources.size() || to_data->is_buffer != from_data->is_buffer ||
        to_data->block_bytes != from_data->block_bytes || to_data->block_size != from_data->block_size)
        return; // refused by the front
    std::vector<f64> args = {f64(destination_subresource), f64(x), f64(y), f64(z), f64(source_subresource)};
    if (source_box)
        args.insert(args.end(), {f64(source_box->left), f64(source_box->top), f64(source_box->front),
                                 f64(source_box->right), f64(source_box->bottom), f64(source_box->back)});
    log(ContextOp::copy_subresource_region, {to->id, from->id}, args);
    if (deferred) {
        name(destination);
        name(source);
        std::optional<D3D11_BOX> kept_box;
        if (source_box) kept_box = *source_box;
        defer([=](HeadlessContext &c) {
            c.CopySubresourceRegion(destination, destination_subresource, x, y, z, source, source_subresource,
                                    kept_box ? &*kept_box : nullptr);
        });
        return;
    }
    const ResourceData::Subresource &from_sub = from_data->subresources[source_subresource];
    ResourceData::Subresource &to_sub = to_data->subresources[destination_subresource];
    Region region{};
    bool fits = block_region(*from_data, from_sub, source_box, region) && z == 0;
    u32 b = to_data->is_buffer ? 1 : to_data->block_size;
    u32 unit = to_data->is_buffer ? 1 : to_data->block_bytes;
    u32 dx = x / b, dy = y / b;
    u32 width = region.x1 - region.x0, rows = region.y1 - region.y0;
    u32 to_width = to_data->is_buffer ? to_sub.width : to_sub.row_pitch / unit;
    // Written as differences so a position near the top of the range cannot wrap past the check.
    if (fits) fits = dx <= to_width && width <= to_width - dx && dy <= to_sub.rows && rows <= to_sub.rows - dy;
    if (!fits || !keep_texels) return; // refused by the front, or nothing to move
    // Copy through a scratch block, since source and destination may be one resource.
    std::vector<u8> rows_bytes(static_cast<size_t>(width) * unit * rows);
    {
        std::lock_guard lock(from_data->bytes_mutex);
        if (from_sub.bytes.empty()) return;
        for (u32 r = 0; r < rows; ++r)
            std::memcpy(rows_bytes.data() + r * width * unit,
                        from_sub.bytes.data() + (region.y0 + r) * from_sub.row_pitch + region.x0 * unit, width * unit);
    }
    std::lock_guard lock(to_data->bytes_mutex);
    if (to_sub.bytes.empty()) return;
    for (u32 r = 0; r < rows; ++r)
        std::memcpy(to_sub.bytes.data() + (dy + r) * to_sub.row_pitch + dx * unit,
                    rows_bytes.data() + r * width * unit, width * unit);
}

void HeadlessContext::CopyResource(ID3D11Resource *destination, ID3D11Resource *source)
{
    Enter enter(*this);
    ObjectBase *to = base_of(destination), *from = base_of(source);
    ResourceData *to_data = data_of(to), *from_data = data_of(from);
    log(ContextOp::copy_resource, {to->id, from->id}, {});
    if (deferred) {
        name(destination);
        name(source);
        defer([destination, source](HeadlessContext &c) { c.CopyResource(destination, source); });
        return;
    }
    if (!keep_texels) return;
    std::scoped_lock lock(to_data->bytes_mutex, from_data->bytes_mutex);
    for (size_t i = 0; i < to_data->subresources.size(); ++i)
        if (to_data->subresources[i].bytes.size() == from_data->subresources[i].bytes.size())
            to_data->subresources[i].bytes = from_data->subresources[i].bytes;
}

void HeadlessContext::ClearRenderTargetView(ID3D11RenderTargetView *view, const FLOAT color[4])
{
    Enter enter(*this);
    ObjectBase *object = base_of(view);
    const ViewRange *range = range_of(object);
    if (!range) return; // the front has refused views that are not ours
    std::array<f32, 4> c4 = {color[0], color[1], color[2], color[3]};
    log(ContextOp::clear_render_target_view, {object->id}, {c4[0], c4[1], c4[2], c4[3]});
    if (deferred) {
        name(view);
        defer([view, c4](HeadlessContext &c) { c.ClearRenderTargetView(view, c4.data()); });
        return;
    }
    if (!keep_texels) return;
    switch (range->format) {
    case DXGI_FORMAT_R8G8B8A8_UNORM:
    case DXGI_FORMAT_R8G8B8A8_UNORM_SRGB:
    case DXGI_FORMAT_B8G8R8A8_UNORM: {
        bool srgb = range->format == DXGI_FORMAT_R8G8B8A8_UNORM_SRGB;
        u8 texel[4];
        for (u32 i = 0; i < 4; ++i) texel[i] = unorm8(srgb && i < 3 ? linear_to_srgb(c4[i]) : c4[i]);
        if (range->format == DXGI_FORMAT_B8G8R8A8_UNORM) std::swap(texel[0], texel[2]);
        fill_view(*range, texel, 4);
        break;
    }
    case DXGI_FORMAT_R32G32B32A32_FLOAT: fill_view(*range, reinterpret_cast<const u8 *>(c4.data()), 16); break;
    case DXGI_FORMAT_R32G32_FLOAT: fill_view(*range, reinterpret_cast<const u8 *>(c4.data()), 8); break;
    case DXGI_FORMAT_R32_FLOAT: fill_view(*range, reinterpret_cast<const u8 *>(c4.data()), 4); break;
    default: break; // recorded only
    }
}

void HeadlessContext::ClearDepthStencilView(ID3D11DepthStencilView *view, UINT flags, FLOAT depth, UINT8 stencil)
{
    Enter enter(*this);
    ObjectBase *object = base_of(view);
    const ViewRange *range = range_of(object);
    if (!range) return; // the front has refused views that are not ours
    log(ContextOp::clear_depth_stencil_view, {object->id}, {f64(flags), depth, f64(stencil)});
    if (deferred) {
        name(view);
        defer([=](HeadlessContext &c) { c.ClearDepthStencilView(view, flags, depth, stencil); });
        return;
    }
    if (!keep_texels) return;
    // Whole-texel fills only when every plane is cleared (or the format has one plane).
    if (range->format == DXGI_FORMAT_D32_FLOAT && (flags & D3D11_CLEAR_DEPTH)) {
        fill_view(*range, reinterpret_cast<const u8 *>(&depth), 4);
    } else if (range->format == DXGI_FORMAT_D24_UNORM_S8_UINT &&
               (flags & (D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL)) == (D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL)) {
        f32 clamped = depth < 0 ? 0 : depth > 1 ? 1 : depth;
        u32 texel = static_cast<u32>(std::lround(clamped * 16777215.0)) | (u32(stencil) << 24);
        fill_view(*range, reinterpret_cast<const u8 *>(&texel), 4);
    } else if (range->format == DXGI_FORMAT_D16_UNORM && (flags & D3D11_CLEAR_DEPTH)) {
        f32 clamped = depth < 0 ? 0 : depth > 1 ? 1 : depth;
        u16 texel = static_cast<u16>(std::lround(clamped * 65535.0));
        fill_view(*range, reinterpret_cast<const u8 *>(&texel), 2);
    }
}

} // namespace tallow::d3d11
