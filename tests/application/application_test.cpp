#include "application/application.h"

#include "application/application_options.h"
#include "application/crash_handler.h"
#include "platform/window/window.h"
#include "input/keyboard_mouse.h"
#include "foundation/config/config_value.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/math/timer.h"
#include "platform/window/window_headless.h"
#include "resource/dlc_list.h"
#include "foundation/io/disk_file_system.h"
#include "resource/resource_manager.h"
#include "resource/resource_types.h"
#include "tests/support/resource_test_data.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace tallow;
using namespace tallow::platform;

namespace {

// Every fake service writes what happens to it here, in order.
std::vector<std::string> *journal = nullptr;
DeviceSettings last_device;
std::string last_save_dir;

void note(const std::string &line)
{
    if (journal)
        journal->push_back(line);
}

struct FakeGame : IGame {
    explicit FakeGame(Application &app) : app(app) { note("create game"); }
    ~FakeGame() override { note("destroy game"); }
    void setup_platform() override { note("game setup_platform"); }
    bool init() override
    {
        note("game init");
        if (init_delay_ms)
            usleep(init_delay_ms * 1000);
        return !fail_init;
    }
    void update(f32 dt) override
    {
        note("game update");
        game_seconds += dt;
        if (quit_after && app.frame_count() + 1 >= quit_after)
            app.quit();
    }
    void render() override { note("game render"); }
    Application &app;
    static inline u64 quit_after = 0;
    static inline bool fail_init = false;
    static inline u32 init_delay_ms = 0; // a start-up that takes this long
    static inline f64 game_seconds = 0;  // the steps the game was given
};

struct FakeRender : IRenderService {
    explicit FakeRender(Application &app) : app(app) { note("create render"); }
    // The swap chain lives in the window: the renderer must go while the window exists.
    ~FakeRender() override { note(app.window() ? "destroy render, window open" : "destroy render, window gone"); }
    Application &app;
    bool initialize_device(const DeviceSettings &s) override
    {
        last_device = s;
        note("render initialize_device");
        return true;
    }
    bool load_render_config(NameId64) override
    {
        note("render load_render_config");
        return true;
    }
    void unload_render_config() override { note("render unload_render_config"); }
    i32 create_window_swap_chain(Window &, bool) override
    {
        note("render create_window_swap_chain");
        return 3;
    }
    void wait_fence(i32 id) override { note("render wait_fence " + std::to_string(id)); }
    void present_frame(i32 id) override { note("render present_frame " + std::to_string(id)); }
    i32 add_fence() override
    {
        note("render add_fence");
        return ++fences;
    }
    i32 fences = 0;
};

struct FakeInput : IInputService {
    FakeInput() { note("create input"); }
    ~FakeInput() override { note("destroy input"); }
    void update(f32) override { note("input update"); }
    void on_key_down(u32 vk, u32, u32, u32, u32) override { note("input key_down " + std::to_string(vk)); }
    void on_key_up(u32 vk, u32, u32) override { note("input key_up " + std::to_string(vk)); }
    void on_button_down(u32 b) override { note("input button_down " + std::to_string(b)); }
    void on_button_up(u32 b) override { note("input button_up " + std::to_string(b)); }
    void on_wheel(f32, f32 y, f32) override { note("input wheel " + std::to_string(int(y))); }
    void on_move(f32 dx, f32, f32) override { note("input move " + std::to_string(int(dx))); }
    void on_cursor(i32 x, i32 y) override { note("input cursor " + std::to_string(x) + " " + std::to_string(y)); }
    InputController &script_keyboard() override { return no_device; }
    InputController &script_mouse() override { return no_device; }
    u32 pad_count() const override { return 0; }
    InputController *pad(u32) override { return nullptr; }
    NullController no_device{default_allocator()};
};

struct FakePhysics : IPhysicsService {
    FakePhysics() { note("create physics"); }
    ~FakePhysics() override { note("destroy physics"); }
};
struct FakeNetwork : INetworkService {
    FakeNetwork() { note("create network"); }
    ~FakeNetwork() override { note("destroy network"); }
};
struct FakeSave : ISaveService {
    FakeSave() { note("create save"); }
    ~FakeSave() override { note("destroy save"); }
    void update() override { note("save update"); }
};
struct FakeLightFx : ILightFxService {
    FakeLightFx() { note("create lightfx"); }
    ~FakeLightFx() override { note("destroy lightfx"); }
    void update(f32) override { note("lightfx update"); }
    void set_color_in_cube(u32, f32, f32, f32, f32, f32) override {}
};

ServiceFactories fake_services()
{
    ServiceFactories s;
    s.create_render = [](Allocator &a, Application &app) -> IRenderService * { return make_new<FakeRender>(a, app); };
    s.create_input = [](Allocator &a, Application &) -> IInputService * { return make_new<FakeInput>(a); };
    s.create_physics = [](Allocator &a, Application &) -> IPhysicsService * { return make_new<FakePhysics>(a); };
    s.create_network = [](Allocator &a, Application &) -> INetworkService * { return make_new<FakeNetwork>(a); };
    s.create_save = [](Allocator &a, Application &, const char *dir) -> ISaveService * {
        last_save_dir = dir;
        return make_new<FakeSave>(a);
    };
    s.create_lightfx = [](Allocator &a, Application &) -> ILightFxService * { return make_new<FakeLightFx>(a); };
    return s;
}

IGame *make_fake_game(Allocator &allocator, Application &app) { return make_new<FakeGame>(allocator, app); }

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const char basic_settings[] = R"(
boot_package = "boot"
render_config = "core/renderer"
build = 77
win32 = { window_name = "Fixture" }
)";

