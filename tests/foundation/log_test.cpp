#include "foundation/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tallow {
namespace {

struct Captured {
    std::vector<std::string> lines;
};

void capture(void *user, const char *category, const char *message)
{
    static_cast<Captured *>(user)->lines.push_back(std::string(category) + ": " + message);
}

TEST(Log, CaptureReceivesFormattedLinesWithCategory)
{
    Captured captured;
    set_log_capture(capture, &captured, false);
    log_message("resource", "bundle %s truncated at %u bytes", "boot", 12u);
    log_message("lua", "%s", "x");
    set_log_capture(nullptr, nullptr);
    ASSERT_EQ(captured.lines.size(), 2u);
    EXPECT_EQ(captured.lines[0], "resource: bundle boot truncated at 12 bytes");
    EXPECT_EQ(captured.lines[1], "lua: x");
}

TEST(Log, OverlongMessageIsCutNotOverrun)
{
    Captured captured;
    set_log_capture(capture, &captured, false);
    std::string big(10000, 'a');
    log_message("big", "%s", big.c_str());
    set_log_capture(nullptr, nullptr);
    ASSERT_EQ(captured.lines.size(), 1u);
    EXPECT_LT(captured.lines[0].size(), 2100u);
}

} // namespace
} // namespace tallow
