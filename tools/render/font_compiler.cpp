#include "tools/render/font_compiler.h"

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "tests/support/writers/font_writer.h"
#include "tests/support/writers/texture_writer.h"
#include "tools/source_check.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstring>

namespace tallow {

namespace {

constexpr u32 max_code_points = 65536;
constexpr u32 texture_width = 512;

struct Source {
    std::string font;
    u32 size = 0;
    u32 padding = 1;
    std::vector<std::pair<u32, u32>> ranges;
};

bool read_integer(const ConfigValue &root, const char *key, u32 min, u32 max, bool required, u32 &out,
                  std::string &error)
{
    const ConfigValue *v = root.find(key);
    if (!v) {
        if (required)
            error = std::string("the source gives no '") + key + "'";
        return !required;
    }
    if (v->kind() != ConfigKind::Integer || v->to_integer() < i64(min) || v->to_integer() > i64(max)) {
        error = std::string("'") + key + "' must be a whole number from " + std::to_string(min) + " to " +
                std::to_string(max);
        return false;
    }
    out = u32(v->to_integer());
    return true;
}

bool read_source(const ConfigValue &root, Source &out, std::string &error)
{
    if (root.kind() != ConfigKind::Object) {
        error = "the source is not config text of keys";
        return false;
    }
    if (const char *key = unknown_key(root, {"font", "size", "ranges", "padding"})) {
        error = std::string("unknown key '") + key + "'";
        return false;
    }
    const ConfigValue *font = root.find("font");
    if (!font || font->kind() != ConfigKind::String || !*font->to_string()) {
        error = "'font' must name a TrueType file";
        return false;
    }
    out.font = font->to_string();
    if (!read_integer(root, "size", 4, 256, true, out.size, error) ||
        !read_integer(root, "padding", 0, 8, false, out.padding, error))
        return false;
    const ConfigValue *ranges = root.find("ranges");
    if (!ranges || ranges->kind() != ConfigKind::Array || ranges->count() == 0) {
        error = "'ranges' must be an array of [first last] code point pairs";
        return false;
    }
    u64 total = 0;
    for (const ConfigValue &r : ranges->items()) {
        if (r.kind() != ConfigKind::Array || r.count() != 2 || r.items()[0].kind() != ConfigKind::Integer ||
            r.items()[1].kind() != ConfigKind::Integer) {
            error = "'ranges' must be an array of [first last] code point pairs";
            return false;
        }
        i64 first = r.items()[0].to_integer(), last = r.items()[1].to_integer();
        if (first < 0 || last < first || last > 0x10FFFF) {
            error = "the range [" + std::to_string(first) + " " + std::to_string(last) +
                    "] is not an ascending range of code points";
            return false;
        }
        total += u64(last - first + 1);
        if (total > max_code_points) {
            error = "'ranges' hold more than " + std::to_string(max_code_points) + " code points";
            return false;
        }
        out.ranges.push_back({u32(first), u32(last)});
    }
    return true;
}

struct Bitmap {
    FontGlyph glyph;
    u32 width = 0, height = 0;
    std::vector<u8> coverage; // width x height, rows top down
};

bool rasterise(const Source &source, const std::string &path, std::vector<Bitmap> &out, f32 &out_base,
               u32 &out_line_height, std::string &error)
{
    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) != 0) {
        error = "FreeType could not start";
        return false;
    }
    FT_Face face = nullptr;
    if (FT_New_Face(library, path.c_str(), 0, &face) != 0) {
        FT_Done_FreeType(library);
        error = "FreeType cannot open the font '" + source.font + "'";
        return false;
    }
    bool ok = FT_Set_Pixel_Sizes(face, 0, source.size) == 0;
    if (!ok)
        error = "the font '" + source.font + "' has no size " + std::to_string(source.size);
    out_base = ok ? f32(face->size->metrics.ascender >> 6) : 0;
    out_line_height = ok ? u32(face->size->metrics.height >> 6) : 0;
    std::vector<u32> code_points;
    for (auto [first, last] : source.ranges)
        for (u32 cp = first; cp <= last; ++cp)
            code_points.push_back(cp);
    std::sort(code_points.begin(), code_points.end());
    code_points.erase(std::unique(code_points.begin(), code_points.end()), code_points.end());
    for (u32 cp : code_points) {
        if (!ok)
            break;
        if (FT_Get_Char_Index(face, cp) == 0 || FT_Load_Char(face, cp, FT_LOAD_RENDER) != 0)
            continue;
        const FT_GlyphSlot slot = face->glyph;
        const FT_Bitmap &bm = slot->bitmap;
        if (bm.pixel_mode != FT_PIXEL_MODE_GRAY && bm.rows != 0)
            continue;
        Bitmap b;
        b.width = bm.width;
        b.height = bm.rows;
        b.coverage.resize(size_t(b.width) * b.height);
        for (u32 row = 0; row < b.height; ++row)
            memcpy(b.coverage.data() + size_t(row) * b.width, bm.buffer + i64(row) * bm.pitch, b.width);
        b.glyph.code_point = cp;
        b.glyph.width = f32(b.width);
        b.glyph.height = f32(b.height);
        b.glyph.x_offset = f32(slot->bitmap_left);
        b.glyph.y_offset = out_base - f32(slot->bitmap_top);
        b.glyph.advance = f32(slot->advance.x >> 6);
        out.push_back(std::move(b));
    }
    FT_Done_Face(face);
    FT_Done_FreeType(library);
    if (ok && out.empty()) {
        error = "the font '" + source.font + "' has a glyph for none of the code points";
        ok = false;
    }
    return ok;
}

