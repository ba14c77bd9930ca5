// Render contexts: draws, segments and layer set-up as the device decodes them.
#include "render/commands/render_context.h"
#include "render/resources/render_resource_set.h"
#include "tests/support/fakes/recording_render_device.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tallow {
namespace {

using test::DecodedCommand;

struct ContextFixture : ::testing::Test {
    Allocator &a = default_allocator();
    test::RecordingRenderDevice device{a};
    BackBufferWrapper back_buffer{a, 0};
    RenderResourceSet resources{a};
    LayerConfig config{a};
    RenderTarget *targets[4] = {};
    RenderContext *context = nullptr;

    void SetUp() override
    {
        device.add_window_targets(0, &back_buffer);
        RenderResourceContext *rc = device.alloc_resource_context();
        for (u32 i = 0; i < 4; ++i) {
            targets[i] = make_new<RenderTarget>(resources.allocator(), resources.allocator());
            resources.add(100 + i, targets[i], true, false);
        }
        resources.create_all(*rc);
        device.update_resources(1, &rc);
        device.release_resource_context(rc);

        config.index = 1;
        for (u32 l = 0; l < 2; ++l) {
            Layer layer;
            layer.name = 500 + l;
            EXPECT_TRUE(make_layer_key(l, &layer.key));
            config.layers.push_back(layer);
        }
        context = device.alloc_render_context();
        context->bind_layer_config(&config, &resources);
    }

    void TearDown() override
    {
        device.release_render_context(context);
        RenderResourceContext *rc = device.alloc_resource_context();
        resources.destroy_all(*rc);
        device.update_resources(1, &rc);
        device.release_resource_context(rc);
        EXPECT_TRUE(device.errors().empty()) << device.errors().front();
    }

    const std::vector<DecodedCommand> &dispatch()
    {
        device.dispatch(1, &context);
        return device.frames().back().commands;
    }
};

// A shader of three passes, taking part in config 1 with passes 0 and 2.
struct ThreePassShader {
    ShaderPassKeys passes[3];
    u32 constants[4] = {1, 2, 3, 4};
    ShaderSlotEntry slot;

    explicit ThreePassShader(const LayerConfig &config)
    {
        EXPECT_TRUE(make_pass_bits(config.layers[0].key, 0, false, &passes[0].sort_bits[1]));
        passes[0].sort_mode[1] = SortMode::FrontBack;
        EXPECT_TRUE(make_pass_bits(config.layers[1].key, 2, false, &passes[2].sort_bits[1]));
        passes[2].sort_mode[1] = SortMode::BackFront;
        passes[1].sort_bits[0] = 1; // only in another config
        slot.shader = make_render_handle(render_handle_kind::shader, 42);
        slot.passes = passes;
        slot.pass_count = 3;
        slot.constant_block = constants;
        slot.constant_size_bytes = sizeof constants;
    }
};

TEST_F(ContextFixture, MultiPassBatchIsOneRecordWithAnEntryPerPass)
{
    ThreePassShader shader(config);
    const GeometryBinding bindings[2] = {{5, 0x05000001u}, {6, 0x06000002u}};
    const char extra[6] = "extra";
    RenderBatch batch;
    batch.bindings = bindings;
    batch.binding_count = 2;
    batch.sort_depth = 2.0f;
    batch.primitive_count = 12;
    batch.instance_count = 3;
    batch.extra_data = extra;
    batch.extra_size_bytes = sizeof extra;
    batch.copy_constants = true;
    ASSERT_TRUE(context->render_batch(batch, shader.slot, 1ull << 40));

    ASSERT_EQ(context->entries().size(), 2u);
    const RenderSortEntry &e0 = context->entries()[0];
    const RenderSortEntry &e1 = context->entries()[1];
    EXPECT_EQ(e0.offset, e1.offset) << "both passes share one record";
    EXPECT_EQ(e0.length, e1.length);
    EXPECT_EQ(e0.segment, 0u);
    EXPECT_EQ(u64(e0.key), shader.passes[0].sort_bits[1] | (u64(2 * 65536) << 3) | (1ull << 40));
    EXPECT_EQ(u64(e1.key), shader.passes[2].sort_bits[1] | (u64(~u32(2 * 65536)) << 3) | (1ull << 40));

    const std::vector<DecodedCommand> &commands = dispatch();
    ASSERT_EQ(commands.size(), 2u);
    for (const DecodedCommand &c : commands) {
        EXPECT_EQ(c.type, RenderCommand::DrawBatch);
        EXPECT_EQ(c.draw.shader, shader.slot.shader);
        EXPECT_EQ(c.draw.primitive_count, 12u);
        EXPECT_EQ(c.draw.instance_count, 3u);
        EXPECT_EQ(c.draw.sort_depth, 2.0f);
        EXPECT_EQ(c.draw.constant_block, shader.constants);
        ASSERT_EQ(c.bindings.size(), 2u);
        EXPECT_EQ(c.bindings[1].kind, 6u);
        EXPECT_EQ(c.bindings[1].handle, 0x06000002u);
        ASSERT_EQ(c.constants.size(), sizeof shader.constants);
        EXPECT_EQ(memcmp(c.constants.data(), shader.constants, sizeof shader.constants), 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(c.extra.data())), "extra");
    }
    EXPECT_EQ(sort_key_pass(commands[0].key, false), 1u);
    EXPECT_EQ(sort_key_pass(commands[1].key, false), 3u);
}

