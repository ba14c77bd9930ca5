// The stereo parameters step: what it writes for each driver state, the texture bytes and
// the keys of its update and copy.
#include "render/generators/nv_stereo_params.h"
#include "tests/render/generators/generator_test_support.h"

#include <cstring>

using namespace tallow;
using namespace tallow::test;
using tallow::resource_generator::NVStereoParamsModifier;

namespace {

constexpr const char *stereo_config = R"(
resource_generators = { post = { modifiers = [ { type = "nv_stereo_params" output = "hdr" } ] } }
)";

f32 f32_at(const u8 *bytes, u32 offset)
{
    f32 v;
    memcpy(&v, bytes + offset, 4);
    return v;
}

u32 u32_at(const u8 *bytes, u32 offset)
{
    return u32(bytes[offset]) | u32(bytes[offset + 1]) << 8 | u32(bytes[offset + 2]) << 16 | u32(bytes[offset + 3]) << 24;
}

const NVStereoParamsModifier &stereo_step(GeneratorScene &scene)
{
    return static_cast<const NVStereoParamsModifier &>(*scene.generators.find(NameId32("post").value())->modifiers()[0]);
}

} // namespace

TEST(StereoParams, TextureHoldsEyeOffsetsByHalfAndTheSignatureRow)
{
    StereoReading reading;
    reading.activated = true;
    reading.separation_percent = 50.0f;
    reading.eye_separation = 0.06f;
    reading.convergence = 2.0f;
    u8 bytes[resource_generator::stereo_texture_bytes];
    resource_generator::write_stereo_texture(reading, bytes);
    const f32 a = 0.06f * 0.5f, b = 0.06f * 0.5f * 2.0f;
    for (u32 y = 0; y < 4; ++y)
        for (u32 x = 0; x < 16; ++x) {
            SCOPED_TRACE(testing::Message() << "texel " << x << ", " << y);
            const u32 at = (y * 16 + x) * 16;
            const f32 sign = x < 8 ? 1.0f : -1.0f;
            EXPECT_FLOAT_EQ(f32_at(bytes, at), sign * a);
            EXPECT_FLOAT_EQ(f32_at(bytes, at + 4), -sign * b);
            EXPECT_EQ(f32_at(bytes, at + 8), 0.0f);
            EXPECT_EQ(f32_at(bytes, at + 12), 0.0f);
        }
    EXPECT_NEAR(f32_at(bytes, 0), 0.03f, 1e-7f);
    EXPECT_NEAR(f32_at(bytes, 4), -0.06f, 1e-7f);
    const u32 header = 4 * 16 * 16;
    EXPECT_EQ(memcmp(bytes + header, "NV3D", 4), 0);
    EXPECT_EQ(u32_at(bytes, header + 4), 16u);
    EXPECT_EQ(u32_at(bytes, header + 8), 5u);
    EXPECT_EQ(u32_at(bytes, header + 12), 128u);
    for (u32 i = header + 16; i < sizeof bytes; ++i)
        ASSERT_EQ(bytes[i], 0) << "rest of the header row at byte " << i;
}

TEST(StereoParams, WritesOnlyWhenTheDriverStateChanges)
{
    GeneratorScene scene;
    ASSERT_TRUE(scene.load(stereo_config));
    const NVStereoParamsModifier &step = stereo_step(scene);
    const RenderResourceHandle hdr = scene.instance(scene.hdr)->handle;
    const u64 key = step_key(1);

    // No stereo handle on the device: nothing at all.
    EXPECT_TRUE(scene.run().empty());

    // Stereo enabled but not activated: one copy of the zero texture, then nothing.
    scene.device.set_stereo(StereoReading{});
    std::vector<DecodedCommand> commands = scene.run();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].type, RenderCommand::CopyTarget);
    EXPECT_EQ(commands[0].copy.destination, hdr);
    EXPECT_EQ(commands[0].copy.source, step.reset_texture().handle);
    EXPECT_EQ(u64(commands[0].key), key | (2ull << 36));
    EXPECT_TRUE(scene.run().empty());

    // Activated: the texture's update under sub-key 1, the copy under sub-key 2.
    StereoReading on;
    on.activated = true;
    on.separation_percent = 50.0f;
    on.eye_separation = 0.06f;
    on.convergence = 2.0f;
    scene.device.set_stereo(on);
    commands = scene.run();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].type, RenderCommand::UpdateTexture);
    EXPECT_EQ(commands[0].texture.handle, step.parameter_texture().handle);
    EXPECT_EQ(commands[0].texture.description.width, 16u);
    EXPECT_EQ(commands[0].texture.description.height, 5u);
    EXPECT_EQ(commands[0].texture.description.format, 9u);
    EXPECT_EQ(u64(commands[0].key), key | (1ull << 36));
    EXPECT_EQ(commands[1].type, RenderCommand::CopyTarget);
    EXPECT_EQ(commands[1].copy.source, step.parameter_texture().handle);
    EXPECT_EQ(u64(commands[1].key), key | (2ull << 36));
    // The box stays inside the 16 x 5 source (the 640 x 360 output is larger).
    const u32 box[6] = {0, 0, 0, 16, 5, 1};
    EXPECT_EQ(memcmp(commands[1].copy.box, box, sizeof box), 0);
    EXPECT_NEAR(f32_at(step.parameter_bytes(), 0), 0.03f, 1e-7f);
    EXPECT_TRUE(scene.run().empty()) << "same values: nothing";

    // Switched off again: the zero texture covers the whole parameter area.
    scene.device.set_stereo(StereoReading{});
    commands = scene.run();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].copy.source, step.reset_texture().handle);
    EXPECT_EQ(step.reset_texture().description.width, 16u);
    EXPECT_EQ(step.reset_texture().description.height, 5u);
}

TEST(StereoParams, CopyBoxShrinksToASmallOutputAndAMissingOutputIsRefused)
{
    GeneratorScene scene;
    RenderTarget tiny{scene.allocator};
    tiny.description = {9, 0, 4, 2, 1, 1};
    RenderResourceContext *context = scene.device.alloc_resource_context();
    ASSERT_TRUE(context->create_resource(&tiny));
    scene.submit(context);
    scene.resources.add(NameId32("tiny").value(), &tiny);
    test::LogCapture log("render");
    EXPECT_FALSE(scene.load(R"(resource_generators = { post = { modifiers = [ { type = "nv_stereo_params" } ] } })"));
    EXPECT_TRUE(log.contains("needs an \"output\""));
    ASSERT_TRUE(scene.load(
        R"(resource_generators = { post = { modifiers = [ { type = "nv_stereo_params" output = "tiny" } ] } })"));
    StereoReading on;
    on.activated = true;
    on.separation_percent = 10.0f;
    scene.device.set_stereo(on);
    const auto copies = GeneratorScene::of_type(scene.run(), RenderCommand::CopyTarget);
    ASSERT_EQ(copies.size(), 1u);
    const u32 box[6] = {0, 0, 0, 4, 2, 1};
    EXPECT_EQ(memcmp(copies[0].copy.box, box, sizeof box), 0);
    context = scene.device.alloc_resource_context();
    scene.generators.clear(context);
    context->release_resource(&tiny);
    scene.submit(context);
}
