#pragma once
// Our stand-in for the online-services platform: the calls, callbacks and call results the
// engine's online services (network/steam/) make, and nothing more. There is no vendor SDK
// on these machines; this layer is written from what the engine expects of one.
//
//   if (!steam::api_init()) { ... no online services this run ... }
//   steam::CallbackRegistration stored{};
//   steam::register_callback(stored, steam::callback_user_stats_stored, false, &on_stored, this);
//   steam::CallHandle call = steam::user_stats()->find_leaderboard("best_times");
//   steam::register_call_result(result, call, &on_found, this);    // delivered in a later pump
//   each frame: steam::run_callbacks();                           // callbacks run only here
//   steam::unregister_callback(stored); steam::api_shutdown();
//
// Where it reaches: the test control header (steam_hub.h) installs an in-memory hub and
// picks the current user; without one, api_init looks for a folder hub named by the
// environment variable TALLOW_STEAM_ROOT (user TALLOW_STEAM_USER), shared with other
// processes on this machine through files and loopback sockets. With neither, api_init
// fails: that is the "not configured" path, and every accessor returns null.
//
// Behaviours chosen here (the stricter of the open choices, so the engine cannot lean on a
// friendly platform):
// - Callbacks and call results are queued and delivered only inside run_callbacks (the
//   client queue) or game_server_run_callbacks (the game-server queue), never inside the
//   call that caused them, and no earlier than `delay` pumps later (default 1).
// - A callback registered with the game-server flag runs only in the game-server pump;
//   one without it only in the client pump.
// - Calls that start a request return a CallHandle that is never 0 unless a fault was
//   injected; its result goes only to a call-result registration made for that handle.
// - Accessors return null before api_init succeeds and after api_shutdown; interface
//   objects kept from before answer every later call with a neutral value (0, false, "").
// - Peer-to-peer: datagrams up to 1200 bytes (larger sends return false). The first
//   datagram from a peer the receiver has not accepted queues a session request in the
//   receiver's pump and is held (up to 64 per peer, older ones dropped) until the receiver
//   accepts the session or itself sends to that peer. Reads never report a size above
//   the buffer's capacity (a larger datagram is dropped).
// - Lobby data and the lobby's game server are written only by the lobby's owner; other
//   members get false. Ownership passes to the next member when the owner leaves; a lobby
//   with no members is deleted. A missing key reads as "". Member counts are 0 for
//   anyone outside the lobby. A full, missing or other application's lobby refuses a join.
// - Statistics and achievements can be set only after the current statistics were
//   received (the received callback has run) and only for names in the schema.
// - Remote storage is thread-safe (the cloud thread calls it while the main thread pumps).
// All other calls are for the main thread.

#include "foundation/types.h"

