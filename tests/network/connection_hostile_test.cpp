// Hostile datagrams against a connection with some history: each is dropped or refused
// and counted, nothing reads or writes out of bounds (run under the address and
// undefined-behaviour sanitizers), the state keeps its invariants, and the channel goes
// on working for the honest traffic after it.
#include "network/connection.h"

#include "network/connection_internal.h"
#include "tests/network/connection_fixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace tallow;
using namespace tallow::network;
using namespace tallow::test;

namespace {

class HostileScene : public ScriptedPeer {
  public:
    /// a has sent sequences 0-4 (1, 3 with reliable bytes) and received 0-2 from b.
    void build_history()
    {
        for (u32 s = 0; s < 5; ++s) {
            if (s % 2)
                a.send_reliable(100 + s, {u8(s)});
            else
                a.send_unreliable({u8(s)});
            tick();
        }
        for (u32 s = 0; s < 3; ++s)
            inject(DatagramWriter().sequence(s).ack(1).reliable_message(s, {u8(s)}).build());
        tick();
        sent_by_a();
        ASSERT_EQ(a.reliable.size(), 3u);
    }

    /// b's next honest datagram still gets through, in order.
    void expect_channel_works(u32 next_sequence)
    {
        const size_t before = a.reliable.size();
        inject(DatagramWriter().sequence(next_sequence).ack(1).reliable_message(999, {7}).build());
        tick();
        ASSERT_EQ(a.reliable.size(), before + 1);
        EXPECT_EQ(a.reliable.back().index, 999u);
    }
};

class ConnectionHostile : public testing::Test, public HostileScene {};

std::vector<u8> bytes_of(std::initializer_list<int> values)
{
    std::vector<u8> out;
    for (int v : values)
        out.push_back(u8(v));
    return out;
}

TEST_F(ConnectionHostile, TableOfHostileDatagrams)
{
    enum class Counter { Malformed, BadAck, Control, None };
    struct Case {
        const char *name;
        std::function<std::vector<std::vector<u8>>()> datagrams;
        Counter counter;
        bool stops_walk; // the message walk stopped at the hostile control message
    };
    const std::vector<u8> chunk_bytes(40, 0xCC);
    const Case cases[] = {
        {"empty datagram", [] { return std::vector<std::vector<u8>>{{}}; }, Counter::Malformed, false},
        {"five bytes", [] { return std::vector<std::vector<u8>>{bytes_of({3, 4, 0, 0, 0})}; }, Counter::Malformed, false},
        {"reliable length one past the end",
         [] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).reliable_bytes({1, 2}).stated_reliable_length(3).build()}; },
         Counter::Malformed, false},
        {"reliable length 4095 in 10 bytes",
         [] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).reliable_bytes({1, 2, 3, 4}).stated_reliable_length(4095).build()}; },
         Counter::Malformed, false},
        {"ack of sequences never sent",
         [] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(300).reliable_message(50, {}).build()}; },
         Counter::BadAck, false},
        {"ack behind the acknowledged one is ignored",
         [] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(1000).build()}; }, Counter::None, false},
        {"empty range reversed",
         [] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(1).empty_range(10, 5).build()}; },
         Counter::Control, true},
        {"empty range of 60000 sequences",
         [] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(1).empty_range(4, 60004).build()}; },
         Counter::Control, true},
        {"empty range ending past the window",
         [] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(1).empty_range(1500, 1600).build()}; },
         Counter::Control, true},
        {"empty range cut short",
         [] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(1).unreliable_bytes({254, 4, 0, 5}).build()}; },
         Counter::Control, true},
        {"resend request cut short",
         [] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(1).unreliable_bytes({253, 1}).build()}; },
         Counter::Control, true},
        {"chunk longer than its datagram",
         [&] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(1).reliable_chunk(5, chunk_bytes, 41).build()}; },
         Counter::Control, true},
        {"chunk stating 65535 bytes",
         [&] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(1).reliable_chunk(5, chunk_bytes, 65535).build()}; },
         Counter::Control, true},
        {"chunk beyond the receive window",
         [&] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(1).reliable_chunk(3 + 2000, chunk_bytes).build()}; },
         Counter::Control, true},
        {"chunk for a sequence already delivered is skipped",
         [&] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(1).reliable_chunk(1, chunk_bytes).unreliable_message({1}).build()}; },
         Counter::None, false},
        {"reserved type and pong",
         [] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(1).control(250).pong().build()}; },
         Counter::None, false},
        {"control message bytes inside the reliable part",
         [] { return std::vector<std::vector<u8>>{DatagramWriter().sequence(3).ack(1).reliable_bytes({255, 5, 0, 200, 0}).build()}; },
         Counter::Control, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HostileScene scene;
        ConnectionPeer &a = scene.a;
        scene.build_history();
        const ConnectionStats before = a.connection.stats();
        const size_t reliable_before = a.reliable.size();
        for (const auto &datagram : c.datagrams())
            scene.inject(datagram);
        scene.tick();
        const ConnectionStats &after = a.connection.stats();
        EXPECT_EQ(after.dropped_malformed - before.dropped_malformed, c.counter == Counter::Malformed ? 1u : 0u);
        EXPECT_EQ(after.dropped_bad_ack - before.dropped_bad_ack, c.counter == Counter::BadAck ? 1u : 0u);
        EXPECT_EQ(after.control_rejected - before.control_rejected, c.counter == Counter::Control ? 1u : 0u);
        EXPECT_EQ(a.walks_stopped > 0, c.stops_walk);
        EXPECT_EQ(a.reliable.size(), reliable_before) << "nothing hostile is delivered as a message";
        EXPECT_FALSE(a.connection.is_broken(id_b));
        EXPECT_TRUE(a.connection.validate());
        scene.expect_channel_works(c.counter == Counter::Malformed || c.counter == Counter::BadAck ? 3 : 4);
    }
}

