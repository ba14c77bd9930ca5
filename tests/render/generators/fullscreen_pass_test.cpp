#include "render/generators/compute_kernel.h"
#include "render/generators/fullscreen_pass.h"
#include "tests/render/generators/generator_test_support.h"

namespace tallow {
namespace {

using resource_generator::ComputeKernel;
using resource_generator::FullscreenPass;
using resource_generator::FullscreenVertex;
using test::DecodedCommand;
using test::GeneratorScene;
using test::id32;
using test::step_key;

std::string pass_text(const char *keys)
{
    return std::string("resource_generators = { post = { modifiers = [ { type = \"fullscreen_pass\" ") + keys +
           " } ] } }";
}

std::string kernel_text(const char *keys)
{
    return std::string("resource_generators = { post = { modifiers = [ { type = \"compute_kernel\" shader = \"cs\" ") +
           keys + " } ] } }";
}

// The three vertices an update command uploads (read while the frame's data still lives).
std::vector<FullscreenVertex> uploaded(const DecodedCommand &update)
{
    std::vector<FullscreenVertex> v(3);
    memcpy(v.data(), update.buffer.data, sizeof(FullscreenVertex) * 3);
    return v;
}

// The value of variable `name` in the constant block a draw points at.
const f32 *draw_constant(GeneratorScene &scene, const DecodedCommand &draw, const char *shader, const char *name)
{
    const ShaderVariable *v = scene.shaders.find_shader(id32(shader))->find_variable(id32(name));
    return v ? reinterpret_cast<const f32 *>(static_cast<const u8 *>(draw.draw.constant_block) + v->offset) : nullptr;
}

TEST(FullscreenPass, WritesTargetsDepthClearUpdateAndDrawUnderItsKey)
{
    GeneratorScene scene;
    ASSERT_TRUE(scene.load(pass_text("shader = \"fs\" output = \"hdr back_buffer\" input = \"noise\" "
                                     "depth_stencil_target = \"depth\" clear_flags = \"SURFACE DEPTH\"")
                               .c_str()));
    const std::vector<DecodedCommand> commands = scene.run();
    RenderTarget *back = scene.device.render_target(scene.device.back_buffer_key(), 0);

    std::vector<RenderCommand> types;
    for (const DecodedCommand &c : commands)
        types.push_back(c.type);
    std::vector<RenderCommand> expected(8, RenderCommand::SetRenderTarget);
    expected.insert(expected.end(), {RenderCommand::SetDepthStencil, RenderCommand::Clear,
                                     RenderCommand::UpdateVertexBuffer, RenderCommand::DrawBatch});
    ASSERT_EQ(types.size(), expected.size());
    // The update shares the segment's key, so either may sort first; both precede the draw.
    EXPECT_TRUE(std::is_permutation(types.begin(), types.end(), expected.begin()));
    EXPECT_EQ(types.back(), RenderCommand::DrawBatch);

    const auto slots = GeneratorScene::of_type(commands, RenderCommand::SetRenderTarget);
    for (u32 i = 0; i < 8; ++i) {
        EXPECT_EQ(slots[i].set_target.slot, i);
        EXPECT_EQ(slots[i].set_target.target, i == 0 ? scene.instance(scene.hdr) : i == 1 ? back : nullptr) << i;
        EXPECT_EQ(u64(slots[i].key), step_key(1));
        EXPECT_TRUE(slots[i].segment);
    }
    const auto depth = GeneratorScene::of_type(commands, RenderCommand::SetDepthStencil);
    EXPECT_EQ(depth[0].depth.target, scene.instance(scene.depth));
    EXPECT_EQ(GeneratorScene::of_type(commands, RenderCommand::Clear)[0].clear_flags, 3u);

    const DecodedCommand draw = GeneratorScene::of_type(commands, RenderCommand::DrawBatch)[0];
    EXPECT_EQ(u64(draw.key), step_key(1) | 1u);
    EXPECT_EQ(draw.draw.vertex_count, 3u);
    EXPECT_EQ(draw.draw.primitive_count, 1u);
    const FullscreenPass &pass =
        static_cast<const FullscreenPass &>(*scene.generators.find(id32("post"))->modifiers()[0]);
    ASSERT_EQ(draw.bindings.size(), 2u);
    EXPECT_EQ(draw.bindings[0].handle, pass.view_buffer(0).resource.handle);
    EXPECT_EQ(draw.bindings[1].handle, pass.declaration().resource.handle);
    EXPECT_EQ(pass.declaration().channel_count, 2u);

    // Input 0 is the noise texture (16 x 8), with its size constants.
    const ShaderVariable *texture = scene.shaders.find_shader(id32("fs"))->find_variable(id32("input_texture0"));
    ASSERT_NE(texture, nullptr);
    u32 bound = 0;
    memcpy(&bound, static_cast<const u8 *>(draw.draw.constant_block) + texture->offset, 4);
    EXPECT_EQ(bound, scene.noise.handle);
    const f32 *size = draw_constant(scene, draw, "fs", "input_texture0_size");
    const f32 *inverse = draw_constant(scene, draw, "fs", "inv_input_texture0_size");
    EXPECT_EQ(size[0], 16.0f);
    EXPECT_EQ(size[1], 8.0f);
    EXPECT_EQ(inverse[0], 1.0f / 16);
    EXPECT_EQ(inverse[1], 1.0f / 8);
}

TEST(FullscreenPass, ClearFlagsAndOutputs)
{
    struct Case {
        const char *keys;
        u32 clear;     // 0: no clear command
        u32 outputs;   // slots bound
    };
    const Case cases[] = {
        {"clear_flags = \"SURFACE DEPTH\"", 3, 0},
        {"clear_flags = \"STENCIL\"", 4, 0},
        {"clear_flags = \"BOGUS WORDS\"", 0, 0},
        {"", 0, 0},
        {"output = \"hdr hdr hdr hdr hdr hdr hdr hdr hdr hdr\"", 0, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        GeneratorScene scene;
        test::LogCapture log("render");
        ASSERT_TRUE(scene.load(pass_text((std::string("shader = \"fs\" ") + c.keys).c_str()).c_str()));
        const std::vector<DecodedCommand> commands = scene.run();
        const auto clears = GeneratorScene::of_type(commands, RenderCommand::Clear);
        EXPECT_EQ(clears.size(), c.clear ? 1u : 0u);
        if (c.clear && !clears.empty()) {
            EXPECT_EQ(clears[0].clear_flags, c.clear);
        }
        u32 bound = 0;
        for (const DecodedCommand &slot : GeneratorScene::of_type(commands, RenderCommand::SetRenderTarget))
            bound += slot.set_target.target ? 1 : 0;
        EXPECT_EQ(bound, c.outputs);
        EXPECT_EQ(GeneratorScene::of_type(commands, RenderCommand::SetRenderTarget).size(), 8u);
        if (c.outputs == 8) {
            EXPECT_TRUE(log.contains("10 output targets named"));
        }
    }
}

TEST(FullscreenPass, TextureCoordinatesCoverTheSourceViewport)
{
    struct Case {
        const char *name;
        Viewport rect;
        u32 width, height;
        FullscreenVertex expected[3];
    };
    const Case cases[] = {
        {"whole target", {0, 0, 1, 1, 0, 1}, 1280, 720, {{-1, -3, 0, 0, 2}, {3, 1, 0, 2, 0}, {-1, 1, 0, 0, 0}}},
        {"right half", {0.5f, 0, 0.5f, 1, 0, 1}, 1280, 720, {{-1, -3, 0, 0.5f, 2}, {3, 1, 0, 1.5f, 0}, {-1, 1, 0, 0.5f, 0}}},
        {"bottom-left quarter, odd size", {0, 0.5f, 0.5f, 0.5f, 0, 1}, 1281, 721,
         {{-1, -3, 0, 0, (2 * 720.0f - 360) / 721}, {3, 1, 0, 1280.0f / 1281, 360.0f / 721}, {-1, 1, 0, 0, 360.0f / 721}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FullscreenVertex v[3];
        FullscreenPass::texture_coordinates(c.rect, f32(c.width), f32(c.height), v);
        for (u32 i = 0; i < 3; ++i) {
            EXPECT_EQ(v[i].x, c.expected[i].x);
            EXPECT_EQ(v[i].y, c.expected[i].y);
            EXPECT_FLOAT_EQ(v[i].u, c.expected[i].u) << i;
            EXPECT_FLOAT_EQ(v[i].v, c.expected[i].v) << i;
        }
    }

    // Through a frame: the first output sizes the view; the same rectangle on the next
    // frame writes no update, a new one does.
    GeneratorScene scene;
    ASSERT_TRUE(scene.load(pass_text("shader = \"fs\" output = \"back_buffer\"").c_str()));
    const Viewport right{0.5f, 0, 0.5f, 1, 0, 1};
    auto updates = GeneratorScene::of_type(scene.run({right}), RenderCommand::UpdateVertexBuffer);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(uploaded(updates[0])[0].u, 0.5f);
    EXPECT_EQ(uploaded(updates[0])[1].u, 1.5f);
    EXPECT_TRUE(GeneratorScene::of_type(scene.run({right}), RenderCommand::UpdateVertexBuffer).empty());
    updates = GeneratorScene::of_type(scene.run({{0, 0, 1, 1, 0, 1}}), RenderCommand::UpdateVertexBuffer);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(uploaded(updates[0])[1].u, 2.0f);

    // Without respect_src_viewport the coordinates stay those of the whole target.
    GeneratorScene plain;
    ASSERT_TRUE(plain.load(pass_text("shader = \"fs\" output = \"back_buffer\" respect_src_viewport = false").c_str()));
    EXPECT_TRUE(GeneratorScene::of_type(plain.run({right}), RenderCommand::UpdateVertexBuffer).empty());
}

TEST(FullscreenPass, TwoViewsInOneFrameKeepTheirOwnRectangles)
{
    GeneratorScene scene;
    ASSERT_TRUE(scene.load(pass_text("shader = \"fs\" output = \"back_buffer\"").c_str()));
    const Viewport left{0, 0, 0.5f, 1, 0, 1}, right{0.5f, 0, 0.5f, 1, 0, 1};
    for (u32 frame = 0; frame < 3; ++frame) {
        SCOPED_TRACE(frame);
        const std::vector<DecodedCommand> commands = scene.run({left, right});
        const auto draws = GeneratorScene::of_type(commands, RenderCommand::DrawBatch);
        ASSERT_EQ(draws.size(), 2u);
        ASSERT_NE(draws[0].bindings[0].handle, draws[1].bindings[0].handle) << "each view draws its own buffer";
        // What each draw's buffer holds when the device executes the frame: its own view's
        // coordinates (updates only in the first frame; later frames reuse the buffers).
        const FullscreenPass &pass =
            static_cast<const FullscreenPass &>(*scene.generators.find(id32("post"))->modifiers()[0]);
        std::vector<f32> lefts;
        for (const DecodedCommand &draw : draws)
            for (u32 i = 0; i < resource_generator::max_fullscreen_views; ++i)
                if (pass.view_buffer(i).resource.handle == draw.bindings[0].handle) {
                    FullscreenVertex v[3];
                    memcpy(v, pass.view_buffer(i).data->data(), sizeof v);
                    lefts.push_back(v[0].u);
                }
        std::sort(lefts.begin(), lefts.end());
        EXPECT_EQ(lefts, (std::vector<f32>{0.0f, 0.5f}));
        EXPECT_EQ(GeneratorScene::of_type(commands, RenderCommand::UpdateVertexBuffer).size(), frame == 0 ? 2u : 0u);
    }

    // More views with different rectangles than buffers: the later ones draw nothing.
    test::LogCapture log("render");
    std::vector<Viewport> views;
    for (u32 i = 0; i < resource_generator::max_fullscreen_views + 2; ++i)
        views.push_back({0.1f * f32(i), 0, 0.1f, 1, 0, 1});
    const std::vector<DecodedCommand> commands = scene.run(views);
    EXPECT_EQ(GeneratorScene::of_type(commands, RenderCommand::DrawBatch).size(), resource_generator::max_fullscreen_views);
    EXPECT_TRUE(log.contains("views with different rectangles"));
}

TEST(FullscreenPass, MissingPartsAreReportedNotFollowed)
{
    GeneratorScene scene;
    test::LogCapture log("render");
    ASSERT_TRUE(scene.load(R"(
resource_generators = { post = { modifiers = [
    { type = "fullscreen_pass" shader = "fs" }
    { type = "fullscreen_pass" shader = "fs" output = "ghost" input = "phantom" depth_stencil_target = "nowhere" }
    { type = "fullscreen_pass" material = "absent" output = "hdr" }
    { type = "fullscreen_pass" output = "hdr" }
    { type = "fullscreen_pass" shader = "elsewhere" output = "hdr" }
] } }
)"));
    EXPECT_TRUE(log.contains("without a \"material\" or \"shader\""));
    const std::vector<DecodedCommand> commands = scene.run();
    // 1: unsized, so the whole target's coordinates, and no update; 2: unknown names bind
    // nothing; 3 and 4: no shading, no draw; 5: a shader whose pass names another layer of
    // the configuration still draws at the step's place.
    EXPECT_TRUE(log.contains("needs an output or depth target"));
    EXPECT_TRUE(log.contains("output 0x"));
    EXPECT_TRUE(log.contains("input 0x"));
    EXPECT_TRUE(log.contains("material 0x"));
    EXPECT_TRUE(GeneratorScene::of_type(commands, RenderCommand::UpdateVertexBuffer).size() == 3u);
    const auto draws = GeneratorScene::of_type(commands, RenderCommand::DrawBatch);
    ASSERT_EQ(draws.size(), 3u);
    EXPECT_EQ(u64(draws[0].key), step_key(1) | 1u);
    EXPECT_EQ(u64(draws[1].key), step_key(2) | 1u);
    EXPECT_EQ(u64(draws[2].key), step_key(5) | 1u);
    for (const DecodedCommand &slot : GeneratorScene::of_type(commands, RenderCommand::SetRenderTarget))
        if (test::counter_of(slot.key) == 2) {
            EXPECT_EQ(slot.set_target.target, nullptr);
        }

    // A material of the environment draws with the material's context.
    ShaderContext material(scene.allocator);
    ASSERT_TRUE(scene.shaders.find_template(id32("fs"), material));
    scene.shading.materials[id32("absent")] = &material;
    EXPECT_EQ(GeneratorScene::of_type(scene.run(), RenderCommand::DrawBatch).size(), 4u);
}

TEST(ComputeKernel, DispatchesGroupCountsFromNumbersAndTargetSizes)
{
    struct Case {
        const char *keys;
        u32 back_buffer_width;
        u32 groups[3];
    };
    const Case cases[] = {
        {"thread_count_x = \"back_buffer\" thread_count_divider = 16", 1280, {80, 1, 1}},
        {"thread_count_x = \"back_buffer\" thread_count_divider = 16", 1281, {81, 1, 1}},
        {"thread_count_x = \"back_buffer\" thread_count_y = \"back_buffer\" thread_count_divider = [ 16 8 ]", 1280,
         {80, 90, 1}},
        {"thread_count_x = 64 thread_count_y = 64 thread_count_z = 64 thread_count_divider = 8", 1280, {8, 8, 8}},
        {"thread_count_x = \"hdr\" thread_count_y = \"hdr\" thread_count_z = \"hdr\" thread_count_divider = [ 7 7 ]", 1280,
         {92, 52, 1}},
        {"thread_count_x = 0", 1280, {0, 1, 1}},
        {"thread_count_x = 100 thread_count_divider = 0", 1280, {100, 1, 1}},
        {"thread_count_x = 100 thread_count_divider = [ 0 -3 1 9 ]", 1280, {100, 1, 1}},
        {"thread_count_x = 2.5", 1280, {1, 1, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        GeneratorScene scene;
        scene.back_buffer.description.width = c.back_buffer_width;
        ASSERT_TRUE(scene.load(kernel_text(c.keys).c_str()));
        const std::vector<DecodedCommand> commands = scene.run();
        const auto dispatches = GeneratorScene::of_type(commands, RenderCommand::DrawBatch);
        ASSERT_EQ(dispatches.size(), 1u);
        EXPECT_EQ(u64(dispatches[0].key), step_key(1) | 1u);
        EXPECT_EQ(dispatches[0].draw.primitive_count, 0u);
        EXPECT_EQ(dispatches[0].draw.thread_groups[0], c.groups[0]);
        EXPECT_EQ(dispatches[0].draw.thread_groups[1], c.groups[1]);
        EXPECT_EQ(dispatches[0].draw.thread_groups[2], c.groups[2]);
        const auto slots = GeneratorScene::of_type(commands, RenderCommand::SetRenderTarget);
        ASSERT_EQ(slots.size(), 8u);
        for (const DecodedCommand &slot : slots)
            EXPECT_EQ(slot.set_target.target, nullptr);
    }
    EXPECT_EQ(ComputeKernel::group_count(0xFFFFFFFFu, 2), 0x80000000u);
}

TEST(ComputeKernel, BindsInputsAndRefusesUnknownTargets)
{
    GeneratorScene scene;
    test::LogCapture log("render");
    ASSERT_TRUE(scene.load(R"(
resource_generators = { post = { modifiers = [
    { type = "compute_kernel" shader = "cs" input = "hdr" thread_count_x = 8 }
    { type = "compute_kernel" shader = "cs" thread_count_x = "ghost" }
] } }
)"));
    const std::vector<DecodedCommand> commands = scene.run();
    const auto dispatches = GeneratorScene::of_type(commands, RenderCommand::DrawBatch);
    ASSERT_EQ(dispatches.size(), 1u) << "an unknown target dispatches nothing";
    EXPECT_TRUE(log.contains("names 0x"));
    const f32 *size = draw_constant(scene, dispatches[0], "cs", "input_texture0_size");
    EXPECT_EQ(size[0], 640.0f);
    EXPECT_EQ(size[1], 360.0f);
    const ShaderVariable *texture = scene.shaders.find_shader(id32("cs"))->find_variable(id32("input_texture0"));
    u32 bound = 0;
    memcpy(&bound, static_cast<const u8 *>(dispatches[0].draw.constant_block) + texture->offset, 4);
    EXPECT_EQ(bound, scene.instance(scene.hdr)->handle);
}

} // namespace
} // namespace tallow
