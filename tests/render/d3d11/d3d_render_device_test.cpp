// The Direct3D render device: adapter choice and creation arguments, the feature-level
// rule, swap chains per window with reused ids, resize, full screen, display modes,
// device settings, and a destructor that leaves nothing of the layer alive.
#include "tests/render/d3d11/d3d_device_fixture.h"

#include "render/device/device_settings.h"
#include "platform/window/window.h"
#include "platform/window/window_headless.h"
#include "foundation/strings/utf.h"
#include "render/d3d11/nv_stereo.h"
#include "render/generators/nv_stereo_params.h"

#include <dlfcn.h>

#include <cstring>

namespace tallow::render::d3d11::test {
namespace {

namespace hl = tallow::d3d11;

hl::HeadlessAdapter adapter(const char *name, bool fail_get_desc = false)
{
    hl::HeadlessAdapter a;
    a.name = name;
    a.fail_get_desc = fail_get_desc;
    hl::HeadlessOutput output;
    output.name = std::string("\\\\.\\") + name;
    a.outputs.push_back(output);
    return a;
}

std::string adapter_name(const DXGI_ADAPTER_DESC &desc)
{
    char text[256] = {};
    utf16_to_utf8(desc.Description, text, sizeof text);
    return text;
}

TEST_F(DeviceTest, InitializeCountsReadableAdaptersAndPassesTheCreationArguments)
{
    struct Case {
        i32 adapter_index;
        bool debug;
        bool succeeds;
        const char *chosen;
    };
    const Case cases[] = {
        {0, false, true, "second"}, // "first" cannot be read and is not counted
        {1, true, true, "third"},
        {2, false, false, ""},      // names no adapter: refused, nothing created
        {-1, false, false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.adapter_index);
        hl::headless_reset();
        hl::HeadlessConfig config = hl::default_headless_config();
        config.adapters = {adapter("first", true), adapter("second"), adapter("third")};
        hl::headless_configure(config);
        D3DRenderDevice device(default_allocator(), {});
        DeviceSettings settings;
        settings.adapter_index = c.adapter_index;
        settings.d3d_debug = c.debug;
        const u32 creations = hl::headless_create_count(hl::ObjectKind::device);
        EXPECT_EQ(device.initialize(settings), c.succeeds);
        if (!c.succeeds) {
            EXPECT_EQ(hl::headless_create_count(hl::ObjectKind::device), creations);
            continue;
        }
        EXPECT_EQ(adapter_name(device.adapter_desc()), c.chosen);
        const hl::DeviceCreationRecord record = hl::headless_last_device_creation();
        EXPECT_NE(record.adapter, 0u);
        EXPECT_EQ(record.driver_type, D3D_DRIVER_TYPE_UNKNOWN);
        EXPECT_EQ(record.flags, c.debug ? 2u : 0u);
        EXPECT_EQ(record.sdk_version, 7u);
        const std::vector<D3D_FEATURE_LEVEL> levels = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1,
                                                       D3D_FEATURE_LEVEL_10_0, D3D_FEATURE_LEVEL_9_3};
        EXPECT_EQ(record.levels, levels);
        EXPECT_EQ(device.feature_level(), D3D_FEATURE_LEVEL_11_0);
        EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::debug), c.debug ? 1u : 0u);
    }
    EXPECT_TRUE(hl::headless_leaks().empty());
}

TEST_F(DeviceTest, FailedDeviceCreationReturnsFalse)
{
    hl::headless_configure(hl::default_headless_config());
    hl::headless_fail_next(hl::ObjectKind::device, 1);
    D3DRenderDevice failed(default_allocator(), {});
    EXPECT_FALSE(failed.initialize(DeviceSettings{}));
    EXPECT_EQ(failed.device(), nullptr);
}

using DeviceDeathTest = DeviceTest;

TEST_F(DeviceDeathTest, FeatureLevelBelowTheRequiredOneIsFatalAndNamesIt)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    hl::HeadlessConfig config = hl::default_headless_config();
    config.max_feature_level = D3D_FEATURE_LEVEL_9_3;
    EXPECT_EXIT(
        {
            hl::headless_configure(config);
            D3DRenderDevice device(default_allocator(), {});
            device.initialize(DeviceSettings{});
        },
        ::testing::ExitedWithCode(255), "Requires a graphics card that supports at least feature level: DX10_0");
}

