// Whole frames through the front end (render contexts, resource contexts, templates) and
// the Direct3D device over the headless layer, with resources made and destroyed between
// frames as a game does.
#include "tests/render/d3d11/d3d_device_fixture.h"

#include "render/commands/render_context.h"

#include <cstring>

namespace tallow::render::d3d11::test {
namespace {

namespace hl = tallow::d3d11;

u32 count_ops(const std::vector<hl::JournalEntry> &journal, hl::ContextOp op)
{
    u32 n = 0;
    for (const hl::JournalEntry &entry : journal)
        n += entry.op == op;
    return n;
}

struct FrameTest : DeviceTest {
    void SetUp() override
    {
        DeviceTest::SetUp();
        start();
        swap_chain = device->create_swap_chain(&window, false);
        ASSERT_NE(swap_chain, 0xFFFFFFFFu);
        shader_handle = create_shader(shader);
        config.layers.push_back(Layer{});
        config.layers.push_back(Layer{});
        ASSERT_TRUE(make_layer_key(0, &config.layers[0].key));
        ASSERT_TRUE(make_layer_key(1, &config.layers[1].key));
        ASSERT_TRUE(make_pass_bits(config.layers[1].key, 0, false, &passes[0].sort_bits[0]));
        slot.shader = shader_handle;
        slot.passes = passes;
        slot.pass_count = 1;
        slot.constant_block = block;
        slot.constant_size_bytes = sizeof block;
    }

    void TearDown() override
    {
        if (device && swap_chain != 0xFFFFFFFFu)
            device->destroy_swap_chain(swap_chain);
        DeviceTest::TearDown();
    }

    /// Runs one frame's contexts through dispatch and present; returns the frame's journal.
    std::vector<hl::JournalEntry> run_frame(RenderContext *context)
    {
        hl::headless_clear_journal(device->immediate_context());
        device->dispatch(1, &context);
        journal = hl::headless_journal(device->immediate_context());
        draws = hl::headless_draws(device->immediate_context());
        device->present(swap_chain);
        device->release_render_context(context);
        return journal;
    }

