#include "network/connection.h"

#include "network/connection_internal.h"
#include "tests/network/connection_fixture.h"
#include "tests/support/fakes/recording_allocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace tallow;
using namespace tallow::network;
using namespace tallow::test;

namespace {

using ConnectionReceive = ScriptedPeerTest;
using ConnectionSend = ScriptedPeerTest;
using ConnectionTiming = ScriptedPeerTest;

TEST_F(ConnectionReceive, EmptyDatagramDeliversZeroBytesAndAsksNoAcknowledgement)
{
    inject(DatagramWriter().sequence(0).build());
    tick();
    ASSERT_EQ(a.deliveries.size(), 2u); // the reliable part, then the unreliable part
    EXPECT_EQ(a.deliveries[0].sequence, 0u);
    EXPECT_EQ(a.deliveries[0].size, 0u);
    EXPECT_EQ(a.deliveries[1].size, 0u);
    for (int i = 0; i < 10; ++i)
        tick();
    EXPECT_TRUE(sent_by_a().empty()) << "nothing to acknowledge, nothing to send";

    inject(DatagramWriter().sequence(1).reliable_message(0, {9}).build());
    tick();
    const auto sent = sent_by_a();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), packet_header_bytes) << "an acknowledgement alone is the bare header";
    EXPECT_EQ(header_of(sent[0]).ack, 2u);
}

TEST_F(ConnectionReceive, SequenceWrapsPast1023)
{
    for (u32 i = 0; i < 1030; ++i) {
        inject(DatagramWriter().sequence(i & 0x3FF).reliable_message(i, {u8(i)}).build());
        a.receive();
    }
    ASSERT_EQ(a.reliable.size(), 1030u);
    for (u32 i = 0; i < 1030; ++i)
        ASSERT_EQ(a.reliable[i].index, i);
    EXPECT_EQ(a.deliveries[2 * 1024].sequence, 1024u) << "wire 0 after 1023 expands to 1024";
}

TEST_F(ConnectionReceive, OutOfOrderArrivalsDeliverReliableBytesInOrderAndUnreliableAtOnce)
{
    inject(DatagramWriter().sequence(2).reliable_message(2, {2}).unreliable_message({0xEE}).build());
    a.receive();
    EXPECT_TRUE(a.reliable.empty());
    ASSERT_EQ(a.unreliable.size(), 1u) << "the unreliable bytes of 2 come first";
    inject(DatagramWriter().sequence(0).reliable_message(0, {0}).build());
    inject(DatagramWriter().sequence(1).reliable_message(1, {1}).build());
    a.receive();
    ASSERT_EQ(a.reliable.size(), 3u);
    for (u32 i = 0; i < 3; ++i) {
        EXPECT_EQ(a.reliable[i].index, i);
        EXPECT_EQ(a.reliable[i].payload, std::vector<u8>{u8(i)});
    }
    EXPECT_TRUE(a.connection.validate());
}

TEST_F(ConnectionReceive, OneResendRequestPerSixArrivalsAheadOfAGap)
{
    auto requests = [&] {
        u32 count = 0;
        for (const auto &datagram : sent_by_a())
            count += count_control_messages(datagram, u8(ControlType::ResendRequest));
        return count;
    };
    for (u32 s = 1; s <= 5; ++s)
        inject(DatagramWriter().sequence(s).reliable_message(s, {}).build());
    tick();
    EXPECT_EQ(requests(), 0u) << "five ahead ask for nothing";
    inject(DatagramWriter().sequence(6).reliable_message(6, {}).build());
    tick();
    EXPECT_EQ(requests(), 1u);
    for (u32 s = 7; s <= 11; ++s)
        inject(DatagramWriter().sequence(s).reliable_message(s, {}).build());
    tick();
    EXPECT_EQ(requests(), 0u);
    inject(DatagramWriter().sequence(12).reliable_message(12, {}).build());
    tick();
    EXPECT_EQ(requests(), 1u) << "the next request after six more";
    // The gap filled: everything comes out in order.
    inject(DatagramWriter().sequence(0).reliable_message(0, {}).build());
    tick();
    ASSERT_EQ(a.reliable.size(), 13u);
    for (u32 i = 0; i < 13; ++i)
        EXPECT_EQ(a.reliable[i].index, i);
}