class ApplicationTest : public testing::Test {
  protected:
    void SetUp() override
    {
        journal = &events;
        FakeGame::quit_after = 0;
        FakeGame::fail_init = false;
        FakeGame::init_delay_ms = 0;
        FakeGame::game_seconds = 0;
        setenv("XDG_CONFIG_HOME", config_home.path(), 1);
        write_file(data.file("settings.ini"), basic_settings);
        // The boot and render-config packages the settings name, empty, in the data's
        // loose-file database.
        DiskFileSystem files(data.path(), default_allocator());
        ASSERT_TRUE(test::write_database(files, {{"package", "boot", test::package_resource({})},
                                                 {"package", "core/renderer", test::package_resource({})}}));
    }
    void TearDown() override
    {
        app.reset();
        journal = nullptr;
        set_crash_dump_build_id(0);
    }

    // Builds the Application over `extra` command-line arguments.
    Application &make(std::vector<const char *> extra = {}, bool with_services = true)
    {
        arguments = {"bin/tallow", "-data-dir", data.path()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        options = std::make_unique<ApplicationOptions>(default_allocator(), int(arguments.size()), arguments.data());
        ApplicationParams params;
        params.options = options.get();
        params.window_system = &window_system;
        if (with_services) {
            params.game_factory = make_fake_game;
            params.services = fake_services();
        }
        app = std::make_unique<Application>(params);
        return *app;
    }

    test::TempDirectory data;
    test::TempDirectory config_home;
    HeadlessWindowSystem window_system{default_allocator()};
    std::vector<const char *> arguments;
    std::unique_ptr<ApplicationOptions> options;
    std::unique_ptr<Application> app;
    std::vector<std::string> events;
};

TEST_F(ApplicationTest, StartupAndShutdownOrder)
{
    write_file(data.file("settings.ini"), std::string(basic_settings) + "win32 = { save_dir = \"%APPDATA%/game/saves\" }\n");
    Application &a = make();
    ASSERT_TRUE(a.init());
    const std::vector<std::string> startup = {
        "create game", "game setup_platform", "create render", "render initialize_device",
        "render load_render_config", "render create_window_swap_chain", "create input", "create physics",
        "create network", "create save", "create lightfx", "game init",
    };
    EXPECT_EQ(events, startup);
    EXPECT_EQ(last_save_dir, std::string(config_home.path()) + "/game/saves");
    EXPECT_NE(a.thread_registry(), nullptr);
    EXPECT_NE(a.thread_pool(), nullptr);
    ASSERT_NE(a.window(), nullptr);
    EXPECT_EQ(a.window()->listener_count(), 7u);

    events.clear();
    a.shutdown();
    const std::vector<std::string> shutdown = {
        "destroy game", "destroy lightfx", "destroy save", "destroy network", "destroy physics", "destroy input",
        "render unload_render_config", "destroy render, window open",
    };
    EXPECT_EQ(events, shutdown);
    EXPECT_EQ(a.window(), nullptr);
    EXPECT_EQ(a.thread_pool(), nullptr);
    EXPECT_EQ(a.thread_registry(), nullptr);
    EXPECT_TRUE(a.settings().is_nil());
}

TEST_F(ApplicationTest, CoreStepsInOrderInTheLog)
{
    struct Capture {
        std::vector<std::string> lines;
        static void hook(void *user, const char *category, const char *message)
        {
            if (std::string(category) == "application")
                static_cast<Capture *>(user)->lines.push_back(message);
        }
    } capture;
    set_log_capture(&Capture::hook, &capture, false);
    Application &a = make({}, false);
    bool ok = a.init();
    a.shutdown();
    set_log_capture(nullptr, nullptr);
    ASSERT_TRUE(ok);
    std::vector<std::string> order;
    const char *steps[] = {"start-up: thread registry", "start-up: settings", "start-up: downloadable-content list",
                           "start-up: thread pool", "start-up: resource manager", "start-up: window",
                           "start-up: game object", "start-up: render interface", "start-up: render configuration",
                           "start-up: boot package", "start-up: input manager", "start-up: physics",
                           "start-up: network manager", "start-up: save system", "start-up: LightFX",
                           "start-up: done", "shutdown: render configuration", "shutdown: boot packages",
                           "shutdown: window", "shutdown: resources", "shutdown: thread pool", "shutdown: settings",
                           "shutdown: thread registry", "shutdown: done"};
    size_t next = 0;
    for (const std::string &line : capture.lines)
        if (next < std::size(steps) && line.rfind(steps[next], 0) == 0)
            ++next;
    EXPECT_EQ(next, std::size(steps)) << "missing or out of order: " << (next < std::size(steps) ? steps[next] : "");
    // Absent services are skipped openly.
    bool said_skipped = false;
    for (const std::string &line : capture.lines)
        said_skipped |= line == "start-up: physics: not available, skipped";
    EXPECT_TRUE(said_skipped);
}

TEST_F(ApplicationTest, FrameStepsInOrder)
{
    Application &a = make();
    ASSERT_TRUE(a.init());
    events.clear();
    EXPECT_TRUE(a.update());
    EXPECT_TRUE(a.update());
    const std::vector<std::string> two_frames = {
        "input update", "game update", "lightfx update", "game render", "render present_frame 3", "render add_fence",
        "input update", "game update", "render wait_fence 1", "lightfx update", "game render",
        "render present_frame 3", "render add_fence",
    };
    EXPECT_EQ(events, two_frames);
    EXPECT_EQ(a.frame_count(), 2u);
    EXPECT_GE(a.time_since_launch(), 0.0);
    EXPECT_GE(a.frame_step(), 0.0005f);
    EXPECT_LE(a.frame_step(), 0.2f);
}

TEST_F(ApplicationTest, WindowMessagesReachInputUntilShutdown)
{
    Application &a = make();
    ASSERT_TRUE(a.init());
    WindowHandle w = a.window()->handle();
    window_system.move_cursor(-100, -100); // outside the window: no re-centring
    window_system.inject({w, WM_KEYDOWN, 'Q', 1, {}});
    window_system.inject({w, WM_LBUTTONDBLCLK, 0, 0, {}});
    events.clear();
    a.update();
    const std::vector<std::string> expected = {"input key_down 81", "input button_down 0", "input button_down 5",
                                               "input button_up 5"};
    ASSERT_GE(events.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 4), expected);
}

