// OpenGL backend contexts: Map and Unmap, UpdateSubresource, copies between resources and
// clears of render-target and depth-stencil views.
#include "platform/d3d11/gl_context_internal.h"

#include <cstring>
#include <memory>

namespace tallow::d3d11::gl {

// ---- Map, updates, copies, clears --------------------------------------------------------

HRESULT GlContext::Map(ID3D11Resource *resource, UINT subresource, D3D11_MAP type, UINT, D3D11_MAPPED_SUBRESOURCE *out)
{
    GlBuffer *buffer;
    GlTexture *texture;
    resource_parts(resource, buffer, texture);
    if ((!buffer && !texture) || !out) return E_INVALIDARG; // refused by the front
    // The front has checked the map type against the usage and the context's kind.
    const D3D11_USAGE usage = buffer ? buffer->desc.Usage : texture->desc.Usage;
    PendingMap pending{resource, subresource, type, {}};
    const u32 mip = texture ? subresource % texture->desc.MipLevels : 0;
    out->RowPitch = texture ? row_bytes(texture->format, texture->mip_width(mip)) : (buffer ? buffer->desc.ByteWidth : 0);
    out->DepthPitch = texture ? image_bytes(texture->format, texture->mip_width(mip), texture->mip_height(mip)) : out->RowPitch;
    if (deferred) {
        pending.bytes.assign(buffer ? buffer->desc.ByteWidth : out->DepthPitch, 0);
        maps.push_back(std::move(pending));
        out->pData = maps.back().bytes.data();
        return S_OK;
    }
    if (usage == D3D11_USAGE_STAGING) {
        out->pData = buffer ? buffer->staging.data() : texture->cpu.data() + texture->cpu_offset(subresource);
    } else if (buffer && type == D3D11_MAP_WRITE_DISCARD) {
        // Written in memory and handed to GL as fresh storage at Unmap, so the draws
        // still reading the old contents never hold the CPU up.
        out->pData = buffer->staging.data();
    } else if (buffer) {
        GlScope scope;
        out->pData = glMapNamedBufferRange(buffer->name, 0, buffer->desc.ByteWidth,
                                           GL_MAP_WRITE_BIT | GL_MAP_UNSYNCHRONIZED_BIT);
        if (!out->pData) return E_OUTOFMEMORY;
    } else {
        out->pData = texture->cpu.data() + texture->cpu_offset(subresource);
    }
    maps.push_back(std::move(pending));
    return S_OK;
}

void GlContext::Unmap(ID3D11Resource *resource, UINT subresource)
{
    size_t at = maps.size();
    for (size_t i = 0; i < maps.size(); ++i)
        if (maps[i].resource == resource && maps[i].subresource == subresource) at = i;
    if (at == maps.size()) return; // refused by the front
    PendingMap pending = std::move(maps[at]);
    maps.erase(maps.begin() + static_cast<std::ptrdiff_t>(at));
    GlBuffer *buffer;
    GlTexture *texture;
    resource_parts(resource, buffer, texture);
    if (deferred) {
        Ref<ID3D11Resource> held(resource);
        auto bytes = std::make_shared<std::vector<u8>>(std::move(pending.bytes));
        const D3D11_MAP type = pending.type;
        record([held, bytes, subresource, type](ID3D11DeviceContext &c) {
            D3D11_MAPPED_SUBRESOURCE mapped;
            if (FAILED(c.Map(held.get(), subresource, type, 0, &mapped))) return;
            std::memcpy(mapped.pData, bytes->data(), bytes->size());
            c.Unmap(held.get(), subresource);
        });
        return;
    }
    if ((buffer && buffer->desc.Usage == D3D11_USAGE_STAGING) || (texture && texture->desc.Usage == D3D11_USAGE_STAGING))
        return;
    GlScope scope;
    if (buffer && pending.type == D3D11_MAP_WRITE_DISCARD) {
        glNamedBufferData(buffer->name, buffer->desc.ByteWidth, buffer->staging.data(), GL_STREAM_DRAW);
    } else if (buffer) {
        glUnmapNamedBuffer(buffer->name);
    } else {
        const u32 mip = subresource % texture->desc.MipLevels;
        upload(*texture, subresource, 0, 0, texture->mip_width(mip), texture->mip_height(mip),
               texture->cpu.data() + texture->cpu_offset(subresource), 0);
    }
}

void GlContext::upload(GlTexture &t, u32 subresource, u32 x, u32 y, u32 width, u32 height, const void *data, u32 pitch)
{
    const u32 mip = subresource % t.desc.MipLevels;
    const u32 slice = subresource / t.desc.MipLevels;
    const u32 row = row_bytes(t.format, width);
    const u32 rows = t.format.compressed ? (height + 3) / 4 : height;
    std::vector<u8> packed;
    const u8 *bytes = static_cast<const u8 *>(data);
    if (pitch && pitch != row) {
        packed.resize(static_cast<size_t>(row) * rows);
        for (u32 r = 0; r < rows; ++r)
            std::memcpy(&packed[static_cast<size_t>(r) * row], bytes + static_cast<size_t>(r) * pitch, row);
        bytes = packed.data();
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    const bool layered = t.target != GL_TEXTURE_2D;
    if (t.format.compressed) {
        if (layered) glCompressedTextureSubImage3D(t.name, mip, x, y, slice, width, height, 1, t.format.internal, row * rows, bytes);
        else glCompressedTextureSubImage2D(t.name, mip, x, y, width, height, t.format.internal, row * rows, bytes);
    } else if (layered) {
        glTextureSubImage3D(t.name, mip, x, y, slice, width, height, 1, t.format.format, t.format.type, bytes);
    } else {
        glTextureSubImage2D(t.name, mip, x, y, width, height, t.format.format, t.format.type, bytes);
    }
}

void GlContext::UpdateSubresource(ID3D11Resource *destination, UINT subresource, const D3D11_BOX *box, const void *data,
                       UINT row_pitch, UINT depth_pitch)
{
    GlBuffer *buffer;
    GlTexture *texture;
    resource_parts(destination, buffer, texture);
    if (!buffer && !texture) return;
    const D3D11_USAGE usage = buffer ? buffer->desc.Usage : texture->desc.Usage;
    if (texture && subresource >= texture->subresource_count()) return;
    u32 left = 0, top = 0, right, bottom;
    if (buffer) {
        right = buffer->desc.ByteWidth;
        bottom = 1;
    } else {
        const u32 mip = subresource % texture->desc.MipLevels;
        right = texture->mip_width(mip);
        bottom = texture->mip_height(mip);
    }
    if (box) { // the front has checked it lies inside the subresource
        left = box->left;
        top = box->top;
        right = box->right;
        bottom = box->bottom;
    }
    if (deferred) {
        const size_t size = buffer ? right - left
                                   : static_cast<size_t>(row_pitch ? row_pitch : row_bytes(texture->format, right - left)) *
                                         (texture->format.compressed ? (bottom - top + 3) / 4 : bottom - top);
        auto bytes = std::make_shared<std::vector<u8>>(static_cast<const u8 *>(data), static_cast<const u8 *>(data) + size);
        Ref<ID3D11Resource> held(destination);
        D3D11_BOX b{left, top, 0, right, bottom, 1};
        record([=](ID3D11DeviceContext &c) { c.UpdateSubresource(held.get(), subresource, &b, bytes->data(), row_pitch, depth_pitch); });
        return;
    }
    if (usage == D3D11_USAGE_STAGING) {
        copy_rows_into_cpu(buffer, texture, subresource, left, top, right, bottom, data, row_pitch);
        return;
    }
    GlScope scope;
    if (buffer) glNamedBufferSubData(buffer->name, left, right - left, data);
    else upload(*texture, subresource, left, top, right - left, bottom - top, data, row_pitch);
}

void GlContext::copy_rows_into_cpu(GlBuffer *buffer, GlTexture *texture, u32 subresource, u32 left, u32 top, u32 right,
                               u32 bottom, const void *data, u32 pitch)
{
    if (buffer) {
        std::memcpy(buffer->staging.data() + left, data, right - left);
        return;
    }
    const u32 mip = subresource % texture->desc.MipLevels;
    const u32 full_row = row_bytes(texture->format, texture->mip_width(mip));
    const u32 row = row_bytes(texture->format, right - left);
    const u32 x = row_bytes(texture->format, left);
    const u32 b = texture->format.compressed ? 4 : 1;
    if (!pitch) pitch = row;
    u8 *base = texture->cpu.data() + texture->cpu_offset(subresource);
    for (u32 r = top / b; r < (bottom + b - 1) / b; ++r)
        std::memcpy(base + static_cast<size_t>(r) * full_row + x, static_cast<const u8 *>(data) + static_cast<size_t>(r - top / b) * pitch, row);
}

void GlContext::CopySubresourceRegion(ID3D11Resource *destination, UINT dst_sub, UINT x, UINT y, UINT z, ID3D11Resource *source,
                           UINT src_sub, const D3D11_BOX *box)
{
    if (deferred) {
        Ref<ID3D11Resource> d(destination), s(source);
        const bool has_box = box != nullptr;
        D3D11_BOX b = box ? *box : D3D11_BOX{};
        record([=](ID3D11DeviceContext &c) { c.CopySubresourceRegion(d.get(), dst_sub, x, y, z, s.get(), src_sub, has_box ? &b : nullptr); });
        return;
    }
    GlBuffer *db, *sb;
    GlTexture *dt, *st;
    resource_parts(destination, db, dt);
    resource_parts(source, sb, st);
    if (db && sb) {
        u32 left = box ? box->left : 0, right = box ? box->right : sb->desc.ByteWidth;
        if (dst_sub || src_sub || left >= right || right > sb->desc.ByteWidth || x + (right - left) > db->desc.ByteWidth)
            return; // refused by the front
        copy_buffer(db, x, sb, left, right - left);
        return;
    }
    if (!dt || !st || dst_sub >= dt->subresource_count() || src_sub >= st->subresource_count() ||
        dt->format.block_bytes != st->format.block_bytes)
        return; // refused by the front
    const u32 smip = src_sub % st->desc.MipLevels, dmip = dst_sub % dt->desc.MipLevels;
    D3D11_BOX b = box ? *box : D3D11_BOX{0, 0, 0, st->mip_width(smip), st->mip_height(smip), 1};
    if (b.left >= b.right || b.top >= b.bottom || b.right > st->mip_width(smip) || b.bottom > st->mip_height(smip) ||
        x + (b.right - b.left) > dt->mip_width(dmip) || y + (b.bottom - b.top) > dt->mip_height(dmip))
        return; // refused by the front
    copy_texture(dt, dst_sub, x, y, st, src_sub, b);
}

void GlContext::CopyResource(ID3D11Resource *destination, ID3D11Resource *source)
{
    if (deferred) {
        Ref<ID3D11Resource> d(destination), s(source);
        record([=](ID3D11DeviceContext &c) { c.CopyResource(d.get(), s.get()); });
        return;
    }
    GlBuffer *db, *sb;
    GlTexture *dt, *st;
    resource_parts(destination, db, dt);
    resource_parts(source, sb, st);
    if (db && sb && db->desc.ByteWidth == sb->desc.ByteWidth) {
        copy_buffer(db, 0, sb, 0, sb->desc.ByteWidth);
        return;
    }
    if (!dt || !st || dt->desc.Width != st->desc.Width || dt->desc.Height != st->desc.Height ||
        dt->desc.MipLevels != st->desc.MipLevels || dt->desc.ArraySize != st->desc.ArraySize ||
        dt->format.block_bytes != st->format.block_bytes)
        return; // refused by the front
    for (u32 s = 0; s < st->subresource_count(); ++s) {
        const u32 mip = s % st->desc.MipLevels;
        copy_texture(dt, s, 0, 0, st, s, D3D11_BOX{0, 0, 0, st->mip_width(mip), st->mip_height(mip), 1});
    }
}

void GlContext::copy_buffer(GlBuffer *d, u32 dst_offset, GlBuffer *s, u32 src_offset, u32 size)
{
    const bool ds = d->desc.Usage == D3D11_USAGE_STAGING, ss = s->desc.Usage == D3D11_USAGE_STAGING;
    if (ds && ss) {
        std::memmove(d->staging.data() + dst_offset, s->staging.data() + src_offset, size);
        return;
    }
    GlScope scope;
    if (ds) glGetNamedBufferSubData(s->name, src_offset, size, d->staging.data() + dst_offset);
    else if (ss) glNamedBufferSubData(d->name, dst_offset, size, s->staging.data() + src_offset);
    else glCopyNamedBufferSubData(s->name, d->name, src_offset, dst_offset, size);
}

void GlContext::copy_texture(GlTexture *d, u32 dst_sub, u32 x, u32 y, GlTexture *s, u32 src_sub, const D3D11_BOX &b)
{
    const u32 smip = src_sub % s->desc.MipLevels, sslice = src_sub / s->desc.MipLevels;
    const u32 dmip = dst_sub % d->desc.MipLevels, dslice = dst_sub / d->desc.MipLevels;
    const u32 w = b.right - b.left, h = b.bottom - b.top;
    const bool ds = d->desc.Usage == D3D11_USAGE_STAGING, ss = s->desc.Usage == D3D11_USAGE_STAGING;
    if (ss) {
        // Tightly packed rows of the box from the source's memory.
        const u32 full_row = row_bytes(s->format, s->mip_width(smip));
        const u8 *base = s->cpu.data() + s->cpu_offset(src_sub) + static_cast<size_t>(full_row) * (s->format.compressed ? b.top / 4 : b.top) +
                         row_bytes(s->format, b.left);
        if (ds) {
            copy_rows_into_cpu(nullptr, d, dst_sub, x, y, x + w, y + h, base, full_row);
            return;
        }
        GlScope scope;
        upload(*d, dst_sub, x, y, w, h, base, full_row);
        return;
    }
    GlScope scope;
    if (ds) {
        const u32 row = row_bytes(s->format, w);
        const u32 rows = s->format.compressed ? (h + 3) / 4 : h;
        std::vector<u8> bytes(static_cast<size_t>(row) * rows);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        if (s->format.compressed)
            glGetCompressedTextureSubImage(s->name, smip, b.left, b.top, sslice, w, h, 1, static_cast<GLsizei>(bytes.size()), bytes.data());
        else
            glGetTextureSubImage(s->name, smip, b.left, b.top, sslice, w, h, 1, s->format.format, s->format.type,
                                 static_cast<GLsizei>(bytes.size()), bytes.data());
        copy_rows_into_cpu(nullptr, d, dst_sub, x, y, x + w, y + h, bytes.data(), row);
        return;
    }
    glCopyImageSubData(s->name, s->target, smip, b.left, b.top, sslice, d->name, d->target, dmip, x, y, dslice, w, h, 1);
}

void GlContext::ClearRenderTargetView(ID3D11RenderTargetView *view, const FLOAT color[4])
{
    std::array<f32, 4> c{0, 0, 0, 0};
    if (color) c = {color[0], color[1], color[2], color[3]};
    if (deferred) {
        Ref<ID3D11RenderTargetView> held(view);
        record([=](ID3D11DeviceContext &ctx) { ctx.ClearRenderTargetView(held.get(), c.data()); });
        return;
    }
    GlRtv *v = as<GlRtv>(view);
    if (!v) return;
    GlScope scope;
    ensure_gl(scope);
    const GlViewRange &r = v->range;
    GlTexture *t = r.texture;
    if (t->desc.SampleDesc.Count > 1) {
        attach(clear_fbo, GL_COLOR_ATTACHMENT0, &r);
        glNamedFramebufferDrawBuffer(clear_fbo, GL_COLOR_ATTACHMENT0);
        clear_with_framebuffer([&] { glClearNamedFramebufferfv(clear_fbo, GL_COLOR, 0, c.data()); });
        attach(clear_fbo, GL_COLOR_ATTACHMENT0, nullptr);
        return;
    }
    glClearTexSubImage(t->name, r.mip, 0, 0, r.first_slice, t->mip_width(r.mip), t->mip_height(r.mip), r.slice_count,
                       GL_RGBA, GL_FLOAT, c.data());
}

void GlContext::ClearDepthStencilView(ID3D11DepthStencilView *view, UINT flags, FLOAT depth, UINT8 stencil)
{
    if (deferred) {
        Ref<ID3D11DepthStencilView> held(view);
        record([=](ID3D11DeviceContext &c) { c.ClearDepthStencilView(held.get(), flags, depth, stencil); });
        return;
    }
    GlDsv *v = as<GlDsv>(view);
    if (!v) return;
    GlScope scope;
    ensure_gl(scope);
    const bool has_stencil = v->range.texture->format.stencil;
    const GLenum point = has_stencil ? GL_DEPTH_STENCIL_ATTACHMENT : GL_DEPTH_ATTACHMENT;
    attach(clear_fbo, point, &v->range);
    glNamedFramebufferDrawBuffer(clear_fbo, GL_NONE);
    clear_with_framebuffer([&] {
        const bool d = flags & D3D11_CLEAR_DEPTH, s = has_stencil && (flags & D3D11_CLEAR_STENCIL);
        const GLint stencil_value = stencil;
        if (d && s) glClearNamedFramebufferfi(clear_fbo, GL_DEPTH_STENCIL, 0, depth, stencil_value);
        else if (d) glClearNamedFramebufferfv(clear_fbo, GL_DEPTH, 0, &depth);
        else if (s) glClearNamedFramebufferiv(clear_fbo, GL_STENCIL, 0, &stencil_value);
    });
    attach(clear_fbo, point, nullptr);
}

} // namespace tallow::d3d11::gl