TEST_F(ConnectionSend, ResendWalkWritesRangesAndChunksInOrder)
{
    for (u32 s = 0; s < 10; ++s) {
        a.send_unreliable({});
        tick();
    }
    acknowledge(10);
    tick();
    EXPECT_TRUE(a.connection.acked(id_b, 9));
    EXPECT_EQ(a.send_unreliable({}), 10u);
    tick();
    EXPECT_EQ(a.connection.send(id_b, 1, "x", 1), 11u);
    tick();
    EXPECT_EQ(a.connection.send(id_b, 1, "yy", 2), 12u);
    tick();
    a.send_unreliable({});
    tick();
    a.send_unreliable({});
    tick();
    sent_by_a();
    std::vector<std::vector<u8>> sent;
    for (int i = 0; i < 20 && sent.empty(); ++i) {
        tick();
        sent = sent_by_a();
    }
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(header_of(sent[0]).sequence, 15u);
    const std::vector<u8> expected = {254, 10, 0, 11, 0,           //
                                      255, 11, 0, 1,  0, 'x',      //
                                      255, 12, 0, 2,  0, 'y', 'y', //
                                      254, 13, 0, 15, 0};
    EXPECT_EQ(unreliable_of(sent[0]), expected);
    for (u32 s = 10; s < 15; ++s)
        EXPECT_EQ(a.connection.status(id_b, s), PacketStatus::Resent) << s;
    EXPECT_EQ(a.connection.status(id_b, 15), PacketStatus::Sent);
}

TEST_F(ConnectionSend, PayloadLimits)
{
    struct Case {
        const char *name;
        u32 reliable;
        u32 size;
        bool accepted;
    };
    const Case cases[] = {
        {"1194 unreliable bytes fill a datagram", 0, 1194, true},
        {"1195 unreliable bytes never fit", 0, 1195, false},
        {"1189 reliable bytes can still be resent in a chunk", 1, 1189, true},
        {"1190 reliable bytes could not be", 1, 1190, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const u64 refused = a.connection.stats().sends_refused;
        const std::vector<u8> bytes(c.size, 0x5A);
        a.connection.send(id_b, c.reliable, bytes.data(), c.size);
        EXPECT_EQ(a.connection.stats().sends_refused, refused + (c.accepted ? 0 : 1));
        tick();
        const auto sent = sent_by_a();
        if (c.accepted) {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].size(), packet_header_bytes + c.size);
            EXPECT_EQ(header_of(sent[0]).reliable_length, c.reliable ? c.size : 0u);
        } else {
            EXPECT_TRUE(sent.empty());
        }
    }
}

TEST_F(ConnectionSend, SendThatOverfillsTheDatagramSendsThePendingOneFirst)
{
    const std::vector<u8> big(1000, 1), small(195, 2);
    EXPECT_EQ(a.connection.send(id_b, 0, big.data(), 1000), 0u);
    EXPECT_EQ(a.connection.send(id_b, 0, small.data(), 195), 1u) << "1000 + 195 + 6 passes 1200";
    const auto sent = sent_by_a();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 1006u);
    // Reliable bytes of one datagram stay resendable: 1000 + 190 reliable bytes split too.
    tick();
    EXPECT_EQ(a.connection.send(id_b, 1, big.data(), 1000), 2u);
    EXPECT_EQ(a.connection.send(id_b, 1, small.data(), 190), 3u);
}

TEST_F(ConnectionSend, FullSizeChunkIsResentEvenWhileDataKeepsComingIn)
{
    const std::vector<u8> big(max_reliable_payload_bytes, 0xAB);
    EXPECT_EQ(a.connection.send(id_b, 1, big.data(), u32(big.size())), 0u);
    tick();
    sent_by_a(); // lost
    bool resent = false;
    for (int i = 0; i < 40 && !resent; ++i) {
        a.send_unreliable(std::vector<u8>(100, 1));
        tick();
        for (const auto &datagram : sent_by_a()) {
            const auto unreliable = unreliable_of(datagram);
            resent |= unreliable.size() == 5 + big.size() && unreliable[0] == 255 &&
                      std::equal(big.begin(), big.end(), unreliable.begin() + 5);
        }
    }
    EXPECT_TRUE(resent) << "the oldest chunk must not wait behind queued bytes forever";
    EXPECT_FALSE(a.connection.is_broken(id_b));
}

