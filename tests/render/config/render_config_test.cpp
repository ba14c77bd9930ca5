// Global resources and layer configurations read from render_config text: what each item
// becomes, which branch is taken, the layer keys, and what is refused.
#include "render/config/global_resources.h"
#include "render/config/layer_config_set.h"

#include "render/resources/render_resource_set.h"
#include "render/resources/render_target.h"
#include "tests/render/shaders/shader_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/fakes/recording_render_device.h"

#include "foundation/config/config_blob.h"

#include <gtest/gtest.h>

#include <string>

namespace tallow {
namespace {

using namespace test;

/// A render_config text flattened into a blob, as the resource holds it.
struct FlatConfig {
    ConfigText text;
    void *blob = nullptr;
    u32 size = 0;
    explicit FlatConfig(const char *config) : text(config) { blob = flatten_config(*text.root, default_allocator(), &size); }
    ~FlatConfig() { default_allocator().deallocate(blob); }
    ConstConfigValue member(const char *key) const { return ConstConfigValue::root(blob, size).member(key); }
};

const char *render_config = R"(
global_resources = [
    { type = "render_target" name = "hdr" format = "HDR_ACCUMULATION" width = 1000 height = 720
      width_align = 64 hint_needs_clearing = true }
    { type = "render_target" name = "screen" format = "R8G8B8A8" width = 16 height = 16
      size_from_render_setting = "screen_resolution" }
    { type = "render_target" name = "half" depends_on = "hdr" w_scale = 0.5 h_scale = 0.25 }
    { type = "render_target" name = "follow_back" depends_on = "back_buffer" width_align = 8 format = "R16F" }
    { type = "render_target" name = "unsized" format = "DEPTH_STENCIL" }
    { type = "texture" name = "env" format = "R8G8B8A8" width = 32 height = 32 mip_levels = 6 image_type = "image_cube" }
    { type = "texture" name = "noise" resource = "textures/noise" }
    { type = "static_branch" platform = "win" pass = [ { type = "texture" name = "on_win" width = 1 height = 1 } ] }
    { type = "static_branch" render_caps = { deferred = true } render_settings = { quality = 2 }
      pass = [ { type = "static_branch" render_settings = { scale = 1 }
                 pass = [ { type = "texture" name = "nested_pass" width = 1 height = 1 } ]
                 fail = [ { type = "texture" name = "nested_fail" width = 1 height = 1 } ] } ]
      fail = [ { type = "texture" name = "outer_fail" width = 1 height = 1 } ] }
    { type = "static_branch" platform = "ps3" pass = [ { type = "texture" name = "on_ps3" width = 1 height = 1 } ] }
]
layer_configs = {
    main = [
        { name = "opaque" sort = "FRONT_BACK" render_targets = ["hdr" "screen"] depth_stencil_target = "unsized"
          resource_generator = "lighting" max_resolve_count = 2 }
        { type = "static_branch" render_caps = { deferred = false } pass = [ { name = "forward_only" } ] }
        { name = "transparent" sort = "BACK_FRONT" }
    ]
    shadow = [ { name = "casters" } { name = "receivers" sort = "sideways" } ]
}
texture_channels = [ "diffuse_map" "normal_map" ]
)";

struct ConfigFixture : ::testing::Test {
    Allocator &a = default_allocator();
    ConfigText settings{"screen_resolution = [1920 1080] quality = 2.0 scale = 1.5"};
    ConfigText caps{"deferred = true"};
    RenderBranchValues values{settings.root, caps.root};
    FakeResources resources;
    Texture noise{a};
    RenderResourceSet parent{a};
    BackBufferWrapper *back_buffer_key = make_new<BackBufferWrapper>(parent.allocator(), parent.allocator());

