#include "render/gui/font.h"

#include "foundation/log.h"

#include <cmath>
#include <cstring>

namespace tallow {

namespace {

u32 read_u32(const u8 *p)
{
    u32 v;
    memcpy(&v, p, 4);
    return v;
}

f32 read_f32(const u8 *p)
{
    f32 v;
    memcpy(&v, p, 4);
    return v;
}

bool positive_finite(f32 v) { return v > 0.0f && std::isfinite(v); }

} // namespace

bool read_font(const u8 *bytes, u64 size_bytes, Font &out_font)
{
    if (!bytes || size_bytes < font_header_bytes) {
        log_message("render", "font: %llu bytes hold no header; refused", (unsigned long long)size_bytes);
        return false;
    }
    f32 design = read_f32(bytes);
    f32 base = read_f32(bytes + 8);
    f32 tw = read_f32(bytes + 12), th = read_f32(bytes + 16);
    u32 count = read_u32(bytes + 20);
    if (count == 0 || u64(count) * sizeof(FontGlyph) > size_bytes - font_header_bytes) {
        log_message("render", "font: %u glyphs do not fit its %llu bytes (or none); refused", count,
                    (unsigned long long)size_bytes);
        return false;
    }
    if (!positive_finite(design) || !std::isfinite(base) || !positive_finite(tw) || !positive_finite(th)) {
        log_message("render", "font: design size, base height or texture size is not usable; refused");
        return false;
    }
    const u8 *glyphs = bytes + font_header_bytes;
    for (u32 i = 0; i < count; ++i) {
        FontGlyph g;
        memcpy(&g, glyphs + u64(i) * sizeof g, sizeof g);
        const f32 metrics[7] = {g.x, g.y, g.width, g.height, g.x_offset, g.y_offset, g.advance};
        for (f32 m : metrics)
            if (!std::isfinite(m)) {
                log_message("render", "font: glyph %u has a metric that is not finite; refused", i);
                return false;
            }
        if (i > 0 && read_u32(glyphs + u64(i - 1) * sizeof g) >= g.code_point) {
            log_message("render", "font: glyph %u is out of code-point order; refused", i);
            return false;
        }
    }
    out_font._glyphs = glyphs;
    out_font._glyph_count = count;
    out_font._design_size = design;
    out_font._base_height = base;
    out_font._texture_width = tw;
    out_font._texture_height = th;
    return true;
}

FontGlyph Font::glyph(u32 index) const
{
    FontGlyph g{};
    if (index < _glyph_count)
        memcpy(&g, _glyphs + u64(index) * sizeof g, sizeof g);
    return g;
}

bool Font::find_glyph(u32 code_point, FontGlyph &out_glyph) const
{
    u32 low = 0, high = _glyph_count;
    while (low < high) {
        u32 mid = low + (high - low) / 2;
        u32 cp = read_u32(_glyphs + u64(mid) * sizeof(FontGlyph));
        if (cp == code_point) {
            out_glyph = glyph(mid);
            return true;
        }
        if (cp < code_point)
            low = mid + 1;
        else
            high = mid;
    }
    return false;
}

void Font::layout_glyph(u32 code_point, f32 &pen, f32 y, f32 size, GlyphQuad &out_quad) const
{
    FontGlyph g;
    if (!find_glyph(code_point, g))
        g = glyph(0);
    f32 k = size / _design_size;
    out_quad.min_x = pen + g.x_offset * k;
    out_quad.max_x = out_quad.min_x + g.width * k;
    out_quad.min_y = y + (_base_height - g.y_offset - g.height) * k;
    out_quad.max_y = out_quad.min_y + g.height * k;
    out_quad.u_min = g.x / _texture_width;
    out_quad.v_min = g.y / _texture_height;
    out_quad.u_max = out_quad.u_min + g.width / _texture_width;
    out_quad.v_max = out_quad.v_min + g.height / _texture_height;
    pen += g.advance * k;
}

u32 decode_utf8(const char *text, u64 length, u64 &at)
{
    const auto *s = reinterpret_cast<const u8 *>(text);
    u8 lead = s[at];
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    u32 extra, value, min;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, value = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, value = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, value = lead & 0x07, min = 0x10000;
    } else {
        ++at;
        return replacement_code_point;
    }
    if (length - at <= extra) {
        ++at;
        return replacement_code_point;
    }
    for (u32 i = 1; i <= extra; ++i) {
        u8 c = s[at + i];
        if ((c & 0xC0) != 0x80) {
            ++at;
            return replacement_code_point;
        }
        value = value << 6 | (c & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++at;
        return replacement_code_point;
    }
    at += extra + 1;
    return value;
}

} // namespace tallow

#include "foundation/io/input_archive.h"
#include "resource/resource_manager.h"

#include <new>

namespace tallow {

namespace {

void *load_font(const ResourceLoadParams &params)
{
    if (params.size_bytes > 0x7FFFFFFFu) {
        log_message("render", "font %016llx: %llu bytes is too large", (unsigned long long)params.name.value(),
                    (unsigned long long)params.size_bytes);
        return nullptr;
    }
    constexpr u64 record = (sizeof(FontResource) + 15) & ~u64(15);
    u8 *block = static_cast<u8 *>(params.allocator.allocate(record + params.size_bytes, 16));
    if (!block)
        return nullptr;
    auto *resource = new (block) FontResource{};
    resource->size_bytes = params.size_bytes;
    if (!params.archive.read(block + record, params.size_bytes) ||
        !read_font(block + record, params.size_bytes, resource->font)) {
        log_message("render", "font %016llx is broken; not loaded", (unsigned long long)params.name.value());
        params.allocator.deallocate(block);
        return nullptr;
    }
    return resource;
}

void unload_font(const ResourceUnloadParams &params) { params.allocator.deallocate(params.data); }

} // namespace

void register_font_resource_type(ResourceManager &manager)
{
    ResourceTypeCallbacks callbacks;
    callbacks.load = load_font;
    callbacks.unload = unload_font;
    manager.register_type(NameId64("font"), callbacks);
}

} // namespace tallow
