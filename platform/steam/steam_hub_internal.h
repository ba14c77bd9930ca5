#pragma once
// The stand-in's shared state (steam_hub.cpp, steam_hub_folder.cpp). One recursive mutex
// guards all of it; callbacks run with the mutex released.

#include "platform/steam/steam_hub.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace tallow::steam {

struct Pending {
    enum Kind : u32 { Callback, CallResult, ServerResponded, RefreshComplete } kind = Callback;
    u32 callback_id = 0;
    CallHandle call = 0;
    std::vector<u8> data;
    bool io_failure = false;
    u32 due = 0;       // the pump count at which it may be delivered
    u64 request = 0;   // server lists
    i32 index = 0;
};

struct Packet {
    u64 sender = 0;
    u32 channel = 0;
    std::vector<u8> bytes;
};

struct ServerRequest {
    IServerListResponse *response = nullptr;
    std::vector<ServerDetails> servers;
};

struct Context {
    HubState *hub = nullptr;
    u64 user = 0;  // the user's id; for a game server its server id
    bool server = false;
    bool live = false;
    Context *owner = nullptr;      // a server context's client context
    Context *game_server = nullptr; // a client context's server context
    u32 pumps = 0;
    std::deque<Pending> queue;

    std::deque<Packet> inbox;
    std::set<u64> accepted;
    std::map<u64, std::deque<Packet>> held;
    std::set<u64> requested;
    Packet reordered; // a datagram held back by the reorder fault
    bool has_reordered = false;

    bool stats_received = false;
    std::set<std::string> pending_achievements;
    std::vector<u64> lobby_list;
    std::map<u64, u32> watched_lobbies; // lobby -> version last reported
    std::string data_return;
    std::map<u64, ServerRequest> requests;

    bool logged_on = false;
    bool master_active = false;
    ServerDetails record{};
    char game_dir[32] = {};

    int socket = -1; // folder hub: loopback UDP socket of this user
    WarningHook warning_hook = nullptr;

    User user_if;
    Friends friends_if;
    Utils utils_if;
    Apps apps_if;
    Client client_if;
    Networking networking_if;
    Matchmaking matchmaking_if;
    MatchmakingServers servers_if;
    UserStats stats_if;
    RemoteStorage storage_if;
    GameServer game_server_if;
    MasterServerUpdater master_if;
};

struct UserData {
    std::string persona;
    bool logged_on = true;
    std::vector<u64> friends;
    std::map<std::string, i32> stats;
    std::map<std::string, bool> achievements;
    std::map<std::string, std::vector<u8>> files;
};

struct LobbyRecord {
    u64 id = 0;
    u32 app = 0;
    u32 type = 0;
    u32 max_members = 0;
    u64 owner = 0;
    std::vector<u64> members;
    std::vector<std::pair<std::string, std::string>> data;
    u64 server = 0;
    u32 version = 0;
};

struct BoardEntry {
    u64 user;
    i32 score;
    std::vector<i32> details;
};
struct Board {
    u64 handle = 0;
    std::string name;
    std::vector<BoardEntry> entries; // best first
};
struct DownloadedEntries {
    std::vector<LeaderboardEntry> entries;
    std::vector<std::vector<i32>> details;
};

struct Registration {
    Context *owner = nullptr; // the client context current when registered
    u32 callback_id = 0;
    bool game_server = false;
    CallbackFunction function = nullptr;
    CallHandle call = 0;
    CallResultFunction result_function = nullptr;
    void *object = nullptr;
};

struct FaultSlot {
    Fault fault = Fault::ZeroHandle;
    u32 count = 0;
};

