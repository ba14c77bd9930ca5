// The program's exit code when its settings name a boot script that cannot run: a failed
// start-up exits 1 at once (a misspelt key used to run with no script until the run's safety
// net ended it, exit 0).
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>

namespace tallow::test {
namespace {

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    const size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(StartupExit, ABootScriptSettingThatCannotRunExitsOne)
{
    struct Case {
        const char *name;
        const char *from, *to; // in the sample's settings.ini
        const char *message;
    };
    const Case cases[] = {
        {"misspelt key", "boot_script = \"boot\"", "boot_scrpt = \"boot\"", "the settings name no \"boot_script\""},
        {"misspelt name", "boot_script = \"boot\"", "boot_script = \"bot\"", "the boot script \"bot\" did not load"},
    };
    std::ifstream in(std::string(TALLOW_BUILT_DATA_DIR) + "/settings.ini", std::ios::binary);
    const std::string settings((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_NE(settings.find(cases[0].from), std::string::npos);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDirectory home;
        const std::string data = std::string(home.path()) + "/data";
        std::filesystem::copy(TALLOW_BUILT_DATA_DIR, data, std::filesystem::copy_options::recursive);
        std::ofstream(data + "/settings.ini", std::ios::binary) << replaced(settings, c.from, c.to);
        const std::string command = std::string("XDG_CONFIG_HOME='") + home.path() + "/config' XDG_DATA_HOME='" +
                                    home.path() + "/share' SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy " +
                                    "TALLOW_D3D11_BACKEND=headless timeout -s KILL 60 '" + TALLOW_PROGRAM +
                                    "' -data-dir '" + data + "' 2>&1";
        FILE *pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string output;
        char buffer[512];
        while (fgets(buffer, sizeof buffer, pipe))
            output += buffer;
        const int status = pclose(pipe);
        ASSERT_TRUE(WIFEXITED(status)) << output;
        EXPECT_EQ(WEXITSTATUS(status), 1) << output;
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
    }
}

} // namespace
} // namespace tallow::test
