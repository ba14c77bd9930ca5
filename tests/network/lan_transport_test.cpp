// Addresses, sockets and the LAN transport over real UDP sockets on the loopback address.
#include "foundation/memory/memory_globals.h"
#include "network/lan/lan_client.h"
#include "network/lan/lan_transport.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

namespace tallow::test {
namespace {

using namespace network;

TEST(IpAddress, ParsesDecimalAddressesWithinRange)
{
    struct Case {
        const char *text;
        bool ok;
        u32 address;
        u32 port;
    };
    const Case cases[] = {
        {"127.0.0.1:7000", true, 0x7F000001, 7000},
        {"127.1.2.3", true, 0x7F010203, 0},
        {"127.0.0.010:08", true, 0x7F00000A, 8}, // decimal, never octal
        {"127.0.0.255:65535", true, 0x7F0000FF, 65535},
        {"127.0.0.256:1", false, 0, 0},          // an octet past 255 does not bleed over
        {"127.0.0.1:65536", false, 0, 0},
        {"127.0.0:1", false, 0, 0},
        {"127.0.0.1:", false, 0, 0},
        {"127.0.0.1:80x", false, 0, 0},
        {"-127.0.0.1", false, 0, 0},
        {"", false, 0, 0},
        {"127.0.0.0000001", false, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        IpAddress a{1, 2};
        EXPECT_EQ(IpAddress::parse(c.text, a), c.ok);
        if (c.ok) {
            EXPECT_EQ(a.address, c.address);
            EXPECT_EQ(a.port, c.port);
        } else {
            EXPECT_EQ(a.address, 1u); // untouched
        }
    }
    IpAddress none;
    EXPECT_FALSE(IpAddress::parse(nullptr, none));
    char text[24];
    IpAddress{0x7F000001, 7000}.to_string(text, sizeof(text));
    EXPECT_STREQ(text, "127.0.0.1:7000");
    IpAddress{0x7F000001, 7000}.address_string(text, sizeof(text));
    EXPECT_STREQ(text, "127.0.0.1");
}

/// A clock the test moves by hand.
struct ManualClock {
    f64 now = 100;
    NetworkClock clock() { return {[](void *user) { return static_cast<ManualClock *>(user)->now; }, this}; }
};

class LanTransportTest : public ::testing::Test {
  protected:
    /// Receives on `t` for a while (loopback delivery is prompt, but not instant).
    bool receive(LanTransport &t, std::vector<u8> &out, u64 &from)
    {
        for (u32 tries = 0; tries < 200; ++tries) {
            const u8 *bytes;
            u32 size;
            if (t.receive(&bytes, &size, &from)) {
                out.assign(bytes, bytes + size);
                return true;
            }
            usleep(1000);
        }
        return false;
    }

    ManualClock time;
    LanTransport a{0, default_allocator(), time.clock()};
    LanTransport b{0, default_allocator(), time.clock()};
};

TEST_F(LanTransportTest, PortZeroTakesAFreePortAndListedPeersExchange)
{
    ASSERT_TRUE(a.is_bound() && b.is_bound());
    EXPECT_NE(a.port(), 0u);
    EXPECT_NE(a.port(), b.port());
    const u8 hello[] = {1, 2, 3};
    EXPECT_FALSE(a.send(2, hello, sizeof(hello))); // not listed
    a.add_peer(2, ipv4_loopback, b.port());
    b.add_peer(1, ipv4_loopback, a.port());
    EXPECT_TRUE(a.has_peer(2));
    ASSERT_TRUE(a.send(2, hello, sizeof(hello)));
    std::vector<u8> got;
    u64 from = 0;
    ASSERT_TRUE(receive(b, got, from));
    EXPECT_EQ(from, 1u);
    EXPECT_EQ(got, std::vector<u8>(hello, hello + 3));
    // add_peer moves a listed peer rather than listing it twice.
    a.add_peer(2, ipv4_loopback, b.port());
    EXPECT_EQ(a.peers().size(), 1u);
}

TEST_F(LanTransportTest, StrayDatagramsNeitherStallNorLinger)
{
    // b lists a only under the wrong port; a stranger socket sends too.
    LanTransport stranger{0, default_allocator(), time.clock()};
    stranger.add_peer(9, ipv4_loopback, b.port());
    a.add_peer(2, ipv4_loopback, b.port());
    b.add_peer(1, ipv4_loopback, a.port());
    const u8 stray[] = {0xEE};
    for (u32 i = 0; i < 20; ++i)
        stranger.send(9, stray, 1);
    const u8 real[] = {0x42};
    a.send(2, real, 1);
    std::vector<u8> got;
    u64 from = 0;
    ASSERT_TRUE(receive(b, got, from)); // the strays before it do not block it
    EXPECT_EQ(got, std::vector<u8>{0x42});
    EXPECT_EQ(from, 1u);
    EXPECT_EQ(b.stats().held, 20u);
    EXPECT_EQ(b.stats().dropped, 20u - lan_held_datagrams);
    // A held datagram goes out once its sender is listed, within its second.
    b.add_peer(7, ipv4_loopback, stranger.port());
    ASSERT_TRUE(receive(b, got, from));
    EXPECT_EQ(from, 7u);
    EXPECT_EQ(got, std::vector<u8>{0xEE});
    // The rest expire.
    time.now += 1.5;
    const u8 *bytes;
    u32 size;
    EXPECT_FALSE(b.receive(&bytes, &size, &from));
    EXPECT_EQ(b.stats().dropped, 20u - 1);
}

TEST_F(LanTransportTest, LongDatagramsAreCutTo1200Bytes)
{
    a.add_peer(2, ipv4_loopback, b.port());
    b.add_peer(1, ipv4_loopback, a.port());
    std::vector<u8> big(1500, 7);
    a.send(2, big.data(), u32(big.size()));
    std::vector<u8> got;
    u64 from;
    ASSERT_TRUE(receive(b, got, from));
    EXPECT_EQ(got.size(), lan_datagram_bytes);
}

TEST(LanClient, AFailedBindIsReported)
{
    LanClient first(default_allocator(), {});
    ASSERT_TRUE(first.is_bound());
    LogCapture log;
    LanClientSettings settings;
    settings.port = first.lan_transport().port();
    LanClient second(default_allocator(), settings);
    EXPECT_FALSE(second.is_bound());
    EXPECT_TRUE(log.contains("could not be bound"));
    EXPECT_NE(first.own_peer_id(), 0u);
    EXPECT_NE(first.own_peer_id(), second.own_peer_id());
}

} // namespace
} // namespace tallow::test
