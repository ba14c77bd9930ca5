// Replicated game objects between two and three games over the seeded lossy network:
// creation, updates, destruction and migration converge; updates lost or reordered lose
// no field; blending reaches received values; objects that vanish raise events.
#include "network/field_codec.h"
#include "network/network_game_internal.h"
#include "tests/support/writers/network_config_writer.h"
#include "tests/support/fakes/network_game_peer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace tallow::test {
namespace {

using namespace network;

NetworkConfigSpec replication_spec()
{
    NetworkConfigSpec spec;
    ObjectTypeSpec thing{"thing", {}};
    thing.fields.push_back(bool_field("on"));
    thing.fields.push_back(int_field("count", 10, -100));
    thing.fields.push_back(float_field("x", 12, -50, 50, 0.05f));
    thing.fields.push_back(float_field("y", 12, -50, 50, 0.05f));
    thing.fields.push_back(vector3_field("at", 16, -100, 100, 0.01f));
    thing.fields.push_back(quaternion_field("turn", 32, 0.001f));
    thing.fields.push_back(id_field("unit"));
    spec.types.push_back(thing);
    ObjectTypeSpec glider{"glider", {}};
    glider.fields.push_back(float_field("height", 16, 0, 100, 0, true));
    glider.fields.push_back(vector3_field("at", 16, -100, 100, 0, true));
    glider.fields.push_back(quaternion_field("turn", 32, 0, true));
    glider.fields.push_back(int_field("mode", 4, 0));
    spec.types.push_back(glider);
    return spec;
}

MemoryLinkSettings lossy_link()
{
    MemoryLinkSettings link;
    link.loss = 0.15f;
    link.reorder = 0.2f;
    link.reorder_delay_s = 0.06f;
    link.duplicate = 0.05f;
    link.latency_s = 0.02f;
    link.jitter_s = 0.02f;
    return link;
}

/// The bytes a field's value has on the wire: two states agree when these agree.
std::vector<u8> wire_of(const GameObjectType &type, const u8 *state)
{
    std::vector<u8> bytes(256);
    BitWriter writer(bytes.data(), u32(bytes.size()));
    for (u32 f = 0; f < type.field_count; ++f)
        write_field(writer, type.fields[f], state + type.field_offset(f));
    writer.flush();
    bytes.resize(writer.size_bytes());
    return bytes;
}

/// Every object of every game exists in every game, with the same owner and state.
::testing::AssertionResult converged(GameCluster &cluster)
{
    for (auto &peer : cluster.peers) {
        NetworkGame &game = *peer->game();
        if (!game.validate())
            return ::testing::AssertionFailure() << "game of " << std::hex << peer->id << " fails validate";
        for (auto &other : cluster.peers) {
            NetworkGame &theirs = *other->game();
            if (game.object_count() != theirs.object_count())
                return ::testing::AssertionFailure() << "object counts " << game.object_count() << " and "
                                                     << theirs.object_count();
            Array<u32> ids(default_allocator());
            for (u32 i = 0; i < cluster.peers.size(); ++i)
                game.objects_owned_by(cluster[i].id, ids);
            for (u32 id : ids) {
                const u8 *mine = game.object_state(id);
                const u8 *other_state = theirs.object_state(id);
                if (!other_state)
                    return ::testing::AssertionFailure() << "object " << id << " missing";
                if (game.object_owner(id) != theirs.object_owner(id))
                    return ::testing::AssertionFailure() << "owners of " << id << " differ";
                const std::vector<u8> a = wire_of(*game.object_type(id), mine);
                const std::vector<u8> b = wire_of(*theirs.object_type(id), other_state);
                if (a != b) {
                    auto failure = ::testing::AssertionFailure();
                    failure << "states of " << id << " (owner " << std::hex << game.object_owner(id) << ") differ between "
                            << peer->id << " and " << other->id << ":";
                    for (u32 i = 0; i < a.size(); ++i)
                        failure << ' ' << u32(a[i]) << '/' << u32(b[i]);
                    return failure;
                }
            }
        }
    }
    return ::testing::AssertionSuccess();
}

void set_random_field(NetworkGame &game, u32 id, std::mt19937 &random)
{
    const GameObjectType &type = *game.object_type(id);
    const u32 field = random() % type.field_count;
    std::uniform_real_distribution<f32> unit(-1, 1);
    u8 value[16] = {};
    switch (type.fields[field].field_type()) {
    case FieldType::Bool: value[0] = random() & 1; break;
    case FieldType::Int: {
        const i32 v = i32(random() % 1000) - 100;
        memcpy(value, &v, 4);
        break;
    }
    case FieldType::Float: {
        const f32 v = unit(random) * 60; // beyond the range now and then: clamped
        memcpy(value, &v, 4);
        break;
    }
    case FieldType::Vector3: {
        const f32 v[3] = {unit(random) * 90, unit(random) * 90, unit(random) * 90};
        memcpy(value, v, 12);
        break;
    }
    case FieldType::Quaternion: {
        f32 q[4] = {unit(random), unit(random), unit(random), unit(random)};
        const f32 length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
        for (f32 &c : q)
            c /= length;
        memcpy(value, q, 16);
        break;
    }
    case FieldType::Id: {
        const u64 v = (u64(random()) << 32) | random();
        memcpy(value, &v, 8);
        break;
    }
    default: break;
    }
    game.set_object_field(id, field, value);
}

TEST(Replication, ThreeGamesConvergeUnderLossAndReordering)
{
    GameCluster cluster(1234, lossy_link(), write_network_config(replication_spec()), 3);
    cluster.host(0);
    ASSERT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
    const u32 thing = object_type_index(cluster.config, "thing");
    const u32 glider = object_type_index(cluster.config, "glider");
    std::mt19937 random(99);
    std::vector<std::vector<u32>> owned(3);
    for (u32 p = 0; p < 3; ++p)
        for (u32 k = 0; k < 6; ++k) {
            const u32 type = k % 2 ? glider : thing;
            const u32 id = cluster[p].game()->create_object(type, cluster.config.data_at(*cluster.config.object_type(type)));
            ASSERT_NE(id, 0xFFFFFFFFu);
            owned[p].push_back(id);
        }
    // Three seconds of changes on every peer, with objects destroyed and migrated on the way.
    for (u32 frame = 0; frame < 300; ++frame) {
        for (u32 p = 0; p < 3; ++p)
            for (u32 id : owned[p])
                if (random() % 4 == 0)
                    set_random_field(*cluster[p].game(), id, random);
        if (frame == 100) {
            ASSERT_TRUE(cluster[1].game()->destroy_object(owned[1].back()));
            owned[1].pop_back();
        }
        if (frame == 150) {
            // Peer 2 hands an object to peer 0.
            const u32 id = owned[2].front();
            ASSERT_TRUE(cluster[2].game()->migrate_object(id, cluster[0].id));
            owned[2].erase(owned[2].begin());
            owned[0].push_back(id);
        }
        cluster.step();
    }
    // Quiet: whatever was lost is sent again. An idle channel learns of a lost datagram
    // that carried no reliable bytes only once a few later pings have gone by, so this
    // takes a while (about 22 s of game time with this seed).
    cluster.run_until([&] { return bool(converged(cluster)); }, 40);
    EXPECT_TRUE(converged(cluster));
    EXPECT_EQ(cluster[0].game()->object_count(), 17u);
    EXPECT_GT(cluster.network.stats().lost, 0u);
    EXPECT_GT(cluster.network.stats().reordered, 0u);

    // Each game heard of every remote object's creation, the destruction and the migration.
    for (u32 p = 0; p < 3; ++p) {
        u32 created = 0, destroyed = 0, to_me = 0, away = 0;
        for (const RecordedEvent &e : cluster[p].events) {
            created += e.event == ObjectEvent::Created;
            destroyed += e.event == ObjectEvent::Destroyed;
            to_me += e.event == ObjectEvent::MigratedToMe;
            away += e.event == ObjectEvent::MigratedAway;
        }
        SCOPED_TRACE(p);
        EXPECT_EQ(created, 12u);
        EXPECT_EQ(destroyed, p == 1 ? 0u : 1u);
        EXPECT_EQ(to_me, p == 0 ? 1u : 0u);
        EXPECT_EQ(away, p == 2 ? 1u : 0u);
    }

    // Destroying everything empties every game.
    for (u32 p = 0; p < 3; ++p)
        for (u32 id : owned[p])
            ASSERT_TRUE(cluster[p].game()->destroy_object(id));
    ASSERT_TRUE(cluster.run_until([&] {
        return cluster[0].game()->object_count() == 0 && cluster[1].game()->object_count() == 0 &&
               cluster[2].game()->object_count() == 0;
    }));
}

TEST(Replication, SameSeedSameRun)
{
    auto run = [](u64 seed) {
        GameCluster cluster(seed, lossy_link(), write_network_config(replication_spec()), 3);
        cluster.host(0);
        cluster.run(1.0f);
        const u32 thing = object_type_index(cluster.config, "thing");
        std::mt19937 random(5);
        const u32 id = cluster[1].game()->create_object(thing, cluster.config.data_at(*cluster.config.object_type(thing)));
        for (u32 frame = 0; frame < 200; ++frame) {
            set_random_field(*cluster[1].game(), id, random);
            cluster.step();
        }
        std::vector<u8> seen = wire_of(*cluster[2].game()->object_type(id), cluster[2].game()->object_state(id));
        seen.push_back(u8(cluster.network.stats().lost));
        seen.push_back(u8(id));
        return seen;
    };
    EXPECT_EQ(run(77), run(77));
}

/// Two games without loss, where the test steers individual datagrams.
class TwoGames : public ::testing::Test {
  protected:
    TwoGames() : cluster(31, {}, write_network_config(replication_spec()), 2)
    {
        cluster.host(0);
        EXPECT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
        thing = object_type_index(cluster.config, "thing");
        id = owner().create_object(thing, cluster.config.data_at(*cluster.config.object_type(thing)));
        EXPECT_TRUE(cluster.run_until([&] { return receiver().object_state(id) != nullptr; }));
        cluster.run(0.5f);
    }
    NetworkGame &owner() { return *cluster[0].game(); }
    NetworkGame &receiver() { return *cluster[1].game(); }
    f32 seen_float(u32 field)
    {
        f32 v;
        memcpy(&v, receiver().object_state(id) + receiver().object_type(id)->field_offset(field), 4);
        return v;
    }
    void set_float(u32 field, f32 value) { ASSERT_TRUE(owner().set_object_field(id, field, &value)); }
    std::vector<u8> update_message(u32 field, f32 value)
    {
        const GameObjectType &type = *owner().object_type(id);
        u8 bytes[64];
        BitWriter writer(bytes, sizeof(bytes));
        writer.write_u8(7);
        writer.write_bits(id, 16);
        writer.write_bits(1u << field, type.field_count);
        write_field(writer, type.fields[field], reinterpret_cast<const u8 *>(&value));
        writer.flush();
        return std::vector<u8>(bytes, bytes + writer.size_bytes());
    }

