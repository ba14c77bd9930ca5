#pragma once
// Leaderboards: find boards, upload scores with packed details (leaderboard_details.h)
// and download rankings, all as transactions of work units (one per board) that scripts
// poll by token. Board handles found once are cached for every later transaction. Main
// thread only; call results arrive inside the core's pump.
//
//   u32 t = boards.create_set_score_transaction();
//   boards.set_score(t, "best_times", 1200, detail_bytes, details);
//   boards.commit(t);
//   ... frames later: const LeaderboardStatusView *v = boards.status(t);  // done when
//   *v->transaction_status == 2; *v->work_status is 4 (succeeded) or 3 (failed)
//   boards.close(t);
//
// A transaction commits once (a second commit is ignored, so no request runs twice); a
// unit that cannot start is dropped, and a transaction left without units ends done and
// failed at once. Details are copied up to their size (at most 256 bytes; larger ones are
// refused), and downloaded detail counts are clamped to 64.

#include "foundation/types.h"
#include "network/steam/leaderboard_details.h"
#include "platform/steam/steam_platform.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tallow::network::steam {

class SteamCore;
class SteamStats;

constexpr u32 load_view_kind = 200, set_score_view_kind = 201, download_view_kind = 202;
constexpr u32 request_global = 0, request_around_user = 1, request_friends = 2;

struct DownloadedEntry {
    u64 user;
    std::string name;
    i32 global_rank;
    i32 score;
    std::vector<u8> details; // detail count x 4 bytes
};

struct LeaderboardStatusView {
    u32 kind;
    const i32 *transaction_status;
    const i32 *work_status;
    u32 entry_count = 0;
    const DownloadedEntry *entries = nullptr;
};

class SteamLeaderboards {
  public:
    virtual ~SteamLeaderboards() = default;
    virtual void commit(u32 token) = 0;
    virtual void close(u32 token) = 0;
    /// Null (logged) for an unknown token.
    virtual const LeaderboardStatusView *status(u32 token) = 0;
    virtual void add_leaderboard(u32 token, const char *name) = 0;
    virtual u32 create_load_transaction() = 0;
    virtual void set_score(u32 token, const char *name, i32 score, u32 detail_bytes, const void *details) = 0;
    virtual u32 create_set_score_transaction() = 0;
    virtual void set_score_from_stat(u32 token, const char *name, const char *stat_name, u32 detail_bytes,
                                     const void *details) = 0;
    virtual void add_download(u32 token, const char *name, u32 request_kind, i32 start, i32 end) = 0;
    virtual u32 create_download_transaction() = 0;
    virtual void update() = 0;
};

class SteamLeaderboardImpl final : public SteamLeaderboards {
  public:
    /// `stats` may be null (scores from statistics then fail).
    SteamLeaderboardImpl(SteamCore &core, SteamStats *stats);
    ~SteamLeaderboardImpl() override;

    void commit(u32 token) override;
    void close(u32 token) override;
    const LeaderboardStatusView *status(u32 token) override;
    void add_leaderboard(u32 token, const char *name) override;
    u32 create_load_transaction() override { return create(0); }
    void set_score(u32 token, const char *name, i32 score, u32 detail_bytes, const void *details) override;
    u32 create_set_score_transaction() override { return create(1); }
    void set_score_from_stat(u32 token, const char *name, const char *stat_name, u32 detail_bytes,
                             const void *details) override;
    void add_download(u32 token, const char *name, u32 request_kind, i32 start, i32 end) override;
    u32 create_download_transaction() override { return create(2); }
    void update() override {}

    u32 transaction_count() const { return u32(_transactions.size()); }

    struct Transaction;
    struct WorkUnit;

  private:
    u32 create(u32 kind);
    Transaction *find(u32 token, u32 kind);

    SteamCore &_core;
    SteamStats *_stats;
    u32 _next_token = 1;
    std::map<u32, std::unique_ptr<Transaction>> _transactions;
    std::map<std::string, u64> _handles; // board name -> platform handle
};

} // namespace tallow::network::steam
