#include "render/interface/render_interface.h"

#include "render/device/device_settings.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"
#include "platform/window/window_headless.h"
#include "render/device/render_device.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "tests/foundation/threads/thread_test_watchdog.h"
#include "tests/render/threaded_test_device.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tallow {
namespace {

std::vector<std::string> with_prefix(const std::vector<std::string> &calls, const char *prefix)
{
    std::vector<std::string> out;
    for (const std::string &c : calls)
        if (c.rfind(prefix, 0) == 0)
            out.push_back(c);
    return out;
}

struct PumpLog {
    std::atomic<u32> pumps{0};
    std::atomic<u32> off_main{0};
    u32 main_thread = current_thread_id();
};
PumpLog *pump_log = nullptr;

class RenderInterfaceTest : public ::testing::Test {
  protected:
    RenderInterfaceTest() { pump_log = &pumps; }
    ~RenderInterfaceTest() override
    {
        render.reset();
        EXPECT_EQ(allocator.allocation_count(), 0u) << "the interface left allocations behind";
        pump_log = nullptr;
    }

    void start(u32 queue_bytes = 10240, ThreadPool *pool = nullptr)
    {
        RenderInterfaceParams params;
        params.allocator = &allocator;
        params.thread_registry = &registry;
        params.thread_pool = pool;
        device = make_new<test::ThreadedTestDevice>(allocator, allocator);
        params.device = device;
        params.output = device;
        params.render_settings = &settings;
        params.render_caps = &caps;
        params.window_calls.pump = [](Window &w) {
            w.pump_messages();
            pump_log->pumps.fetch_add(1);
            if (current_thread_id() != pump_log->main_thread)
                pump_log->off_main.fetch_add(1);
        };
        params.window_calls.show = [](Window &w) { w.focus(); };
        params.window_calls.set_event_listener = [](Window &w, IWindowEventListener *l) { w.set_event_listener(l); };
        params.queue_bytes = queue_bytes;
        render = std::make_unique<RenderInterface>(params);
        ASSERT_TRUE(render->is_running());
    }

    /// Posts a present that the device holds for `hold_ms` and waits for a fence behind it.
    void wait_for_held_present(int hold_ms)
    {
        device->close();
        render->present_frame(0);
        u32 fence = render->add_fence();
        std::thread opener([this, hold_ms] {
            device->wait_until_held();
            std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
            device->open();
        });
        render->wait_fence(fence);
        opener.join();
    }

