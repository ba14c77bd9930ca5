#pragma once
// The online-services core and the glue through which the game starts, pumps and stops
// every online service. Main thread only.
//
//   start_steam_services(resources, threads);   // once, after the window exists
//   each frame, first: update_steam_services();
//   register_steam_services_script_api(...)      // script/services/steam_api.h
//   stop_steam_services(&network_manager);       // after the script's shutdown
//
// Without a configured platform (steam::api_init fails) no service exists: every slot
// stays null, the tables that need one are absent, and the game runs on.
//
// Shutdown order: stop_steam_services first shuts down a Steam network backend and the
// Steam lobbies the network manager still holds (they call the platform as they go), then
// the leaderboards, statistics, cloud files and the core, which shuts the platform down.

#include "foundation/types.h"

namespace tallow {
class ResourceManager;
class ThreadRegistry;
namespace network {
class NetworkManager;
}
} // namespace tallow

namespace tallow::network::steam {

class SteamStats;
class SteamLeaderboards;
class SteamCloud;

class SteamCore {
  public:
    virtual ~SteamCore() = default;
    /// Pumps the client callbacks.
    virtual void update() = 0;
    /// The application id's low 24 bits; 0 before start succeeded.
    virtual u64 game_id() = 0;
    /// 0 when the user interface is unavailable.
    virtual u64 user_id() = 0;
    /// "" when the friends interface is unavailable; valid until the next call.
    virtual const char *persona_name(u64 steam_id) = 0;
    virtual bool logged_on() = 0;
    virtual bool is_steam_running() = 0;
    /// The platform's language name ("english"); "" when unavailable.
    virtual const char *game_language() = 0;
};

class SteamCoreImpl final : public SteamCore {
  public:
    SteamCoreImpl() = default;
    /// Shuts the platform down.
    ~SteamCoreImpl() override;
    /// False (and nothing more happens) when the platform does not start.
    [[nodiscard]] bool start();
    void update() override;
    u64 game_id() override { return _game_id; }
    u64 user_id() override;
    const char *persona_name(u64 steam_id) override;
    bool logged_on() override;
    bool is_steam_running() override;
    const char *game_language() override;

  private:
    u64 _game_id = 0;
    bool _started = false;
};

/// The short code of a platform language name ("traditional chinese" -> "zht"); null
/// when the name is not in the 20-entry table.
const char *steam_language_code(const char *language_name);
constexpr u32 steam_language_count = 20;
struct SteamLanguage {
    const char *name;
    const char *code;
};
extern const SteamLanguage steam_language_codes[steam_language_count];

/// The process-wide services; null when absent.
struct SteamServices {
    SteamCore *core = nullptr;
    SteamStats *stats = nullptr;
    SteamLeaderboards *leaderboards = nullptr;
    SteamCloud *cloud = nullptr;
};
SteamServices &steam_services();

/// Starts the core; when it starts, the cloud files (when the platform enables them for
/// the application), then statistics (a failed start leaves no statistics and no
/// leaderboards), then leaderboards. `resources` is not used.
void start_steam_services(ResourceManager *resources, ThreadRegistry &threads);
/// Core pump, statistics and leaderboard updates, the cloud's finished jobs.
void update_steam_services();
/// See the shutdown order above; `manager` may be null.
void stop_steam_services(NetworkManager *manager);

// Live Steam objects (backends and lobbies) that scripts may still name: each registers
// itself with a serial that is never reused, so a script's stale reference is refused.
enum class SteamObjectKind : u32 { ClientBackend, ServerBackend, Lobby };
u64 register_steam_object(void *object, SteamObjectKind kind);
void unregister_steam_object(void *object);
/// True when `object` is live with `serial` and of `kind`.
bool is_live_steam_object(const void *object, u64 serial, SteamObjectKind kind);
/// The serial of a live object; 0 when not live.
u64 steam_object_serial(const void *object);

} // namespace tallow::network::steam
