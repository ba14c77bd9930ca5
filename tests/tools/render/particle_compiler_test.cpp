// The particle compiler: effect sources in config text become effects the engine's reader
// accepts and plays, and sources it does not fully understand fail with the place.
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "render/particles/particle_effect.h"
#include "tools/render/particle_compiler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace tallow {
namespace {

bool compile(const std::string &text, std::vector<u8> &out, std::string &error)
{
    return compile_particle_source(text.data(), text.size(), out, error);
}

const char *const fountain = R"(
    duration = 4
    systems = [
        {
            capacity = 32
            channels = [ ["age" "float"] ["lifetime" "float"] ["position" "vector"] ["velocity" "vector"] ]
            position = [0 0 2]
            spawn = [ ["zero" "age"] ["random_float" "lifetime" 1 1] ["spawn_velocity" "velocity"] ]
            simulate = [
                ["bursts" [[0.05 5] [0.15 7]] 0]
                ["age" "age" "lifetime"]
                ["euler" "position" "velocity"]
                ["follow" "position" "velocity" "none"]
            ]
            emitters = [ {
                material = "drop"
                sort = true
                stride = 16
                elements = [ ["position" "float3"] ["color" "ubyte4_norm"] ]
                output = [ ["vector" "position" 0] ["colour" "age" "lifetime" [[0 1]] [[0 10 20 30]] 12 0 "none"] ]
            } ]
        }
    ]
)";

TEST(ParticleCompiler, CompilesAnEffectThatPlays)
{
    std::vector<u8> bytes;
    std::string error;
    ASSERT_TRUE(compile(fountain, bytes, error)) << error;
    ParticleEffectResource *effect = read_particle_effect(bytes.data(), bytes.size(), default_allocator());
    ASSERT_NE(effect, nullptr);
    EXPECT_EQ(effect->duration, 4.0f);
    const ParticleSystemInfo &s = effect->systems[0];
    EXPECT_EQ(s.capacity, 32u);
    EXPECT_EQ(s.bytes_per_particle, 40u);
    EXPECT_EQ(s.local_pose.m[3][2], 2.0f);
    EXPECT_EQ(s.state_bytes, 8u + 68u);
    ASSERT_EQ(s.emitters.size(), 1u);
    EXPECT_EQ(s.emitters[0].material, NameId32("drop").value());
    EXPECT_EQ(s.emitters[0].flags, 1u);
    EXPECT_EQ(s.emitters[0].elements[1].offset, 12u);
    ParticleEffect *e = ParticleEffect::create(default_allocator(), *effect, 1, 0, matrix4x4_identity, 3);
    for (u32 i = 0; i < 3; ++i)
        e->update(0.1f);
    EXPECT_EQ(e->system(0).live_count, 12u) << "both bursts";
    e->emitter(0).build_vertices(matrix4x4_identity, e->effect_time());
    EXPECT_EQ(e->emitter(0).vertex_count(), 12u);
    ParticleEffect::destroy(e, nullptr);
    destroy_particle_effect(effect);
}

TEST(ParticleCompiler, RefusesWhatItDoesNotUnderstandWithItsLine)
{
    struct Case {
        const char *name;
        std::string from, to;
        const char *expected; // part of the message
    };
    const Case cases[] = {
        {"unknown operator", "\"euler\" \"position\"", "\"eulr\" \"position\"", "'eulr' is not an operator"},
        {"unknown channel", "[\"age\" \"age\" \"lifetime\"]", "[\"age\" \"age\" \"lifespan\"]", "'lifespan' is not a channel"},
        {"too many operands", "[\"spawn_velocity\" \"velocity\"]", "[\"spawn_velocity\" \"velocity\" 3]", "too many"},
        {"too few operands", "[\"euler\" \"position\" \"velocity\"]", "[\"euler\" \"position\"]", "too few"},
        {"unknown key", "capacity = 32", "capacity = 32 colour = 3", "unknown key 'colour'"},
        {"element type", "\"ubyte4_norm\"", "\"ubyte5\"", "'ubyte5' is not a vertex element type"},
        {"write past the stride", "stride = 16", "stride = 12", "would refuse"},
        {"channel kind", "[\"age\" \"float\"]", "[\"age\" \"double\"]", "'double' is not float or vector"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string source = fountain;
        size_t at = source.find(c.from);
        ASSERT_NE(at, std::string::npos);
        source.replace(at, c.from.size(), c.to);
        std::vector<u8> bytes;
        std::string error;
        EXPECT_FALSE(compile(source, bytes, error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(ParticleCompiler, CompilesTheSampleEffect)
{
    std::ifstream in(std::string(TALLOW_SOURCE_DATA_DIR) + "/effects/sparks.particles", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    std::vector<u8> bytes;
    std::string error;
    ASSERT_TRUE(compile(text, bytes, error)) << error;
}

} // namespace
} // namespace tallow
