#include "render/interface/render_service.h"

#include "application/application.h"
#include "application/application_options.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/memory/memory_globals.h"
#include "platform/window/window_headless.h"
#include "tests/render/threaded_test_device.h"
#include "tests/support/log_capture.h"
#include "tests/support/resource_test_data.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace tallow {
namespace {

test::ThreadedTestDevice *last_device = nullptr;

RenderDevice *make_test_device(Allocator &allocator, ThreadPool *, IRenderOutput *&out_output)
{
    last_device = make_new<test::ThreadedTestDevice>(allocator, allocator);
    out_output = last_device;
    return last_device;
}

IRenderService *make_render_service(Allocator &allocator, Application &application)
{
    return create_render_service(allocator, application.thread_registry(), application.thread_pool(), &make_test_device);
}

// The Application's render steps over the render service: device start, the window's
// swap chain, one present and fence per frame, and a clean stop.
TEST(RenderService, ApplicationPresentsEveryFrameAndStopsClean)
{
    test::TempDirectory data;
    test::TempDirectory config_home;
    setenv("XDG_CONFIG_HOME", config_home.path(), 1);
    {
        std::ofstream settings(data.file("settings.ini"), std::ios::binary);
        settings << "boot_package = \"boot\"\nrender_config = \"core/renderer\"\nwin32 = { window_name = \"Render\" }\n";
    }
    // The packages the settings name, empty, in the data's loose-file database.
    DiskFileSystem files(data.path(), default_allocator());
    ASSERT_TRUE(test::write_database(files, {{"package", "boot", test::package_resource({})},
                                             {"package", "core/renderer", test::package_resource({})}}));
    std::vector<const char *> arguments = {"bin/tallow", "-data-dir", data.path()};
    ApplicationOptions options(default_allocator(), int(arguments.size()), arguments.data());
    platform::HeadlessWindowSystem window_system(default_allocator());
    ApplicationParams params;
    params.options = &options;
    params.window_system = &window_system;
    params.services.create_render = &make_render_service;

    test::LogCapture log(nullptr, true);
    {
        Application application(params);
        ASSERT_TRUE(application.init());
        ASSERT_NE(application.render_service(), nullptr);
        EXPECT_EQ(test::ThreadedTestDevice::live.load(), 1);
        for (u32 frame = 0; frame < 5; ++frame)
            ASSERT_TRUE(application.update());
        std::vector<std::string> calls = last_device->calls();
        ASSERT_GE(calls.size(), 6u);
        EXPECT_EQ(calls[0], "initialize");
        EXPECT_EQ(calls[1], "create_swap_chain 0");
        u32 presents = 0;
        for (const std::string &call : calls)
            presents += call == "present 0";
        // The fifth frame's present may still be in flight; the fourth's fence was waited for.
        EXPECT_GE(presents, 4u);
        application.shutdown();
    }
    EXPECT_EQ(test::ThreadedTestDevice::live.load(), 0) << "the device went with the render interface";
    for (const std::string &line : log.lines())
        EXPECT_EQ(line.find("live allocations"), std::string::npos) << line;
    EXPECT_TRUE(log.contains("no resource manager or settings; not loaded"));
}

} // namespace
} // namespace tallow
