// A "wav" resource played to its end: the head checks, the Vorbis stream (stb_vorbis over
// any bytes) and the mixer reading the data. Any bytes either play within bounds or are
// refused.
#include "fuzz/fuzz_support.h"
#include "sound/sound_world.h"

#include <vector>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    // A copy of exactly `size` bytes, so a read past the end is caught.
    std::vector<u8> bytes(data, data + size);
    SoundSettings settings;
    settings.output = audio::AudioOutputKind::Manual;
    SoundWorld world(default_allocator(), settings, false, nullptr);
    SoundResource resource{bytes.data(), bytes.size()};
    u32 id = world.play(&resource, false, 0);
    std::vector<f32> out(2 * 2400);
    // A stream ends at its data's end; cap the walk at 200 updates (10 s of sound).
    for (int i = 0; i < 200 && world.source(id); ++i) {
        world.update();
        world.device()->engine()->render(out.data(), 2400);
    }
    return 0;
}