namespace tallow::steam {

/// A request's handle; 0 means the request could not be started.
using CallHandle = u64;

// Callback and call-result ids.
constexpr u32 callback_lobby_enter = 504;
constexpr u32 callback_lobby_data_update = 505;
constexpr u32 callback_lobby_match_list = 510;
constexpr u32 callback_lobby_created = 513;
constexpr u32 callback_user_stats_received = 1101;
constexpr u32 callback_user_stats_stored = 1102;
constexpr u32 callback_user_achievement_stored = 1103;
constexpr u32 callback_leaderboard_find_result = 1104;
constexpr u32 callback_leaderboard_scores_downloaded = 1105;
constexpr u32 callback_leaderboard_score_uploaded = 1106;
constexpr u32 callback_p2p_session_request = 1202;

constexpr u32 result_ok = 1;   // results and lobby-creation results
constexpr u32 result_fail = 2;
constexpr u32 enter_success = 1;        // lobby enter responses
constexpr u32 enter_does_not_exist = 2;
constexpr u32 enter_full = 4;
constexpr u32 enter_error = 5;
constexpr u32 max_p2p_bytes = 1200;
constexpr u32 max_leaderboard_details = 64;

struct P2PSessionRequest {
    u64 remote;
};
struct LobbyCreated {
    u32 result;
    u64 lobby;
};
struct LobbyEnter {
    u64 lobby;
    u32 response;
};
struct LobbyMatchList {
    u32 count;
};
struct LobbyDataUpdate {
    u64 lobby;
    u64 member; // the lobby itself for lobby data
    bool success;
};
struct UserStatsReceived {
    u64 game_id;
    u32 result;
};
struct UserStatsStored {
    u64 game_id;
    u32 result;
};
struct UserAchievementStored {
    u64 game_id;
    char name[128]; // not necessarily zero-terminated
    u32 current_progress;
    u32 max_progress;
};
struct LeaderboardFindResult {
    u64 board; // 0 when not found
    u8 found;
};
struct LeaderboardScoreUploaded {
    u8 success;
    u64 board;
    i32 score;
};
struct LeaderboardScoresDownloaded {
    u64 board;
    u64 entries; // handle for get_downloaded_entry
    i32 count;
};
struct LeaderboardEntry {
    u64 user;
    i32 global_rank;
    i32 score;
    i32 details; // detail count the entry holds (may exceed what was copied)
};

/// A callback's function: `data` points at the struct named by the id.
using CallbackFunction = void (*)(void *object, const void *data);
/// A call result's function; `io_failure` means the data is not valid.
using CallResultFunction = void (*)(void *object, const void *data, bool io_failure);

/// A registration's slot; zero-initialised means "not registered". Keep it at a fixed
/// address while registered.
struct CallbackRegistration {
    u64 id = 0;
};

/// Registers `function(object, data)` for callback `callback_id` of the current user's
/// queues (the game-server queue when `game_server`). Safe to register again (replaces).
void register_callback(CallbackRegistration &slot, u32 callback_id, bool game_server, CallbackFunction function,
                       void *object);
void unregister_callback(CallbackRegistration &slot);
/// Registers for the result of `call`; a 0 handle registers nothing.
void register_call_result(CallbackRegistration &slot, CallHandle call, CallResultFunction function, void *object);
void unregister_call_result(CallbackRegistration &slot);

// Life and pumps.
[[nodiscard]] bool api_init();
void api_shutdown();
void run_callbacks();
bool is_steam_running();
using WarningHook = void (*)(i32 severity, const char *text);
/// Crash-dump calls: recorded nowhere (no dump is written here).
void set_mini_dump_comment(const char *comment);
void write_mini_dump(u32 exception_code, void *exception_info, u32 build_id);

/// Starts the game server of this process. Ports are recorded, never bound.
[[nodiscard]] bool game_server_init(u32 ip, u16 steam_port, u16 game_port, u16 spectator_port, u16 query_port,
                                    u32 server_mode, const char *game_dir, const char *version);
void game_server_run_callbacks();
void game_server_shutdown();

struct Context;

class User {
  public:
    u64 get_steam_id();
    bool logged_on();
    Context *_context = nullptr;
};

class Friends {
  public:
    /// "[unknown]" for a user the platform does not know; the pointer stays valid until
    /// shutdown.
    const char *get_friend_persona_name(u64 user);
    Context *_context = nullptr;
};

class Utils {
  public:
    u32 get_app_id();
    Context *_context = nullptr;
};

class Apps {
  public:
    const char *get_current_game_language();
    Context *_context = nullptr;
};

class Client {
  public:
    void set_warning_message_hook(WarningHook hook);
    Context *_context = nullptr;
};

class Networking {
  public:
    /// False for more than 1200 bytes or an unknown peer.
    bool send_p2p_packet(u64 remote, const void *data, u32 size, u32 send_type, u32 channel);
    /// One waiting datagram on `channel`; false when none waits.
    bool read_p2p_packet(void *buffer, u32 capacity, u32 *out_size, u64 *out_remote, u32 channel);
    bool accept_p2p_session_with_user(u64 remote);
    Context *_context = nullptr;
};

class Matchmaking {
  public:
    CallHandle create_lobby(u32 lobby_type, u32 max_members); // -> LobbyCreated
    CallHandle join_lobby(u64 lobby);                           // -> LobbyEnter
    void leave_lobby(u64 lobby);
    bool set_lobby_data(u64 lobby, const char *key, const char *value);
    /// "" for a missing key or lobby; valid until the next matchmaking call.
    const char *get_lobby_data(u64 lobby, const char *key);
    void set_lobby_game_server(u64 lobby, u32 ip, u16 port, u64 server);
    bool get_lobby_game_server(u64 lobby, u32 *out_ip, u16 *out_port, u64 *out_server);
    u64 get_lobby_owner(u64 lobby);
    i32 get_num_lobby_members(u64 lobby);
    u64 get_lobby_member_by_index(u64 lobby, i32 index);
    CallHandle request_lobby_list(); // -> LobbyMatchList; public lobbies of this application
    u64 get_lobby_by_index(i32 index);
    /// Posts LobbyDataUpdate for the lobby in a later pump; false for a missing lobby.
    bool request_lobby_data(u64 lobby);
    Context *_context = nullptr;
};

/// What a server list reports for one server.
struct ServerDetails {
    u32 ip;
    u16 connection_port;
    u16 query_port;
    i32 ping;
    char map[32];
    char game_description[64];
    char game_dir[32];
    i32 players;
    i32 max_players;
    i32 bots;
    bool password;
    bool secure;
    i32 server_version;
    char name[64];
    u64 steam_id;
    u32 app_id;
};

struct KeyValuePair {
    char key[256];
    char value[256];
};

/// The receiver of a server-list request; every call comes from the client pump.
class IServerListResponse {
  public:
    virtual void server_responded(u64 request, i32 index) = 0;
    virtual void server_failed_to_respond(u64 request, i32 index) = 0;
    virtual void refresh_complete(u64 request, u32 response) = 0;