TEST_F(DeviceTest, SwapChainsAreDescribedAndFreedIdsAreReused)
{
    start();
    NativeWindowRecord other{800, 600, nullptr};
    const u32 first = device->create_swap_chain(&window, false);
    const u32 second = device->create_swap_chain(&other, true);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(second, 1u);

    hl::SwapChainRecord record;
    ASSERT_TRUE(hl::headless_swap_chain(device->swap_chain_at(first), record));
    EXPECT_EQ(record.desc.BufferDesc.Format, DXGI_FORMAT_R8G8B8A8_UNORM);
    EXPECT_EQ(record.desc.BufferDesc.Width, 640u); // 0 in the description: the window's size
    EXPECT_EQ(record.desc.BufferUsage, 0x30u);
    EXPECT_EQ(record.desc.BufferCount, 2u);
    EXPECT_EQ(record.desc.SwapEffect, DXGI_SWAP_EFFECT_DISCARD);
    EXPECT_EQ(record.desc.Flags, 2u);
    EXPECT_TRUE(record.desc.Windowed);
    EXPECT_EQ(record.desc.SampleDesc.Count, 1u);
    EXPECT_FALSE(record.fullscreen);
    EXPECT_EQ(record.present_count, 1u); // presented once when made
    EXPECT_EQ(record.sync_intervals, std::vector<u32>{0});
    ASSERT_TRUE(hl::headless_swap_chain(device->swap_chain_at(second), record));
    EXPECT_TRUE(record.fullscreen);

    // The back buffer is a render target of the chain's size under a render-target handle.
    BackBufferWrapper *back_buffer = device->back_buffer(first);
    ASSERT_NE(back_buffer, nullptr);
    EXPECT_EQ(render_kind_of(back_buffer->handle), render_handle_kind::render_target);
    const RenderTargetRecord *target = device->resource_manager()->render_target(back_buffer->handle);
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->desc.width, 640u);

    device->destroy_swap_chain(first);
    EXPECT_EQ(device->swap_chain_at(first), nullptr);
    device->destroy_swap_chain(first); // a freed id is ignored, not released twice
    EXPECT_EQ(device->create_swap_chain(&window, false), first);
    EXPECT_EQ(device->swap_chain(&other), device->swap_chain_at(second));
}

TEST_F(DeviceTest, PresentSyncIntervalFollowsVsync)
{
    hl::headless_configure(hl::default_headless_config());
    for (bool vsync : {false, true}) {
        D3DRenderDevice vsync_device(default_allocator(), {});
        DeviceSettings settings;
        settings.vsync = vsync;
        ASSERT_TRUE(vsync_device.initialize(settings));
        const u32 id = vsync_device.create_swap_chain(&window, false);
        vsync_device.present(id);
        hl::SwapChainRecord record;
        ASSERT_TRUE(hl::headless_swap_chain(vsync_device.swap_chain_at(id), record));
        EXPECT_EQ(record.sync_intervals, (std::vector<u32>{vsync ? 1u : 0u, vsync ? 1u : 0u}));
    }
    EXPECT_TRUE(hl::headless_leaks().empty());
}

TEST_F(DeviceTest, ResizeRemakesWindowTargetsAndTheNextFrameBindsTheNewBackBuffer)
{
    start();
    const u32 id = device->create_swap_chain(&window, false);
    const RenderResourceHandle shader_handle = create_shader(shader);
    BackBufferWrapper *back_buffer = device->back_buffer(id);
    ASSERT_NE(back_buffer, nullptr);

    FrameWriter frame(default_allocator());
    frame.begin(0);
    frame.set_target(0, back_buffer);
    frame.end();
    frame.draw_entry(1, make_batch(shader_handle));

    auto bound_view = [&] {
        const RenderTargetRecord *record = device->resource_manager()->render_target(back_buffer->handle);
        return record && !record->linear_targets.empty() ? id_of(record->linear_targets[0].get()) : 0;
    };
    ID3D11DeviceContext *immediate = device->immediate_context();
    device->execute_sorted(frame.entries.data(), frame.entries.size());
    const u64 old_view = bound_view();
    auto draws = hl::headless_draws(immediate);
    ASSERT_EQ(draws.size(), 1u);
    EXPECT_EQ(draws[0].render_targets[0], old_view);
    EXPECT_FLOAT_EQ(draws[0].viewports[0][2], 640.0f);

    window.client_width = 320;
    window.client_height = 200;
    device->resize_swap_chain(&window, 320, 200);
    hl::SwapChainRecord record;
    ASSERT_TRUE(hl::headless_swap_chain(device->swap_chain_at(id), record));
    EXPECT_EQ(record.resize_buffers_calls, 1u); // no reference to the old back buffer was left
    EXPECT_EQ(back_buffer->description.width, 320u);
    const u64 new_view = bound_view();
    EXPECT_NE(new_view, old_view);

    hl::headless_clear_journal(immediate);
    device->execute_sorted(frame.entries.data(), frame.entries.size());
    draws = hl::headless_draws(immediate);
    ASSERT_EQ(draws.size(), 1u);
    EXPECT_EQ(draws[0].render_targets[0], new_view);
    EXPECT_FLOAT_EQ(draws[0].viewports[0][2], 320.0f);
    EXPECT_FLOAT_EQ(draws[0].viewports[0][3], 200.0f);
}

