// The "particles" reader and checks, and effects run over what they accept: any bytes are
// either refused or simulate, spawn and write vertices within their bounds.
#include "fuzz/fuzz_support.h"
#include "render/particles/particle_effect.h"

#include <vector>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    std::vector<u8> bytes(data, data + size); // exactly `size` bytes: a read past the end is caught
    ParticleEffectResource *resource = read_particle_effect(bytes.data(), bytes.size(), default_allocator());
    if (!resource)
        return 0;
    ParticleEffect *effect = ParticleEffect::create(default_allocator(), *resource, 1, 0, matrix4x4_identity, 7);
    if (effect) {
        for (u32 s = 0; s < effect->system_count(); ++s)
            effect->spawn(s, {0, 0, 1}, {0, 0, 1}, 64);
        for (int i = 0; i < 8; ++i)
            effect->update(0.05f);
        for (u32 e = 0; e < effect->emitter_count(); ++e)
            effect->emitter(e).build_vertices(matrix4x4_identity, effect->effect_time());
        ParticleEffect::destroy(effect, nullptr);
    }
    destroy_particle_effect(resource);
    return 0;
}
