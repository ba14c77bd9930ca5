#include "network/memory_transport.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tallow;
using namespace tallow::network;

namespace {

struct Arrival {
    u64 from;
    u32 index;
    f64 time_s;
    bool operator==(const Arrival &) const = default;
};

std::vector<Arrival> run(u64 seed, const MemoryLinkSettings &link, u32 count, MemoryNetworkStats *out_stats = nullptr)
{
    MemoryNetwork network(default_allocator(), seed);
    network.set_link_settings(link);
    ITransport *a = network.create_endpoint(1);
    ITransport *b = network.create_endpoint(2);
    std::vector<Arrival> arrivals;
    for (u32 i = 0; i < count + 100; ++i) {
        if (i < count) {
            u8 bytes[4] = {u8(i), u8(i >> 8), u8(i >> 16), u8(i >> 24)};
            a->send(2, bytes, sizeof(bytes));
        }
        network.advance(0.01f);
        const u8 *data;
        u32 size;
        u64 from;
        while (b->receive(&data, &size, &from))
            arrivals.push_back({from, u32(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24), network.now_s()});
    }
    if (out_stats)
        *out_stats = network.stats();
    return arrivals;
}

TEST(MemoryNetwork, SameSeedSameRunAndTheRatesHold)
{
    MemoryLinkSettings link;
    link.loss = 0.1f;
    link.duplicate = 0.1f;
    link.reorder = 0.1f;
    link.latency_s = 0.02f;
    link.jitter_s = 0.02f;
    MemoryNetworkStats stats;
    const auto first = run(42, link, 5000, &stats);
    EXPECT_EQ(run(42, link, 5000), first);
    EXPECT_NE(run(43, link, 5000), first);
    EXPECT_NEAR(double(stats.lost) / 5000, 0.1, 0.02);
    EXPECT_NEAR(double(stats.duplicated) / 5000, 0.1, 0.02);
    EXPECT_EQ(first.size(), stats.sent - stats.lost + stats.duplicated);
    u32 out_of_order = 0, copies = 0;
    std::vector<u32> seen(5000);
    for (size_t i = 0; i < first.size(); ++i) {
        out_of_order += i > 0 && first[i].index < first[i - 1].index;
        copies += seen[first[i].index]++ > 0;
    }
    EXPECT_GT(out_of_order, 100u);
    EXPECT_EQ(copies, stats.duplicated);
}

TEST(MemoryNetwork, DelayHoldsDatagramsUntilDue)
{
    MemoryLinkSettings link;
    link.latency_s = 0.1f;
    MemoryNetwork network(default_allocator(), 1);
    network.set_link_settings(link);
    ITransport *a = network.create_endpoint(1);
    ITransport *b = network.create_endpoint(2);
    EXPECT_TRUE(a->has_peer(2));
    EXPECT_FALSE(a->has_peer(1));
    EXPECT_FALSE(a->has_peer(3));
    EXPECT_EQ(network.create_endpoint(2), nullptr);
    const u8 byte = 5;
    EXPECT_TRUE(a->send(2, &byte, 1));
    EXPECT_FALSE(a->send(3, &byte, 1)) << "no such endpoint";
    const u8 *data;
    u32 size;
    u64 from;
    network.advance(0.05f);
    EXPECT_FALSE(b->receive(&data, &size, &from));
    network.advance(0.06f);
    ASSERT_TRUE(b->receive(&data, &size, &from));
    EXPECT_EQ(from, 1u);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(data[0], 5);
    // Injected bytes arrive at once, from any id.
    EXPECT_TRUE(network.inject(0x99, 2, &byte, 1));
    ASSERT_TRUE(b->receive(&data, &size, &from));
    EXPECT_EQ(from, 0x99u);
    const std::vector<u8> big(max_datagram_bytes + 1);
    EXPECT_FALSE(a->send(2, big.data(), u32(big.size())));
}

TEST(MemoryNetwork, FullNetworkLosesAndCounts)
{
    MemoryNetwork network(default_allocator(), 1, 4);
    ITransport *a = network.create_endpoint(1);
    network.create_endpoint(2);
    const u8 byte = 1;
    for (int i = 0; i < 6; ++i)
        a->send(2, &byte, 1);
    EXPECT_EQ(network.in_flight(), 4u);
    EXPECT_EQ(network.stats().overflowed, 2u);
}

} // namespace