    u32 swap_chain = 0xFFFFFFFFu;
    RenderResourceHandle shader_handle = invalid_render_handle;
    LayerConfig config{default_allocator()};
    ShaderPassKeys passes[1];
    ShaderSlotEntry slot;
    f32 block[5] = {1, 2, 3, 4, 0};
    std::vector<hl::JournalEntry> journal;
    std::vector<hl::DrawRecord> draws;
};

TEST_F(FrameTest, TargetsBuffersAndTemplatesComeAndGoBetweenFrames)
{
    // Each frame: the first segment only clears, so it clears what the previous frame
    // left bound; the second binds this frame's template instance and depth target and
    // draws a CPU-side triangle of 42-byte vertices. Between frames the previous frame's
    // template is destroyed on odd frames, a dozen plain targets are made (the device's
    // target table grows) and the previous frame's targets and buffer are released.
    struct Frame {
        std::unique_ptr<RenderTarget> colour_template;
        std::unique_ptr<RenderTarget> depth;
        std::vector<std::unique_ptr<RenderTarget>> filler;
        BufferDescription buffer{};
        Array<u8> vertices{default_allocator()};
    };
    std::vector<std::unique_ptr<Frame>> frames;
    const u32 frame_count = 8;
    const u32 stride = 42;
    for (u32 f = 0; f < frame_count; ++f) {
        SCOPED_TRACE(f);
        Frame *previous = frames.empty() ? nullptr : frames.back().get();
        // A template destroyed now frees its instance, which the previous frame bound.
        const bool previous_template_stays = f % 2 == 0;
        frames.push_back(std::make_unique<Frame>());
        Frame &frame = *frames.back();
        frame.colour_template = std::make_unique<RenderTarget>(default_allocator());
        frame.colour_template->description = {0, 0, 64, 32, 1, 1};
        frame.colour_template->clear_color[0] = f32(f);
        frame.depth = std::make_unique<RenderTarget>(default_allocator());
        frame.depth->window_index = 0;
        frame.depth->description = {3, 0, 64, 32, 1, 1};
        for (u32 i = 0; i < 12; ++i) {
            frame.filler.push_back(std::make_unique<RenderTarget>(default_allocator()));
            frame.filler.back()->window_index = 0;
            frame.filler.back()->description = {0, 0, 8, 8, 1, 1};
        }
        frame.vertices.resize(3 * stride);
        for (u32 i = 0; i < frame.vertices.size(); ++i)
            frame.vertices[i] = u8(i + f);
        frame.buffer = make_vertex_buffer_resource(buffer_mode::cpu_memory, 3, stride, &frame.vertices);

        submit([&](RenderResourceContext &rc) {
            if (previous) {
                if (!previous_template_stays)
                    rc.release_resource(previous->colour_template.get());
                rc.release_resource(previous->depth.get());
                rc.release_resource(&previous->buffer.resource);
                for (auto &t : previous->filler)
                    rc.release_resource(t.get());
            }
            ASSERT_TRUE(rc.create_resource(frame.colour_template.get()));
            ASSERT_TRUE(rc.create_resource(frame.depth.get()));
            for (auto &t : frame.filler)
                ASSERT_TRUE(rc.create_resource(t.get()));
            ASSERT_TRUE(rc.create_resource(&frame.buffer.resource));
        });
        RenderTarget *colour = device->render_target(frame.colour_template.get(), 0);
        ASSERT_NE(colour, nullptr);

        RenderContext *context = device->alloc_render_context();
        ASSERT_NE(context, nullptr);
        context->bind_layer_config(&config, nullptr);
        ASSERT_TRUE(context->begin_segment(config.layers[0].key));
        context->clear(clear_flags::color | clear_flags::depth);
        context->end_segment();
        ASSERT_TRUE(context->begin_segment(config.layers[1].key));
        const CommandSetRenderTarget set{0, 0, colour};
        ASSERT_TRUE(context->write_command(RenderCommand::SetRenderTarget, &set, sizeof set));
        const CommandSetDepthStencil set_depth{frame.depth.get(), 0, 0};
        ASSERT_TRUE(context->write_command(RenderCommand::SetDepthStencil, &set_depth, sizeof set_depth));
        context->end_segment();
        const GeometryBinding binding{u32(RenderResourceType::VertexBuffer), frame.buffer.resource.handle};
        RenderBatch batch;
        batch.bindings = &binding;
        batch.binding_count = 1;
        batch.primitive_count = 1;
        batch.vertex_count = 3;
        ASSERT_TRUE(context->render_batch(batch, slot, 0));
        run_frame(context);

        // The opening clear reaches the previous frame's targets while they live.
        u32 colour_clears = 0, depth_clears = 0;
        for (const hl::JournalEntry &e : journal) {
            if (e.op == hl::ContextOp::set_render_targets)
                break; // the second segment's draw binds this frame's targets
            colour_clears += e.op == hl::ContextOp::clear_render_target_view;
            depth_clears += e.op == hl::ContextOp::clear_depth_stencil_view;
        }
        EXPECT_EQ(colour_clears, previous && previous_template_stays ? 1u : 0u);
        EXPECT_EQ(depth_clears, 0u) << "the previous frame's depth target was released";
        ASSERT_EQ(draws.size(), 1u);
        const D3DResourceManager &manager = *device->resource_manager();
        const RenderTargetRecord *colour_record = manager.render_target(colour->handle);
        ASSERT_NE(colour_record, nullptr);
        EXPECT_EQ(draws[0].render_targets[0], id_of(colour_record->linear_targets[0].get()));
        EXPECT_EQ(draws[0].depth_stencil_view,
                  id_of(manager.render_target(frame.depth->handle)->depth_targets[0].get()));
        EXPECT_EQ(draws[0].vertex_buffers[0].stride, stride);
        const auto ring = hl::headless_resource_bytes(device->immediate_render_context()->vertex_ring().buffer());
        ASSERT_GE(ring.size(), frame.vertices.size());
        EXPECT_TRUE(std::equal(frame.vertices.begin(), frame.vertices.end(), ring.begin()));
        EXPECT_EQ(draws[0].stages[u32(hl::Stage::pixel)].constant_bytes[0],
                  std::vector<u8>(reinterpret_cast<const u8 *>(block), reinterpret_cast<const u8 *>(block) + 16));
    }

    // Every template still registered and every resource of the last frame goes.
    submit([&](RenderResourceContext &rc) {
        for (auto &frame : frames) {
            rc.release_resource(frame->colour_template.get());
            if (frame.get() == frames.back().get()) {
                rc.release_resource(frame->depth.get());
                rc.release_resource(&frame->buffer.resource);
                for (auto &t : frame->filler)
                    rc.release_resource(t.get());
            }
        }
    });
    EXPECT_EQ(device->template_count(), 0u);
    EXPECT_EQ(device->handle_pool().live_count(), 2u) << "only the back buffer and the shader hold handles";
}

TEST_F(FrameTest, ADrawWrittenInsideASegmentRunsOnce)
{
    // A segment key that carries pass bits is refused, so the draw written inside the
    // segment runs under its own entry only; a proper segment key keeps it to one run too.
    u64 with_pass = 0;
    ASSERT_TRUE(make_pass_bits(config.layers[1].key, 0, false, &with_pass));
    struct Case {
        const char *name;
        u64 segment_key;
    };
    const Case cases[] = {{"segment key of the layer", config.layers[1].key},
                          {"segment key with the pass's bits", with_pass},
                          {"segment key with high pass bits", config.layers[1].key | (1ull << 52)}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RenderContext *context = device->alloc_render_context();
        context->bind_layer_config(&config, nullptr);
        (void)context->begin_segment(c.segment_key);
        RenderBatch batch;
        batch.primitive_count = 1;
        batch.vertex_count = 3;
        ASSERT_TRUE(context->render_batch(batch, slot, 0));
        context->end_segment();
        run_frame(context);
        EXPECT_EQ(draws.size(), 1u);
        EXPECT_EQ(count_ops(journal, hl::ContextOp::draw), 1u);
    }
}

} // namespace
} // namespace tallow::render::d3d11::test