TEST_F(ContextFixture, ShaderWithoutPassesInTheConfigWritesNothing)
{
    ShaderPassKeys passes[2];
    passes[0].sort_bits[0] = 1;
    passes[1].sort_bits[2] = 2;
    ShaderSlotEntry slot;
    slot.passes = passes;
    slot.pass_count = 2;
    EXPECT_TRUE(context->render_batch(RenderBatch{}, slot, 0));
    EXPECT_TRUE(context->entries().empty());
    EXPECT_TRUE(context->stream().is_empty());

    RenderContext *unbound = device.alloc_render_context();
    EXPECT_FALSE(unbound->render_batch(RenderBatch{}, slot, 0)) << "no layer config bound";
    device.release_render_context(unbound);
}

TEST_F(ContextFixture, LayerSetUpBindsNamedTargetsAndUnbindsTheRest)
{
    config.layers[0].render_targets[0] = 100;
    config.layers[0].render_targets[1] = 101;
    config.layers[0].render_targets[2] = 102;
    config.layers[0].depth_stencil = 103;
    config.layers[0].max_resolve_count = 2;
    config.layers[1].render_targets[0] = 999; // not in the set
    context->submit_layers(device, resources, config, ViewportRect{0.0f, 0.25f, 1.0f, 0.5f});
    ASSERT_EQ(context->entries().size(), 2u);

    const std::vector<DecodedCommand> &commands = dispatch();
    ASSERT_EQ(commands.size(), 2u * 11u) << "viewport, 8 targets, depth, resolve count: per layer";
    const DecodedCommand *c = commands.data();
    EXPECT_EQ(c[0].type, RenderCommand::SetViewports);
    ASSERT_EQ(c[0].viewports.size(), 1u);
    EXPECT_EQ(c[0].viewports[0].y, 0.25f);
    EXPECT_EQ(c[0].viewports[0].height, 0.5f);
    EXPECT_EQ(c[0].viewports[0].max_depth, 1.0f);
    for (u32 slot = 0; slot < 8; ++slot) {
        SCOPED_TRACE(slot);
        EXPECT_EQ(c[1 + slot].type, RenderCommand::SetRenderTarget);
        EXPECT_EQ(c[1 + slot].set_target.slot, slot);
        EXPECT_EQ(c[1 + slot].set_target.target, slot < 3 ? device.render_target(targets[slot], 0) : nullptr);
    }
    EXPECT_NE(c[1].set_target.target, nullptr);
    EXPECT_EQ(c[9].type, RenderCommand::SetDepthStencil);
    EXPECT_EQ(c[9].depth.target, device.render_target(targets[3], 0));
    EXPECT_EQ(c[9].depth.face, 0u);
    EXPECT_EQ(c[10].type, RenderCommand::ResolveCount);
    EXPECT_EQ(c[10].resolve_count, 2);
    EXPECT_TRUE(c[10].segment);
    EXPECT_EQ(c[11].key, i64(config.layers[1].key));
    EXPECT_EQ(c[12].set_target.target, nullptr) << "a missing name binds nothing";
    EXPECT_EQ(c[20].depth.target, nullptr);
    EXPECT_EQ(c[21].resolve_count, -1);
}

