// The render device base: context pools, the frame's merge and sort, per-window targets.
#include "render/device/render_device.h"
#include "render/resources/render_resource_set.h"
#include "tests/support/fakes/recording_allocator.h"
#include "tests/support/fakes/recording_render_device.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <algorithm>
#include <random>

namespace tallow {
namespace {

using test::DecodedCommand;
using test::RecordingRenderDevice;

TEST(RenderDevice, ReleasedContextComesBackReset)
{
    RecordingRenderDevice device(default_allocator());
    RenderContext *c = device.alloc_render_context();
    ASSERT_TRUE(c->begin_segment(1ull << 55));
    c->clear(clear_flags::color);
    c->set_shader_slot_index(1);
    device.release_render_context(c);
    RenderContext *again = device.alloc_render_context();
    EXPECT_EQ(again, c);
    EXPECT_TRUE(again->entries().empty());
    EXPECT_TRUE(again->stream().is_empty());
    EXPECT_EQ(again->shader_slot_index(), 0u);
    EXPECT_FALSE(again->is_segment_open());
    EXPECT_NE(device.alloc_render_context(), c);
    EXPECT_EQ(device.render_context_count(), 2u);
}

// Writes a segment of `clears` clear commands under `key`, the clear flags counting up
// from `first`, so a test can see each segment's commands stay together and in order.
void write_segment(RenderContext &c, i64 key, u32 first, u32 clears)
{
    ASSERT_TRUE(c.begin_segment(u64(key)));
    for (u32 i = 0; i < clears; ++i)
        c.clear(first + i);
    c.end_segment();
}

TEST(RenderDevice, MergeAndSortKeepsSegmentsWholeInSignedKeyOrder)
{
    RecordingRenderDevice device(default_allocator());
    RenderContext *contexts[3];
    for (RenderContext *&c : contexts)
        c = device.alloc_render_context();
    std::mt19937_64 random(7);
    u32 next_flag = 1;
    std::vector<i64> keys;
    for (u32 i = 0; i < 400; ++i) {
        // Few distinct keys, so many are equal across contexts; some with the sign bit set.
        i64 key = i64(random() % 16) << 55;
        if (i % 7 == 0)
            key = i64(0x8000000000000000ull | ((random() % 4) << 3));
        keys.push_back(key);
        write_segment(*contexts[i % 3], key, next_flag, 1 + i % 3);
        next_flag += 1 + i % 3;
    }
    device.dispatch(3, contexts);
    const RecordingRenderDevice::Frame &frame = device.frames().back();
    ASSERT_EQ(frame.entries.size(), 400u);
    std::vector<i64> sorted_keys;
    for (const RenderSortEntry &e : frame.entries)
        sorted_keys.push_back(e.key);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(sorted_keys, keys) << "ascending signed keys, sign bit first, none lost";
    EXPECT_LT(frame.entries.front().key, 0);

    // Each segment's clears run together and count up by one.
    const std::vector<DecodedCommand> &commands = frame.commands;
    for (u32 i = 1; i < commands.size(); ++i) {
        if (commands[i].entry_index == commands[i - 1].entry_index) {
            EXPECT_EQ(commands[i].clear_flags, commands[i - 1].clear_flags + 1);
        }
    }
    EXPECT_TRUE(device.errors().empty());
    for (RenderContext *c : contexts)
        device.release_render_context(c);
}

TEST(RenderDevice, EqualKeysKeepContextOrderWithoutTheTestShuffle)
{
    RecordingRenderDevice device(default_allocator(), 0);
    for (u32 n : {10u, 1000u}) { // both sort paths
        SCOPED_TRACE(n);
        RenderContext *contexts[2] = {device.alloc_render_context(), device.alloc_render_context()};
        for (u32 i = 0; i < n; ++i)
            write_segment(*contexts[i % 2], (i64(i % 5) - 2) * (i64(1) << 55), i, 1);
        device.dispatch(2, contexts);
        const std::vector<DecodedCommand> &commands = device.frames().back().commands;
        ASSERT_EQ(commands.size(), n);
        for (u32 i = 1; i < n; ++i) {
            if (commands[i].key != commands[i - 1].key)
                continue;
            // Same key: context 0's entries come first, each context's in filing order.
            const u32 a = commands[i - 1].clear_flags, b = commands[i].clear_flags;
            EXPECT_TRUE((a % 2) < (b % 2) || ((a % 2) == (b % 2) && a < b)) << a << " before " << b;
        }
        for (RenderContext *c : contexts)
            device.release_render_context(c);
    }
}

struct TwoWindowFixture : ::testing::Test {
    Allocator &a = default_allocator();
    RecordingRenderDevice device{a};
    BackBufferWrapper back_buffers[3] = {BackBufferWrapper(a, 0), BackBufferWrapper(a, 1), BackBufferWrapper(a, 2)};
    RenderTarget plain{a};
    DependentRenderTarget half{a, {nullptr, 0.5f, 0.5f, 1, 1}};