u32 next_power_of_two(u32 v)
{
    u32 p = 1;
    while (p < v)
        p <<= 1;
    return p;
}

} // namespace

bool compile_font_source(const char *text, u64 size_bytes, const std::string &directory, CompiledFont &out,
                         std::string &error)
{
    ConfigValue *root = parse_source_text(text, size_bytes, error);
    if (!root)
        return false;
    Source source;
    const bool ok = read_source(*root, source, error);
    destroy_config_root(root);
    if (!ok) {
        error = with_source_line(text, size_bytes, error);
        return false;
    }
    std::string path = source.font[0] == '/' || directory.empty() ? source.font : directory + "/" + source.font;
    std::vector<Bitmap> glyphs;
    f32 base = 0;
    u32 line_height = 0;
    if (!rasterise(source, path, glyphs, base, line_height, error)) {
        error = with_source_line(text, size_bytes, error);
        return false;
    }
    // Rows of glyphs left to right, a new row when one does not fit.
    u32 width = texture_width;
    for (const Bitmap &b : glyphs)
        width = std::max(width, next_power_of_two(b.width + 2 * source.padding));
    u32 x = 0, y = 0, row_height = 0;
    for (Bitmap &b : glyphs) {
        u32 w = b.width + 2 * source.padding, h = b.height + 2 * source.padding;
        if (x + w > width) {
            x = 0;
            y += row_height;
            row_height = 0;
        }
        b.glyph.x = f32(x + source.padding);
        b.glyph.y = f32(y + source.padding);
        x += w;
        row_height = std::max(row_height, h);
    }
    u32 height = next_power_of_two(std::max(y + row_height, 1u));
    std::vector<u8> texels(size_t(width) * height * 4, 0);
    for (size_t i = 0; i < texels.size(); i += 4)
        texels[i] = texels[i + 1] = texels[i + 2] = 255; // white; coverage goes into alpha
    for (const Bitmap &b : glyphs)
        for (u32 row = 0; row < b.height; ++row)
            for (u32 col = 0; col < b.width; ++col) {
                size_t at = (size_t(u32(b.glyph.y) + row) * width + u32(b.glyph.x) + col) * 4;
                texels[at + 3] = b.coverage[size_t(row) * b.width + col];
            }
    FontDescription font;
    font.design_size = f32(source.size);
    font.line_height = line_height;
    font.base_height = base;
    font.texture_width = f32(width);
    font.texture_height = f32(height);
    for (const Bitmap &b : glyphs)
        font.glyphs.push_back(b.glyph);
    out.font = write_font(font);
    DdsDescription dds;
    dds.width = width;
    dds.height = height;
    out.texture = write_dds(dds, texels);
    return true;
}

} // namespace tallow