TEST_F(ConnectionSend, ResendRequestIsAnsweredWithinABudget)
{
    const std::vector<u8> bytes(1000, 0x33);
    a.connection.send(id_b, 1, bytes.data(), 1000);
    tick();
    sent_by_a(); // lost
    inject(DatagramWriter().resend_request(0).build());
    tick();
    auto sent = sent_by_a();
    ASSERT_EQ(sent.size(), 1u);
    const auto unreliable = unreliable_of(sent[0]);
    ASSERT_EQ(unreliable.size(), 1005u);
    EXPECT_EQ(std::vector<u8>(unreliable.begin(), unreliable.begin() + 5), (std::vector<u8>{255, 0, 0, 0xE8, 0x03}));
    EXPECT_EQ(a.connection.status(id_b, 0), PacketStatus::Resent);

    // A 61-byte datagram of twenty requests must not draw twenty full datagrams out.
    DatagramWriter flood;
    flood.sequence(1);
    for (int i = 0; i < 20; ++i)
        flood.resend_request(0);
    inject(flood.build());
    tick();
    sent = sent_by_a();
    u64 bytes_out = 0;
    for (const auto &datagram : sent)
        bytes_out += datagram.size();
    EXPECT_LE(bytes_out, 4u * max_datagram_bytes + 20);
    EXPECT_GE(a.connection.stats().resend_answers_refused, 15u);
    // Requests for sequences already acknowledged or never sent draw nothing.
    inject(DatagramWriter().sequence(2).ack(1).build());
    tick();
    sent_by_a();
    inject(DatagramWriter().sequence(3).ack(1).resend_request(0).resend_request(700).build());
    tick();
    for (const auto &datagram : sent_by_a()) {
        EXPECT_EQ(count_control_messages(datagram, 255), 0u);
        EXPECT_EQ(count_control_messages(datagram, 254), 0u);
    }
}

TEST_F(ConnectionTiming, TwoSendsInOnePeriodShareADatagramAndIdleSendsNothing)
{
    ConnectionPair pair(3);
    pair.record_datagrams(true);
    const u32 first = pair.a.send_reliable(0, {1});
    EXPECT_EQ(pair.a.send_reliable(1, {2}), first);
    for (int i = 0; i < 100; ++i)
        pair.step(0.01f);
    ASSERT_EQ(pair.sent.size(), 2u) << "one datagram with both messages, one bare acknowledgement";
    EXPECT_EQ(pair.sent[0].from, pair.id_a);
    EXPECT_EQ(pair.sent[1].from, pair.id_b);
    EXPECT_EQ(pair.sent[1].bytes.size(), packet_header_bytes);
    ASSERT_EQ(pair.b.reliable.size(), 2u);
    EXPECT_TRUE(pair.a.connection.acked(pair.id_b, first));

    // One datagram per 0.03 s however often data is queued.
    pair.sent.clear();
    for (int i = 0; i < 30; ++i) {
        pair.a.send_unreliable({u8(i)});
        pair.step(0.01f);
    }
    for (int i = 0; i < 3; ++i)
        pair.step(0.01f);
    u32 from_a = 0;
    for (const SentDatagram &d : pair.sent)
        from_a += d.from == pair.id_a;
    EXPECT_GE(from_a, 10u);
    EXPECT_LE(from_a, 12u);
    EXPECT_EQ(pair.b.unreliable.size(), 30u);
}

TEST_F(ConnectionTiming, PingsStartAfterASecondOfSilenceAndRepeatEveryHalfSecond)
{
    a.send_unreliable({}); // makes the channel
    std::vector<f64> pings;
    while (time_s < 4.0) {
        tick(0.05f);
        for (const auto &datagram : sent_by_a())
            if (count_control_messages(datagram, u8(ControlType::Ping)))
                pings.push_back(time_s);
    }
    ASSERT_GE(pings.size(), 4u);
    EXPECT_GT(pings[0], 1.0);
    EXPECT_LT(pings[0], 1.2);
    for (size_t i = 1; i < pings.size(); ++i) {
        EXPECT_GT(pings[i] - pings[i - 1], 0.5);
        EXPECT_LT(pings[i] - pings[i - 1], 0.65);
    }
    // A pong silences the pings for another second.
    inject(DatagramWriter().pong().build());
    const f64 pong_time = time_s;
    f64 next_ping = 0;
    while (time_s < pong_time + 2.0 && next_ping == 0) {
        tick(0.05f);
        for (const auto &datagram : sent_by_a())
            if (count_control_messages(datagram, u8(ControlType::Ping)))
                next_ping = time_s;
    }
    EXPECT_GT(next_ping - pong_time, 1.0);
}

