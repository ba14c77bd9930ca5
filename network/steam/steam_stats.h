#pragma once
// Statistics and achievements: scripts unlock achievements in transactions and poll a token
// until the platform has reported every piece stored. Main thread only; the platform's
// callbacks arrive inside the core's pump.
//
//   u32 t = stats.create_transaction();
//   stats.add_achievement(t, "first_blood");
//   stats.commit_transaction(t);                   // set calls, then one store
//   ... frames later: const StatsStatusView *v = stats.transaction_status(t);
//   done = *v->status == stats_done || *v->status == stats_failed;
//   stats.close_transaction(t);
//
// Transaction: 0 uncommitted -> commit -> 1 committed (3 failed when empty) -> 2 done when
// every named achievement and the statistics were reported stored, or 3 failed when a set
// call failed or the store failed (a transaction whose set call failed would otherwise
// wait forever: its entry is never reported). Only committed transactions react to the
// store callbacks, each entry is counted once, and a failed statistics store shows as an
// error even when the achievements were stored.

#include "foundation/types.h"
#include "platform/steam/steam_platform.h"

#include <map>
#include <memory>
#include <string>

namespace tallow::network::steam {

class SteamCore;

constexpr u32 stats_uncommitted = 0, stats_committed = 1, stats_done = 2, stats_failed = 3;
/// Results: -1 none, 0 pending, 1 submitted, 3 failed, 4 succeeded.
constexpr i32 result_none = -1, result_pending = 0, result_submitted = 1, result_failed = 3, result_succeeded = 4;
constexpr u32 stats_view_kind = 100;

struct StatsStatusView {
    u32 kind = stats_view_kind;
    const u32 *status;
    const i32 *achievement_result;
    const i32 *stats_result;
};

class SteamStats {
  public:
    virtual ~SteamStats() = default;
    virtual bool achievement_unlocked(const char *name) = 0;
    virtual void add_achievement(u32 id, const char *name) = 0;
    virtual u32 create_transaction() = 0;
    virtual void commit_transaction(u32 id) = 0;
    virtual void close_transaction(u32 id) = 0;
    /// Null for an unknown id; valid until the transaction closes.
    virtual const StatsStatusView *transaction_status(u32 id) = 0;
    virtual void set_stat(u32 id, const char *name, i32 value) = 0;
    /// -1 when the statistic cannot be read (use read_stat to tell a real -1 apart).
    virtual i32 get_stat(const char *name) = 0;
    virtual bool read_stat(const char *name, i32 *out_value) = 0;
    virtual bool reset_all_stats(bool achievements_too) = 0;
    virtual bool request_current_stats() = 0;
    virtual void update() = 0;
};

class SteamStatsImpl final : public SteamStats {
  public:
    explicit SteamStatsImpl(SteamCore &core);
    /// Closes every transaction and removes the registrations.
    ~SteamStatsImpl() override;
    /// Registers the callbacks and requests the current statistics; false when they cannot
    /// be requested.
    [[nodiscard]] bool start();

    bool achievement_unlocked(const char *name) override;
    void add_achievement(u32 id, const char *name) override;
    u32 create_transaction() override;
    void commit_transaction(u32 id) override;
    void close_transaction(u32 id) override;
    const StatsStatusView *transaction_status(u32 id) override;
    void set_stat(u32 id, const char *name, i32 value) override;
    i32 get_stat(const char *name) override;
    bool read_stat(const char *name, i32 *out_value) override;
    bool reset_all_stats(bool achievements_too) override;
    bool request_current_stats() override;
    void update() override {}

    u32 transaction_count() const { return u32(_transactions.size()); }

  private:
    struct Transaction {
        u32 status = stats_uncommitted;
        i32 achievement_result = result_none;
        i32 stats_result = result_none;
        std::map<std::string, u32> achievements; // name -> entry state
        std::map<std::string, std::pair<i32, u32>> stats;
        bool stats_stored = true;
        StatsStatusView view{};
    };
    static void on_received(void *self, const void *data);
    static void on_stored(void *self, const void *data);
    static void on_achievement_stored(void *self, const void *data);
    void finish_if_complete(Transaction &t);

    SteamCore &_core;
    u32 _next_id = 0;
    std::map<u32, std::unique_ptr<Transaction>> _transactions;
    tallow::steam::CallbackRegistration _received, _stored, _achievement_stored;
};

} // namespace tallow::network::steam