TEST_F(ApplicationTest, CloseRequestEndsTheLoopAfterTheFrame)
{
    Application &a = make();
    ASSERT_TRUE(a.init());
    window_system.inject({a.window()->handle(), WM_CLOSE, 0, 0, {}});
    events.clear();
    EXPECT_FALSE(a.update());
    EXPECT_TRUE(a.is_quitting());
    // The frame that saw the request still ran to its end.
    EXPECT_EQ(events.back(), "render add_fence");
}

TEST_F(ApplicationTest, RunEndsWhenTheGameQuits)
{
    FakeGame::quit_after = 5;
    Application &a = make();
    EXPECT_EQ(a.run(), RunResult::Quit);
    EXPECT_EQ(a.frame_count(), 5u);
    ASSERT_EQ(a.packages().size(), 2u) << "render configuration and boot package";
}

TEST_F(ApplicationTest, BundlesComeFromTheBundleDirectoryWhereverTheSettingsAre)
{
    // A host with a project without bundles reads the settings from the data directory;
    // "-bundle-dir" still makes bundles the source, read from that directory.
    test::TempDirectory bundles;
    DiskFileSystem bundle_files(bundles.path(), default_allocator());
    ASSERT_TRUE(test::write_bundle(bundle_files, test::bundle_file_name("boot"), {}));
    Application &a = make({"-host", "h", "-project", "p", "-bundle-dir", bundles.path()});
    ASSERT_TRUE(a.init());
    EXPECT_EQ(a.settings().member("build").to_integer(), 77) << "settings from the data directory";
    ASSERT_EQ(a.packages().size(), 1u) << "the boot package from the bundle directory";
}