TEST_F(ConnectionTiming, PingIsAnsweredWithAPong)
{
    inject(DatagramWriter().ping().build());
    tick(); // the channel is made here; its first send period starts
    tick();
    const auto sent = sent_by_a();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(unreliable_of(sent[0]), std::vector<u8>{u8(ControlType::Pong)});
}

TEST_F(ConnectionTiming, SilenceBreaksAfterSixtySecondsFromTheLastPongNotTheLastDatagram)
{
    struct Case {
        const char *name;
        f64 pong_at_s; // 0: never
        f64 broken_after_s;
    };
    const Case cases[] = {{"never a pong", 0, 60}, {"pong at 30 s", 30, 90}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MemoryNetwork net(default_allocator(), 1);
        ConnectionPeer peer(net, id_a, id_b, default_allocator());
        ITransport *raw = net.create_endpoint(id_b);
        peer.send_unreliable({}); // the channel is made now
        f64 t = 0;
        u32 data_sequence = 0;
        f64 broken_at = 0;
        while (t < c.broken_after_s + 5 && broken_at == 0) {
            net.advance(0.1f);
            t += 0.1;
            if (u32(t * 10 + 0.5) % 10 == 0) { // data every second, never a pong
                const auto d = DatagramWriter().sequence(data_sequence++).unreliable_message({1}).build();
                net.inject(id_b, id_a, d.data(), u32(d.size()));
            }
            if (c.pong_at_s > 0 && std::abs(t - c.pong_at_s) < 0.05) {
                const auto d = DatagramWriter().sequence(data_sequence++).pong().build();
                net.inject(id_b, id_a, d.data(), u32(d.size()));
            }
            peer.step(0.1f);
            const u8 *bytes;
            u32 size;
            u64 from;
            while (raw->receive(&bytes, &size, &from)) {
            }
            if (peer.connection.is_broken(id_b))
                broken_at = t;
        }
        EXPECT_GE(broken_at, c.broken_after_s - 0.01);
        EXPECT_LT(broken_at, c.broken_after_s + 0.25);
        // A broken channel refuses everything and sends nothing more.
        EXPECT_EQ(peer.connection.send(id_b, 1, "x", 1), 0u);
        EXPECT_EQ(peer.connection.status(id_b, 0), PacketStatus::Expired);
        EXPECT_FALSE(peer.connection.acked(id_b, 0));
        const u64 sent = peer.connection.stats().datagrams_sent;
        const auto d = DatagramWriter().sequence(data_sequence).ping().build();
        net.inject(id_b, id_a, d.data(), u32(d.size()));
        for (int i = 0; i < 10; ++i) {
            net.advance(0.1f);
            peer.step(0.1f);
        }
        EXPECT_EQ(peer.connection.stats().datagrams_sent, sent);
        EXPECT_EQ(peer.connection.stats().dropped_broken_channel, 1u);
    }
}

TEST_F(ConnectionTiming, UnknownPeerHasNoChannel)
{
    EXPECT_FALSE(a.connection.is_broken(0x77));
    EXPECT_EQ(a.connection.status(0x77, 0), PacketStatus::Expired);
    EXPECT_EQ(a.connection.send(0x77, 1, "x", 1), 0u);
    EXPECT_EQ(a.connection.channel_count(), 0u);
    inject(DatagramWriter().reliable_message(0, {}).build(), 0x77);
    a.receive();
    EXPECT_EQ(a.connection.stats().dropped_unknown_peer, 1u);
    EXPECT_TRUE(a.reliable.empty());
    EXPECT_EQ(a.connection.channel_count(), 0u);
}