TEST_F(ConnectionHostile, RepeatedAnnouncementsDoNotGrowTheHeapOrTheRing)
{
    build_history();
    // A full window of empty sequences announced twice, and one chunk twenty times.
    DatagramWriter announcements;
    announcements.sequence(3).ack(1).empty_range(4, 4 + 1023).empty_range(4, 4 + 1023);
    for (int i = 0; i < 20; ++i)
        announcements.reliable_chunk(1027, {1, 2, 3});
    inject(announcements.build());
    a.receive();
    EXPECT_TRUE(a.connection.validate());
    EXPECT_EQ(a.connection.stats().control_rejected, 0u);
    // Sequence 4 lets everything through: the announced ones, then the chunk once.
    inject(DatagramWriter().sequence(4).ack(1).build());
    tick();
    u32 chunks = 0;
    for (const Delivery &d : a.deliveries)
        chunks += d.sequence == 1027 && d.size == 3;
    EXPECT_EQ(chunks, 1u);
    EXPECT_FALSE(a.connection.is_broken(id_b));
    inject(DatagramWriter().sequence(1028 & 0x3FF).ack(1).reliable_message(5, {}).build());
    tick();
    EXPECT_EQ(a.reliable.back().index, 5u);
}

TEST_F(ConnectionHostile, DuplicatedDatagramsDeliverOnce)
{
    build_history();
    const auto d4 = DatagramWriter().sequence(4).ack(1).reliable_message(4, {4}).build();
    const auto d3 = DatagramWriter().sequence(3).ack(1).reliable_message(3, {3}).build();
    for (int i = 0; i < 3; ++i)
        inject(d4);
    for (int i = 0; i < 3; ++i)
        inject(d3);
    tick();
    ASSERT_EQ(a.reliable.size(), 5u);
    EXPECT_EQ(a.reliable[3].index, 3u);
    EXPECT_EQ(a.reliable[4].index, 4u);
}

TEST_F(ConnectionHostile, FloodOfChunksAheadBreaksOnlyThatChannelCleanly)
{
    build_history();
    const std::vector<u8> payload(1000, 0x11);
    for (u32 s = 10; s < 30; ++s)
        inject(DatagramWriter().sequence(3).ack(1).reliable_chunk(s, payload).build());
    tick();
    EXPECT_TRUE(a.connection.is_broken(id_b)) << "more held ahead of order than the receive ring holds";
    EXPECT_EQ(a.reliable.size(), 3u);
    EXPECT_TRUE(a.connection.validate());
}

// Mutated copies of honest datagrams (bits flipped, cut, spliced) fed to the receiver
// of a lossy run: no crash, no broken invariant, and the run's honest traffic goes on.
TEST(ConnectionMutation, MutatedDatagramsNeverBreakTheInvariants)
{
    MemoryLinkSettings link;
    link.loss = 0.05f;
    link.reorder = 0.05f;
    link.latency_s = 0.01f;
    ConnectionPair pair(11, link);
    pair.record_datagrams(true);
    u32 x = 99;
    auto random = [&] { return (x = x * 1664525u + 1013904223u) >> 8; };
    u32 index = 0;
    for (int step = 0; step < 4000; ++step) {
        if (step % 4 == 0) {
            pair.a.send_reliable(index, message_payload(index, 200));
            ++index;
        }
        pair.b.send_unreliable({u8(step)});
        if (!pair.sent.empty() && step % 3 == 0) {
            const SentDatagram &source = pair.sent[random() % pair.sent.size()];
            std::vector<u8> bytes = source.bytes;
            switch (random() % 4) {
            case 0:
                for (int i = 0; i < 3 && !bytes.empty(); ++i)
                    bytes[random() % bytes.size()] ^= u8(1u << (random() % 8));
                break;
            case 1: bytes.resize(random() % (bytes.size() + 1)); break;
            case 2: {
                const SentDatagram &other = pair.sent[random() % pair.sent.size()];
                const size_t cut = random() % (bytes.size() + 1);
                bytes.resize(cut);
                bytes.insert(bytes.end(), other.bytes.begin() + std::min(cut, other.bytes.size()), other.bytes.end());
                if (bytes.size() > max_datagram_bytes)
                    bytes.resize(max_datagram_bytes);
                break;
            }
            default:
                for (size_t i = packet_header_bytes; i < bytes.size(); ++i)
                    if (random() % 8 == 0)
                        bytes[i] = u8(250 + random() % 6);
                break;
            }
            pair.network.inject(source.from, source.to, bytes.data(), u32(bytes.size()));
        }
        if (pair.sent.size() > 512)
            pair.sent.erase(pair.sent.begin(), pair.sent.begin() + 256);
        pair.step(0.01f);
        ASSERT_TRUE(pair.a.connection.validate());
        ASSERT_TRUE(pair.b.connection.validate());
    }
    const ConnectionStats &b = pair.b.connection.stats();
    EXPECT_GT(b.dropped_malformed + b.dropped_bad_ack + b.control_rejected, 0u);
}