TEST_F(ContextFixture, BatchInsideAnOpenSegmentLeavesTheSegmentWhole)
{
    ThreePassShader shader(config);
    RenderBatch batch;
    context->begin_segment(config.layers[0].key);
    context->clear(clear_flags::color | clear_flags::depth);
    ASSERT_TRUE(context->render_batch(batch, shader.slot, 0));
    const ScissorRect scissor{0, 0, 0.5f, 0.5f};
    context->set_scissors(1, &scissor);
    const CommandSetDepthStencil face{targets[3], 4, 0}; // as generators write it
    ASSERT_TRUE(context->write_command(RenderCommand::SetDepthStencil, &face, sizeof face));
    context->end_segment();

    ASSERT_EQ(context->entries().size(), 3u);
    const RenderSortEntry &segment = context->entries()[0];
    EXPECT_EQ(segment.segment, 1u);
    EXPECT_EQ(segment.offset + segment.length, context->stream().write_offset())
        << "the segment covers everything written until end_segment";
    EXPECT_EQ(context->entries()[1].segment, 0u);
    EXPECT_LT(context->entries()[1].length, segment.length) << "the draw entry keeps its own length";

    const std::vector<DecodedCommand> &commands = dispatch();
    std::vector<RenderCommand> in_segment;
    for (const DecodedCommand &c : commands) {
        if (!c.segment)
            continue;
        in_segment.push_back(c.type);
        if (c.type == RenderCommand::SetDepthStencil) {
            EXPECT_EQ(c.depth.face, 4u);
        }
    }
    const std::vector<RenderCommand> expected = {RenderCommand::Clear, RenderCommand::DrawBatch,
                                                 RenderCommand::SetScissors, RenderCommand::SetDepthStencil};
    EXPECT_EQ(in_segment, expected);

    context->reset();
    EXPECT_TRUE(context->entries().empty());
    EXPECT_TRUE(context->stream().is_empty());
    EXPECT_EQ(context->layer_config(), nullptr);
}

TEST_F(ContextFixture, CopiesAndUpdatesAreFiledUnderTheirKeys)
{
    const u32 box[6] = {1, 2, 0, 3, 4, 1};
    context->copy_target(0x01000003u, 0x01000004u, 77, box);
    context->copy_target(0x01000005u, 0x01000006u, 78, nullptr);
    Array<u8> bytes(a);
    bytes.resize(24);
    BufferDescription vb = make_vertex_buffer_resource(buffer_mode::cpu_memory, 2, 12, &bytes);
    vb.resource.handle = 0x05000009u;
    context->update_resource(&vb.resource, 79);
    RenderResource shader{RenderResourceType::Shader, 0x09000001u};
    context->update_resource(&shader, 80); // shaders have no update command

    const std::vector<DecodedCommand> &commands = dispatch();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].type, RenderCommand::CopyTarget);
    EXPECT_EQ(commands[0].copy.destination, 0x01000003u);
    EXPECT_EQ(commands[0].copy.box[4], 4u);
    EXPECT_EQ(commands[1].copy.box[3], 0u);
    EXPECT_EQ(commands[2].type, RenderCommand::UpdateVertexBuffer);
    EXPECT_EQ(commands[2].key, 79);
    EXPECT_EQ(commands[2].buffer.description.resource.handle, 0x05000009u);
    EXPECT_EQ(commands[2].buffer.data, bytes.data());
}

} // namespace
} // namespace tallow
