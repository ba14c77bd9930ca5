#include "render/config/render_configuration.h"

#include "foundation/config/config_blob.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/io/render_settings_store.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_registry.h"
#include "platform/window/window_headless.h"
#include "render/generators/resource_generator.h"
#include "render/interface/render_interface.h"
#include "render/world/render_world.h"
#include "render/resources/render_target.h"
#include "render/shaders/shader_manager.h"
#include "resource/exploded_database.h"
#include "resource/resource_loader.h"
#include "resource/resource_manager.h"
#include "tests/render/threaded_test_device.h"
#include "tests/support/log_capture.h"
#include "tests/support/fakes/recording_render_device.h"
#include "tests/support/resource_test_data.h"
#include "tests/support/temp_directory.h"
#include "tests/support/writers/texture_writer.h"
#include "tools/render/shader_library_compiler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace tallow {
namespace {

// Config text -> flat blob bytes, as the data build makes a "render_config" resource.
std::string blob_of(const char *text)
{
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + strlen(text), *root);
    u32 size = 0;
    void *blob = flatten_config(*root, default_allocator(), &size);
    std::string bytes(static_cast<const char *>(blob), size);
    default_allocator().deallocate(blob);
    destroy_config_root(root);
    return bytes;
}

// Settings text -> the flattened settings root (kept alive by the returned holder).
struct Settings {
    explicit Settings(const char *text) : bytes(blob_of(text)) {}
    ConstConfigValue root() const { return ConstConfigValue::root(bytes.data(), bytes.size()); }
    std::string bytes;
};

std::string file_text(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const char *config_text = R"(
render_settings = { shadows = true gamma = 2.2 level = 3 }
win_caps = { deferred = false }
texture_channels = [ "diffuse_map" "normal_map" ]
global_resources = [
    { type = "render_target" name = "depth" format = "DEPTH_STENCIL" width = 1280 height = 720 }
    { type = "render_target" name = "half" depends_on = "depth" w_scale = 0.5 h_scale = 0.5 }
    { type = "texture" name = "noise" resource = "noise" }
]
layer_configs = {
    main = [ { name = "opaque" sort = "FRONT_BACK" render_targets = [ "back_buffer" ] depth_stencil_target = "depth" }
             { name = "shadow_casters" } { name = "transparent" sort = "BACK_FRONT" } ]
}
shader_libraries = [ "shaders/sample" ]
viewports = {
    default = { layer_config = "main" output_rt = "back_buffer" output_dst = "screen" }
    minimap = { rect = [ 0.75 0 0.25 0.25 ] layer_config = "main"
                resources = [ { type = "render_target" name = "mini" format = "R8G8B8A8" width = 64 height = 64 } ] }
    tvtech_debug = { layer_config = "main" }
}
)";

