// The online-services core, the services' glue and the live-object list (see steam_core.h).
#include "network/steam/steam_core.h"

#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "foundation/memory/memory_globals.h"
#include "network/network_manager.h"
#include "network/steam/steam_backends.h"
#include "network/steam/steam_cloud.h"
#include "network/steam/steam_leaderboards.h"
#include "network/steam/steam_lobby.h"
#include "network/steam/steam_stats.h"
#include "platform/steam/steam_platform.h"

#include <cstring>
#include <map>
#include <vector>

namespace tallow::network::steam {

namespace platform = tallow::steam;

const SteamLanguage steam_language_codes[steam_language_count] = {
    {"english", "en"},     {"japanese", "ja"},           {"french", "fr"},
    {"spanish", "es"},     {"german", "de"},             {"italian", "it"},
    {"dutch", "nl"},       {"portuguese", "pt"},         {"russian", "ru"},
    {"korean", "ko"},      {"traditional chinese", "zht"}, {"simplified chinese", "zhs"},
    {"suomi", "fi"},       {"swedish", "sv"},            {"danish", "da"},
    {"norwegian", "no"},   {"polish", "pl"},             {"hungarian", "hu"},
    {"thai", "th"},        {"czech", "cs"},
};

const char *steam_language_code(const char *language_name)
{
    for (const SteamLanguage &l : steam_language_codes)
        if (language_name && strcmp(l.name, language_name) == 0)
            return l.code;
    return nullptr;
}

namespace {
void discard_warning(i32, const char *) {}
} // namespace

SteamCoreImpl::~SteamCoreImpl()
{
    if (_started)
        platform::api_shutdown();
}

bool SteamCoreImpl::start()
{
    if (!platform::api_init())
        return false;
    _started = true;
    if (platform::Utils *u = platform::utils())
        _game_id = u->get_app_id() & 0xFFFFFF;
    if (platform::Client *c = platform::client())
        c->set_warning_message_hook(&discard_warning);
    return true;
}

void SteamCoreImpl::update() { platform::run_callbacks(); }

u64 SteamCoreImpl::user_id()
{
    platform::User *u = platform::user();
    return u ? u->get_steam_id() : 0;
}

const char *SteamCoreImpl::persona_name(u64 steam_id)
{
    platform::Friends *f = platform::friends();
    return f ? f->get_friend_persona_name(steam_id) : "";
}

bool SteamCoreImpl::logged_on()
{
    platform::User *u = platform::user();
    return u && u->logged_on();
}

bool SteamCoreImpl::is_steam_running() { return platform::is_steam_running(); }

const char *SteamCoreImpl::game_language()
{
    platform::Apps *a = platform::apps();
    return a ? a->get_current_game_language() : "";
}

// --- Services ---

SteamServices &steam_services()
{
    static SteamServices services;
    return services;
}

void start_steam_services(ResourceManager *, ThreadRegistry &threads)
{
    SteamServices &s = steam_services();
    if (s.core)
        return;
    auto *core = make_new<SteamCoreImpl>(application_static_allocator());
    if (!core->start()) {
        delete_with_allocator(application_static_allocator(), core);
        return;
    }
    s.core = core;
    s.cloud = SteamCloud::create(threads);
    auto *stats = make_new<SteamStatsImpl>(application_static_allocator(), *core);
    if (!stats->start()) {
        delete_with_allocator(application_static_allocator(), stats);
        return;
    }
    s.stats = stats;
    s.leaderboards = make_new<SteamLeaderboardImpl>(application_static_allocator(), *core, stats);
}

void update_steam_services()
{
    SteamServices &s = steam_services();
    if (s.core)
        s.core->update();
    if (s.stats)
        s.stats->update();
    if (s.leaderboards)
        s.leaderboards->update();
    if (s.cloud)
        s.cloud->update();
}

namespace {

struct LiveObject {
    u64 serial;
    SteamObjectKind kind;
};
std::map<const void *, LiveObject> &live_objects()
{
    static std::map<const void *, LiveObject> objects;
    return objects;
}
u64 g_next_serial = 1;

} // namespace

void stop_steam_services(NetworkManager *manager)
{
    SteamServices &s = steam_services();
    if (manager) {
        // Everything that still calls the platform goes first, while it runs.
        INetworkBackend *backend = manager->backend();
        for (auto &[object, live] : std::map<const void *, LiveObject>(live_objects())) {
            void *o = const_cast<void *>(object);
            INetworkBackend *as_backend =
                live.kind == SteamObjectKind::ClientBackend   ? static_cast<INetworkBackend *>(static_cast<SteamClientHandler *>(o))
                : live.kind == SteamObjectKind::ServerBackend ? static_cast<INetworkBackend *>(static_cast<SteamGameServerHandler *>(o))
                                                              : nullptr;
            if (as_backend && as_backend == backend) {
                manager->shutdown_backend();
                delete_with_allocator(manager->allocator(), as_backend);
            }
        }
        for (auto &[object, live] : std::map<const void *, LiveObject>(live_objects()))
            if (live.kind == SteamObjectKind::Lobby && live_objects().count(object))
                manager->remove_lobby(static_cast<SteamLobby *>(const_cast<void *>(object)));
    }
    if (s.leaderboards)
        delete_with_allocator(application_static_allocator(), s.leaderboards);
    if (s.stats)
        delete_with_allocator(application_static_allocator(), s.stats);
    if (s.cloud)
        delete_with_allocator(application_static_allocator(), s.cloud);
    if (s.core)
        delete_with_allocator(application_static_allocator(), s.core);
    s = SteamServices{};
}

u64 register_steam_object(void *object, SteamObjectKind kind)
{
    const u64 serial = g_next_serial++;
    live_objects()[object] = {serial, kind};
    return serial;
}

void unregister_steam_object(void *object) { live_objects().erase(object); }

bool is_live_steam_object(const void *object, u64 serial, SteamObjectKind kind)
{
    auto it = live_objects().find(object);
    return it != live_objects().end() && it->second.serial == serial && it->second.kind == kind;
}

u64 steam_object_serial(const void *object)
{
    auto it = live_objects().find(object);
    return it == live_objects().end() ? 0 : it->second.serial;
}

} // namespace tallow::network::steam
