#pragma once
// The "network_game_config" resource type: the loaded bytes with their size, opened and
// validated once as they load (a config that fails NetworkGameConfig::open does not load).
//
//   register_network_resource_types(manager);               // with the other types
//   const NetworkGameConfig *config = find_network_config(manager, NameId64("game"));

#include "foundation/strings/name_id.h"
#include "network/network_game_config.h"

namespace tallow {
class ResourceManager;
}

namespace tallow::network {

inline constexpr NameId64 network_game_config_type{"network_game_config"};

/// Registers "network_game_config" with its load callback.
void register_network_resource_types(ResourceManager &manager);
/// The opened config of that name, or null when it is not loaded.
const NetworkGameConfig *find_network_config(ResourceManager &manager, NameId64 name);

} // namespace tallow::network