// A render interface over the recording device, a resource manager over a temporary
// database with the configuration, the sample's shader library and a texture, and the
// configuration itself. Everything comes from one TraceAllocator that must end at zero.
class RenderConfigurationTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(create_config_globals(default_allocator()));
        std::string library, group, error;
        std::vector<u8> bytes;
        const std::string library_source = file_text(TALLOW_SOURCE_DIR "/data/shaders/sample.shader_library");
        ASSERT_TRUE(compile_shader_library_source(library_source.data(), library_source.size(), bytes, error)) << error;
        library.assign(bytes.begin(), bytes.end());
        const char *group_source = "libraries = [ \"shaders/sample\" ]";
        ASSERT_TRUE(compile_shader_library_group_source(group_source, strlen(group_source), bytes, error)) << error;
        group.assign(bytes.begin(), bytes.end());
        DdsDescription d;
        d.width = 4;
        d.height = 4;
        d.mip_count = 3;
        const std::vector<u8> dds = write_dds(d, std::vector<u8>((16 + 4 + 1) * 4, 7));
        DiskFileSystem files(dir.path(), default_allocator());
        const std::string sample = file_text(TALLOW_SOURCE_DIR "/data/renderer.render_config");
        ASSERT_TRUE(test::write_database(files, {{"render_config", "renderer", blob_of(config_text)},
                                                 {"render_config", "sample", blob_of(sample.c_str())},
                                                 {"shader_library", "shaders/sample", library},
                                                 {"shader_library_group", "shaders/sample", group},
                                                 {"texture", "noise", std::string(dds.begin(), dds.end())}}));

        RenderInterfaceParams params;
        params.allocator = &allocator;
        params.thread_registry = &registry;
        device = make_new<test::RecordingRenderDevice>(allocator, allocator);
        params.device = device;
        params.render_settings = &render_settings();
        params.render_caps = &render_caps();
        render = make_new<RenderInterface>(allocator, params);
        ASSERT_TRUE(render->is_running());
        database = make_new<ExplodedDatabase>(allocator, dir.path(), allocator);
        loader = make_new<ResourceLoader>(allocator, &registry, database, allocator);
        manager = make_new<ResourceManager>(allocator, *loader, allocator);
        configuration = make_new<RenderConfiguration>(allocator, allocator, *render, *manager);
        register_render_resource_types(*manager, configuration);
        for (const char *type : {"texture", "shader_library", "shader_library_group", "render_config"})
            manager->load(NameId64(type), NameId64(type == std::string("texture") ? "noise"
                                                   : type == std::string("render_config") ? "renderer"
                                                                                            : "shaders/sample"),
                          nullptr, manager->allocator());
        manager->load(NameId64("render_config"), NameId64("sample"), nullptr, manager->allocator());
        manager->flush();
    }
    void TearDown() override
    {
        if (manager) {
            for (const char *type : {"texture", "shader_library", "shader_library_group", "render_config"})
                manager->unload(NameId64(type), NameId64(type == std::string("texture") ? "noise"
                                                         : type == std::string("render_config") ? "renderer"
                                                                                                  : "shaders/sample"),
                                manager->allocator());
            manager->unload(NameId64("render_config"), NameId64("sample"), manager->allocator());
        }
        delete_with_allocator(allocator, configuration);
        delete_with_allocator(allocator, manager);
        delete_with_allocator(allocator, loader);
        delete_with_allocator(allocator, database);
        delete_with_allocator(allocator, render); // destroys the device too
        destroy_config_globals();
        EXPECT_EQ(allocator.allocation_count(), 0u) << "the render configuration left allocations behind";
    }
    u32 live_objects()
    {
        render->wait_until_idle();
        return u32(device->objects().size());
    }

    test::TempDirectory dir;
    TraceAllocator allocator{"RenderConfigurationTest", default_allocator()};
    ThreadRegistry registry{default_allocator(), "main"};
    test::RecordingRenderDevice *device = nullptr;
    RenderInterface *render = nullptr;
    ExplodedDatabase *database = nullptr;
    ResourceLoader *loader = nullptr;
    ResourceManager *manager = nullptr;
    RenderConfiguration *configuration = nullptr;
};

