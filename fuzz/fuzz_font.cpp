// The "font" reader and the layout over what it accepts: any bytes either read to a font
// whose every glyph lays out to finite corners (code points in the table, missing ones and
// malformed UTF-8 alike), or fail cleanly.
#include "fuzz/fuzz_support.h"
#include "render/gui/font.h"

#include <cmath>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    Font font;
    if (!read_font(data, size, font))
        return 0;
    if (font.glyph_count() == 0)
        __builtin_trap();
    f32 pen = 0;
    // The input itself as text: glyphs found or not, and any malformed sequences.
    for_each_code_point(reinterpret_cast<const char *>(data), size < 512 ? size : 512, [&](u32 cp) {
        GlyphQuad q;
        font.layout_glyph(cp, pen, 0, 16, q);
        FontGlyph g;
        if (font.find_glyph(cp, g) && g.code_point != cp)
            __builtin_trap();
        if (cp > 0x10FFFF)
            __builtin_trap();
    });
    for (u32 i = 0; i < font.glyph_count() && i < 4096; ++i) {
        FontGlyph g = font.glyph(i), found;
        if (!font.find_glyph(g.code_point, found) || found.code_point != g.code_point)
            __builtin_trap();
    }
    return 0;
}