TEST_F(ConnectionTiming, StatusFollowsEachSequence)
{
    ConnectionPair pair(5);
    ConnectionPeer &p = pair.a;
    const u64 b_id = pair.id_b;
    const u32 s0 = p.send_reliable(0, {1});
    EXPECT_EQ(p.connection.status(b_id, s0), PacketStatus::NotSent) << "queued, not yet sent";
    EXPECT_EQ(p.connection.status(b_id, 500), PacketStatus::NotSent);
    pair.network.advance(0.03f);
    p.step(0.03f);
    EXPECT_EQ(p.connection.status(b_id, s0), PacketStatus::Sent);
    EXPECT_FALSE(p.connection.acked(b_id, s0));
    for (int i = 0; i < 3; ++i)
        pair.step(0.03f);
    EXPECT_EQ(p.connection.status(b_id, s0), PacketStatus::Acknowledged);
    EXPECT_TRUE(p.connection.acked(b_id, s0));
    EXPECT_FALSE(p.connection.acked(b_id, s0 + 1));

    // Once 1025 sequences are sent, the first one's entry is expired, acknowledged or not.
    while (p.connection.status(b_id, 1024) == PacketStatus::NotSent) {
        p.send_unreliable({});
        pair.step(0.03f);
    }
    for (int i = 0; i < 3; ++i)
        pair.step(0.03f);
    EXPECT_EQ(p.connection.status(b_id, 0), PacketStatus::Expired);
    EXPECT_EQ(p.connection.status(b_id, 1), PacketStatus::Acknowledged);
    EXPECT_TRUE(p.connection.acked(b_id, 0));
}

TEST_F(ConnectionSend, MoreReliableBytesInFlightThanTheRingHoldsBreaksTheChannel)
{
    const std::vector<u8> bytes(1000, 7);
    u32 sent = 0;
    while (!a.connection.is_broken(id_b) && sent < 20) {
        a.connection.send(id_b, 1, bytes.data(), 1000);
        tick();
        ++sent;
    }
    EXPECT_TRUE(a.connection.is_broken(id_b));
    EXPECT_LE(sent, 10u) << "eight records of 1008 bytes fit 8192";
    EXPECT_EQ(a.connection.stats().channels_broken, 1u);
}

TEST_F(ConnectionSend, FiveHundredTwelveUnacknowledgedDatagramsBreakTheChannel)
{
    u32 ticks = 0;
    while (!a.connection.is_broken(id_b) && ticks < 2000) {
        a.send_unreliable({});
        tick();
        sent_by_a();
        ++ticks;
    }
    EXPECT_TRUE(a.connection.is_broken(id_b));
    EXPECT_EQ(a.connection.stats().datagrams_sent, max_unacknowledged_datagrams);
    EXPECT_LT(time_s, 60.0) << "broken by the window, before the silence limit";
}

TEST(ConnectionLossy, EveryReliableMessageArrivesOnceAndInOrder)
{
    struct Case {
        const char *name;
        u64 seed;
        MemoryLinkSettings link;
    };
    MemoryLinkSettings ten;
    ten.loss = 0.1f;
    ten.duplicate = 0.1f;
    ten.reorder = 0.1f;
    ten.latency_s = 0.02f;
    ten.jitter_s = 0.02f;
    MemoryLinkSettings harsh = ten;
    harsh.loss = 0.25f;
    harsh.reorder = 0.3f;
    // Each sender fills its whole resend ring: whatever arrives ahead of a gap must fit the
    // receiver's ring.
    std::vector<Case> cases;
    for (u64 seed = 1; seed <= 32; ++seed)
        cases.push_back({"10% loss, duplication and reordering", seed, ten});
    for (u64 seed = 33; seed <= 40; ++seed)
        cases.push_back({"25% loss, 30% reordered", seed, harsh});
    constexpr u32 message_count = 3000;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << ", seed " << c.seed);
        ConnectionPair pair(c.seed, c.link);
        u32 next_index[2] = {0, 0};
        ConnectionPeer *senders[2] = {&pair.a, &pair.b};
        u32 steps = 0;
        bool filled = false; // a sender was stopped by its ring at least once
        while ((pair.a.reliable.size() < message_count || pair.b.reliable.size() < message_count) && steps < 40000) {
            for (u32 s = 0; s < 2; ++s) {
                ConnectionPeer &peer = *senders[s];
                while (next_index[s] < message_count) {
                    const auto payload = message_payload(next_index[s]);
                    if (payload.size() + 7 > peer.connection.reliable_space(peer.remote)) {
                        filled = true;
                        break;
                    }
                    peer.send_reliable(next_index[s]++, payload);
                }
            }
            pair.step(0.01f);
            ++steps;
        }
        EXPECT_TRUE(filled);
        for (ConnectionPeer *p : {&pair.a, &pair.b}) {
            EXPECT_FALSE(p->connection.is_broken(p->remote));
            EXPECT_TRUE(p->connection.validate());
            ASSERT_EQ(p->reliable.size(), message_count);
            for (u32 i = 0; i < message_count; ++i) {
                ASSERT_EQ(p->reliable[i].index, i);
                ASSERT_EQ(p->reliable[i].payload, message_payload(i));
            }
        }
        EXPECT_GT(pair.network.stats().lost, 0u);
        EXPECT_GT(pair.network.stats().duplicated, 0u);
        EXPECT_GT(pair.network.stats().reordered, 0u);
    }
}