TEST_F(RenderConfigurationTest, LoadsReloadsAndUnloadsWithoutLeftovers)
{
    // The texture got its device object when it was brought in.
    const u32 texture_only = live_objects();
    ASSERT_EQ(texture_only, 1u);
    Settings settings(R"(render_config = "renderer"
        win32 = { renderer = { screen_resolution = [1600] aspect_ratio = 2
                               render_settings = { gamma = 1.8 unknown_one = 1 } win_caps = { deferred = true } } })");
    ConfigValue record(default_allocator());
    // The interface keeps its own entries (the back buffer) in the global set.
    const u32 own_globals = render->global_resources().entries().size();
    test::LogCapture log(nullptr, true);
    // The configured "tvtech_debug" template collides with the built-in one: refused.
    EXPECT_FALSE(configuration->load(NameId64("renderer"), settings.root(), record));
    EXPECT_TRUE(log.contains("viewport template \"tvtech_debug\" is built in"));
    EXPECT_TRUE(log.contains("RenderSettings has no variable \"unknown_one\""));
    EXPECT_TRUE(log.contains("render configuration \"renderer\": 2 texture channels")) << "named as the settings name it";

    EXPECT_EQ(configuration->texture_channels().size(), 2u);
    EXPECT_EQ(render->global_resources().entries().size(), own_globals + 3);
    EXPECT_EQ(configuration->layers().count(), 2u) << "main and the debug configuration";
    EXPECT_NE(configuration->layers().find(NameId32("tvtech_debug").value()), nullptr);
    EXPECT_EQ(configuration->shader_group_count(), 1u);
    EXPECT_EQ(configuration->viewports().count(), 3u);
    // Settings and caps: the configuration's, overridden by the settings file, plus the device's.
    EXPECT_FLOAT_EQ(render_settings().member("gamma").to_float(), 1.8f);
    EXPECT_TRUE(render_caps().member("deferred").to_bool());
    EXPECT_TRUE(render_caps().has("feature_level"));
    EXPECT_TRUE(render_caps().has("nv_stereo"));
    // The record gained the renderer settings and every RenderSettings variable.
    EXPECT_EQ(record.member("screen_resolution").items()[0].to_integer(), 1600);
    EXPECT_EQ(record.member("screen_resolution").items()[1].to_integer(), 720);
    EXPECT_EQ(record.member("aspect_ratio").kind(), ConfigKind::Float);
    EXPECT_FLOAT_EQ(record.member("aspect_ratio").to_float(), 2.0f);
    EXPECT_TRUE(record.member("render_settings").has("shadows"));

    const u32 loaded = live_objects();
    EXPECT_GT(loaded, texture_only) << "global targets and shaders have device objects";

    // A reload releases the first load's objects before making the new ones.
    EXPECT_FALSE(configuration->load(NameId64("renderer"), settings.root(), record));
    EXPECT_EQ(live_objects(), loaded);
    EXPECT_EQ(render->global_resources().entries().size(), own_globals + 3);
    EXPECT_EQ(configuration->viewports().count(), 3u);
    EXPECT_EQ(configuration->shader_group_count(), 1u);
    EXPECT_EQ(configuration->layers().count(), 2u);

    configuration->unload();
    EXPECT_EQ(live_objects(), texture_only) << "only the loaded texture keeps its device object";
    EXPECT_EQ(render->global_resources().entries().size(), own_globals);
    EXPECT_EQ(configuration->viewports().count(), 0u);
    EXPECT_EQ(configuration->shader_group_count(), 0u);
    manager->unload(NameId64("texture"), NameId64("noise"), manager->allocator());
    EXPECT_EQ(live_objects(), 0u) << "the texture released its device object when brought out";
    manager->load(NameId64("texture"), NameId64("noise"), nullptr, manager->allocator());
    manager->flush();
    EXPECT_TRUE(device->errors().empty()) << device->errors()[0];
}

