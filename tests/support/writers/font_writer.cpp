#include "tests/support/writers/font_writer.h"

#include <cstring>

namespace tallow {

namespace {

template <typename T> void put(std::vector<u8> &out, T value)
{
    const size_t at = out.size();
    out.resize(at + sizeof(T));
    memcpy(out.data() + at, &value, sizeof(T));
}

} // namespace

std::vector<u8> write_font(const FontDescription &d)
{
    std::vector<u8> out;
    put(out, d.design_size);
    put(out, d.line_height);
    put(out, d.base_height);
    put(out, d.texture_width);
    put(out, d.texture_height);
    put(out, d.count_override != 0xFFFFFFFFu ? d.count_override : u32(d.glyphs.size()));
    for (const FontGlyph &g : d.glyphs) {
        put(out, g.code_point);
        for (f32 v : {g.x, g.y, g.width, g.height, g.x_offset, g.y_offset, g.advance})
            put(out, v);
    }
    return out;
}

} // namespace tallow