    test::Watchdog watchdog;
    TraceAllocator registry_allocator{"render_interface_registry", default_allocator()};
    ThreadRegistry registry{registry_allocator, "main"};
    TraceAllocator allocator{"render_interface_test", default_allocator()};
    ConfigValue settings{default_allocator()};
    ConfigValue caps{default_allocator()};
    platform::HeadlessWindowSystem windows{default_allocator()};
    Window window{default_allocator(), windows};
    PumpLog pumps;
    test::ThreadedTestDevice *device = nullptr;
    std::unique_ptr<RenderInterface> render;
};

TEST_F(RenderInterfaceTest, StartsPresentsAndStops)
{
    start();
    DeviceSettings settings;
    EXPECT_TRUE(render->initialize_device(settings));
    ASSERT_TRUE(window.create("render test", 0, 0, 640, 480));
    EXPECT_EQ(render->create_window_swap_chain(window, true), 0u);
    ASSERT_EQ(render->display_outputs().size(), 1u);
    EXPECT_STREQ(render->display_outputs()[0].name.c_str(), "test output");
    u32 fence = 0xFFFFFFFF;
    for (u32 frame = 0; frame < 3; ++frame) {
        if (fence != 0xFFFFFFFF)
            render->wait_fence(fence);
        render->present_frame(0);
        fence = render->add_fence();
    }
    render->wait_fence(fence);
    // A resize of the window reaches the swap chain through the router.
    window.window_proc({window.handle(), platform::WM_SIZE, 0, i64(800 | (600 << 16)), {}});
    render->set_fullscreen(window, true, 1);
    render->resize_target(window, 1024, 768);
    render->wait_until_idle();
    const std::vector<std::string> expected = {"initialize", "create_swap_chain 0 show", "present 0", "present 0",
                                               "present 0", "resize_swap_chain 800x600", "set_fullscreen on 1",
                                               "resize_target 1024x768"};
    EXPECT_EQ(device->calls(), expected);
    EXPECT_EQ(pumps.off_main.load(), 0u);
}

TEST_F(RenderInterfaceTest, FenceSlotsAreReused)
{
    start();
    EXPECT_EQ(render->add_fence(), 0u);
    EXPECT_EQ(render->add_fence(), 1u);
    EXPECT_EQ(render->add_fence(), 2u);
    render->wait_fence(2);
    EXPECT_EQ(render->add_fence(), 2u) << "the freed slot comes first";
    render->wait_fence(0);
    EXPECT_EQ(render->add_fence(), 0u);
    test::LogCapture log("render");
    render->wait_fence(7);
    render->wait_fence(2);
    render->wait_fence(2); // already waited for: not taken any more
    EXPECT_TRUE(log.contains("fence 7, which is not taken"));
    EXPECT_TRUE(log.contains("fence 2, which is not taken"));
    render->wait_fence(0);
    render->wait_fence(1);
}

TEST_F(RenderInterfaceTest, FenceWaitPumpsOnlyWithAWindowOnTheMainThread)
{
    start();
    // No window yet: a plain wait.
    wait_for_held_present(20);
    EXPECT_EQ(pumps.pumps.load(), 0u);

    // With a window the wait keeps it responsive.
    ASSERT_TRUE(window.create("render test", 0, 0, 640, 480));
    (void)render->create_window_swap_chain(window, false);
    wait_for_held_present(30);
    EXPECT_GT(pumps.pumps.load(), 0u);

    // A context flushed from another thread waits without pumping.
    std::thread loader([this] {
        RenderResourceContext *context = render->device().alloc_resource_context();
        render->flush_resources(context);
    });
    loader.join();
    EXPECT_EQ(pumps.off_main.load(), 0u);
}

// Two senders post into a ring that holds a few messages while the render thread is held:
// every message arrives, and each sender's messages in the order it posted them.
TEST_F(RenderInterfaceTest, MessagesRunInPostingOrderThroughAFullRing)
{
    start(LockedRingBuffer::capacity_for(4, sizeof(PresentMessage)));
    device->close();
    render->present_frame(0);
    device->wait_until_held();
    constexpr u32 per_sender = 300;
    auto sender = [this](u32 base) {
        for (u32 i = 0; i < per_sender; ++i)
            render->present_frame(base + i);
    };
    std::thread a(sender, 1000), b(sender, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(10)); // both are blocked on the full ring by now
    device->open();
    a.join();
    b.join();
    render->wait_fence(render->add_fence());

    std::vector<std::string> calls = with_prefix(device->calls(), "present ");
    ASSERT_EQ(calls.size(), 1 + 2 * per_sender);
    u32 next_a = 1000, next_b = 5000;
    for (u32 i = 1; i < calls.size(); ++i) {
        u32 index = u32(std::stoul(calls[i].substr(8)));
        if (index < 5000)
            EXPECT_EQ(index, next_a++);
        else
            EXPECT_EQ(index, next_b++);
    }
    EXPECT_EQ(next_a, 1000 + per_sender);
    EXPECT_EQ(next_b, 5000 + per_sender);
}

TEST_F(RenderInterfaceTest, RenderVariableConversions)
{
    start();
    auto fill = [](ConfigValue &table) {
        table.set_object();
        table.member("int_var").set_integer(3);
        table.member("float_var").set_float(1.5f);
        table.member("bool_var").set_bool(true);
        table.member("string_var").set_string("low");
    };
    fill(settings);
    fill(caps);

    struct Case {
        const char *name;
        bool settings;
        const char *variable;
        const char *text;         // null: typed
        RenderVariableValue typed;
        ConfigKind kind;          // afterwards
        const char *value;        // afterwards, as text
    };
    const Case cases[] = {
        {"integer from text becomes a float", true, "int_var", "7", {}, ConfigKind::Float, "7"},
        {"bool from True is false", true, "bool_var", "True", {}, ConfigKind::Bool, "false"},
        {"bool from true", true, "bool_var", "true", {}, ConfigKind::Bool, "true"},
        {"float from text", false, "float_var", "2.25", {}, ConfigKind::Float, "2.25"},
        {"string from text", false, "string_var", "high", {}, ConfigKind::String, "high"},
        {"typed bool", true, "int_var", nullptr, {1, true, 0, 0, nullptr}, ConfigKind::Bool, "true"},
        {"typed integer", true, "float_var", nullptr, {2, false, 42, 0, nullptr}, ConfigKind::Integer, "42"},
        {"typed float", false, "int_var", nullptr, {3, false, 0, 0.5f, nullptr}, ConfigKind::Float, "0.5"},
        {"typed string", false, "bool_var", nullptr, {4, false, 0, 0, "ultra"}, ConfigKind::String, "ultra"},
        {"typed type 0 changes nothing", false, "string_var", nullptr, {0, true, 1, 1, nullptr}, ConfigKind::String, "high"},
        {"typed type 5 changes nothing", false, "string_var", nullptr, {5, true, 1, 1, nullptr}, ConfigKind::String, "high"},
    };
    auto as_text = [](const ConfigValue &v) -> std::string {
        switch (v.kind()) {
        case ConfigKind::Bool: return v.to_bool() ? "true" : "false";
        case ConfigKind::Integer: return std::to_string(v.to_integer());
        case ConfigKind::Float: {
            char text[32];
            snprintf(text, sizeof text, "%g", v.to_float());
            return text;
        }
        case ConfigKind::String: return v.to_string();
        default: return "?";
        }
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.text) {
            render->set_render_setting(c.settings, c.variable, c.text);
        } else {
            // The typed string is the caller's buffer: it may change as soon as the call returns.
            char buffer[16] = {};
            RenderVariableValue typed = c.typed;
            if (typed.text) {
                snprintf(buffer, sizeof buffer, "%s", typed.text);
                typed.text = buffer;
            }
            device->close();
            render->present_frame(0);
            render->set_render_caps(c.settings, c.variable, typed);
            memset(buffer, 'x', sizeof buffer - 1);
            device->open();
        }
        ConfigValue value(default_allocator());
        ASSERT_TRUE(render->render_config_value(c.settings, c.variable, value));
        EXPECT_EQ(value.kind(), c.kind);
        EXPECT_EQ(as_text(value), c.value);
    }