TEST_F(ApplicationTest, PreferenceOrderChangeReachesTheLoaderBetweenLoads)
{
    // "choice" has a plain variant listing nothing and a "high" one listing one resource.
    // The order changes while loads are in flight (the loader thread reads the database's
    // choice as it loads: ThreadSanitizer shows a race if the change lands mid-load), then
    // a later load picks the other variant.
    std::vector<test::TestResource> resources = {
        {"package", "boot", test::package_resource({})},
        {"package", "core/renderer", test::package_resource({})},
        {"package", "choice", test::package_resource({}), 0},
        {"package", "choice", test::package_resource({{"package", "boot"}}), 1},
    };
    for (int i = 0; i < 200; ++i)
        resources.push_back({"package", "filler" + std::to_string(i), test::package_resource({}), 0});
    DiskFileSystem files(data.path(), default_allocator());
    ASSERT_TRUE(test::write_database(files, resources, {"high"}));
    Application &a = make();
    ASSERT_TRUE(a.init());
    ResourceManager &manager = *a.resource_manager();
    auto listed = [&] {
        EXPECT_TRUE(manager.load(package_type, NameId64("choice"), nullptr, manager.allocator()));
        manager.flush();
        auto *listing = static_cast<const Array<ResourceId> *>(manager.get(package_type, NameId64("choice")));
        u32 n = listing ? listing->size() : 99;
        manager.unload(package_type, NameId64("choice"), manager.allocator());
        return n;
    };
    EXPECT_EQ(listed(), 0u) << "no preference: the plain variant";

    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(manager.load(package_type, NameId64(("filler" + std::to_string(i)).c_str()), nullptr,
                                 manager.allocator()));
    const u64 high = NameId64("high").value();
    a.set_resource_property_preference_order(&high, 1);
    manager.flush();
    for (int i = 0; i < 200; ++i)
        manager.unload(package_type, NameId64(("filler" + std::to_string(i)).c_str()), manager.allocator());
    EXPECT_EQ(listed(), 1u) << "the \"high\" variant";
    a.set_resource_property_preference_order(nullptr, 0);
    EXPECT_EQ(listed(), 0u);
}

