#pragma once
// Test-only control of the online-services stand-in (steam_platform.h); the engine never
// includes it.
//
//   steam::Hub hub;                                   // in-memory: users, lobbies, servers,
//   hub.add_user(0x11, "alice"); hub.add_user(0x22, "bob");   // stats, boards, files
//   {
//       steam::HubUser as_alice(hub, 0x11);           // current user until the scope ends
//       ASSERT_TRUE(steam::api_init());
//   }
//   hub.fail_next(steam::Call::FindLeaderboard, steam::Fault::ZeroHandle);
//
// Each in-process user is one "process": its client context (api_init) and, after
// game_server_init, its game-server context. Registrations made while a user is current
// belong to that user. Switch users only at quiet points (no other thread inside the
// stand-in), with HubUser. Delivery depends only on pump counts, so tests are
// deterministic; P2P faults come from a seeded generator.
//
// The folder hub (between processes): a root folder with
//   app.cfg               optional lines "app_id N", "language NAME", "cloud 0|1"
//   hub.lock              flock(2) around every read-modify-write
//   lobbies/<id hex>      one lobby per file (text: app, type, max, owner, members, data)
//   endpoints/<id hex>    the loopback UDP port of each running user
//   users/<id hex>/remote/<escaped name>   remote-storage files (written to a temporary
//                         file, then renamed into place)
// P2P between processes is one loopback datagram {u64 sender, u8 channel, payload} to
// 127.0.0.1 at the port in endpoints/; nothing else is ever sent. Statistics, leaderboards
// and server lists stay within the process in the folder hub.

#include "platform/steam/steam_platform.h"

#include <string>
#include <vector>

namespace tallow::steam {

struct HubState;

/// Requests that can be made to fail.
enum class Call : u32 {
    CreateLobby,
    JoinLobby,
    RequestLobbyList,
    RequestServerList,
    RequestCurrentStats,
    SetAchievement,
    SetStat,
    StoreStats,
    FindLeaderboard,
    UploadScore,
    DownloadScores,
    FileRead,
    FileWrite,
    SetBasicServerData,
    UpdateServerStatus,
    SendP2P,
    Count
};

enum class Fault : u32 {
    ZeroHandle,  // the call returns 0 / false
    IoFailure,   // the call result arrives with its I/O-failure flag
    ResultFail,  // the result code is not OK (stats stored, lobby created, lobby entered)
    Withhold,    // the callbacks or call result never arrive
    ShortRead,   // FileRead returns fewer bytes than asked
};

struct P2PFaults {
    u32 seed = 1;
    f32 loss = 0;        // fraction of datagrams dropped
    f32 duplicate = 0;   // fraction delivered twice
    f32 reorder = 0;     // fraction held back behind the next datagram
};

class Hub {
  public:
    Hub();
    /// Shuts every context down; interface objects handed out answer neutrally after it.
    ~Hub();
    Hub(const Hub &) = delete;
    Hub &operator=(const Hub &) = delete;

    void add_user(u64 id, const char *persona_name, bool logged_on = true);
    void add_friend(u64 user, u64 friend_id);
    void set_app(u32 app_id, const char *language = "english", bool cloud = true);
    /// Names that statistics calls accept.
    void set_schema(const std::vector<std::string> &achievements, const std::vector<std::string> &stats,
                    const std::vector<std::string> &leaderboards);
    /// Pumps between a request and its result (at least 1).
    void set_delay(u32 pumps);
    /// The next `count` calls of `call` fail as `fault`.
    void fail_next(Call call, Fault fault, u32 count = 1);
    void set_p2p_faults(const P2PFaults &faults);
    /// The game id callbacks carry (default: the app id).
    void set_callback_game_id(u64 game_id);
    void set_cloud_quota(u64 bytes);
    u32 call_count(Call call) const;

    // Inspection and seeding.
    /// A board with entries {user, score, details}.
    void seed_leaderboard(const char *name, u64 user, i32 score, const std::vector<i32> &details);
    bool achieved(u64 user, const char *name) const;
    i32 stat(u64 user, const char *name) const;
    u32 lobby_count() const;
    std::vector<u64> lobby_members(u64 lobby) const;
    bool file(u64 user, const char *name, std::vector<u8> *out_bytes) const;
    void set_file(u64 user, const char *name, const std::vector<u8> &bytes);
    /// Adds a server record as if another application's or machine's server ran.
    void add_server(const ServerDetails &details, const char *game_dir);
    /// Datagrams now held for sessions not yet accepted, for `user`.
    u32 held_packets(u64 user) const;

    HubState *state() { return _state; }

  private:
    HubState *_state;
};

/// Makes `user` of `hub` the current user for the scope (restores the previous one).
class HubUser {
  public:
    HubUser(Hub &hub, u64 user);
    ~HubUser();
    HubUser(const HubUser &) = delete;
    HubUser &operator=(const HubUser &) = delete;

  private:
    HubState *_previous_hub;
    u64 _previous_user;
};

/// Sets the current user outright (for a test body that keeps one user throughout).
void set_current_user(Hub *hub, u64 user);

} // namespace tallow::steam