// A transport that, like the online-services stand-in, knows every id: datagrams queued by
// the test come from whatever id it names; sends are counted.
class AnyPeerTransport final : public ITransport {
  public:
    bool has_peer(u64) override { return true; }
    bool send(u64, const u8 *, u32) override
    {
        ++sent;
        return true;
    }
    bool receive(const u8 **out_bytes, u32 *out_size, u64 *out_peer) override
    {
        if (next >= queue.size())
            return false;
        current = queue[next].second;
        *out_peer = queue[next++].first;
        *out_bytes = current.data();
        *out_size = u32(current.size());
        return true;
    }
    void push(u64 from, std::vector<u8> bytes) { queue.emplace_back(from, std::move(bytes)); }

    std::vector<std::pair<u64, std::vector<u8>>> queue;
    size_t next = 0;
    std::vector<u8> current;
    u64 sent = 0;
};

void ignore_delivery(void *, u64, u32, const u8 *, u32, f32) {}

TEST(ConnectionChannels, ForgedSenderIdsCostBoundedMemoryAndLeaveRealPeersAlone)
{
    struct Case {
        const char *name;
        bool acceptable; // the forged datagrams pass every check (confirming their channels)
    };
    const Case cases[] = {{"seven random bytes from each id", false}, {"a valid datagram from each id", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AnyPeerTransport transport;
        ConnectionSettings settings;
        Connection connection(transport, default_allocator(), settings);
        const ReceiveHandler handler = make_receive_handler(&ignore_delivery, 0);
        constexpr u64 real = 0xAAAA;
        const std::vector<u8> hello = {1, 2, 3};
        connection.send(real, 1, hello.data(), 3); // this side talks to a real peer
        connection.update(0.03f);
        connection.flush();
        const u64 one_channel = connection.allocator().bytes_in_use();
        u64 seed = 99;
        for (u64 id = 1; id <= 5000; ++id) {
            std::vector<u8> datagram;
            if (c.acceptable) {
                datagram = DatagramWriter().sequence(0).ack(0).unreliable_bytes({0}).build();
            } else {
                for (int i = 0; i < 7; ++i) {
                    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
                    datagram.push_back(u8(seed >> 56));
                }
                datagram[2] |= 0xF0; // a reliable length past the end: refused
            }
            transport.push(0x10000 + id, datagram);
            if (id % 100 == 0) { // a frame: the real peer answers too
                transport.push(real, DatagramWriter().sequence(u32(id / 100 - 1)).ack(1).build());
                connection.update(0.03f);
                connection.receive(handler);
                connection.flush();
            }
        }
        EXPECT_LE(connection.channel_count(), settings.max_channels);
        EXPECT_LE(connection.allocator().bytes_in_use(), u64(settings.max_channels) * one_channel * 11 / 10);
        EXPECT_GT(connection.stats().channels_dropped + connection.stats().dropped_channel_limit, 0u);
        EXPECT_EQ(connection.status(real, 0), PacketStatus::Acknowledged) << "the real peer kept its channel";
        EXPECT_FALSE(connection.is_broken(real));
        // A new real peer still gets a channel: forged ones make room once silent.
        for (int i = 0; i < 80; ++i) {
            connection.update(0.03f);
            connection.receive(handler);
            connection.flush();
        }
        constexpr u64 joining = 0xBBBB;
        connection.send(joining, 1, hello.data(), 3);
        EXPECT_EQ(connection.status(joining, 0), PacketStatus::NotSent) << "queued, not refused";
        connection.update(0.03f);
        connection.flush();
        EXPECT_EQ(connection.status(joining, 0), PacketStatus::Sent);
        if (!c.acceptable) {
            // Channels nobody confirmed go after a few seconds.
            for (int i = 0; i < 200; ++i)
                connection.update(0.03f);
            EXPECT_EQ(connection.channel_count(), 2u);
        }
        EXPECT_TRUE(connection.validate());
    }
}

} // namespace
