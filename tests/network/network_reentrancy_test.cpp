// Callbacks that end what calls them: a game message or an object event whose callback
// shuts the game or the backend down, leaves a lobby, updates again, or destroys the
// object being migrated. The update that runs the callback reads on safely, the callback
// hears nothing more of what it ended, and what it ended is destroyed when the update
// returns (run under AddressSanitizer: a read of a freed game or connection is reported).
#include "tests/support/log_capture.h"
#include "tests/support/writers/network_config_writer.h"
#include "tests/support/fakes/network_game_peer.h"

#include <gtest/gtest.h>

namespace tallow::test {
namespace {

using namespace network;

NetworkConfigSpec spec()
{
    NetworkConfigSpec spec;
    spec.types.push_back({"ball", {float_field("height", 8, 0, 10), bool_field("held")}});
    return spec;
}

class CountingLobby final : public ILobby {
  public:
    explicit CountingLobby(u32 *destroyed) : _destroyed(destroyed) {}
    ~CountingLobby() override { ++*_destroyed; }
    void update(f32) override {}

  private:
    u32 *_destroyed;
};

enum class Trigger { Message, Created, Destroyed, MigratedToMe, MigratedAway };
enum class Action { ShutdownGame, ShutdownBackend, RemoveLobby, Update, DestroyMigratedObject };

struct Case {
    const char *name;
    Trigger trigger;
    Action action;
};

const Case cases[] = {
    {"message shuts the game down", Trigger::Message, Action::ShutdownGame},
    {"message shuts the backend down", Trigger::Message, Action::ShutdownBackend},
    {"message leaves the lobby", Trigger::Message, Action::RemoveLobby},
    {"message updates again", Trigger::Message, Action::Update},
    {"created shuts the game down", Trigger::Created, Action::ShutdownGame},
    {"created shuts the backend down", Trigger::Created, Action::ShutdownBackend},
    {"destroyed shuts the game down", Trigger::Destroyed, Action::ShutdownGame},
    {"migrated to me shuts the game down", Trigger::MigratedToMe, Action::ShutdownGame},
    {"migrated away shuts the game down", Trigger::MigratedAway, Action::ShutdownGame},
    {"migrated away shuts the backend down", Trigger::MigratedAway, Action::ShutdownBackend},
    {"migrated away destroys its object", Trigger::MigratedAway, Action::DestroyMigratedObject},
};

ObjectEvent event_of(Trigger trigger)
{
    switch (trigger) {
    case Trigger::Created: return ObjectEvent::Created;
    case Trigger::Destroyed: return ObjectEvent::Destroyed;
    case Trigger::MigratedToMe: return ObjectEvent::MigratedToMe;
    default: return ObjectEvent::MigratedAway;
    }
}

TEST(NetworkReentrancy, CallbacksEndTheirCallerSafely)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        GameCluster cluster(5, {}, write_network_config(spec()), 2);
        cluster.host(0);
        ASSERT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
        GamePeer &host = cluster[0];
        GamePeer &peer = cluster[1];
        const u32 ball = 0;
        const u8 *defaults = cluster.config.data_at(*cluster.config.object_type(ball));
        u32 lobbies_destroyed = 0;
        ILobby *lobby = make_new<CountingLobby>(peer.manager.allocator(), &lobbies_destroyed);
        peer.manager.add_lobby(lobby);

        // Objects the trigger needs, in place before the callback is armed.
        std::vector<u32> ids;
        if (c.trigger == Trigger::Destroyed || c.trigger == Trigger::MigratedToMe) {
            for (int i = 0; i < 3; ++i)
                ids.push_back(host.game()->create_object(ball, defaults));
            ASSERT_TRUE(cluster.run_until([&] { return peer.game()->object_count() == 3; }));
        } else if (c.trigger == Trigger::MigratedAway) {
            for (int i = 0; i < 3; ++i)
                ids.push_back(peer.game()->create_object(ball, defaults));
            ASSERT_TRUE(cluster.run_until([&] { return host.game()->object_count() == 3; }));
        }
        peer.events.clear();
        peer.messages.clear();