    GameCluster cluster;
    u32 thing = 0;
    u32 id = 0;
};

constexpr u32 field_x = 2, field_y = 3;

TEST_F(TwoGames, AnOlderUpdateArrivingLateKeepsItsOtherFields)
{
    // Update A (x, sequence 500) and update B (y, sequence 501) arrive B first: both fields
    // end applied, as only x was in A and only y in B.
    const std::vector<u8> a = update_message(field_x, 10);
    const std::vector<u8> b = update_message(field_y, 20);
    receiver().receive_delivery(cluster[0].id, 501, b.data(), u32(b.size()), 0);
    receiver().receive_delivery(cluster[0].id, 500, a.data(), u32(a.size()), 0);
    EXPECT_NEAR(seen_float(field_x), 10, 0.05f);
    EXPECT_NEAR(seen_float(field_y), 20, 0.05f);
    // A stale value of a field that a newer update set is discarded.
    const std::vector<u8> stale = update_message(field_y, -30);
    receiver().receive_delivery(cluster[0].id, 499, stale.data(), u32(stale.size()), 0);
    EXPECT_NEAR(seen_float(field_y), 20, 0.05f);
    EXPECT_EQ(receiver().stats().stale_fields, 1u);
}

TEST_F(TwoGames, AnUpdateLostBeforeANewerOneArrivesIsSentAgain)
{
    // x changes and its datagram is lost; y changes and its datagram arrives and is
    // acknowledged. The lost datagram's x must still reach the receiver.
    MemoryLinkSettings dead;
    dead.loss = 1;
    cluster.network.set_link_settings(cluster[0].id, cluster[1].id, dead);
    set_float(field_x, 12);
    cluster.run(0.05f);
    cluster.network.set_link_settings(cluster[0].id, cluster[1].id, MemoryLinkSettings{});
    set_float(field_y, -7);
    ASSERT_TRUE(cluster.run_until([&] { return std::fabs(seen_float(field_y) + 7) < 0.05f; }));
    // An idle channel settles the gap only once later pings push the receiver to ask for
    // it, so this takes a few seconds; the newer update is acknowledged on the way.
    EXPECT_TRUE(cluster.run_until([&] { return std::fabs(seen_float(field_x) - 12) < 0.05f; }, 20));
}

TEST_F(TwoGames, NineChangesBehindSendsEveryField)
{
    // Ten changes while the receiver cannot hear: once reachable, all fields are sent and
    // every field converges, including ones changed only in the lost updates.
    MemoryLinkSettings dead;
    dead.loss = 1;
    cluster.network.set_link_settings(cluster[0].id, cluster[1].id, dead);
    for (u32 i = 0; i < 10; ++i) {
        set_float(i % 2 ? field_x : field_y, f32(i));
        cluster.step();
    }
    cluster.network.set_link_settings(cluster[0].id, cluster[1].id, MemoryLinkSettings{});
    cluster.run(1.5f);
    EXPECT_NEAR(seen_float(field_x), 9, 0.05f);
    EXPECT_NEAR(seen_float(field_y), 8, 0.05f);
}

TEST_F(TwoGames, MigrationSendsEveryFieldFromTheNewOwner)
{
    // The receiver takes the object over and changes one field; the old owner then holds
    // the new owner's full state, whatever the change counts were.
    ASSERT_TRUE(owner().migrate_object(id, cluster[1].id));
    EXPECT_TRUE(owner().migrate_object(id, cluster[1].id)); // to the current owner: nothing
    ASSERT_TRUE(cluster.run_until([&] { return receiver().object_owner(id) == cluster[1].id; }));
    EXPECT_EQ(owner().owned_count(), 0u);
    EXPECT_EQ(receiver().owned_count(), 1u);
    const f32 value = 33;
    ASSERT_TRUE(receiver().set_object_field(id, field_x, &value));
    EXPECT_FALSE(owner().set_object_field(id, field_x, &value)); // no longer its own
    cluster.run(1.0f);
    EXPECT_TRUE(converged(cluster));
    const std::vector<RecordedEvent> &old_events = cluster[0].events;
    ASSERT_FALSE(old_events.empty());
    EXPECT_EQ(old_events.back().event, ObjectEvent::MigratedAway);
    EXPECT_EQ(cluster[1].events.back().event, ObjectEvent::MigratedToMe);
    EXPECT_EQ(cluster[1].events.back().peer, cluster[0].id);
}

TEST_F(TwoGames, ObjectsOfARemovedPeerRaiseDestroyedEvents)
{
    const u32 theirs = receiver().create_object(thing, cluster.config.data_at(*cluster.config.object_type(thing)));
    ASSERT_TRUE(cluster.run_until([&] { return owner().object_state(theirs) != nullptr; }));
    cluster[0].events.clear();
    cluster[1].events.clear();
    ASSERT_TRUE(owner().remove_peer(cluster[1].id));
    EXPECT_EQ(owner().object_state(theirs), nullptr);
    cluster.run(0.5f);
    // The host hears of the dropped object in its next update; the removed peer, cleared,
    // hears of both objects it had.
    ASSERT_EQ(cluster[0].events.size(), 1u);
    EXPECT_EQ(cluster[0].events[0].id, theirs);
    EXPECT_EQ(cluster[0].events[0].event, ObjectEvent::Destroyed);
    EXPECT_EQ(cluster[1].events.size(), 2u);
    EXPECT_EQ(receiver().object_count(), 0u);
    EXPECT_TRUE(owner().validate());
    EXPECT_TRUE(receiver().validate());
}

/// A creation message [5][8b type][16b id][state] as a peer would send it.
std::vector<u8> creation_message(u32 type_index, u32 id, const u8 *state, u32 state_size)
{
    std::vector<u8> bytes(4 + state_size);
    BitWriter writer(bytes.data(), u32(bytes.size()));
    writer.write_u8(5);
    writer.write_bits(type_index, 8);
    writer.write_bits(id, 16);
    writer.flush();
    memcpy(bytes.data() + 4, state, state_size);
    return bytes;
}

TEST_F(TwoGames, APeersCreationsPastItsQuotaAreRefused)
{
    const u64 sender = cluster[0].id;
    const GameObjectType &type = *cluster.config.object_type(thing);
    const u8 *defaults = cluster.config.data_at(type);
    const u32 quota = NetworkGameSettings{}.max_objects_per_peer;
    ASSERT_GE(quota, 16u);
    ASSERT_LT(quota, 4096u);
    u32 sequence = 100;
    // Many creations in one delivery, as a flood would pack them.
    u32 made = 0;
    while (made < 3 * quota) {
        std::vector<u8> delivery;
        for (u32 k = 0; k < 20; ++k, ++made) {
            const auto message = creation_message(thing, 20000 + made, defaults, type.state_size);
            delivery.insert(delivery.end(), message.begin(), message.end());
        }
        receiver().receive_delivery(sender, sequence++, delivery.data(), u32(delivery.size()), 0);
    }
    Array<u32> owned(default_allocator());
    receiver().objects_owned_by(sender, owned);
    EXPECT_EQ(owned.size(), quota);
    EXPECT_EQ(receiver().stats().over_quota, made - (quota - 1)) << "the fixture's object counts too";
    EXPECT_TRUE(receiver().validate());
    // A destroyed object makes room for one more.
    const u8 destroy[3] = {6, u8(owned[5]), u8(owned[5] >> 8)};
    receiver().receive_delivery(sender, sequence++, destroy, 3, 0);
    const auto again = creation_message(thing, 30000, defaults, type.state_size);
    receiver().receive_delivery(sender, sequence++, again.data(), u32(again.size()), 0);
    EXPECT_NE(receiver().object_state(30000), nullptr);
    EXPECT_TRUE(receiver().validate());
}

TEST_F(TwoGames, CreationsWithNaNOrInfiniteValuesAreRefused)
{
    const u64 sender = cluster[0].id;
    const GameObjectType &type = *cluster.config.object_type(thing);
    const f32 nan = std::numeric_limits<f32>::quiet_NaN(), inf = std::numeric_limits<f32>::infinity();
    struct Case {
        const char *name;
        u32 field;
        u32 component;
        f32 value;
        bool taken;
    };
    const Case cases[] = {{"NaN x", 2, 0, nan, false},
                          {"infinite y", 3, 0, -inf, false},
                          {"NaN in a vector", 4, 2, nan, false},
                          {"infinite quaternion w", 5, 3, inf, false},
                          {"huge but finite x", 2, 0, 1e30f, true}};
    u32 id = 40000;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> state(cluster.config.data_at(type), cluster.config.data_at(type) + type.state_size);
        memcpy(state.data() + type.field_offset(c.field) + 4 * c.component, &c.value, 4);
        const auto message = creation_message(thing, ++id, state.data(), type.state_size);
        receiver().receive_delivery(sender, id, message.data(), u32(message.size()), 0);
        EXPECT_EQ(receiver().object_state(id) != nullptr, c.taken);
    }
    EXPECT_EQ(receiver().stats().bad_value, 4u);
    EXPECT_TRUE(receiver().validate());
}

