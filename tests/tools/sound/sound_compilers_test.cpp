// Sound sources: the sound environment compiler turns named I3DL2 values into the 52-byte
// block (the defaults where a key is left out, a value out of range refused with its line),
// and compiled sounds carry the default bus they play on when a script names none.
#include "platform/audio/audio_reverb.h"
#include "sound/sound_resource.h"
#include "foundation/strings/name_id.h"
#include "tools/sound/sound_compiler.h"
#include "tools/sound/sound_environment_compiler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tallow {
namespace {

std::vector<u8> block(const audio::I3dl2Reverb &r)
{
    std::vector<u8> bytes(audio::i3dl2_reverb_size_bytes);
    audio::write_i3dl2_reverb(r, bytes.data());
    return bytes;
}

TEST(SoundEnvironmentCompiler, NamedValuesBecomeTheReverbBlock)
{
    audio::I3dl2Reverb hall;
    hall.room = -500;
    hall.decay_time = 3.5f;
    hall.reverb_delay = 0.03f;
    hall.diffusion = 80;
    struct Case {
        const char *name;
        std::string source;
        std::vector<u8> expect; // empty: refused
        const char *error;
    };
    const Case cases[] = {
        {"every key left out: the defaults", "// nothing\n", block({}), ""},
        {"named values", "room = -500\ndecay_time = 3.5\nreverb_delay = 0.03\ndiffusion = 80\n", block(hall), ""},
        {"the block written by hand", std::string(reinterpret_cast<const char *>(block(hall).data()), 52), block(hall),
         ""},
        {"unknown key", "room = -500\ndecay = 3\n", {}, "2: unknown key 'decay'"},
        {"out of range", "room = -500\n\ndecay_time = 40\n", {}, "3: 'decay_time' must be a number from 0.1 to 20"},
        {"not a number", "reverb = \"loud\"\n", {}, "1: 'reverb' must be a number from -10000 to 2000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> out;
        std::string error;
        const bool ok = compile_sound_environment_source(c.source.data(), c.source.size(), out, error);
        EXPECT_EQ(ok, !c.expect.empty()) << error;
        if (ok)
            EXPECT_EQ(out, c.expect);
        else
            EXPECT_EQ(error, c.error);
    }
}

TEST(SoundCompiler, ACompiledSoundCarriesItsDefaultBus)
{
    std::ifstream file(TALLOW_SOURCE_DATA_DIR "/sounds/chime.wav", std::ios::binary);
    const std::vector<u8> wave((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(wave.empty());
    for (u32 bus : {0u, NameId32("effects").value()}) {
        std::vector<u8> resource;
        ASSERT_TRUE(compile_sound_source("chime.wav", wave, resource, bus));
        SoundData data;
        ASSERT_TRUE(read_sound_data({resource.data(), resource.size()}, data));
        EXPECT_EQ(data.default_bus, bus);
    }
}

} // namespace
} // namespace tallow