    test::LogCapture log("render");
    render->set_render_setting(true, "no_such_var", "1");
    render->wait_until_idle();
    EXPECT_TRUE(log.contains("Could not find variable: no_such_var in RenderSettings"));
    ConfigValue value(default_allocator());
    EXPECT_FALSE(render->render_config_value(false, "no_such_var", value));
    EXPECT_TRUE(value.is_nil());
}

TEST_F(RenderInterfaceTest, WorldUpdatesSwapBuffersAndRemovalFreesEverything)
{
    start();
    RenderWorld *render_world = nullptr;
    WorldRenderLink *link = nullptr;
    ASSERT_TRUE(render->create_render_world(render_world, link));
    int world_key = 0;
    render->add_world(&world_key, render_world, link);

    const Matrix4x4 start_pose[1] = {matrix4x4_identity};
    u32 graph = no_render_handle;
    render_world->create_scene_graph(*link, graph, start_pose, 1);
    RenderStateQueue *first = link->state();
    render->update_world(&world_key, 1.0f, 0.5f);
    EXPECT_NE(link->state(), first) << "the link writes into a fresh buffer from now on";
    render->wait_fence(render->add_fence());
    EXPECT_NE(render_world->object(graph), nullptr);
    EXPECT_EQ(render_world->time(), 1.0f);

    // While the render thread is held, this frame's writes go to the new buffer.
    Matrix4x4 moved = matrix4x4_identity;
    moved.m[3][0] = 5;
    device->close();
    render->present_frame(0);
    u8 payload[sizeof(SceneGraphChangeHeader) + sizeof(SceneGraphChangeEntry)];
    SceneGraphChangeHeader header = {u32(RenderObjectClass::SceneGraph), graph, 1, sizeof header};
    SceneGraphChangeEntry entry = {moved, 0};
    memcpy(payload, &header, sizeof header);
    memcpy(payload + sizeof header, &entry, sizeof entry);
    ASSERT_TRUE(link->state()->update_stream(0).write(0, payload, sizeof payload));
    render->update_world(&world_key, 2.0f, 0.5f);
    device->open();
    render->wait_fence(render->add_fence());
    EXPECT_EQ(static_cast<RenderSceneGraph *>(render_world->object(graph))->world(0), moved);
    EXPECT_EQ(render_world->buffer_count(), 2u);

    // Requests for a world never added are dropped, never handed to the render thread.
    test::LogCapture log("render");
    int stranger = 0;
    render->update_world(&stranger, 0, 0);
    render->render_world(&stranger, 0, 0, 0, 0, -1.0f);
    render->remove_world(&stranger);
    EXPECT_EQ(log.lines().size(), 4u) << "update, render, and the removal's update and removal";
    for (const std::string &line : log.lines())
        EXPECT_NE(line.find("never added"), std::string::npos) << line;

    // A create written just before the removal is applied by the final update, then freed.
    u32 late = no_render_handle;
    render_world->create_scene_graph(*link, late, start_pose, 1);
    render->remove_world(&world_key);
    render->wait_until_idle();
    EXPECT_EQ(render->world_count(), 0u);
    std::vector<std::string> updates = with_prefix(device->calls(), "update_resources");
    EXPECT_EQ(updates.size(), 5u) << "add, three updates and the removal each run a resource context";
}