TEST_F(RenderConfigurationTest, SampleConfigurationClearsItsGBufferEveryFrame)
{
    Settings settings("");
    ConfigValue record(default_allocator());
    const u32 before = live_objects();
    (void)configuration->load(NameId64("sample"), settings.root(), record); // its texture is not in this database
    // The G-buffer's clear, the sun's shadow map, the light passes and the unused noise pass.
    ASSERT_EQ(render->resource_generators().count(), 4u);
    ResourceGenerator *clear = render->resource_generators().find(NameId32("gbuffer_clear").value());
    ASSERT_NE(clear, nullptr);
    ASSERT_EQ(clear->modifiers().size(), 1u);
    EXPECT_EQ(clear->modifiers()[0]->type(), ModifierType::FullscreenPass);
    ResourceGenerator *shadows = render->resource_generators().find(NameId32("sun_shadows").value());
    ASSERT_NE(shadows, nullptr);
    ASSERT_EQ(shadows->modifiers().size(), 1u);
    EXPECT_EQ(shadows->modifiers()[0]->type(), ModifierType::CascadedShadowMapping);
    const u32 loaded = live_objects();
    (void)configuration->load(NameId64("sample"), settings.root(), record);
    EXPECT_EQ(live_objects(), loaded) << "a reload releases the old generators' buffers first";

    // A view draws into its viewport's output: window 0's back buffer.
    BackBufferWrapper back_buffer(allocator, 0);
    back_buffer.description.width = 1280;
    back_buffer.description.height = 720;
    device->add_window_targets(0, &back_buffer);
    RenderWorld *render_world = nullptr;
    WorldRenderLink *link = nullptr;
    ASSERT_TRUE(render->create_render_world(render_world, link));
    int world_key = 0;
    render->add_world(&world_key, render_world, link);
    // The clear's layer is the first of "main": key (0 + 1) << 55, its one step at counter 1.
    const u64 step = (1ull << 55) | (1ull << 46);
    for (u32 frame = 0; frame < 3; ++frame) {
        const size_t frames_before = device->frames().size();
        render->update_world(&world_key, f32(frame), 0.1f);
        render->render_world(&world_key, no_render_handle, no_render_handle, no_render_handle, 0, -1.0f);
        render->wait_until_idle();
        ASSERT_EQ(device->frames().size(), frames_before + 1);
        u32 draws = 0;
        for (const test::DecodedCommand &c : device->frames().back().commands)
            if (c.type == RenderCommand::DrawBatch && u64(c.key) == (step | 1u))
                ++draws;
        EXPECT_EQ(draws, 1u) << "frame " << frame;
    }
    render->remove_world(&world_key);
    configuration->unload();
    render->wait_until_idle();
    device->remove_window_targets(0);
    EXPECT_EQ(render->resource_generators().count(), 0u);
    EXPECT_EQ(live_objects(), before);
    EXPECT_TRUE(device->errors().empty()) << device->errors()[0];
}

TEST_F(RenderConfigurationTest, MissingConfigurationLoadsNothing)
{
    Settings settings("");
    ConfigValue record(default_allocator());
    test::LogCapture log(nullptr, true);
    EXPECT_FALSE(configuration->load(NameId64("absent"), settings.root(), record));
    EXPECT_TRUE(log.contains("is not loaded"));
    EXPECT_FALSE(configuration->is_loaded());
    configuration->unload(); // nothing to do
}

TEST(RendererSettings, DefaultsAndKinds)
{
    struct Case {
        const char *settings;
        i32 width, height;
        f32 aspect;
    } cases[] = {
        {"", 1280, 720, -1.0f},
        {"win32 = { renderer = { screen_resolution = [1600] } }", 1600, 720, -1.0f},
        {"win32 = { renderer = { screen_resolution = [1920 1080] aspect_ratio = 2 } }", 1920, 1080, 2.0f},
        {"win32 = { renderer = { screen_resolution = [1.5 2.5] aspect_ratio = 1.5 } }", 1280, 720, 1.5f},
        {"win32 = { renderer = { screen_resolution = [] } }", 1280, 720, -1.0f},
        {"win32 = { renderer = { screen_resolution = 7 } }", 1280, 720, -1.0f},
    };
    ConfigValue render_settings(default_allocator());
    render_settings.set_object();
    render_settings.member("shadows").set_bool(true);
    for (const Case &c : cases) {
        Settings settings(c.settings);
        ConfigValue record(default_allocator());
        record.set_object();
        record.member("render_settings").set_object();
        record.member("render_settings").member("shadows").set_bool(false);
        apply_renderer_settings(record, renderer_settings_object(settings.root()), render_settings);
        EXPECT_EQ(record.member("screen_resolution").items()[0].to_integer(), c.width) << c.settings;
        EXPECT_EQ(record.member("screen_resolution").items()[1].to_integer(), c.height) << c.settings;
        EXPECT_EQ(record.member("aspect_ratio").kind(), ConfigKind::Float);
        EXPECT_FLOAT_EQ(record.member("aspect_ratio").to_float(), c.aspect) << c.settings;
        EXPECT_EQ(record.member("adapter_index").to_integer(), 0);
        EXPECT_FALSE(record.member("fullscreen").to_bool());
        EXPECT_FALSE(record.member("render_settings").member("shadows").to_bool()) << "the record's own value stays";
    }
    // Values the record has already are kept.
    Settings settings("win32 = { renderer = { adapter_index = 2 fullscreen = true } }");
    ConfigValue record(default_allocator());
    record.set_object();
    record.member("adapter_index").set_integer(1);
    apply_renderer_settings(record, renderer_settings_object(settings.root()), render_settings);
    EXPECT_EQ(record.member("adapter_index").to_integer(), 1);
    EXPECT_TRUE(record.member("fullscreen").to_bool());
    EXPECT_TRUE(record.member("render_settings").member("shadows").to_bool());
}

