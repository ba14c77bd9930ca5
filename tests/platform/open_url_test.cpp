#include "platform/shell/open_url.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace tallow::platform
