// ResourcePackage, Localizer and the Application's package functions, driven by a boot
// script in a whole Application over a loose-file database.
#include "boot_script_fixture.h"

#include "application/engine_setup.h"
#include "resource/strings_writer.h"
#include "tests/support/writers/texture_writer.h"

namespace tallow::test {
namespace {

std::string strings_bytes(const std::vector<StringsEntry> &entries)
{
    Array<u8> out(default_allocator());
    EXPECT_TRUE(build_strings_resource(entries.data(), u32(entries.size()), out));
    return std::string(out.begin(), out.end());
}

class ResourceApiTest : public BootScriptTest {
  protected:
    ResourceApiTest()
    {
        std::string broken = strings_bytes({{"a", "x"}});
        broken.back() = 'x'; // the text loses its end
        write_data({
            {"package", "boot", package_resource({{"strings", "menu"}})},
            {"package", "extra", package_resource({{"strings", "level"}, {"strings", "broken"}})},
            {"strings", "menu", strings_bytes({{"start", "Start"}, {"quit", "Quit"}})},
            {"strings", "level", strings_bytes({{"intro", "Level one"}})},
            {"strings", "broken", broken},
        });
    }
};

TEST_F(ResourceApiTest, ScriptsLoadPackagesAndLookUpLocalisedTexts)
{
    EXPECT_EQ(run_boot("local menu = Localizer('menu')\n"
                       "assert(Localizer.lookup(menu, 'start') == 'Start' and Localizer.lookup(menu, 'quit') == 'Quit')\n"
                       "assert(Localizer.lookup(menu, 'intro') == nil)\n"
                       // Not loaded yet: the null localizer, whose lookups give nil.
                       "assert(Localizer.lookup(Localizer('level'), 'intro') == nil)\n"
                       "local extra = Application.resource_package('extra')\n"
                       "assert(tostring(extra) == '[ResourcePackage]')\n"
                       "assert(not ResourcePackage.has_loaded(extra))\n"
                       "ResourcePackage.load(extra)\n"
                       "ResourcePackage.flush(extra)\n"
                       "assert(ResourcePackage.has_loaded(extra))\n"
                       "local level = Localizer('level')\n"
                       "assert(Localizer.lookup(level, 'intro') == 'Level one')\n"
                       // A damaged table was refused at load: nothing to look up in.
                       "assert(Localizer.lookup(Localizer('broken'), 'a') == nil)\n"
                       "ResourcePackage.unload(extra)\n"
                       // A localizer kept past the unload is not read through.
                       "assert(Localizer.lookup(level, 'intro') == nil)\n"
                       "assert(Localizer.lookup(Localizer('level'), 'intro') == nil)\n"
                       "Application.release_resource_package(extra)\n"
                       "assert(Localizer.lookup(level, 'intro') == nil)\n"
                       "assert(Application.resource_package('missing') == nil)\n"
                       "print('init done')"),
              "");
    EXPECT_EQ(log.count("[Lua] init done"), 1);
    EXPECT_EQ(log.count("strings resource"), 1) << "the damaged table is refused once";
    EXPECT_EQ(app->packages().size(), 1u) << "only the boot package is left";
}

TEST_F(ResourceApiTest, ReleasedPackagesAndWrongValuesAreScriptErrors)
{
    const ScriptErrorCase cases[] = {
        {"local p = Application.resource_package('extra')\n"
         "Application.release_resource_package(p)\n"
         "ResourcePackage.load(p)",
         "bad argument #1 to 'ResourcePackage.load' (ResourcePackage has been released)"},
        {"local p = Application.resource_package('extra')\n"
         "Application.release_resource_package(p)\n"
         "Application.release_resource_package(p)",
         "bad argument #1 to 'Application.release_resource_package' (ResourcePackage has been released)"},
        {"ResourcePackage.has_loaded(Vector3(1, 2, 3))",
         "bad argument #1 to 'ResourcePackage.has_loaded' (ResourcePackage expected, got Vector3)"},
        {"Application.resource_package({})",
         "bad argument #1 to 'Application.resource_package' (string expected, got table)"},
        {"Localizer.lookup(Vector3(1, 2, 3), 'start')",
         "bad argument #1 to 'Localizer.lookup' (Localizer expected, got Vector3)"},
        {"Localizer.lookup(Localizer('menu'))", "bad argument #2 to 'Localizer.lookup' (string expected, got no value)"},
        {"Localizer(nil)", "bad argument #2 to 'Localizer.__call' (string expected, got nil)"},
        {"Localizer.lookup(nil, 'start')", "bad argument #1 to 'Localizer.lookup' (Localizer expected, got nil)"},
    };
    expect_script_errors(cases, [&](const char *code) {
        log.clear();
        std::string failure = run_boot(code);
        app.reset();
        return failure;
    });
}

// Packages a script leaves loaded are released before the render device goes: a texture's
// bring-out needs the device. A boot script whose init fails never reaches its shutdown,
// so this is how such a start-up ends.
TEST_F(ResourceApiTest, PackagesAScriptLeavesBehindGoBeforeTheRenderer)
{
    const std::vector<u8> dds = write_dds(DdsDescription{}, std::vector<u8>(4, 0x80));
    write_data({
        {"package", "boot", package_resource({})},
        {"package", "pictures", package_resource({{"texture", "pixel"}})},
        {"texture", "pixel", std::string(dds.begin(), dds.end())},
    });
    const ProgramSetup setup = engine_setup();
    services = setup.services;
    register_resource_types = setup.register_resource_types;
    setenv("TALLOW_D3D11_BACKEND", "headless", 1);
    EXPECT_NE(run_boot("local p = Application.resource_package('pictures')\n"
                       "ResourcePackage.load(p)\n"
                       "ResourcePackage.flush(p)\n"
                       "error('init gives up with the package loaded')"),
              "");
    app.reset(); // the shutdown releases the package, then the renderer
    release_engine_resource_types();
    EXPECT_GT(log.count("shutdown: render interface"), 0);
}

} // namespace
} // namespace tallow::test
