#pragma once
// A whole Application running a boot script over a loose-file database, for tests of the
// script tables that need the Application, its window and real worlds.
//
//   class MyTest : public BootScriptTest {
//     protected: MyTest() { write_data({{"package", "boot", package_resource({})}}); }
//   };
//   EXPECT_EQ(run_boot("assert(World.num_units(Application.new_world()) == 0)"), "");

#include "script_fixture.h"

#include "application/application.h"
#include "application/application_options.h"
#include "application/my_game.h"
#include "foundation/io/disk_file_system.h"
#include "platform/window/window_headless.h"
#include "tests/support/resource_test_data.h"
#include "tests/support/temp_directory.h"

#include <cstdlib>
#include <fstream>
#include <memory>

namespace tallow::test {

class BootScriptTest : public ::testing::Test {
  protected:
    BootScriptTest()
    {
        scripts() = &source;
        setenv("XDG_CONFIG_HOME", config_home.path(), 1);
        write_settings("");
    }
    ~BootScriptTest() override { scripts() = nullptr; }

    /// The settings file: boot package "boot", boot script "boot", then `extra` lines.
    void write_settings(const std::string &extra)
    {
        std::ofstream(data.file("settings.ini")) << "boot_package = \"boot\"\n"
                                                    "render_config = \"core/renderer\"\n"
                                                    "boot_script = \"boot\"\n"
                                                 << extra;
    }
    /// The loose-file database the Application reads; it must hold the package "boot".
    void write_data(const std::vector<TestResource> &resources)
    {
        DiskFileSystem files(data.path(), default_allocator());
        EXPECT_TRUE(write_database(files, resources));
    }

    /// Runs the boot script's init, then `frames` frames with `update` as the body of its
    /// update, in a fresh Application; the script failures logged, or "".
    std::string run_boot(const std::string &init, const std::string &update = "", u32 frames = 0)
    {
        app.reset();
        source.set("boot", "function init()\n" + init + "\nend\nfunction update(dt)\n" + update +
                               "\nend\nfunction render() end\n");
        const char *arguments[] = {"bin/tallow", "-data-dir", data.path()};
        options = std::make_unique<ApplicationOptions>(default_allocator(), 3, arguments);
        ApplicationParams params;
        params.options = options.get();
        params.window_system = &window_system;
        params.game_factory = [](Allocator &allocator, Application &application) -> IGame * {
            return make_new<MyGame>(allocator, application, scripts());
        };
        app = std::make_unique<Application>(params);
        EXPECT_TRUE(app->init());
        for (u32 i = 0; i < frames; ++i)
            app->update();
        std::string failure;
        for (const std::string &line : log.lines())
            if (line.rfind("[Lua] init:", 0) == 0 || line.rfind("[Lua] update:", 0) == 0)
                failure += line;
        return failure;
    }

    static IScriptSource *&scripts()
    {
        static IScriptSource *current = nullptr;
        return current;
    }

    LogRecorder log;
    StringScriptSource source;
    TempDirectory data;
    TempDirectory config_home;
    platform::HeadlessWindowSystem window_system{default_allocator()};
    std::unique_ptr<ApplicationOptions> options;
    std::unique_ptr<Application> app;
};

} // namespace tallow::test