TEST(Replication, UpdatesFromANewOwnerThatOvertakeItsMigrationAreKept)
{
    // Peer 2 hands its object to peer 0. At peer 1, peer 0's first update (every field)
    // arrives before peer 2's migration message: it is held, then applied with it.
    GameCluster cluster(41, {}, write_network_config(replication_spec()), 3);
    cluster.host(0);
    ASSERT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
    const u32 thing = object_type_index(cluster.config, "thing");
    const u32 id = cluster[2].game()->create_object(thing, cluster.config.data_at(*cluster.config.object_type(thing)));
    ASSERT_TRUE(cluster.run_until([&] { return cluster[1].game()->object_state(id) != nullptr; }));
    NetworkGame &third = *cluster[1].game();
    const GameObjectType &type = *third.object_type(id);
    u8 bytes[64];
    BitWriter update(bytes, sizeof(bytes));
    update.write_u8(7);
    update.write_bits(id, 16);
    update.write_bits(1u << 2, type.field_count); // x
    const f32 x = 21;
    write_field(update, type.fields[2], reinterpret_cast<const u8 *>(&x));
    update.flush();
    third.receive_delivery(cluster[0].id, 900, bytes, update.size_bytes(), 0);
    f32 seen;
    memcpy(&seen, third.object_state(id) + type.field_offset(2), 4);
    EXPECT_EQ(seen, 0); // not the owner (yet): not applied
    u8 migration[11] = {8, u8(id), u8(id >> 8)};
    memcpy(migration + 3, &cluster[0].id, 8);
    third.receive_delivery(cluster[2].id, 50, migration, sizeof(migration), 0);
    EXPECT_EQ(third.object_owner(id), cluster[0].id);
    memcpy(&seen, third.object_state(id) + type.field_offset(2), 4);
    EXPECT_NEAR(seen, 21, 0.05f);
    // An older update from the new owner does not undo it.
    const f32 old_x = -5;
    BitWriter stale(bytes, sizeof(bytes));
    stale.write_u8(7);
    stale.write_bits(id, 16);
    stale.write_bits(1u << 2, type.field_count);
    write_field(stale, type.fields[2], reinterpret_cast<const u8 *>(&old_x));
    stale.flush();
    third.receive_delivery(cluster[0].id, 899, bytes, stale.size_bytes(), 0);
    memcpy(&seen, third.object_state(id) + type.field_offset(2), 4);
    EXPECT_NEAR(seen, 21, 0.05f);
}

