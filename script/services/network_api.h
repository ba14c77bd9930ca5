#pragma once
// The network script tables: `Network`, `LanClient`, `LanLobby`, `LanLobbyBrowser`,
// `NetworkGame`, `RPC` and `UnitSynchronizer`.
//
//   local client = Network.init_lan_client("network/sample")      -- nil when the port is taken
//   local lobby = Network.create_lan_lobby(47610, 4)
//   local game = Network.create_game()
//   NetworkGame.make_server(game)
//   RPC.chat(peer, "hello")                                      -- a remote call by name
//   Network.update(dt, callbacks)   -- callbacks:chat(sender, text), :game_object_created(id, owner)
//
// Peer ids cross as lower-case hexadecimal text. Objects a script holds (client, lobby,
// browser, game, synchronizer) are checked on every call: one that was shut down, left or
// replaced raises "<Table> has been released". Indices (members, lobbies) are 0-based, as
// in the engine. Main state only.

#include "network/lan/lan_lobby.h"

namespace tallow {

class LuaEnvironment;
class ResourceManager;
namespace network {
class NetworkManager;
}

/// Registers the tables. Without a manager every function raises "the network service is
/// not built yet"; without resources no config can be found. `targets` is where lobby
/// browsers send their queries (none: the real local network's broadcast address).
void register_network_api(LuaEnvironment &env, network::NetworkManager *manager, ResourceManager *resources,
                           const network::LanBroadcastTargets &targets);

} // namespace tallow