    void SetUp() override
    {
        back_buffers[0].description = {0, 0, 800, 600, 1, 1};
        back_buffers[2].description = {0, 0, 1920, 1080, 1, 1};
        half.dependency.source = device.back_buffer_key();
        plain.description = {1, 0, 256, 256, 1, 1};
        device.add_window_targets(0, &back_buffers[0]);
    }
};

TEST_F(TwoWindowFixture, TemplatesGetAnInstancePerWindow)
{
    device.add_window_targets(2, &back_buffers[2]);
    EXPECT_EQ(device.window_count(), 3u) << "window 1 gets an empty entry";
    EXPECT_EQ(device.render_target(device.back_buffer_key(), 1), nullptr);

    RenderResourceContext *rc = device.alloc_resource_context();
    ASSERT_TRUE(rc->create_resource(&plain));
    ASSERT_TRUE(rc->create_resource(&half));
    EXPECT_EQ(plain.handle, invalid_render_handle) << "a template has no handle of its own";
    device.update_resources(1, &rc);
    EXPECT_EQ(device.objects().size(), 4u);

    for (u32 w : {0u, 2u}) {
        SCOPED_TRACE(w);
        RenderTarget *p = device.render_target(&plain, w);
        RenderTarget *h = device.render_target(&half, w);
        ASSERT_NE(p, nullptr);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(p->window_index, w);
        EXPECT_EQ(p->description.width, 256u);
        EXPECT_EQ(h->type, RenderResourceType::DependentRenderTarget);
        EXPECT_EQ(h->description.width, back_buffers[w].description.width / 2);
        EXPECT_EQ(device.render_target(device.back_buffer_key(), w), &back_buffers[w]);
    }
    EXPECT_NE(device.render_target(&plain, 0), device.render_target(&plain, 2));
    EXPECT_EQ(device.render_target(&plain, 1), nullptr);
    RenderTarget unknown(a);
    EXPECT_EQ(device.render_target(&unknown, 0), nullptr) << "a key that is not filed";
    EXPECT_EQ(device.render_target(&plain, 7), nullptr) << "a window that does not exist";

    device.set_current_swap_chain(2);
    EXPECT_EQ(device.render_target(&plain, template_window_index), device.render_target(&plain, 2));
    Array<RenderTarget *> list(a);
    device.render_target_list(list, 2);
    EXPECT_EQ(list.size(), 3u);

    // Removing window 0 leaves window 2 where it was.
    RenderTarget *plain2 = device.render_target(&plain, 2);
    device.remove_window_targets(0);
    EXPECT_EQ(device.window_count(), 3u);
    EXPECT_EQ(device.render_target(&plain, 0), nullptr);
    EXPECT_EQ(device.render_target(&plain, 2), plain2);
    EXPECT_EQ(device.objects().size(), 2u) << "window 0's instances were released";

    rc->release_resource(&half);
    rc->release_resource(&plain);
    device.update_resources(1, &rc);
    device.release_resource_context(rc);
    EXPECT_TRUE(device.objects().empty());
    EXPECT_EQ(device.template_count(), 0u);
    EXPECT_TRUE(device.errors().empty()) << device.errors().front();
    device.remove_window_targets(2);
    EXPECT_EQ(device.handle_pool().live_count(), 0u);
}

TEST_F(TwoWindowFixture, TemplatesMadeOnALoaderThreadWhileTheRenderThreadUsesTheTables)
{
    // A loader thread creates and destroys templates through its own resource contexts,
    // which the render thread (this one) executes; meanwhile the render thread looks
    // targets up, lists a window's targets and adds windows (so the window table grows).
    std::mutex handover_mutex;
    std::vector<RenderResourceContext *> handed;
    std::atomic<bool> done{false};
    std::thread loader([&] {
        std::vector<std::unique_ptr<RenderTarget>> templates;
        for (u32 round = 0; round < 60; ++round) {
            for (u32 phase = 0; phase < 2; ++phase) {
                RenderResourceContext *rc = device.alloc_resource_context();
                if (phase == 0) {
                    for (u32 i = 0; i < 8; ++i) {
                        templates.push_back(std::make_unique<RenderTarget>(a));
                        templates.back()->description = {1, 0, 16, 16, 1, 1};
                        rc->create_resource(templates.back().get());
                    }
                } else {
                    for (auto &t : templates)
                        rc->release_resource(t.get());
                }
                rc->set_event(true);
                {
                    std::lock_guard<std::mutex> lock(handover_mutex);
                    handed.push_back(rc);
                }
                rc->wait();
                device.release_resource_context(rc);
            }
            templates.clear();
        }
        done = true;
    });
    std::vector<std::unique_ptr<BackBufferWrapper>> windows;
    Array<RenderTarget *> list(a);
    // The loader waits for each context, so when it is done every one was executed.
    for (u32 turn = 0; !done.load(); ++turn) {
        list.clear();
        device.render_target_list(list, 0);
        for (RenderTarget *t : list)
            EXPECT_EQ(t->window_index, 0u);
        EXPECT_EQ(device.render_target(device.back_buffer_key(), 0), &back_buffers[0]);
        if (turn % 8 == 0 && windows.size() < 12) {
            windows.push_back(std::make_unique<BackBufferWrapper>(a, u32(windows.size() + 3)));
            windows.back()->description = {0, 0, 64, 64, 1, 1};
            device.add_window_targets(windows.back()->swap_chain_index(), windows.back().get());
        }
        std::vector<RenderResourceContext *> ready;
        {
            std::lock_guard<std::mutex> lock(handover_mutex);
            ready.swap(handed);
        }
        for (RenderResourceContext *rc : ready) {
            device.update_resources(1, &rc);
            rc->set_event(false);
        }
    }
    loader.join();
    for (const auto &window : windows)
        device.remove_window_targets(window->swap_chain_index());
    EXPECT_EQ(device.template_count(), 0u);
    list.clear();
    device.render_target_list(list, 0);
    EXPECT_EQ(list.size(), 1u) << "only the back buffer is left";
    EXPECT_TRUE(device.errors().empty()) << device.errors().front();
}

TEST(RenderDevice, SteadyFramesAllocateNothing)
{
    test::RecordingAllocator counting;
    {
        RecordingRenderDevice device(counting);
        device.set_keep_frames(false);
        LayerConfig config(default_allocator());
        config.layers.push_back(Layer{});
        ASSERT_TRUE(make_layer_key(0, &config.layers[0].key));
        ShaderPassKeys passes[2];
        ASSERT_TRUE(make_pass_bits(config.layers[0].key, 0, false, &passes[0].sort_bits[0]));
        ASSERT_TRUE(make_pass_bits(config.layers[0].key, 1, false, &passes[1].sort_bits[0]));
        ShaderSlotEntry slot;
        slot.passes = passes;
        slot.pass_count = 2;
        const GeometryBinding binding{5, 0x05000001u};
        RenderBatch batch;
        batch.bindings = &binding;
        batch.binding_count = 1;

        auto frame = [&](u32 frame_index) {
            RenderContext *contexts[4];
            for (RenderContext *&c : contexts) {
                c = device.alloc_render_context();
                c->bind_layer_config(&config, nullptr);
                c->begin_segment(config.layers[0].key);
                c->clear(clear_flags::color);
                c->end_segment();
                for (u32 i = 0; i < 300; ++i) {
                    batch.sort_depth = f32((i * 7919 + frame_index) % 1000);
                    c->render_batch(batch, slot, 0);
                }
            }
            device.dispatch(4, contexts);
            for (RenderContext *c : contexts)
                device.release_render_context(c);
        };
        for (u32 i = 0; i < 3; ++i)
            frame(i);
        const u64 warm = counting.allocate_calls();
        for (u32 i = 3; i < 10; ++i)
            frame(i);
        EXPECT_EQ(counting.allocate_calls(), warm) << "a steady frame allocates nothing";
    }
    EXPECT_EQ(counting.live_count(), 0u);
}

} // namespace
} // namespace tallow
