// Writes "wav" resource seeds with the shared writer: make_sound_seeds <dir> <ogg>...
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/writers/sound_resource_writer.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

using namespace tallow;

namespace {
void save(const std::string &path, const std::vector<u8> &bytes) { fuzz::write_seed(path, bytes.data(), bytes.size()); }
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: make_sound_seeds <dir> [ogg files]\n");
        return 2;
    }
    memory_globals_init();
    std::string dir = argv[1];
    save(dir + "/pcm16_mono.wav", test::write_pcm16_resource(1, 22050, std::vector<i16>(300, 1200), 0));
    save(dir + "/pcm16_stereo.wav", test::write_pcm16_resource(2, 48000, std::vector<i16>(400, -900), 5));
    save(dir + "/float_mono.wav", test::write_float_resource(1, 8000, std::vector<f32>(100, 0.25f), 0));
    for (int i = 2; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::vector<u8> ogg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        save(dir + "/vorbis_" + std::to_string(i - 1) + ".wav", test::write_vorbis_resource(ogg, 1, 8000, 0));
    }
    memory_globals_shutdown();
    return 0;
}