TEST_F(ApplicationTest, BootPackageOrGameThatCannotStartFailsTheStartup)
{
    // Either used to be logged once, after which the frame loop spun doing nothing and
    // the program ended as if it had run.
    struct Case {
        const char *name;
        const char *boot_package;
        bool game_fails;
    };
    const Case cases[] = {
        {"boot package not in the data", "missing", false},
        {"game cannot start", "boot", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(data.file("settings.ini"), std::string("boot_package = \"") + c.boot_package +
                                                  "\"\nrender_config = \"core/renderer\"\n");
        FakeGame::fail_init = c.game_fails;
        FakeGame::quit_after = 3;
        Application &a = make();
        EXPECT_EQ(a.run(), RunResult::StartupFailed);
        EXPECT_EQ(a.frame_count(), 0u);
        app.reset();
    }
    EXPECT_STREQ(to_string(RunResult::StartupFailed), "start-up failed");
    EXPECT_STREQ(to_string(RunResult::Quit), "quit");
}

TEST_F(ApplicationTest, PumpedModeRunsFramesOnlyOnRequest)
{
    Application &a = make({"-pumped"});
    ASSERT_TRUE(a.init());
    events.clear();
    EXPECT_TRUE(a.update());
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(a.frame_count(), 0u);
    a.request_pump();
    EXPECT_TRUE(a.update());
    EXPECT_EQ(a.frame_count(), 1u);
    events.clear();
    EXPECT_TRUE(a.update()); // the request was used up
    EXPECT_TRUE(events.empty());
    window_system.inject({a.window()->handle(), WM_CLOSE, 0, 0, {}});
    EXPECT_FALSE(a.update()); // a close still ends a pumped program
}

TEST_F(ApplicationTest, SettingsRules)
{
    struct Case {
        const char *name;
        const char *settings;      // appended to the basic settings
        const char *user_settings; // null: no user settings file
        std::vector<const char *> arguments;
        i32 width, height;
        bool vsync;
        f32 aspect_ratio;
        i32 adapter;
        const char *title;
    };
    const char user_file[] = "win32 = { user_settings = \"%APPDATA%/game/user.ini\" }\n";
    const Case cases[] = {
        {"defaults", "", nullptr, {}, 1280, 720, false, -1.0f, 0, "Fixture"},
        {"settings give the resolution", "win32 = { window_name = \"T\" renderer = { screen_resolution = [800, 600] } }", nullptr, {}, 800, 600, false, -1.0f, 0, "T"},
        {"resolution of floats in S is not taken", "win32 = { renderer = { screen_resolution = [800.5, 600.5] } }", nullptr, {}, 1280, 720, false, -1.0f, 0, "Application"},
        {"rect wins", "win32 = { renderer = { screen_resolution = [800, 600] } }", nullptr, {"-rect", "1", "2", "640", "-1"}, 640, 600, false, -1.0f, 0, "Application"},
        {"user resolution, numbers truncated", user_file, "screen_resolution = [1024.9, 768]", {}, 1024, 768, false, -1.0f, 0, "Application"},
        {"user vsync bool wins", "win32 = { user_settings = \"%APPDATA%/game/user.ini\" renderer = { vsync = false } }", "vsync = true", {}, 1280, 720, true, -1.0f, 0, "Application"},
        {"user vsync integer does not", "win32 = { user_settings = \"%APPDATA%/game/user.ini\" renderer = { vsync = true } }", "vsync = 1", {}, 1280, 720, true, -1.0f, 0, "Application"},
        {"user aspect ratio integer accepted", user_file, "aspect_ratio = 2", {}, 1280, 720, false, 2.0f, 0, "Application"},
        {"settings aspect ratio", "win32 = { renderer = { aspect_ratio = 1.5 } }", nullptr, {}, 1280, 720, false, 1.5f, 0, "Application"},
        {"user adapter integer wins", "win32 = { user_settings = \"%APPDATA%/game/user.ini\" renderer = { adapter_index = 1 } }", "adapter_index = 2", {}, 1280, 720, false, -1.0f, 2, "Application"},
        {"wrong kind in S counts as missing", "win32 = { renderer = { vsync = \"yes\" adapter_index = true } }", nullptr, {}, 1280, 720, false, -1.0f, 0, "Application"},
        {"missing user file leaves defaults", user_file, nullptr, {}, 1280, 720, false, -1.0f, 0, "Application"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(data.file("settings.ini"), std::string(basic_settings) + c.settings + "\n");
        std::string user_path = std::string(config_home.path()) + "/game/user.ini";
        std::remove(user_path.c_str());
        if (c.user_settings) {
            std::string dir = std::string(config_home.path()) + "/game";
            (void)system(("mkdir -p '" + dir + "'").c_str());
            write_file(user_path, c.user_settings);
        }
        Application &a = make(c.arguments);
        ASSERT_TRUE(a.init());
        EXPECT_EQ(a.window()->width(), c.width);
        EXPECT_EQ(a.window()->height(), c.height);
        EXPECT_EQ(last_device.vsync, c.vsync);
        EXPECT_EQ(last_device.adapter_index, c.adapter);
        EXPECT_FLOAT_EQ(a.aspect_ratio(), c.aspect_ratio);
        EXPECT_STREQ(window_system.window_title(a.window()->handle()), c.title);
        // The user keys exist after start-up, nil where the file did not set them.
        ASSERT_NE(a.user_settings(), nullptr);
        EXPECT_EQ(a.user_settings()->kind(), ConfigKind::Object);
        EXPECT_TRUE(a.user_settings()->has("fullscreen"));
        app.reset();
    }
}

TEST_F(ApplicationTest, EditorSettingsReplaceWholeMembers)
{
    write_file(data.file("settings.ini"),
               std::string(basic_settings) + "win32 = { window_name = \"Base\" renderer = { vsync = true } }\n");
    write_file(data.file("editor.ini"), "boot_package = \"editor_boot\"\nwin32 = { window_name = \"Editor\" }\n");
    Application &a = make({"-editor-ini", "editor"});
    ASSERT_TRUE(a.init());
    EXPECT_STREQ(a.settings().member("win32").member("window_name").to_string(), "Editor");
    EXPECT_TRUE(a.settings().member("win32").member("renderer").is_nil()); // the whole object was replaced
    EXPECT_FALSE(last_device.vsync);
    EXPECT_EQ(a.boot_package_name(), NameId64("boot"));
    EXPECT_EQ(a.second_boot_package_name(), NameId64("editor_boot"));
    EXPECT_EQ(crash_dump_build_id(), 77u);
}

TEST_F(ApplicationTest, MissingOrIncompleteSettingsFailStartup)
{
    struct Case {
        const char *name;
        const char *settings; // null: no file
    };
    const Case cases[] = {
        {"no settings file", nullptr},
        {"no boot package", "render_config = \"r\"\n"},
        {"boot package not a string", "boot_package = 3\nrender_config = \"r\"\n"},
        {"no render config", "boot_package = \"b\"\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(data.file("settings.ini").c_str());
        if (c.settings)
            write_file(data.file("settings.ini"), c.settings);
        Application &a = make();
        EXPECT_EQ(a.run(), RunResult::StartupFailed);
        EXPECT_EQ(a.window(), nullptr);
        app.reset(); // shutdown after a failed start-up releases what was made
    }
}

TEST_F(ApplicationTest, UserSettingsSavedThroughATemporaryFile)
{
    write_file(data.file("settings.ini"),
               std::string(basic_settings) + "win32 = { user_settings = \"%APPDATA%/deep/er/user.ini\" }\n");
    Application &a = make();
    ASSERT_TRUE(a.init());
    a.user_settings()->member("vsync").set_bool(true);
    a.user_settings()->member("aspect_ratio").set_float(1.25f);
    ASSERT_TRUE(a.save_user_settings());
    std::string path = std::string(config_home.path()) + "/deep/er/user.ini";
    std::string text = read_file(path);
    EXPECT_NE(text.find("vsync = true"), std::string::npos);
    EXPECT_TRUE(read_file(path + ".tmp").empty()); // no temporary left behind
    a.apply_user_settings();
    EXPECT_FLOAT_EQ(a.aspect_ratio(), 1.25f);
    app.reset();

    // A second run reads them back.
    Application &b = make();
    ASSERT_TRUE(b.init());
    EXPECT_TRUE(last_device.vsync);
    EXPECT_FLOAT_EQ(b.aspect_ratio(), 1.25f);
}

TEST_F(ApplicationTest, UserSettingsNotConfiguredAreNotSaved)
{
    Application &a = make();
    ASSERT_TRUE(a.init());
    EXPECT_FALSE(a.save_user_settings());
}

TEST_F(ApplicationTest, ParentWindowGivesAChildOrFallsBack)
{
    WindowHandle host = window_system.create_window(WindowDesc{"host", 0, 0, 640, 360, 0});
    std::string host_text = std::to_string(host);
    Application &a = make({"-window", host_text.c_str()});
    ASSERT_TRUE(a.init());
    EXPECT_EQ(a.window()->parent(), host);
    EXPECT_EQ(a.window()->width(), 640);
    app.reset();

    Application &b = make({"-window", "999"});
    ASSERT_TRUE(b.init());
    EXPECT_EQ(b.window()->parent(), 0u);
    EXPECT_EQ(b.window()->width(), 1280);
}

TEST_F(ApplicationTest, GameTimeTracksWallTimeFromTheFirstFrame)
{
    // The first frame's step used to hold the whole start-up, and the filter carried it on:
    // a 300 ms start-up gave the game about 2 s in its first frames. Frames shorter than the
    // filter's minimum step (a headless loop) were counted as the minimum, so game time ran
    // ahead of the wall clock however long the run.
    FakeGame::init_delay_ms = 300;
    Application &a = make();
    ASSERT_TRUE(a.init());
    u64 stamp = performance_counter();
    f32 first_step = 0.0f;
    for (u32 frame = 0; frame < 300; ++frame) {
        a.update();
        if (frame == 0)
            first_step = a.frame_step();
        EXPECT_GE(a.raw_frame_step(), 0.0005f) << "frame " << frame;
    }
    f64 wall = time_seconds(&stamp);
    // The clock restarts where start-up ends, a little before `stamp` is taken: on a busy
    // machine that gap is several milliseconds, so the bounds allow `slack` for it. The
    // fault they catch is seconds of game time ahead of the wall clock.
    const f64 slack = 0.05;
    EXPECT_LT(first_step, 0.1f);
    EXPECT_LE(a.time_since_launch(), wall + slack);
    EXPECT_LE(FakeGame::game_seconds, wall * 1.1 + slack) << "wall " << wall;
    // Long frames on a busy machine are clamped and filtered, so game time may fall behind;
    // it must still move.
    EXPECT_GE(FakeGame::game_seconds, wall * 0.25) << "wall " << wall;
}

TEST_F(ApplicationTest, FixedFrameStepReplacesTheClockUntilCleared)
{
    // A replayed run sees exactly the fixed step in every frame, however slow the start-up
    // and however fast the loop; clearing it brings the measured clock back.
    FakeGame::init_delay_ms = 300;
    Application &a = make();
    ASSERT_TRUE(a.init());
    a.set_fixed_frame_step(0.15f);
    for (u32 frame = 0; frame < 40; ++frame) {
        a.update();
        ASSERT_EQ(a.raw_frame_step(), 0.15f) << "frame " << frame;
        ASSERT_NEAR(a.frame_step(), 0.15f, 1e-6f) << "frame " << frame;
    }
    EXPECT_NEAR(a.time_since_launch(), 40 * 0.15, 1e-4);
    EXPECT_NEAR(FakeGame::game_seconds, 40 * 0.15, 1e-3);
    a.set_fixed_frame_step(0.0f);
    a.update();
    // A measured step is never exactly the fixed one (tests time nothing, so no bound on it).
    EXPECT_NE(a.raw_frame_step(), 0.15f) << "the measured clock is back";
}

TEST_F(ApplicationTest, TimerAffinityMaskFromTheSettings)
{
    struct Case {
        const char *settings;
        u64 mask;
    };
    const Case cases[] = {
        {"", 1},
        {"win32 = { query_performance_counter_affinity_mask = 0 }", 0},
        {"win32 = { query_performance_counter_affinity_mask = 6 }", 6},
        {"win32 = { query_performance_counter_affinity_mask = \"all\" }", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.settings);
        write_file(data.file("settings.ini"), std::string(basic_settings) + c.settings + "\n");
        Application &a = make();
        ASSERT_TRUE(a.init());
        EXPECT_EQ(timer_affinity_mask(), c.mask);
        app.reset();
    }
    set_timer_affinity_mask(0);
}

// A relative "save_dir" lives in the user's data folder, which start-up creates; the
// content list exists from start-up until shutdown.
TEST_F(ApplicationTest, RelativeSaveDirGoesToTheUserDataFolder)
{
    test::TempDirectory data_home;
    setenv("XDG_DATA_HOME", data_home.path(), 1);
    write_file(data.file("settings.ini"), std::string(basic_settings) + "win32 = { save_dir = \"game/saves\" }\n");
    Application &a = make();
    ASSERT_TRUE(a.init());
    EXPECT_EQ(last_save_dir, std::string(data_home.path()) + "/game/saves");
    EXPECT_EQ(access(last_save_dir.c_str(), F_OK), 0) << "the save folder was created";
    EXPECT_NE(dlc_list(), nullptr);
    a.shutdown();
    EXPECT_EQ(dlc_list(), nullptr);
    unsetenv("XDG_DATA_HOME");
}

TEST_F(ApplicationTest, NoSaveDirMeansNoSaveSystem)
{
    Application &a = make();
    ASSERT_TRUE(a.init());
    EXPECT_EQ(a.save_service(), nullptr);
    for (const std::string &e : events)
        EXPECT_NE(e, "create save");
}

} // namespace
