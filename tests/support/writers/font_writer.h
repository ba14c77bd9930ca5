#pragma once
// Writes "font" resource bytes (render/gui/font.h): the six header words, then the glyph
// records in the order given (the reader wants them ascending by code point). Shared by the
// render tests, the font compiler and the fuzz seeds.
//
//   FontDescription f;  f.design_size = 16; f.texture_width = 256; f.texture_height = 256;
//   f.glyphs.push_back({'A', 0, 0, 10, 12, 1, 2, 11});
//   std::vector<u8> bytes = write_font(f);

#include "render/gui/font.h"

#include <vector>

namespace tallow {

struct FontDescription {
    f32 design_size = 16;
    u32 line_height = 0;  // word 1; the layout does not read it
    f32 base_height = 12;
    f32 texture_width = 256;
    f32 texture_height = 256;
    std::vector<FontGlyph> glyphs;
    u32 count_override = 0xFFFFFFFFu; // written in place of the glyph count when set
};

std::vector<u8> write_font(const FontDescription &description);

} // namespace tallow
