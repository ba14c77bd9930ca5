#pragma once
// Sound tests: a SoundWorld on a manual output (the test pulls the mixed samples), the
// committed Ogg files and a fake unit table for links.

#include "foundation/memory/memory_globals.h"
#include "sound/sound_world.h"
#include "tests/support/writers/sound_resource_writer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace tallow::test {

inline std::vector<u8> read_test_file(const char *name)
{
    std::ifstream in(std::string(TALLOW_SOUND_TEST_DATA) + "/" + name, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline SoundSettings manual_settings(u32 channels = 2, u32 rate = 48000)
{
    SoundSettings s;
    s.output = audio::AudioOutputKind::Manual;
    s.channels = channels;
    s.sample_rate = rate;
    return s;
}

inline SoundResource as_resource(const std::vector<u8> &bytes) { return {bytes.data(), bytes.size()}; }

/// Units by handle, each a list of node world poses; a unit removed is "destroyed".
struct FakeUnits {
    std::map<u32, std::vector<Matrix4x4>> units;
    SoundLinkResolver resolver()
    {
        return {this, [](void *context, u32 unit, u32 node, Matrix4x4 &out) {
                    auto &self = *static_cast<FakeUnits *>(context);
                    auto it = self.units.find(unit);
                    if (it == self.units.end() || node >= it->second.size())
                        return false;
                    out = it->second[node];
                    return true;
                }};
    }
};

inline Matrix4x4 pose_at(f32 x, f32 y, f32 z)
{
    Matrix4x4 m = matrix4x4_identity;
    set_translation(m, {x, y, z});
    return m;
}

struct SoundWorldFixture : ::testing::Test {
    void make(u32 channels = 2, u32 rate = 48000, Allocator *parent = nullptr)
    {
        resolver = units.resolver();
        world = std::make_unique<SoundWorld>(parent ? *parent : default_allocator(), manual_settings(channels, rate),
                                             false, &resolver);
        ASSERT_TRUE(world->has_device());
    }
    void TearDown() override { world.reset(); }

    /// Mixes `frames` frames and returns them interleaved.
    std::vector<f32> render(u32 frames)
    {
        u32 n = world->device()->output_channels();
        std::vector<f32> out(u64(frames) * n);
        world->device()->engine()->render(out.data(), frames);
        return out;
    }
    std::vector<f32> matrix_of(u32 id)
    {
        SoundSource *s = world->source(id);
        std::vector<f32> m(64, -1.0f);
        EXPECT_TRUE(world->device()->engine()->get_output_matrix(s->voice(), world->device()->master(), m.data(), 64));
        m.resize(s->format().channels * world->device()->output_channels());
        return m;
    }
    f32 reverb_send(u32 id, u32 channel = 0)
    {
        SoundSource *s = world->source(id);
        f32 m[8] = {};
        EXPECT_TRUE(world->device()->engine()->get_output_matrix(s->voice(), world->device()->reverb(), m, 8));
        return m[channel];
    }

    FakeUnits units;
    SoundLinkResolver resolver;
    std::unique_ptr<SoundWorld> world;
};

} // namespace tallow::test
