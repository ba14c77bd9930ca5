// A bounded soak: one minute of simulated time per row, a lossy link carrying steady
// reliable traffic that the sender does not throttle (as a game sending state every
// frame would), reporting when and why each channel breaks. The resend ring holds 8192
// bytes, so a channel breaks once loss keeps more than that unacknowledged; the rows
// show where that happens. Every row also checks that what arrived before the break
// arrived once and in order.
#include "network/connection.h"

#include "tests/network/connection_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace tallow;
using namespace tallow::network;
using namespace tallow::test;

namespace {

struct SoakResult {
    bool broken = false;
    f64 broken_at_s = 0;
    u32 sent = 0;
    u32 delivered = 0;
    bool in_order = true;
};

SoakResult soak(f32 loss, u32 bytes_per_second, u64 seed)
{
    MemoryLinkSettings link;
    link.loss = loss;
    link.reorder = loss;
    link.duplicate = loss / 2;
    link.latency_s = 0.03f;
    link.jitter_s = 0.02f;
    ConnectionPair pair(seed, link);
    pair.b.keep_payloads = false;
    constexpr f32 step_s = 0.01f;
    constexpr u32 message_bytes = 100;
    const std::vector<u8> payload(message_bytes - 7, 0x42);
    SoakResult result;
    f64 owed_bytes = 0;
    for (u32 step = 0; step < 6000; ++step) { // 60 simulated seconds, the last 2 to drain
        if (step < 5800)
            owed_bytes += bytes_per_second * step_s;
        while (owed_bytes >= message_bytes && !result.broken) {
            pair.a.send_reliable(result.sent++, payload);
            owed_bytes -= message_bytes;
        }
        pair.step(step_s);
        if (!result.broken && pair.a.connection.is_broken(pair.id_b)) {
            result.broken = true;
            result.broken_at_s = (step + 1) * step_s;
        }
    }
    result.delivered = u32(pair.b.reliable.size());
    for (u32 i = 0; i < result.delivered; ++i)
        result.in_order &= pair.b.reliable[i].index == i;
    return result;
}

TEST(ConnectionSoak, SteadyReliableTrafficOverLossyLinks)
{
    struct Case {
        f32 loss;
        u32 bytes_per_second;
        bool must_survive;
    };
    const Case cases[] = {
        {0.00f, 10000, true}, {0.00f, 30000, true}, {0.01f, 10000, true}, {0.01f, 30000, false},
        {0.05f, 5000, true},  {0.05f, 10000, false}, {0.05f, 30000, false}, {0.10f, 5000, false},
        {0.10f, 10000, false}, {0.20f, 2000, false},  {0.20f, 5000, false},
    };
    std::printf("\n  loss  rate B/s  result                     delivered/sent\n");
    for (const Case &c : cases) {
        const SoakResult r = soak(c.loss, c.bytes_per_second, 1000 + u64(c.loss * 100) * 7 + c.bytes_per_second);
        char line[160];
        std::snprintf(line, sizeof(line), "  %3.0f%%  %8u  %-25s  %u/%u", c.loss * 100, c.bytes_per_second,
                      r.broken ? ("broken at " + std::to_string(r.broken_at_s).substr(0, 5) + " s").c_str()
                               : "held for 60 s",
                      r.delivered, r.sent);
        std::printf("%s\n", line);
        SCOPED_TRACE(line);
        EXPECT_TRUE(r.in_order);
        if (c.must_survive) {
            EXPECT_FALSE(r.broken);
            EXPECT_EQ(r.delivered, r.sent);
        }
    }
}

} // namespace
