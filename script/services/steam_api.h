#pragma once
// The online-services script tables: `Steam`, `Achievement`, `TransactionToken`,
// `Leaderboard` (with the format tags `INT`, `UINT`, `STRING`), `Cloud`, `CloudToken`, the
// online functions of `Network`, and `SteamClient`, `SteamGameServer`, `SteamLobby`,
// `SteamServerBrowser`, `SteamLobbyBrowser`.
//
//   local client = Network.init_steam_client("network/sample")   -- nil without the platform
//   local lobby = Network.create_steam_lobby(Network.STEAM_LOBBY_PUBLIC, 4)
//   if SteamLobby.state(lobby) == SteamLobby.JOINED then SteamLobby.set_data(lobby, "name", "mine") end
//   local t = Achievement.unlock("first_blood")          -- only when statistics exist
//   local c = Cloud.auto_save("progress", {level = 3})
//
// `Steam`, `Achievement` and `Leaderboard` exist only when their service does; `Cloud` and
// the network functions always exist (`Cloud.enabled()` is false without cloud files; the
// network functions raise an error naming the missing service). Ids cross as lower-case
// hexadecimal text. Every object and token a script holds is checked on every call: a
// lobby that was left, a backend that was shut down (or went with the services at exit),
// a token of another table, all raise "<Table> has been released" or a bad-argument error,
// never touch freed memory. Main state only.

#include "foundation/types.h"

namespace tallow {

class LuaEnvironment;
namespace network {
class NetworkGameConfig;
class NetworkManager;
} // namespace network

/// Finds the opened "network_game_config" named `name`; null when none is loaded.
using NetworkConfigLookup = const network::NetworkGameConfig *(*)(void *user, const char *name);

/// Registers the tables with the services that exist now (network/steam/steam_core.h).
/// `manager` null: the network functions raise "the network service is not built yet".
void register_steam_script_api(LuaEnvironment &env, network::NetworkManager *manager, NetworkConfigLookup configs,
                               void *configs_user);

} // namespace tallow