struct HubState {
    std::recursive_mutex mutex;
    u32 app_id = 0x3039;
    u64 callback_game_id = ~u64(0); // ~0: the app id
    std::string language = "english";
    bool cloud = true;
    u64 cloud_quota = 100u << 20;
    u32 delay = 1;
    std::set<std::string> achievements_schema, stats_schema, boards_schema;
    std::map<u64, UserData> users;
    std::map<u64, std::unique_ptr<Context>> clients;
    std::map<u64, std::unique_ptr<Context>> servers;
    std::map<u64, LobbyRecord> lobbies; // in-memory hub only
    std::map<std::string, Board> boards;
    std::map<u64, DownloadedEntries> downloads;
    std::map<u64, Registration> registrations;
    u64 next_registration = 1;
    u64 next_handle = 0x1000;
    u64 next_lobby = 0x0186000000000001;
    FaultSlot faults[u32(Call::Count)];
    u32 counters[u32(Call::Count)] = {};
    P2PFaults p2p;
    std::mt19937 random{1};
    std::string unknown_name = "[unknown]";

    // Folder hub.
    bool folder = false;
    std::string root;
    int lock_fd = -1;
};

u64 game_id(HubState &hub);
/// Queues a callback (call 0) or call result for `c`'s pump, `delay` pumps from now.
void post(Context &c, u32 callback_id, const void *data, u32 size, CallHandle call = 0, bool io_failure = false);
CallHandle new_handle(HubState &hub);
/// Starts a request: counts it and applies an injected fault; 0 for a zero-handle fault.
CallHandle start_request(HubState &hub, Call call, Fault *out_fault, bool *out_faulted);
bool usable(Context *c);
Board &board_named(HubState &hub, const std::string &name);
template <typename T> void post_result(Context &c, u32 id, const T &data, CallHandle call, bool faulted, Fault fault)
{
    if (faulted && fault == Fault::Withhold)
        return;
    post(c, id, &data, sizeof(T), call, faulted && fault == Fault::IoFailure);
}

/// The fault to apply to this call, if one is pending (counts it).
bool take_fault(HubState &hub, Call call, Fault *out);
Context *find_context(HubState &hub, u64 id);

// Lobby storage: the in-memory map, or files under the folder hub's root.
bool load_lobby(HubState &hub, u64 id, LobbyRecord *out);
void store_lobby(HubState &hub, LobbyRecord &record); // bumps the version
void erase_lobby(HubState &hub, u64 id);
std::vector<u64> list_lobbies(HubState &hub);
/// Folder hub: true while `user` has an endpoint whose process lives (in memory: always).
bool user_alive(HubState &hub, u64 user);
/// Drops the members whose process is gone, as if each had left (a departed owner passes
/// the lobby to the first member left), storing the record when it changed; erases the
/// lobby and returns false when nobody is left. Call under a FolderLock.
bool drop_departed_members(HubState &hub, LobbyRecord &record);
/// Holds flock(2) on hub.lock in the folder hub (nothing in memory).
class FolderLock {
  public:
    explicit FolderLock(HubState &hub);
    ~FolderLock();

  private:
    HubState &_hub;
};

// Folder hub.
HubState *open_folder_hub(const char *root, u64 user, const char *name);
bool folder_open_endpoint(HubState &hub, Context &context);
void folder_close_endpoint(HubState &hub, Context &context);
bool folder_send(HubState &hub, Context &from, u64 to, u32 channel, const void *data, u32 size);
/// Reads waiting loopback datagrams and hands each to `arrive`.
void folder_receive(HubState &hub, Context &context, void (*arrive)(Context &, u64, u32, const u8 *, u32));
bool folder_read_file(HubState &hub, u64 user, const char *name, std::vector<u8> *out);
bool folder_write_file(HubState &hub, u64 user, const char *name, const void *data, u32 size);
bool folder_file_exists(HubState &hub, u64 user, const char *name);
u64 folder_new_lobby_id(HubState &hub);
/// Text form of a lobby record and its bounded reader (untrusted: another process wrote it).
std::string write_lobby_text(const LobbyRecord &record);
bool read_lobby_text(const char *text, u64 size, LobbyRecord *out);

} // namespace tallow::steam
