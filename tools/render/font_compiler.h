#pragma once
// The font compiler: rasterises a TrueType font with FreeType into a "font" resource (the
// glyph table, render/gui/font.h) and its texture, a "texture" resource of the same name (an
// RGBA8 DDS image: white, with the glyphs' coverage in alpha).
//
// Source layout (config text, "<name>.font"):
//
//   font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"  // the TrueType file (required);
//                                                            // a relative path is taken from
//                                                            // the source's directory
//   size = 24                      // pixel height of the em (required, 4 to 256)
//   ranges = [ [32 126] [160 255] ] // inclusive code point ranges (required; at most 65536
//                                   // code points in all, each below U+110000)
//   padding = 1                    // empty pixels around each glyph in the texture (0 to 8)
//
// Code points the font has no glyph for are left out. Glyph metrics: the design size is
// `size`; the base height is the font's ascender, so a text's position is its baseline, a
// glyph's y offset is the ascender minus its bitmap's top and its x offset the bitmap's left
// bearing; the advance is the font's horizontal advance (whole pixels). Glyphs are packed in
// rows of a texture 512 pixels wide (wider for large glyphs), as tall as needed, rounded up
// to a power of two. Word 1 of the font holds the font's line height in pixels.
//
// Errors name the line where a line is known: an unknown key, a missing or malformed value,
// a font FreeType cannot open, no code point with a glyph.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

struct CompiledFont {
    std::vector<u8> font;    // the "font" resource
    std::vector<u8> texture; // the "texture" resource
};

/// Compiles a source; `directory` is where a relative font path starts ("" for the current
/// one). False with `error` ("<line>: <what>" where a line is known).
bool compile_font_source(const char *text, u64 size_bytes, const std::string &directory, CompiledFont &out,
                         std::string &error);

} // namespace tallow
