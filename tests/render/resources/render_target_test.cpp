// Dependent render targets: sizes that follow another target of the same window.
#include "render/resources/render_target.h"
#include "tests/support/fakes/recording_render_device.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

namespace tallow {
namespace {

TEST(DependentRenderTarget, SizeTable)
{
    struct Case {
        const char *name;
        u32 source;
        f32 scale;
        u32 align;
        u32 expected;
    };
    const Case cases[] = {
        {"same size", 1280, 1.0f, 1, 1280},
        {"half", 1280, 0.5f, 1, 640},
        {"ceil, not truncate", 1279, 0.5f, 1, 640},
        {"a third of 100 rounds up", 100, 1.0f / 3.0f, 1, 34},
        {"never below 1", 3, 0.1f, 1, 1},
        {"zero scale gives 1", 720, 0.0f, 1, 1},
        {"negative scale gives 1", 720, -2.0f, 1, 1},
        {"align 64", 1000, 1.0f, 64, 1024},
        {"align already met", 1024, 1.0f, 64, 1024},
        {"align 0 counts as 1", 1000, 1.0f, 0, 1000},
        {"no size stays no size", no_size, 0.5f, 64, no_size},
        {"huge scale clamps below the sentinel", 4096, 1e30f, 1, no_size - 1},
        {"huge scale with align stays aligned", 4096, 1e30f, 64, ((no_size - 1) / 64) * 64},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(dependent_target_size(c.source, c.scale, c.align), c.expected);
    }
}

struct WindowFixture : ::testing::Test {
    Allocator &a = default_allocator();
    test::RecordingRenderDevice device{a};
    BackBufferWrapper back_buffer{a, 0};

    void SetUp() override
    {
        back_buffer.description = {0, 0, 1280, 720, 1, 1};
        back_buffer.sample_count = 4;
        back_buffer.sample_quality = 2;
        device.add_window_targets(0, &back_buffer);
    }
};

TEST_F(WindowFixture, ResolveCopiesTheSourceAndChains)
{
    DependentRenderTarget half(a, {device.back_buffer_key(), 0.5f, 0.5f, 1, 1});
    half.description.format = texture_format_unknown;
    DependentRenderTarget quarter(a, {&half, 0.5f, 0.5f, 16, 1});
    quarter.description.format = 9; // its own format is kept

    RenderResourceContext *context = device.alloc_resource_context();
    context->create_resource(&half); // templates: one instance per window, resolved at creation
    context->create_resource(&quarter);
    device.update_resources(1, &context);

    auto *h = static_cast<DependentRenderTarget *>(device.render_target(&half, 0));
    auto *q = static_cast<DependentRenderTarget *>(device.render_target(&quarter, 0));
    ASSERT_NE(h, nullptr);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(h->description.width, 640u);
    EXPECT_EQ(h->description.height, 360u);
    EXPECT_EQ(h->description.format, 0u) << "unknown format takes the source's";
    EXPECT_EQ(q->description.width, 320u);
    EXPECT_EQ(q->description.height, 180u);
    EXPECT_EQ(q->description.format, 9u);
    EXPECT_EQ(q->sample_count, 4u);
    EXPECT_EQ(q->multisampled, 1u);

    // A chained resolve from scratch: the dependent source is resolved first.
    back_buffer.description.width = 1000;
    h->description.width = 7;
    ASSERT_TRUE(q->resolve(device));
    EXPECT_EQ(h->description.width, 500u);
    EXPECT_EQ(q->description.width, 256u) << "250 aligned up to 16";

    DependentRenderTarget orphan(a, {&back_buffer, 1.0f, 1.0f, 1, 1}); // not a key the device knows
    orphan.window_index = 0;
    EXPECT_FALSE(orphan.resolve(device));

    context->release_resource(&quarter);
    context->release_resource(&half);
    device.update_resources(1, &context);
    device.release_resource_context(context);
    EXPECT_TRUE(device.errors().empty());
}

} // namespace
} // namespace tallow
