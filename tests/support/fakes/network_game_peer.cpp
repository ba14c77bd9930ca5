#include "tests/support/fakes/network_game_peer.h"

#include <cstdlib>

namespace tallow::test {

using namespace network;

GamePeer::GamePeer(MemoryNetwork &network, u64 peer_id, const NetworkManagerSettings &settings)
    : id(peer_id), backend(network.create_endpoint(peer_id), peer_id), manager(default_allocator(), settings)
{
}

void GamePeer::update(f32 dt_s)
{
    manager.update(dt_s, GameMessageCallback{on_message, this}, ObjectEventCallback{on_object, this});
}

const u8 *GamePeer::on_message(void *user, u64 sender, const u8 *bytes, u32 remaining)
{
    auto *peer = static_cast<GamePeer *>(user);
    if (peer->rpc_mode) {
        const NetworkGameConfig *config = nullptr;
        if (peer->manager.game())
            config = &peer->manager.game()->config();
        BitReader reader(bytes, remaining);
        const u32 index = reader.read_u8();
        const RpcEntry *entry = config ? config->rpc(index) : nullptr;
        RecordedCall call{sender, index, std::vector<RpcValue>(max_rpc_arguments), {}};
        if (!entry || !read_rpc_arguments(reader, *entry, call.values.data())) {
            ++peer->refused_calls;
            return nullptr; // the call's length is unknown: nothing after it can be read
        }
        call.values.resize(entry->argument_count);
        for (const RpcValue &v : call.values)
            if (v.type == FieldType::String)
                call.strings.emplace_back(v.text, v.length);
        peer->calls.push_back(std::move(call));
        const u8 *next = reader.cursor();
        if (peer->after_callback)
            peer->after_callback(*peer);
        return next;
    }
    if (remaining < 2)
        return nullptr;
    const u32 length = bytes[0] | u32(bytes[1]) << 8;
    if (length > remaining - 2)
        return nullptr;
    peer->messages.push_back({sender, std::vector<u8>(bytes + 2, bytes + 2 + length)});
    if (peer->after_callback)
        peer->after_callback(*peer);
    return bytes + 2 + length;
}

void GamePeer::on_object(void *user, u32 object_id, ObjectEvent event, u64 peer)
{
    auto *self = static_cast<GamePeer *>(user);
    self->events.push_back({object_id, event, peer});
    if (self->after_callback)
        self->after_callback(*self);
}

GameCluster::GameCluster(u64 seed, const MemoryLinkSettings &link, std::vector<u8> bytes, u32 peer_count,
                         SynchronizerFactory synchronizers)
    : network(default_allocator(), seed), config_bytes(std::move(bytes))
{
    network.set_link_settings(link);
    if (!config.open(config_bytes.data(), u32(config_bytes.size())))
        abort();
    NetworkManagerSettings settings;
    settings.game.clock = NetworkClock{now, this};
    settings.game.create_synchronizer = synchronizers;
    for (u32 i = 0; i < peer_count; ++i) {
        settings.game.object_id_seed = u32(seed + i);
        peers.push_back(std::make_unique<GamePeer>(network, first_id + i, settings));
        if (!peers.back()->manager.set_backend(peers.back()->backend, config))
            abort();
    }
}

void GameCluster::host(u32 host_index)
{
    for (auto &peer : peers)
        peer->manager.create_game();
    peers[host_index]->manager.game()->set_host();
    for (u32 i = 0; i < peers.size(); ++i)
        if (i != host_index)
            peers[host_index]->manager.game()->add_peer(peers[i]->id);
}

void GameCluster::step(f32 dt_s)
{
    network.advance(dt_s);
    clock_s += dt_s;
    for (auto &peer : peers)
        peer->update(dt_s);
}

void GameCluster::run(f32 seconds, f32 dt_s)
{
    for (f32 t = 0; t < seconds; t += dt_s)
        step(dt_s);
}

bool GameCluster::everyone_joined() const
{
    for (const auto &peer : peers)
        if (!peer->game() || !peer->game()->has_joined() || peer->game()->peer_count() != peers.size())
            return false;
    return true;
}

} // namespace tallow::test
