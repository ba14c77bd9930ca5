#pragma once
// A whole Application running a boot script over a loose-file database, for tests of the
// script tables that need the Application, its window and real worlds.
//
//   class MyTest : public BootScriptTest {
//     protected: MyTest() { write_data({{"package", "boot", package_resource({})}}); }
//   };
//   EXPECT_EQ(run_boot("assert(World.num_units(Application.new_world()) == 0)"), "");

#include "game_fixture.h"

#include "tools/unit_compiler.h"

#include <cstring>

namespace tallow::test {

/// A "unit" resource compiled from unit source text (tools/unit_compiler.h).
inline std::string compiled_unit(const char *source)
{
    std::vector<u8> out;
    std::string error;
    EXPECT_TRUE(compile_unit_source(source, strlen(source), out, error)) << error;
    return std::string(out.begin(), out.end());
}

class BootScriptTest : public GameTest {
  protected:
    /// The settings file: boot package "boot", boot script "boot", then `extra` lines.
    void write_settings(const std::string &extra)
    {
        std::ofstream(data.file("settings.ini")) << "boot_package = \"boot\"\n"
                                                    "render_config = \"core/renderer\"\n"
                                                    "boot_script = \"boot\"\n"
                                                 << extra;
    }
    /// The loose-file database the Application reads; it must hold the package "boot".
    void write_data(const std::vector<TestResource> &resources) { EXPECT_TRUE(write_resources(resources)); }

    /// Runs the boot script's init, then `frames` frames with `update` as the body of its
    /// update, in a fresh Application; the script failures logged, or "".
    std::string run_boot(const std::string &init, const std::string &update = "", u32 frames = 0)
    {
        app.reset();
        source.set("boot", "function init()\n" + init + "\nend\nfunction update(dt)\n" + update +
                               "\nend\nfunction render() end\n");
        // An init that raises fails the start-up; no frame runs then.
        bool started = make().init();
        for (u32 i = 0; started && i < frames; ++i)
            app->update();
        std::string failure;
        bool init_failed = false;
        for (const std::string &line : log.lines()) {
            init_failed = init_failed || line.rfind("[Lua] init:", 0) == 0;
            if (line.rfind("[Lua] init:", 0) == 0 || line.rfind("[Lua] update:", 0) == 0)
                failure += line;
        }
        EXPECT_EQ(started, !init_failed) << failure;
        return failure;
    }
};

} // namespace tallow::test