    void SetUp() override
    {
        resources.put("texture", "textures/noise", &noise);
        parent.add(id32("back_buffer"), back_buffer_key, true, false);
    }
};

TEST_F(ConfigFixture, GlobalResourcesFollowTheItemsAndBranches)
{
    FlatConfig config(render_config);
    RenderResourceSet set(a);
    const ResourceLookup lookup = resources.lookup();
    EXPECT_TRUE(load_global_resources(set, config.member("global_resources"), &parent, values, &lookup));

    auto target = [&](const char *name) { return static_cast<RenderTarget *>(set.find(id32(name))); };
    ASSERT_NE(target("hdr"), nullptr);
    EXPECT_EQ(target("hdr")->type, RenderResourceType::RenderTarget);
    EXPECT_EQ(target("hdr")->description.width, 1024u); // 1000 aligned to 64
    EXPECT_EQ(target("hdr")->description.height, 720u);
    EXPECT_EQ(target("hdr")->description.format, 11u);
    EXPECT_EQ(target("hdr")->hint_needs_clearing, 1);
    EXPECT_EQ(target("screen")->description.width, 1920u); // the setting wins over 16
    EXPECT_EQ(target("screen")->description.height, 1080u);
    EXPECT_EQ(target("unsized")->description.width, no_size);
    EXPECT_EQ(target("unsized")->description.format, 3u);

    auto *half = static_cast<DependentRenderTarget *>(target("half"));
    ASSERT_EQ(half->type, RenderResourceType::DependentRenderTarget);
    EXPECT_EQ(half->dependency.source, target("hdr"));
    EXPECT_EQ(half->dependency.width_scale, 0.5f);
    EXPECT_EQ(half->dependency.height_scale, 0.25f);
    EXPECT_EQ(half->description.format, texture_format_unknown);
    auto *follow = static_cast<DependentRenderTarget *>(target("follow_back"));
    EXPECT_EQ(follow->dependency.source, back_buffer_key); // found in the parent set
    EXPECT_EQ(follow->dependency.width_align, 8u);
    EXPECT_EQ(follow->description.format, 13u);

    auto *env = static_cast<Texture *>(set.find(id32("env")));
    EXPECT_EQ(env->description.face_count, 6u);
    EXPECT_EQ(env->description.image_type, 2u);
    EXPECT_EQ(env->description.mip_count, 6u);
    EXPECT_EQ(target("hdr")->description.face_count, 1u);
    EXPECT_EQ(set.find(id32("noise")), &noise);

    EXPECT_NE(set.find(id32("on_win")), nullptr);      // "platform" "win" alone always passes
    // quality 2 equals the setting 2.0, so the outer branch passes; scale 1 is not 1.5, so
    // the inner one fails.
    EXPECT_EQ(set.find(id32("outer_fail")), nullptr);
    EXPECT_EQ(set.find(id32("nested_pass")), nullptr);
    EXPECT_NE(set.find(id32("nested_fail")), nullptr);
    EXPECT_EQ(set.find(id32("on_ps3")), nullptr);
    EXPECT_EQ(set.entries().size(), 9u);
    set.release(); // external entries ("noise") are left to their owner
}

TEST_F(ConfigFixture, DependentSizesResolvePerWindow)
{
    FlatConfig config(render_config);
    RenderResourceSet set(a);
    const ResourceLookup lookup = resources.lookup();
    load_global_resources(set, config.member("global_resources"), nullptr, values, &lookup);
    RecordingRenderDevice device(a);
    BackBufferWrapper back_buffer(a, 0);
    back_buffer.description.width = 1280;
    back_buffer.description.height = 720;
    device.add_window_targets(0, &back_buffer);
    RenderResourceContext *rc = device.alloc_resource_context();
    set.create_all(*rc);
    device.update_resources(1, &rc);
    RenderTarget *half = device.render_target(static_cast<RenderTarget *>(set.find(id32("half"))), 0);
    ASSERT_NE(half, nullptr);
    EXPECT_EQ(half->description.width, 512u);
    EXPECT_EQ(half->description.height, 180u);
    EXPECT_EQ(half->description.format, 11u); // unknown takes the source's
    set.destroy_all(*rc);
    device.update_resources(1, &rc);
    device.release_resource_context(rc);
    EXPECT_TRUE(device.errors().empty());
}

TEST_F(ConfigFixture, LayerConfigsGetKeysInOrder)
{
    FlatConfig config(render_config);
    LayerConfigSet layers(a);
    test::LogCapture log("render");
    EXPECT_TRUE(layers.load(config.member("layer_configs"), values));
    ASSERT_EQ(layers.count(), 2u);
    for (u32 i = 0; i < layers.count(); ++i)
        EXPECT_EQ(layers.config(i).index, i);
    EXPECT_LT(layers.config(0).name, layers.config(1).name);

    const LayerConfig *main = layers.find(id32("main"));
    ASSERT_NE(main, nullptr);
    ASSERT_EQ(main->layers.size(), 2u); // the branch wanted deferred = false
    const Layer &opaque = main->layers[0];
    EXPECT_EQ(opaque.name, id32("opaque"));
    EXPECT_EQ(opaque.key, 1ull << 55);
    EXPECT_EQ(opaque.sort_mode, SortMode::FrontBack);
    EXPECT_EQ(opaque.render_targets[0], id32("hdr"));
    EXPECT_EQ(opaque.render_targets[1], id32("screen"));
    EXPECT_EQ(opaque.render_targets[2], 0u);
    EXPECT_EQ(opaque.depth_stencil, id32("unsized"));
    EXPECT_EQ(opaque.resource_generator, id32("lighting"));
    EXPECT_EQ(opaque.max_resolve_count, 2);
    EXPECT_EQ(main->layers[1].name, id32("transparent"));
    EXPECT_EQ(main->layers[1].key, 2ull << 55);
    EXPECT_EQ(main->layers[1].sort_mode, SortMode::BackFront);
    EXPECT_EQ(main->layers[1].max_resolve_count, -1);

    const LayerConfig *shadow = layers.find(id32("shadow"));
    EXPECT_EQ(shadow->layers[0].key, 1ull << 55);
    EXPECT_EQ(shadow->layers[0].sort_mode, SortMode::Nothing);
    EXPECT_EQ(shadow->layers[1].sort_mode, SortMode::Nothing);
    EXPECT_TRUE(log.contains("unknown sort"));

    Layer debug;
    debug.name = id32("transparent");
    debug.sort_mode = SortMode::BackFront;
    debug.render_targets[0] = id32("back_buffer");
    EXPECT_TRUE(layers.add_layer(id32("tvtech_debug"), debug));
    ASSERT_EQ(layers.count(), 3u);
    EXPECT_EQ(layers.find(id32("tvtech_debug"))->layers[0].key, 1ull << 55);
    EXPECT_EQ(layers.config(layers.find(id32("tvtech_debug"))->index).name, id32("tvtech_debug"));
    EXPECT_FALSE(layers.add_layer(id32("main"), debug)); // the name is taken

    Array<u32> channels(a);
    EXPECT_TRUE(load_texture_channels(channels, config.member("texture_channels")));
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_EQ(channels[1], id32("normal_map"));
}

TEST_F(ConfigFixture, OverflowingLayerDataIsRefused)
{
    std::string text = "layer_configs = { a = [ { name = \"nine\" render_targets = "
                       "[\"1\" \"2\" \"3\" \"4\" \"5\" \"6\" \"7\" \"8\" \"9\"] } ] b = [] c = [] d = [] e = [] "
                       "long = [";
    for (int i = 0; i < 256; ++i)
        text += " { name = \"l" + std::to_string(i) + "\" }";
    text += " ] }";
    FlatConfig config(text.c_str());
    LayerConfigSet layers(a);
    test::LogCapture log("render");
    EXPECT_FALSE(layers.load(config.member("layer_configs"), values));
    EXPECT_EQ(layers.count(), 4u); // "a", "b", "c", "d" in member order; "e" and "long" refused
    EXPECT_TRUE(log.contains("at most 4 layer configs"));
    const LayerConfig *first = layers.find(id32("a"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->layers[0].render_targets[7], id32("8"));
    EXPECT_TRUE(log.contains("past the eighth"));

    FlatConfig long_only(text.substr(text.find("long")).insert(0, "layer_configs = { ").c_str());
    EXPECT_FALSE(layers.load(long_only.member("layer_configs"), values));
    ASSERT_EQ(layers.count(), 1u);
    ASSERT_EQ(layers.config(0).layers.size(), 255u);
    for (const Layer &l : layers.config(0).layers)
        EXPECT_GT(i64(l.key), 0); // no key reaches the sign bit
    EXPECT_TRUE(log.contains("at most 255 layers"));
}

TEST_F(ConfigFixture, BadGlobalItemsAreRefusedAlone)
{
    struct Case {
        const char *name;
        const char *item;
        const char *log;
        u32 width; // of the item when it is kept
    };
    const Case cases[] = {
        {"dependent on nothing", R"({ type = "render_target" name = "x" depends_on = "nowhere" })", "names no render target", 0},
        {"dependent on a texture", R"({ type = "render_target" name = "x" depends_on = "tex" })", "names no render target", 0},
        {"alignment 0 counts as 1", R"({ type = "render_target" name = "x" width = 100 width_align = 0 })", nullptr, 100},
        {"no size is never aligned", R"({ type = "render_target" name = "x" width_align = 64 })", nullptr, no_size},
        {"negative width", R"({ type = "render_target" name = "x" width = -5 })", "whole numbers", 0},
        {"negative alignment", R"({ type = "render_target" name = "x" width = 5 width_align = -2 })", "whole numbers", 0},
        {"negative setting keeps its size", R"({ type = "render_target" name = "x" width = 7 size_from_render_setting = "bad_size" })",
         "its own size kept", 7},
        {"unknown format", R"({ type = "render_target" name = "x" format = "R5G6B5" })", "unknown format", 0},
        {"missing texture resource", R"({ type = "texture" name = "x" resource = "textures/none" })", "not loaded", 0},
        {"a name used twice", R"({ type = "texture" name = "tex" width = 3 })", "name is taken", 0},
        {"an unknown type", R"({ type = "buffer" name = "x" })", "unknown type", 0},
        {"mip levels 0", R"({ type = "texture" name = "x" mip_levels = 0 })", "mip_levels", 0},
    };
    ConfigText bad_settings("bad_size = [-1920 1080]");
    RenderBranchValues bad_values{bad_settings.root, nullptr};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = std::string("global_resources = [ { type = \"texture\" name = \"tex\" width = 2 } ") +
                                 c.item + " { type = \"texture\" name = \"after\" width = 1 } ]";
        FlatConfig config(text.c_str());
        RenderResourceSet set(a);
        test::LogCapture log("render");
        const ResourceLookup lookup = resources.lookup();
        const bool ok = load_global_resources(set, config.member("global_resources"), nullptr, bad_values, &lookup);
        EXPECT_EQ(ok, c.log == nullptr || std::string(c.log) == "its own size kept");
        EXPECT_NE(set.find(id32("after")), nullptr); // later items are still read
        auto *x = static_cast<Texture *>(set.find(id32("x")));
        if (c.width) {
            ASSERT_NE(x, nullptr);
            EXPECT_EQ(x->description.width, c.width);
        } else {
            EXPECT_EQ(x, nullptr);
        }
        if (c.log) {
            EXPECT_TRUE(log.contains(c.log));
        }
        EXPECT_EQ(static_cast<Texture *>(set.find(id32("tex")))->description.width, 2u);
    }

    // Branches nested past the bound stop there instead of recursing on.
    std::string deep = "global_resources = [";
    for (int i = 0; i < 40; ++i)
        deep += " { type = \"static_branch\" pass = [";
    deep += " { type = \"texture\" name = \"deep\" width = 1 }";
    for (int i = 0; i < 40; ++i)
        deep += " ] }";
    deep += " ]";
    FlatConfig config(deep.c_str());
    RenderResourceSet set(a);
    EXPECT_FALSE(load_global_resources(set, config.member("global_resources"), nullptr, values, nullptr));
    EXPECT_EQ(set.find(id32("deep")), nullptr);
}

} // namespace
} // namespace tallow