// A peer sends datagrams 0..n, each with one test message, never holding more
// unacknowledged records than its 8192-byte resend ring takes (8-byte heads); they reach
// the connection under test in a hostile order. Every message must come through.
TEST_F(ScriptedPeerTest, AnHonestSendersBurstInAnyOrderNeverOverflowsTheReceiveRing)
{
    struct Case {
        const char *name;
        u32 large_until;        // sequences 1 to this one carry 1000-byte messages, the rest 14
        std::vector<u32> first; // these arrive first, in this order
        u32 held_back;          // this one arrives last; the rest come in order between
    };
    const Case cases[] = {
        {"one lost datagram holds up 290 small ones", 0, {}, 0},
        // 10 waits at the front of the ring while 1-8 are taken out of order behind it,
        // then small records keep coming while 9 is missing.
        {"records taken behind a waiting one", 8, {10, 1, 2, 3, 4, 5, 6, 7, 8, 0}, 9},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        auto payload = [&](u32 sequence) {
            return std::vector<u8>(sequence && sequence <= c.large_until ? 1000 : 14, u8(sequence));
        };
        // The sender's ring holds the held-back sequence and everything after it (what came
        // before is acknowledged once delivered). A test message adds 7 bytes.
        u32 ring = 0, last = c.held_back;
        while (ring + 8 + payload(last).size() + 7 <= 8192)
            ring += 8 + u32(payload(last++).size()) + 7;
        std::vector<u32> order = c.first;
        for (u32 sequence = 0; sequence < last; ++sequence)
            if (std::find(c.first.begin(), c.first.end(), sequence) == c.first.end() && sequence != c.held_back)
                order.push_back(sequence);
        order.push_back(c.held_back);
        ASSERT_LT(last, 500u);
        for (u32 sequence : order) {
            peer.inject(DatagramWriter().sequence(sequence).ack(0).reliable_message(sequence, payload(sequence)).build());
            peer.tick(0.001f);
            ASSERT_FALSE(peer.a.connection.is_broken(ScriptedPeer::id_b)) << "at sequence " << sequence;
        }
        EXPECT_TRUE(peer.a.connection.validate());
        ASSERT_EQ(peer.a.reliable.size(), last);
        for (u32 i = 0; i < last; ++i)
            ASSERT_EQ(peer.a.reliable[i].index, i);
    }
}

TEST(ConnectionMemory, NoAllocationPerDatagramAfterWarmUp)
{
    RecordingAllocator backing;
    MemoryLinkSettings link;
    link.loss = 0.1f;
    link.duplicate = 0.1f;
    link.reorder = 0.1f;
    link.latency_s = 0.02f;
    link.jitter_s = 0.02f;
    {
        ConnectionPair pair(9, link, backing);
        pair.a.keep_payloads = false;
        pair.b.keep_payloads = false;
        u32 index = 0;
        auto run = [&](u32 steps) {
            for (u32 i = 0; i < steps; ++i) {
                if (i % 3 == 0) {
                    pair.a.send_reliable(index, message_payload(index, 150));
                    pair.b.send_reliable(index, message_payload(index, 150));
                    ++index;
                }
                pair.a.send_unreliable({u8(i)});
                pair.step(0.01f);
            }
        };
        run(300);
        const u64 warm = backing.allocate_calls();
        const u64 datagrams = pair.a.connection.stats().datagrams_received + pair.b.connection.stats().datagrams_received;
        run(3000);
        EXPECT_GT(pair.a.connection.stats().datagrams_received + pair.b.connection.stats().datagrams_received,
                  datagrams + 1000);
        EXPECT_EQ(backing.allocate_calls(), warm);
        EXPECT_FALSE(pair.a.connection.is_broken(pair.id_b));
    }
    EXPECT_EQ(backing.live_count(), 0u);
}

} // namespace