TEST(Replication, ACreationThatOvertakesThePeerListIsKept)
{
    // The host adds peer 2 over a slow link; peer 1 hears of it first and sends its
    // object's creation, which reaches peer 2 before the host's list does.
    GameCluster cluster(12, {}, write_network_config(replication_spec()), 3);
    MemoryLinkSettings slow;
    slow.latency_s = 0.4f;
    cluster.network.set_link_settings(cluster[0].id, cluster[2].id, slow);
    for (auto &peer : cluster.peers)
        peer->manager.create_game();
    cluster[0].game()->set_host();
    cluster[0].game()->add_peer(cluster[1].id);
    ASSERT_TRUE(cluster.run_until([&] { return cluster[1].game()->has_joined(); }));
    const u32 thing = object_type_index(cluster.config, "thing");
    const u32 id = cluster[1].game()->create_object(thing, cluster.config.data_at(*cluster.config.object_type(thing)));
    cluster[0].game()->add_peer(cluster[2].id);
    bool arrived_first = false;
    ASSERT_TRUE(cluster.run_until([&] {
        arrived_first |= cluster[2].game()->object_state(id) != nullptr && !cluster[2].game()->has_joined();
        return cluster[2].game()->has_joined() && cluster[2].game()->object_state(id) != nullptr;
    }));
    EXPECT_TRUE(arrived_first);
    cluster.run(1.0f);
    EXPECT_TRUE(converged(cluster));
}