// Display changes over the headless window layer and a device that records the messages.
class DisplaySettingsTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(create_config_globals(default_allocator()));
        DiskFileSystem files(dir.path(), default_allocator());
        ASSERT_TRUE(test::write_database(files, {{"render_config", "renderer", blob_of("render_settings = { gamma = 1 }")}}));
        RenderInterfaceParams params;
        params.allocator = &allocator;
        params.thread_registry = &registry;
        device = make_new<test::ThreadedTestDevice>(allocator, allocator);
        params.device = device;
        params.output = device;
        params.render_settings = &render_settings();
        params.render_caps = &render_caps();
        params.window_calls.pump = [](Window &w) { w.pump_messages(); };
        params.window_calls.show = [](Window &w) { w.focus(); };
        params.window_calls.set_event_listener = [](Window &w, IWindowEventListener *l) { w.set_event_listener(l); };
        render = make_new<RenderInterface>(allocator, params);
        database = make_new<ExplodedDatabase>(allocator, dir.path(), allocator);
        loader = make_new<ResourceLoader>(allocator, &registry, database, allocator);
        manager = make_new<ResourceManager>(allocator, *loader, allocator);
        configuration = make_new<RenderConfiguration>(allocator, allocator, *render, *manager);
        register_render_resource_types(*manager, configuration);
        manager->load(NameId64("render_config"), NameId64("renderer"), nullptr, manager->allocator());
        manager->flush();
        window = make_new<Window>(allocator, allocator, windows);
        ASSERT_TRUE(window->create("Display", -1, -1, 640, 480));
        windows.set_desktop_work_area(platform::Rect{0, 0, 1920, 1080});
        calls.context = window;
        calls.desktop_bounds = [](void *context, u32 index, i32 out[4]) {
            platform::Rect r;
            if (!static_cast<Window *>(context)->system().display_bounds(index, r))
                return false;
            out[0] = r.left, out[1] = r.top, out[2] = r.width(), out[3] = r.height();
            return true;
        };
        calls.set_client_size = [](void *, Window &w, u32 width, u32 height, const i32 area[4]) {
            platform::Rect rect{area[0], area[1], area[0] + area[2], area[1] + area[3]};
            w.set_client_size(i32(width), i32(height), &rect);
        };
        calls.pump = [](void *, Window &w) { w.pump_messages(); };
    }
    void TearDown() override
    {
        configuration->unload();
        manager->unload(NameId64("render_config"), NameId64("renderer"), manager->allocator());
        delete_with_allocator(allocator, window);
        delete_with_allocator(allocator, configuration);
        delete_with_allocator(allocator, manager);
        delete_with_allocator(allocator, loader);
        delete_with_allocator(allocator, database);
        delete_with_allocator(allocator, render);
        destroy_config_globals();
        EXPECT_EQ(allocator.allocation_count(), 0u);
    }
    std::vector<std::string> display_calls()
    {
        std::vector<std::string> out;
        for (const std::string &c : device->calls())
            if (c.rfind("set_fullscreen", 0) == 0 || c.rfind("resize_target", 0) == 0)
                out.push_back(c);
        return out;
    }

    test::TempDirectory dir;
    TraceAllocator allocator{"DisplaySettingsTest", default_allocator()};
    ThreadRegistry registry{default_allocator(), "main"};
    platform::HeadlessWindowSystem windows{default_allocator()};
    test::ThreadedTestDevice *device = nullptr;
    RenderInterface *render = nullptr;
    ExplodedDatabase *database = nullptr;
    ResourceLoader *loader = nullptr;
    ResourceManager *manager = nullptr;
    RenderConfiguration *configuration = nullptr;
    Window *window = nullptr;
    DisplayCalls calls;
};