TEST_F(DeviceTest, AWindowHandsItsRecordToTheSwapChain)
{
    start();
    platform::HeadlessWindowSystem system(default_allocator());
    {
        Window game_window(default_allocator(), system);
        ASSERT_TRUE(game_window.create("game", 0, 0, 400, 300));
        IRenderOutput &output = *device;
        const u32 id = output.create_swap_chain(game_window, 0, false);
        ASSERT_NE(device->swap_chain_at(id), nullptr);
        NativeWindowRecord *record = system.native_window(game_window.handle());
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->client_width, 400u);
        EXPECT_EQ(device->swap_chain(record), device->swap_chain_at(id));
        hl::SwapChainRecord chain;
        ASSERT_TRUE(hl::headless_swap_chain(device->swap_chain_at(id), chain));
        EXPECT_EQ(chain.desc.BufferDesc.Width, 400u);
        EXPECT_EQ(chain.desc.BufferDesc.Height, 300u);
        output.resize_swap_chain(game_window, 200, 100);
        EXPECT_EQ(device->back_buffer(id)->description.width, 200u);
        device->destroy_swap_chain(id); // before the window and its record go
    }
    EXPECT_EQ(system.native_window(1), nullptr);
}

TEST_F(DeviceTest, FullScreenAndTargetResizeReachTheWindowsChain)
{
    start();
    const u32 id = device->create_swap_chain(&window, false);
    NativeWindowRecord stranger{10, 10, nullptr};
    device->set_fullscreen(&stranger, true, 0); // no chain: nothing happens
    device->set_fullscreen(&window, true, 0);
    hl::SwapChainRecord record;
    ASSERT_TRUE(hl::headless_swap_chain(device->swap_chain_at(id), record));
    EXPECT_TRUE(record.fullscreen);
    EXPECT_NE(record.fullscreen_output, 0u);
    device->set_fullscreen(&window, false, 0);
    device->resize_target(&window, 1280, 720);
    ASSERT_TRUE(hl::headless_swap_chain(device->swap_chain_at(id), record));
    EXPECT_FALSE(record.fullscreen);
    EXPECT_EQ(record.resize_target_calls, 1u);
    IDXGIOutput *output = device->output(0);
    ASSERT_NE(output, nullptr);
    output->Release();
    EXPECT_EQ(device->output(5), nullptr);
}

TEST_F(DeviceTest, DisplayModesCollapseRefreshRatesPerOutputWithUtf8Names)
{
    hl::HeadlessConfig config = hl::default_headless_config();
    auto mode = [](u32 w, u32 h, u32 hz) {
        DXGI_MODE_DESC m{};
        m.Width = w;
        m.Height = h;
        m.RefreshRate = {hz, 1};
        m.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        return m;
    };
    hl::HeadlessAdapter first;
    first.name = "first";
    first.outputs.resize(2);
    first.outputs[0].name = "\\\\.\\DISPLAY1";
    first.outputs[0].modes = {mode(1280, 720, 60), mode(1920, 1080, 60), mode(1920, 1080, 75), mode(1920, 1080, 144)};
    first.outputs[1].name = "\\\\.\\DISPLAY2";
    first.outputs[1].modes = {mode(800, 600, 60)};
    hl::HeadlessAdapter second;
    second.name = "second";
    second.outputs.resize(1);
    second.outputs[0].name = "\xC3\x89""cran \xE2\x82\xAC"; // non-ASCII survives the UTF-16 round trip
    second.outputs[0].modes = {mode(640, 480, 60), mode(800, 600, 60), mode(640, 480, 60)};
    config.adapters = {first, second};
    start(0, &config);

    Array<DisplayOutput> outputs(default_allocator());
    device->enumerate_display_modes(outputs);
    ASSERT_EQ(outputs.size(), 3u);
    EXPECT_STREQ(outputs[0].name.c_str(), "\\\\.\\DISPLAY1");
    ASSERT_EQ(outputs[0].modes.size(), 2u);
    EXPECT_EQ(outputs[0].modes[1].width, 1920u);
    EXPECT_EQ(outputs[0].modes[1].refresh_numerator, 60u);
    EXPECT_STREQ(outputs[1].name.c_str(), "\\\\.\\DISPLAY2");
    EXPECT_STREQ(outputs[2].name.c_str(), "\xC3\x89""cran \xE2\x82\xAC");
    ASSERT_EQ(outputs[2].modes.size(), 3u); // only adjacent runs collapse
}