TEST(Replication, CreationIsRefusedWhenIdsOrTheOwnedListRunOut)
{
    GameCluster cluster(2, {}, write_network_config(replication_spec()), 1);
    cluster[0].manager.create_game();
    NetworkGame &game = *cluster[0].game();
    const u32 thing = object_type_index(cluster.config, "thing");
    const u8 *defaults = cluster.config.data_at(*cluster.config.object_type(thing));
    EXPECT_EQ(game.create_object(thing, defaults), 0xFFFFFFFFu); // not in a game yet
    ASSERT_TRUE(game.set_host());
    u32 made = 0;
    while (game.create_object(thing, defaults) != 0xFFFFFFFFu && made <= 1024)
        ++made;
    EXPECT_EQ(made, 1024u);
    EXPECT_EQ(game.owned_count(), 1024u);
    EXPECT_TRUE(game.validate());
    EXPECT_EQ(game.create_object(99, defaults), 0xFFFFFFFFu);
}

/// Records what a synchronizer hears.
class RecordingSynchronizer final : public ISynchronizer {
  public:
    void object_event(u32 id, ObjectEvent event) override { events.push_back({id, event, 0}); }
    void write(f32) override { ++writes; }
    void apply(f32, const u32 *ids, u32 count) override
    {
        applied.push_back(std::vector<u32>(ids, ids + count));
    }
    std::vector<RecordedEvent> events;
    std::vector<std::vector<u32>> applied;
    u32 writes = 0;
};

