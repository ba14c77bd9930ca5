#pragma once
// A whole Application over a loose-file database in a temporary directory, its MyGame running
// the scripts of a string source.

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

/// Settings that boot package "boot" and script "boot"; a private user settings directory.
class GameTest : public ::testing::Test {
  protected:
    GameTest()
    {
        game_scripts = &source;
        setenv("XDG_CONFIG_HOME", config_home.path(), 1);
        std::ofstream(data.file("settings.ini")) << "boot_package = \"boot\"\n"
                                                    "render_config = \"core/renderer\"\n"
                                                    "boot_script = \"boot\"\n";
    }
    ~GameTest() override { game_scripts = nullptr; }

    /// Writes the data's loose-file database.
    bool write_resources(const std::vector<TestResource> &resources)
    {
        DiskFileSystem files(data.path(), default_allocator());
        return write_database(files, resources);
    }

    /// A fresh Application over the data directory (not yet initialised), kept in `app`.
    Application &make()
    {
        const char *arguments[] = {"bin/tallow", "-data-dir", data.path()};
        options = std::make_unique<ApplicationOptions>(default_allocator(), 3, arguments);
        ApplicationParams params;
        params.options = options.get();
        params.window_system = &window_system;
        params.game_factory = make_game;
        params.services = services;
        params.world_services = world_services;
        params.register_resource_types = register_resource_types;
        app = std::make_unique<Application>(params);
        return *app;
    }

    /// Where the game takes its scripts: `source`, or the packages' "lua" resources when null.
    static inline IScriptSource *game_scripts = nullptr;

    LogRecorder log;
    StringScriptSource source;
    TempDirectory data;
    TempDirectory config_home;
    platform::HeadlessWindowSystem window_system{default_allocator()};
    ServiceFactories services; // none by default: no render interface
    WorldServiceFactories world_services;                         // none by default
    void (*register_resource_types)(ResourceManager &) = nullptr; // the sound types, for one
    std::unique_ptr<ApplicationOptions> options;
    std::unique_ptr<Application> app;

  private:
    static IGame *make_game(Allocator &allocator, Application &application)
    {
        return make_new<MyGame>(allocator, application, game_scripts);
    }
};

} // namespace tallow::test
