// Statistics and achievements (see steam_stats.h).
#include "network/steam/steam_stats.h"

#include "foundation/log.h"
#include "network/steam/steam_core.h"

#include <cstring>

namespace tallow::network::steam {

namespace platform = tallow::steam;

namespace {
// Entry states.
constexpr u32 entry_added = 0, entry_submitted = 1, entry_failed = 3, entry_stored = 4;
} // namespace

SteamStatsImpl::SteamStatsImpl(SteamCore &core) : _core(core) {}

SteamStatsImpl::~SteamStatsImpl()
{
    _transactions.clear();
    platform::unregister_callback(_received);
    platform::unregister_callback(_stored);
    platform::unregister_callback(_achievement_stored);
}

bool SteamStatsImpl::start()
{
    platform::register_callback(_received, platform::callback_user_stats_received, false, &on_received, this);
    platform::register_callback(_stored, platform::callback_user_stats_stored, false, &on_stored, this);
    platform::register_callback(_achievement_stored, platform::callback_user_achievement_stored, false,
                                &on_achievement_stored, this);
    return request_current_stats();
}

bool SteamStatsImpl::achievement_unlocked(const char *name)
{
    platform::UserStats *stats = platform::user_stats();
    bool achieved = false;
    return stats && name && stats->get_achievement(name, &achieved) && achieved;
}

u32 SteamStatsImpl::create_transaction()
{
    const u32 id = _next_id++;
    auto t = std::make_unique<Transaction>();
    t->view.status = &t->status;
    t->view.achievement_result = &t->achievement_result;
    t->view.stats_result = &t->stats_result;
    _transactions[id] = std::move(t);
    return id;
}

void SteamStatsImpl::add_achievement(u32 id, const char *name)
{
    auto it = _transactions.find(id);
    if (it == _transactions.end() || !name || it->second->status != stats_uncommitted)
        return;
    Transaction &t = *it->second;
    t.achievements.emplace(name, entry_added);
    t.achievement_result = result_pending;
}

void SteamStatsImpl::set_stat(u32 id, const char *name, i32 value)
{
    auto it = _transactions.find(id);
    if (it == _transactions.end() || !name || it->second->status != stats_uncommitted)
        return;
    Transaction &t = *it->second;
    auto entry = t.stats.find(name);
    if (entry == t.stats.end())
        t.stats.emplace(name, std::make_pair(value, entry_added));
    else
        entry->second.first = value;
    t.stats_result = result_pending;
    t.stats_stored = false;
}

void SteamStatsImpl::commit_transaction(u32 id)
{
    auto it = _transactions.find(id);
    if (it == _transactions.end() || it->second->status != stats_uncommitted)
        return;
    Transaction &t = *it->second;
    platform::UserStats *stats = platform::user_stats();
    if (t.achievements.empty() && t.stats.empty()) {
        t.status = stats_failed;
    } else {
        t.status = stats_committed;
        for (auto &[name, state] : t.achievements)
            state = stats && stats->set_achievement(name.c_str()) ? entry_submitted : entry_failed;
        if (!t.achievements.empty())
            t.achievement_result = result_submitted;
        for (auto &[name, entry] : t.stats)
            entry.second = stats && stats->set_stat(name.c_str(), entry.first) ? entry_submitted : entry_failed;
        if (!t.stats.empty())
            t.stats_result = result_submitted;
    }
    const bool stored = stats && stats->store_stats();
    if (t.status == stats_committed && !stored) {
        // Nothing will be reported for this transaction.
        t.status = stats_failed;
        if (!t.stats.empty())
            t.stats_result = result_failed;
        if (!t.achievements.empty())
            t.achievement_result = result_failed;
        return;
    }
    finish_if_complete(t);
}

void SteamStatsImpl::finish_if_complete(Transaction &t)
{
    if (t.status != stats_committed)
        return;
    bool achievements_settled = true, achievement_failed = false;
    for (auto &[name, state] : t.achievements) {
        achievements_settled &= state == entry_stored || state == entry_failed;
        achievement_failed |= state == entry_failed;
    }
    bool stat_failed = false;
    for (auto &[name, entry] : t.stats)
        stat_failed |= entry.second == entry_failed;
    if (!t.achievements.empty() && achievements_settled)
        t.achievement_result = achievement_failed ? result_failed : result_succeeded;
    if (stat_failed && t.stats_stored)
        t.stats_result = result_failed;
    if (!achievements_settled || !t.stats_stored)
        return;
    const bool failed = achievement_failed || stat_failed || t.stats_result == result_failed;
    t.status = failed ? stats_failed : stats_done;
}

void SteamStatsImpl::close_transaction(u32 id) { _transactions.erase(id); }

const StatsStatusView *SteamStatsImpl::transaction_status(u32 id)
{
    auto it = _transactions.find(id);
    return it == _transactions.end() ? nullptr : &it->second->view;
}

i32 SteamStatsImpl::get_stat(const char *name)
{
    i32 value = -1;
    return read_stat(name, &value) ? value : -1;
}

bool SteamStatsImpl::read_stat(const char *name, i32 *out_value)
{
    platform::UserStats *stats = platform::user_stats();
    return stats && name && stats->get_stat(name, out_value);
}

bool SteamStatsImpl::reset_all_stats(bool achievements_too)
{
    platform::UserStats *stats = platform::user_stats();
    return stats && stats->reset_all_stats(achievements_too) && stats->store_stats();
}

bool SteamStatsImpl::request_current_stats()
{
    platform::UserStats *stats = platform::user_stats();
    return stats && stats->request_current_stats();
}

void SteamStatsImpl::on_received(void *, const void *) {}

void SteamStatsImpl::on_stored(void *object, const void *data)
{
    auto &self = *static_cast<SteamStatsImpl *>(object);
    platform::UserStatsStored stored;
    memcpy(&stored, data, sizeof(stored));
    if (stored.game_id != self._core.game_id())
        return;
    for (auto &[id, t] : self._transactions) {
        if (t->status != stats_committed)
            continue; // an uncommitted transaction was not part of this store
        if (!t->stats.empty()) {
            t->stats_stored = true;
            t->stats_result = stored.result == tallow::steam::result_ok ? result_succeeded : result_failed;
        }
        self.finish_if_complete(*t);
    }
    log_message("SteamStats", "UserStatsStored success(%s)", stored.result == tallow::steam::result_ok ? "true" : "false");
}

void SteamStatsImpl::on_achievement_stored(void *object, const void *data)
{
    auto &self = *static_cast<SteamStatsImpl *>(object);
    platform::UserAchievementStored stored;
    memcpy(&stored, data, sizeof(stored));
    if (stored.game_id != self._core.game_id())
        return;
    const std::string name(stored.name, strnlen(stored.name, sizeof(stored.name)));
    for (auto &[id, t] : self._transactions) {
        if (t->status != stats_committed)
            continue;
        auto entry = t->achievements.find(name);
        if (entry == t->achievements.end() || entry->second != entry_submitted)
            continue; // counted once, and only what was submitted
        entry->second = entry_stored;
        self.finish_if_complete(*t);
    }
    log_message("SteamStats", "UserAchievement %s, current prog(%u), max prog(%u)", name.c_str(),
                stored.current_progress, stored.max_progress);
}

} // namespace tallow::network::steam