TEST_F(DisplaySettingsTest, FullScreenResizesTheTargetFirst)
{
    Settings settings(R"(render_config = "renderer"
        win32 = { renderer = { fullscreen = true fullscreen_output = 0 screen_resolution = [1024 768] } })");
    ConfigValue record(default_allocator());
    EXPECT_TRUE(configuration->apply_display_settings(settings.root(), record, *window, calls));
    EXPECT_EQ(display_calls(), (std::vector<std::string>{"resize_target 1024x768", "set_fullscreen on 0"}));
    EXPECT_TRUE(configuration->is_loaded()) << "the configuration was reloaded";
}

TEST_F(DisplaySettingsTest, WindowedCentresTheWindowThenLeavesFullScreen)
{
    Settings settings(R"(render_config = "renderer" win32 = { renderer = { screen_resolution = [800 600] } })");
    ConfigValue record(default_allocator());
    EXPECT_TRUE(configuration->apply_display_settings(settings.root(), record, *window, calls));
    EXPECT_EQ(display_calls(), (std::vector<std::string>{"set_fullscreen off 0"}));
    i32 width = 0, height = 0;
    ASSERT_TRUE(windows.client_size(window->handle(), width, height));
    EXPECT_EQ(width, 800);
    EXPECT_EQ(height, 600);
    platform::Rect rect;
    ASSERT_TRUE(windows.window_rect(window->handle(), rect));
    EXPECT_NEAR((rect.left + rect.right) / 2, 960, 16) << "centred on the output's desktop";
}

TEST_F(DisplaySettingsTest, RenderSettingsWinOverTheSettingsFile)
{
    // "RenderSettings" values (floats allowed) take precedence over the settings file.
    DiskFileSystem files(dir.path(), default_allocator());
    Settings settings(R"(render_config = "renderer" win32 = { renderer = { screen_resolution = [800 600] } })");
    ConfigValue rs(default_allocator());
    rs.set_object();
    rs.member("fullscreen").set_bool(true);
    rs.member("fullscreen_output").set_float(1.0f);
    rs.member("screen_resolution").set_array();
    rs.member("screen_resolution").push_back().set_float(640.0f);
    rs.member("screen_resolution").push_back().set_integer(480);
    DisplaySettings d = read_display_settings(rs, renderer_settings_object(settings.root()));
    EXPECT_TRUE(d.fullscreen);
    EXPECT_EQ(d.output, 1u);
    EXPECT_EQ(d.width, 640u);
    EXPECT_EQ(d.height, 480u);
    ConfigValue empty(default_allocator());
    d = read_display_settings(empty, renderer_settings_object(settings.root()));
    EXPECT_FALSE(d.fullscreen);
    EXPECT_EQ(d.width, 800u);
    EXPECT_EQ(d.height, 600u);
}

} // namespace
} // namespace tallow