  protected:
    ~IServerListResponse() = default;
};

class MatchmakingServers {
  public:
    /// Lists live servers whose game directory matches the "gamedir" filter; one
    /// server_responded per server over the following pumps, then refresh_complete.
    u64 request_internet_server_list(u32 app, const KeyValuePair *filters, u32 filter_count,
                                     IServerListResponse *response);
    u64 request_lan_server_list(u32 app, IServerListResponse *response);
    /// Cancels the request: no further calls reach its response object.
    void release_request(u64 request);
    /// Null for an unknown request or index.
    const ServerDetails *get_server_details(u64 request, i32 index);
    Context *_context = nullptr;
};

class GameServer {
  public:
    void log_on();
    void log_off();
    u64 get_steam_id();
    void update_server_status(i32 players, i32 max_players, i32 bots, const char *server_name,
                              const char *spectator_name, const char *map);
    Context *_context = nullptr;
};

class MasterServerUpdater {
  public:
    void set_active(bool active);
    void set_basic_server_data(u16 protocol_version, bool dedicated, const char *region, const char *product,
                               u16 max_reported_clients, bool password, const char *description);
    Context *_context = nullptr;
};

class UserStats {
  public:
    bool request_current_stats(); // -> UserStatsReceived callback
    bool get_achievement(const char *name, bool *out_achieved);
    bool set_achievement(const char *name);
    bool get_stat(const char *name, i32 *out_value);
    bool set_stat(const char *name, i32 value);
    /// -> UserAchievementStored per achievement newly achieved, then UserStatsStored.
    bool store_stats();
    bool reset_all_stats(bool achievements_too);
    CallHandle find_leaderboard(const char *name); // -> LeaderboardFindResult
    /// method 1 keeps the best score, 2 replaces; at most 64 details (0 handle above).
    CallHandle upload_leaderboard_score(u64 board, u32 method, i32 score, const i32 *details, i32 detail_count);
    /// kind 0 global [start, end] (1-based, inclusive), 1 around the user [rank+start,
    /// rank+end], 2 the user and friends. -> LeaderboardScoresDownloaded
    CallHandle download_leaderboard_entries(u64 board, u32 kind, i32 start, i32 end);
    /// Copies up to `max_details` details; out_entry->details tells how many the entry has.
    bool get_downloaded_leaderboard_entry(u64 entries, i32 index, LeaderboardEntry *out_entry, i32 *details,
                                          i32 max_details);
    Context *_context = nullptr;
};

class RemoteStorage {
  public:
    bool is_cloud_enabled_for_app();
    bool file_exists(const char *name);
    i32 get_file_size(const char *name);
    /// Bytes read (at most `size`); 0 on failure.
    i32 file_read(const char *name, void *buffer, i32 size);
    bool file_write(const char *name, const void *data, i32 size);
    Context *_context = nullptr;
};

// Accessors: null before api_init succeeded (game_server_init for the two server ones)
// and after shutdown. Remote storage may be reached from any thread.
User *user();
Friends *friends();
Utils *utils();
Apps *apps();
Client *client();
Networking *networking();
Matchmaking *matchmaking();
MatchmakingServers *matchmaking_servers();
UserStats *user_stats();
RemoteStorage *remote_storage();
GameServer *game_server();
Networking *game_server_networking();
MasterServerUpdater *master_server_updater();

} // namespace tallow::steam