ISynchronizer *make_recording(INetworkGame &, const NetworkGameConfig &)
{
    return make_new<RecordingSynchronizer>(default_allocator());
}

TEST(Replication, BlendingMovesReceivedValuesInOverTime)
{
    GameCluster cluster(17, {}, write_network_config(replication_spec()), 2, make_recording);
    cluster.host(0);
    ASSERT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
    const u32 glider = object_type_index(cluster.config, "glider");
    NetworkGame &owner = *cluster[0].game();
    NetworkGame &receiver = *cluster[1].game();
    const u32 id = owner.create_object(glider, cluster.config.data_at(*cluster.config.object_type(glider)));
    ASSERT_TRUE(cluster.run_until([&] { return receiver.object_state(id) != nullptr; }));
    cluster.run(0.3f);
    auto &sync = *static_cast<RecordingSynchronizer *>(receiver.unit_synchronizer());
    ASSERT_FALSE(sync.events.empty());
    EXPECT_EQ(sync.events[0].event, ObjectEvent::Created);
    EXPECT_GT(sync.writes, 0u);
    sync.applied.clear();

    const f32 height = 80;
    const i32 mode = 9;
    ASSERT_TRUE(owner.set_object_field(id, 0, &height));
    ASSERT_TRUE(owner.set_object_field(id, 3, &mode));
    // Heights seen on the receiver rise step by step to 80; the int steps at once when due.
    std::vector<f32> heights;
    for (u32 i = 0; i < 40; ++i) {
        cluster.step(0.005f);
        f32 h;
        memcpy(&h, receiver.object_state(id), 4);
        heights.push_back(h);
    }
    ASSERT_FALSE(heights.empty());
    EXPECT_NEAR(heights.back(), 80, 0.01f);
    u32 between = 0;
    for (f32 h : heights) {
        EXPECT_GE(h, 0);
        EXPECT_LE(h, 80.01f);
        between += h > 0.5f && h < 79.5f;
    }
    EXPECT_GT(between, 0u); // it passed through values between, not in one jump
    i32 seen_mode;
    memcpy(&seen_mode, receiver.object_state(id) + receiver.object_type(id)->field_offset(3), 4);
    EXPECT_EQ(seen_mode, 9);
    // The synchronizer heard of the object while it blended, and the list emptied after.
    bool heard = false;
    for (const auto &ids : sync.applied)
        for (u32 x : ids)
            heard |= x == id;
    EXPECT_TRUE(heard);
    EXPECT_TRUE(sync.applied.back().empty());
}

} // namespace
} // namespace tallow::test
