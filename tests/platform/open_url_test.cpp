#include "platform/shell/open_url.h"

#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace tallow::platform {
namespace {

TEST(OpenUrl, OnlyWebAddressesAreOpened)
{
    for (const char *url : {"file:///etc/passwd", "ftp://x", "HTTP://x", "javascript:alert(1)", "", "http:/x"}) {
        SCOPED_TRACE(url);
        EXPECT_FALSE(open_url_in_browser(url));
    }
    EXPECT_FALSE(open_url_in_browser(nullptr));
}

TEST(OpenUrl, TheOpenerGetsTheUrlAsOneArgumentWithoutAShell)
{
    // A stand-in opener first on PATH records the arguments it was given.
    test::TempDirectory dir;
    std::string record = dir.file("args");
    std::string opener = dir.file("xdg-open");
    {
        std::ofstream script(opener);
        script << "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > \"" << record << ".tmp\"\nmv \"" << record << ".tmp\" \""
               << record << "\"\n";
    }
    ASSERT_EQ(chmod(opener.c_str(), 0755), 0);
    const char *old_path = getenv("PATH");
    std::string saved = old_path ? old_path : "";
    setenv("PATH", (std::string(dir.path()) + ":" + saved).c_str(), 1);
    const char *url = "https://example.org/a b;$(touch pwned)`id`&x=\"1\"";
    EXPECT_TRUE(open_url_in_browser(url));
    setenv("PATH", saved.c_str(), 1);
    std::string text;
    for (int i = 0; i < 500 && text.empty(); ++i) {
        std::ifstream in(record);
        std::stringstream all;
        all << in.rdbuf();
        text = all.str();
        if (text.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // One argument, byte for byte: nothing was split, expanded or run.
    EXPECT_EQ(text, std::string("1|") + url + "|");
}

} // namespace
} // namespace tallow::platform
