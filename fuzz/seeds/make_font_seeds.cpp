// Writes font seeds with the shared writer: make_font_seeds <dir>.
#include "fuzz/fuzz_support.h"
#include "tests/support/writers/font_writer.h"

#include <cstdio>
#include <string>

using namespace tallow;

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_font_seeds <dir>\n");
        return 2;
    }
    const std::string dir = argv[1];
    FontDescription f;
    f.glyphs = {{' ', 0, 0, 0, 0, 0, 0, 6}, {'A', 2, 2, 10, 12, 1, 2, 11}, {0xE9, 14, 2, 9, 13, 1, 1, 10},
                {0x20AC, 26, 2, 12, 12, 0, 2, 13}};
    std::vector<u8> bytes = write_font(f);
    fuzz::write_seed(dir + "/four_glyphs.font", bytes.data(), bytes.size());
    FontDescription one;
    one.glyphs = {{'x', 1, 1, 5, 5, 0, 0, 6}};
    bytes = write_font(one);
    fuzz::write_seed(dir + "/one_glyph.font", bytes.data(), bytes.size());
    return 0;
}