TEST_F(DeviceTest, WriteDeviceSettingsFillsOnlyMembersThatArePresent)
{
    start();
    struct Case {
        const char *feature_level; // null: absent
        bool has_stereo;
        const char *expected_level;
    };
    const Case cases[] = {
        {"", true, "DX11_0"},
        {"DX10_0", false, "DX10_0"},
        {nullptr, true, nullptr},
        {nullptr, false, nullptr},
    };
    for (const Case &c : cases) {
        ConfigValue settings(default_allocator());
        settings.set_object();
        if (c.feature_level)
            settings.member("feature_level").set_string(c.feature_level);
        if (c.has_stereo)
            settings.member("nv_stereo").set_string("untouched");
        device->write_device_settings(settings);
        const ConfigValue *level = settings.find("feature_level");
        if (c.expected_level) {
            ASSERT_NE(level, nullptr);
            EXPECT_STREQ(level->to_string(), c.expected_level);
        } else {
            EXPECT_EQ(level, nullptr);
        }
        const ConfigValue *stereo = settings.find("nv_stereo");
        EXPECT_EQ(stereo != nullptr, c.has_stereo);
        if (stereo) {
            EXPECT_EQ(stereo->kind(), ConfigKind::Bool);
            EXPECT_FALSE(stereo->to_bool()); // no stereo driver here
        }
    }
}

TEST_F(DeviceTest, DestroyingTheDeviceLeavesNoObjectOfTheLayer)
{
    start(2);
    const u32 id = device->create_swap_chain(&window, false);
    auto colour = make_target(0, 64, 32);
    auto depth = make_target(3, 64, 32);
    const RenderResourceHandle shader_handle = create_shader(shader);
    set_deferred(true);
    FrameWriter frame(default_allocator());
    frame.begin(0);
    frame.set_target(0, colour.get());
    frame.set_depth(depth.get());
    frame.clear(7);
    frame.end();
    for (u32 i = 0; i < 60; ++i)
        frame.draw_entry(1 + i * 8, make_batch(shader_handle));
    device->execute_sorted(frame.entries.data(), frame.entries.size());
    device->present(id);
    EXPECT_GT(device->deferred_pool_size(), 0u);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::command_list), 0u);
    stop(); // checks leaks and diagnostics
    EXPECT_TRUE(hl::headless_last_device_leaks().empty());
}


TEST_F(DeviceTest, StereoReadsTheDriverThroughTheDeviceHandle)
{
    // The fake driver library, opened for its control exports; the device loads it by name.
    void *fake = dlopen(FAKE_NVAPI_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(fake, nullptr) << dlerror();
    reinterpret_cast<void (*)()>(dlsym(fake, "fake_nvapi_reset"))();
    using SetValues = void (*)(i32, u8, u8, f32, f32, f32, std::uintptr_t);
    const auto set_values = reinterpret_cast<SetValues>(dlsym(fake, "fake_nvapi_set_values"));
    set_values(0, 1, 1, 50.0f, 2.0f, 0.06f, 0x5150);
    render::d3d11::nvapi_shutdown();
    render::d3d11::nvapi_set_library_name(FAKE_NVAPI_PATH);
    start();
    EXPECT_EQ(device->stereo_handle(), std::uintptr_t(0x5150));
    StereoReading reading;
    ASSERT_TRUE(device->read_stereo(&reading));
    EXPECT_TRUE(reading.activated);
    EXPECT_FLOAT_EQ(reading.separation_percent, 50.0f);
    EXPECT_FLOAT_EQ(reading.convergence, 2.0f);
    EXPECT_FLOAT_EQ(reading.eye_separation, 0.06f);
    // The bytes the stereo step makes of that reading.
    u8 bytes[resource_generator::stereo_texture_bytes];
    resource_generator::write_stereo_texture(reading, bytes);
    f32 a, b;
    memcpy(&a, bytes, 4);
    memcpy(&b, bytes + 4, 4);
    EXPECT_NEAR(a, 0.03f, 1e-7f);
    EXPECT_NEAR(b, -0.06f, 1e-7f);
    EXPECT_EQ(memcmp(bytes + 4 * 16 * 16, "NV3D", 4), 0);

    set_values(0, 1, 0, 50.0f, 2.0f, 0.06f, 0x5150);
    ASSERT_TRUE(device->read_stereo(&reading));
    EXPECT_FALSE(reading.activated);
    EXPECT_EQ(reading.separation_percent, 0.0f) << "not activated: nothing is read";
    stop();
    render::d3d11::nvapi_shutdown();
    render::d3d11::nvapi_set_library_name("nvapi.dll");
    dlclose(fake);
}

TEST_F(DeviceTest, WithoutTheDriverLibraryThereIsNoStereoToRead)
{
    render::d3d11::nvapi_shutdown();
    start();
    StereoReading reading;
    EXPECT_FALSE(device->read_stereo(&reading));
}

} // namespace
} // namespace tallow::render::d3d11::test
