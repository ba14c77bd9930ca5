// The font compiler: DejaVu Sans (fonts-dejavu-core) rasterised into a font the reader takes
// and a texture whose alpha holds the glyphs, and sources it refuses with their lines.
#include "foundation/memory/memory_globals.h"
#include "render/gui/font.h"
#include "render/textures/texture_resource.h"
#include "tools/render/font_compiler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tallow {
namespace {

constexpr const char *dejavu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

bool compile(const std::string &source, CompiledFont &out, std::string &error)
{
    return compile_font_source(source.data(), source.size(), "", out, error);
}

TEST(FontCompiler, RasterisesTheRangesIntoAFontAndItsTexture)
{
    CompiledFont out;
    std::string error;
    ASSERT_TRUE(compile(std::string("font = \"") + dejavu + "\"\nsize = 24\nranges = [ [32 126] [8364 8364] ]\n", out,
                        error))
        << error;
    Font font;
    ASSERT_TRUE(read_font(out.font.data(), out.font.size(), font));
    EXPECT_EQ(font.design_size(), 24.0f);
    EXPECT_EQ(font.glyph_count(), 95u + 1u);
    FontGlyph a, euro, space;
    ASSERT_TRUE(font.find_glyph('A', a));
    ASSERT_TRUE(font.find_glyph(0x20AC, euro));
    ASSERT_TRUE(font.find_glyph(' ', space));
    EXPECT_EQ(font.glyph(0).code_point, u32(' ')); // the stand-in for missing characters
    EXPECT_GT(a.width, 8.0f);
    EXPECT_GT(a.height, 12.0f);
    EXPECT_GT(a.advance, a.width * 0.8f);
    EXPECT_EQ(space.width, 0.0f);
    EXPECT_GT(space.advance, 0.0f);
    // 'A' stands on the baseline: its bottom is the base height below the top.
    EXPECT_NEAR(a.y_offset + a.height, font.base_height(), 1.0f);

    TextureImage *image = read_texture_image(out.texture.data(), out.texture.size(), default_allocator());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->description.width, 512u);
    // Alpha inside 'A''s box is the glyph's coverage; the texel colour is white.
    u32 covered = 0;
    for (u32 row = 0; row < u32(a.height); ++row)
        for (u32 col = 0; col < u32(a.width); ++col) {
            const u8 *texel = image->texels + ((u32(a.y) + row) * image->description.width + u32(a.x) + col) * 4;
            EXPECT_EQ(texel[0], 255);
            covered += texel[3] > 128;
        }
    EXPECT_GT(covered, 20u);
    destroy_texture_image(image);
}

TEST(FontCompiler, RefusesSourcesItCannotUse)
{
    const std::string font_line = std::string("font = \"") + dejavu + "\"\n";
    struct Case {
        const char *name;
        std::string source;
        const char *error;
    };
    const Case cases[] = {
        {"unknown key", font_line + "size = 24\nranges = [ [32 126] ]\ncolour = 1\n", "unknown key 'colour'"},
        {"no font", "size = 24\nranges = [ [32 126] ]\n", "'font'"},
        {"no such file", "font = \"/nonexistent/font.ttf\"\nsize = 24\nranges = [ [32 126] ]\n", "cannot open"},
        {"size too small", font_line + "size = 2\nranges = [ [32 126] ]\n", "'size'"},
        {"no ranges", font_line + "size = 24\n", "'ranges'"},
        {"backwards range", font_line + "size = 24\nranges = [ [126 32] ]\n", "ascending"},
        {"past unicode", font_line + "size = 24\nranges = [ [32 1114112] ]\n", "ascending"},
        {"too many", font_line + "size = 24\nranges = [ [0 70000] ]\n", "more than"},
        {"no glyph at all", font_line + "size = 24\nranges = [ [57344 57360] ]\n", "none of the code points"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CompiledFont out;
        std::string error;
        EXPECT_FALSE(compile(c.source, out, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

} // namespace
} // namespace tallow
