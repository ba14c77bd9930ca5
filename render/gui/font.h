#pragma once
// The "font" resource and how text is laid out with it, plus the UTF-8 decoding GUI text
// goes through.
//
//   Font font;
//   if (!read_font(bytes, size, font)) ...            // refused: logged, nothing to draw with
//   GlyphQuad quad;
//   f32 pen = 10;
//   font.layout_glyph('A', pen, 20, 16, quad);         // pen advances by the glyph
//   for_each_code_point(text, length, [&](u32 cp) { ... });
//
// Layout (little-endian):
//   word 0  f32 design size (the size the glyph metrics are given at; > 0)
//   word 1  u32 spare (the compiler writes the line height in pixels; layout ignores it)
//   word 2  f32 base height (places glyphs vertically)
//   word 3  f32 texture width in pixels (> 0)
//   word 4  f32 texture height in pixels (> 0)
//   word 5  u32 glyph count (at least 1)
//   then glyph count records of 32 bytes, strictly ascending by code point:
//     u32 code point, f32 x, f32 y, f32 width, f32 height (pixels in the texture),
//     f32 x offset from the pen, f32 y offset, f32 advance
// The font's texture is the "texture" resource of the same name.
//
// Refused (read_font false, logged): fewer bytes than the header or the glyph table claims,
// a glyph count of 0, a design size or texture size that is not a positive finite number,
// code points out of order, or a glyph with a metric that is not finite. Trailing bytes
// are ignored. A Font only views the bytes: they must outlive it.
//
// Plain functions; any thread.

#include "foundation/types.h"

namespace tallow {

struct FontGlyph {
    u32 code_point;
    f32 x, y, width, height;
    f32 x_offset, y_offset, advance;
};
static_assert(sizeof(FontGlyph) == 32);

/// One laid-out glyph: the quad's corners in the gui plane (x, y) and its uv corners.
/// uv_min belongs to the corner at (min x, max y): texture rows run downward.
struct GlyphQuad {
    f32 min_x, min_y, max_x, max_y;
    f32 u_min, v_min, u_max, v_max;
};

constexpr u32 font_header_bytes = 24;

class Font {
  public:
    f32 design_size() const { return _design_size; }
    f32 base_height() const { return _base_height; }
    u32 glyph_count() const { return _glyph_count; }
    /// Glyph `index` < glyph_count() (copied out: the bytes are only 4-aligned).
    FontGlyph glyph(u32 index) const;
    /// The glyph of `code_point` by binary search; false when the font has none.
    bool find_glyph(u32 code_point, FontGlyph &out_glyph) const;
    /// Lays out `code_point` at `pen`, baseline-relative `y` and `size`; a code point the
    /// font lacks uses its first glyph. Advances the pen.
    void layout_glyph(u32 code_point, f32 &pen, f32 y, f32 size, GlyphQuad &out_quad) const;

  private:
    friend bool read_font(const u8 *bytes, u64 size_bytes, Font &out_font);
    const u8 *_glyphs = nullptr;
    u32 _glyph_count = 0;
    f32 _design_size = 1;
    f32 _base_height = 0;
    f32 _texture_width = 1;
    f32 _texture_height = 1;
};

/// Checks the bytes and views them as a font; false (logged) when they are refused.
bool read_font(const u8 *bytes, u64 size_bytes, Font &out_font);

/// The replacement for a malformed UTF-8 sequence.
constexpr u32 replacement_code_point = 0xFFFD;

/// Decodes one code point at `text[at]` (at < length) and moves `at` past it. A malformed
/// sequence (a stray continuation byte, a truncated, overlong or surrogate sequence, a value
/// past U+10FFFF) yields U+FFFD and skips one byte; nothing past `length` is read.
u32 decode_utf8(const char *text, u64 length, u64 &at);

template <typename F> void for_each_code_point(const char *text, u64 length, F &&visit)
{
    for (u64 at = 0; at < length;)
        visit(decode_utf8(text, length, at));
}

} // namespace tallow

namespace tallow {

class ResourceManager;

/// A loaded "font": the checked view and the bytes it views (in the same block).
struct FontResource {
    Font font;
    u64 size_bytes = 0;
};

/// Registers the "font" type: fonts are checked as they load (read_font); a refused font
/// does not load. Once, at start-up.
void register_font_resource_type(ResourceManager &manager);

} // namespace tallow