        // Armed: the first callback of the trigger's kind acts; the rest are counted.
        u32 heard = 0;
        bool acted = false, destroy_result = true;
        LogCapture log("network");
        peer.after_callback = [&](GamePeer &p) {
            const bool ours = c.trigger == Trigger::Message
                                  ? !p.messages.empty()
                                  : !p.events.empty() && p.events.back().event == event_of(c.trigger);
            if (!ours)
                return;
            ++heard;
            if (acted)
                return;
            acted = true;
            switch (c.action) {
            case Action::ShutdownGame: p.manager.shutdown_game(); break;
            case Action::ShutdownBackend: p.manager.shutdown_backend(); break;
            case Action::RemoveLobby: EXPECT_TRUE(p.manager.remove_lobby(lobby)); break;
            case Action::Update: p.update(0.01f); break;
            case Action::DestroyMigratedObject:
                destroy_result = p.game()->destroy_object(p.events.back().id);
                break;
            }
            // Taken out at once, destroyed later.
            if (c.action == Action::ShutdownGame || c.action == Action::ShutdownBackend) {
                EXPECT_EQ(p.manager.game(), nullptr);
            }
            if (c.action == Action::RemoveLobby || c.action == Action::ShutdownBackend) {
                EXPECT_EQ(lobbies_destroyed, 0u);
            }
        };

        // Three of the kind in one frame, so the delivery reads on after the first.
        switch (c.trigger) {
        case Trigger::Message:
            for (u8 i = 0; i < 3; ++i) {
                const u8 message[] = {1, 0, i};
                ASSERT_TRUE(host.game()->send_game_message(peer.id, message, sizeof(message)));
            }
            break;
        case Trigger::Created:
            for (int i = 0; i < 3; ++i)
                host.game()->create_object(ball, defaults);
            break;
        case Trigger::Destroyed:
            for (u32 id : ids)
                ASSERT_TRUE(host.game()->destroy_object(id));
            break;
        case Trigger::MigratedToMe:
            for (u32 id : ids)
                ASSERT_TRUE(host.game()->migrate_object(id, peer.id));
            break;
        case Trigger::MigratedAway:
            // The host takes the peer's objects: the peer hears it inside its update.
            for (u32 id : ids)
                ASSERT_TRUE(host.game()->migrate_object(id, host.id));
            break;
        }
        cluster.run_until([&] { return acted; }, 5);
        ASSERT_TRUE(acted);
        cluster.run(0.5f);

        switch (c.action) {
        case Action::ShutdownGame:
        case Action::ShutdownBackend:
            EXPECT_EQ(heard, 1u) << "the callback heard of a game it ended";
            EXPECT_EQ(peer.manager.game(), nullptr);
            EXPECT_EQ(peer.manager.connection() == nullptr, c.action == Action::ShutdownBackend);
            EXPECT_EQ(lobbies_destroyed, c.action == Action::ShutdownBackend ? 1u : 0u);
            break;
        case Action::RemoveLobby:
            EXPECT_EQ(heard, 3u);
            EXPECT_EQ(lobbies_destroyed, 1u);
            EXPECT_EQ(peer.manager.lobby_count(), 0u);
            break;
        case Action::Update:
            EXPECT_EQ(heard, 3u); // the outer update went on; the inner one did nothing
            EXPECT_TRUE(log.contains("network update refused"));
            break;
        case Action::DestroyMigratedObject:
            // By the time it hears, the object is the host's: the peer may not destroy it.
            EXPECT_FALSE(destroy_result);
            EXPECT_EQ(heard, 3u);
            EXPECT_EQ(peer.game()->object_count(), 3u);
            EXPECT_TRUE(peer.game()->validate());
            break;
        }
        if (peer.manager.game()) {
            EXPECT_TRUE(peer.game()->validate());
        }
        EXPECT_TRUE(host.game()->validate());
        peer.after_callback = nullptr;
    }
}

TEST(NetworkReentrancy, AMigrationOutsideUpdateEndsTheGameAfterItsCallback)
{
    // Migrating an object away runs its callback at once; a callback that ends the game
    // there is carried out when the bracket around the call closes.
    GameCluster cluster(6, {}, write_network_config(spec()), 2);
    cluster.host(0);
    ASSERT_TRUE(cluster.run_until([&] { return cluster.everyone_joined(); }));
    GamePeer &host = cluster[0];
    cluster.run(0.1f); // the game's update gave it the peer's callbacks
    const u32 id = host.game()->create_object(0, cluster.config.data_at(*cluster.config.object_type(0)));
    bool ended = false;
    host.after_callback = [&](GamePeer &p) {
        if (!p.events.empty() && p.events.back().event == ObjectEvent::MigratedAway && !ended) {
            ended = true;
            EXPECT_FALSE(p.game()->destroy_object(id)); // already the other peer's
            p.manager.shutdown_game();
        }
    };
    host.manager.begin_callbacks();
    ASSERT_TRUE(host.game() == nullptr || host.game()->migrate_object(id, cluster[1].id));
    EXPECT_TRUE(ended);
    EXPECT_EQ(host.manager.game(), nullptr);
    host.manager.end_callbacks();
    host.after_callback = nullptr;
    cluster.run(0.5f);
    EXPECT_TRUE(cluster[1].game()->validate());
}

} // namespace
} // namespace tallow::test