TEST_F(RenderInterfaceTest, WithoutARenderThreadNothingWaitsAndNothingLeaks)
{
    RenderInterfaceParams params;
    params.allocator = &allocator;
    params.device = make_new<test::ThreadedTestDevice>(allocator, allocator);
    render = std::make_unique<RenderInterface>(params); // no thread registry: no thread
    EXPECT_FALSE(render->is_running());
    render->wait_fence(render->add_fence());
    RenderResourceContext *context = render->device().alloc_resource_context();
    render->flush_resources(context);
    RenderWorld *render_world = nullptr;
    WorldRenderLink *link = nullptr;
    ASSERT_TRUE(render->create_render_world(render_world, link));
    int world_key = 0;
    render->add_world(&world_key, render_world, link);
    render->update_world(&world_key, 0, 0);
    render->wait_until_idle();
}

TEST_F(RenderInterfaceTest, RendererJoinsThePoolAndWorldsLeftBehindAreRemoved)
{
    TraceAllocator pool_allocator("render_interface_pool", default_allocator());
    ThreadPool pool(pool_allocator, 2, registry);
    pool.add_worker(current_thread_id());
    pool.set_wait_without_helping(false);
    start(10240, &pool);
    RenderWorld *render_world = nullptr;
    WorldRenderLink *link = nullptr;
    ASSERT_TRUE(render->create_render_world(render_world, link));
    int world_key = 0;
    render->add_world(&world_key, render_world, link);
    const Matrix4x4 start_pose[1] = {matrix4x4_identity};
    for (u32 i = 0; i < 8; ++i) {
        u32 graph = no_render_handle;
        render_world->create_scene_graph(*link, graph, start_pose, 1);
        ASSERT_NE(link->state()->add_update_stream(), nullptr);
    }
    render->update_world(&world_key, 0, 0);
    render->wait_fence(render->add_fence());
    EXPECT_EQ(render_world->live_object_count(), 8u);
    EXPECT_EQ(pool.member_count(), 4u);
    render.reset(); // the world is still added: the destructor removes it
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

} // namespace
} // namespace tallow
