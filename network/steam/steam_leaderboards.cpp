// Leaderboards (see steam_leaderboards.h).
#include "network/steam/steam_leaderboards.h"

#include "foundation/log.h"
#include "foundation/strings/name_id.h"
#include "network/steam/steam_core.h"
#include "network/steam/steam_stats.h"

#include <cstring>

namespace tallow::network::steam {

namespace platform = tallow::steam;

namespace {
constexpr i32 status_uncommitted = 0, status_committed = 1, status_done = 2, status_failed = 3, status_succeeded = 4;
} // namespace

struct SteamLeaderboardImpl::WorkUnit {
    enum Kind { Load, SetScore, Download } kind;
    Transaction *transaction = nullptr;
    std::map<std::string, u64> *cache = nullptr;
    SteamCore *core = nullptr;
    std::string name;
    u64 board = 0;
    i32 score = 0;
    u32 detail_bytes = 0;
    u8 details[max_detail_bytes] = {};
    u32 request_kind = 0;
    i32 start = 0, end = 0;
    bool finished = false;
    platform::CallbackRegistration find_result, work_result;

    ~WorkUnit()
    {
        platform::unregister_call_result(find_result);
        platform::unregister_call_result(work_result);
    }
    bool start_unit();
    bool find();
    bool run_work();
    void report(i32 result);
    static void on_found(void *self, const void *data, bool io_failure);
    static void on_uploaded(void *self, const void *data, bool io_failure);
    static void on_downloaded(void *self, const void *data, bool io_failure);
};

struct SteamLeaderboardImpl::Transaction {
    u32 kind = 0;
    i32 transaction_status = status_uncommitted;
    i32 work_status = status_uncommitted;
    std::map<u64, std::unique_ptr<WorkUnit>> units; // by NameId64 of the board name
    u32 finished = 0;
    std::vector<DownloadedEntry> entries;
    LeaderboardStatusView view{};

    void unit_finished(WorkUnit &unit, i32 result, const platform::LeaderboardScoresDownloaded *download);
};

bool SteamLeaderboardImpl::WorkUnit::start_unit()
{
    if (kind != Load) {
        auto it = cache->find(name);
        if (it != cache->end()) {
            board = it->second;
            return run_work();
        }
    }
    return find();
}

bool SteamLeaderboardImpl::WorkUnit::find()
{
    platform::UserStats *stats = platform::user_stats();
    const platform::CallHandle call = stats ? stats->find_leaderboard(name.c_str()) : 0;
    if (call == 0)
        return false;
    platform::register_call_result(find_result, call, &on_found, this);
    return true;
}

bool SteamLeaderboardImpl::WorkUnit::run_work()
{
    platform::UserStats *stats = platform::user_stats();
    if (!stats)
        return false;
    platform::CallHandle call = 0;
    if (kind == SetScore) {
        const i32 count = i32((detail_bytes + 3) / 4);
        i32 packed[max_detail_bytes / 4];
        memcpy(packed, details, sizeof(packed));
        call = stats->upload_leaderboard_score(board, 1, score, count ? packed : nullptr, count);
        if (call)
            platform::register_call_result(work_result, call, &on_uploaded, this);
    } else {
        call = stats->download_leaderboard_entries(board, request_kind, start, end);
        if (call)
            platform::register_call_result(work_result, call, &on_downloaded, this);
    }
    return call != 0;
}

void SteamLeaderboardImpl::WorkUnit::report(i32 result)
{
    if (finished)
        return;
    finished = true;
    transaction->unit_finished(*this, result, nullptr);
}

void SteamLeaderboardImpl::WorkUnit::on_found(void *object, const void *data, bool io_failure)
{
    auto &unit = *static_cast<WorkUnit *>(object);
    platform::LeaderboardFindResult found{};
    if (!io_failure)
        memcpy(&found, data, sizeof(found));
    const bool ok = !io_failure && found.found && found.board != 0;
    if (unit.kind == Load) {
        if (ok)
            (*unit.cache)[unit.name] = found.board;
        else
            log_message("SteamLeaderboards", "Failed to acquire handle for leaderboard(%s)!.", unit.name.c_str());
        unit.report(ok ? status_succeeded : status_failed);
        return;
    }
    if (!ok) {
        unit.report(status_failed);
        return;
    }
    unit.board = found.board;
    (*unit.cache)[unit.name] = found.board;
    if (!unit.run_work())
        unit.report(status_failed);
}

void SteamLeaderboardImpl::WorkUnit::on_uploaded(void *object, const void *data, bool io_failure)
{
    auto &unit = *static_cast<WorkUnit *>(object);
    platform::LeaderboardScoreUploaded uploaded{};
    if (!io_failure)
        memcpy(&uploaded, data, sizeof(uploaded));
    unit.report(!io_failure && uploaded.success == 1 ? status_succeeded : status_failed);
}

void SteamLeaderboardImpl::WorkUnit::on_downloaded(void *object, const void *data, bool io_failure)
{
    auto &unit = *static_cast<WorkUnit *>(object);
    if (unit.finished)
        return;
    unit.finished = true;
    platform::LeaderboardScoresDownloaded downloaded{};
    if (!io_failure)
        memcpy(&downloaded, data, sizeof(downloaded));
    unit.transaction->unit_finished(unit, io_failure ? status_failed : status_succeeded,
                                    io_failure ? nullptr : &downloaded);
}

void SteamLeaderboardImpl::Transaction::unit_finished(WorkUnit &unit, i32 result,
                                                      const platform::LeaderboardScoresDownloaded *download)
{
    finished++;
    if (finished >= units.size())
        transaction_status = status_done;
    if (result == status_failed)
        work_status = status_failed;
    if (finished >= units.size() && work_status != status_failed)
        work_status = status_succeeded;
    if (kind != 2 || result != status_succeeded || !download || download->count < 1)
        return;
    platform::UserStats *stats = platform::user_stats();
    if (!stats)
        return;
    // Appended, so a second download unit keeps the first one's entries.
    for (i32 i = 0; i < download->count; ++i) {
        platform::LeaderboardEntry entry{};
        i32 details[platform::max_leaderboard_details] = {};
        if (!stats->get_downloaded_leaderboard_entry(download->entries, i, &entry, details,
                                                     i32(platform::max_leaderboard_details)))
            continue;
        DownloadedEntry e;
        e.user = entry.user;
        e.name = unit.core->persona_name(entry.user);
        e.global_rank = entry.global_rank;
        e.score = entry.score;
        const i32 count = entry.details < 0 ? 0
                          : entry.details > i32(platform::max_leaderboard_details) ? i32(platform::max_leaderboard_details)
                                                                                   : entry.details;
        e.details.resize(size_t(count) * 4);
        if (count > 0)
            memcpy(e.details.data(), details, e.details.size());
        entries.push_back(std::move(e));
    }
    view.entry_count = u32(entries.size());
    view.entries = entries.empty() ? nullptr : entries.data();
}

SteamLeaderboardImpl::SteamLeaderboardImpl(SteamCore &core, SteamStats *stats) : _core(core), _stats(stats) {}

SteamLeaderboardImpl::~SteamLeaderboardImpl() { _transactions.clear(); }

u32 SteamLeaderboardImpl::create(u32 kind)
{
    const u32 token = _next_token++;
    auto t = std::make_unique<Transaction>();
    t->kind = kind;
    t->view.kind = load_view_kind + kind;
    t->view.transaction_status = &t->transaction_status;
    t->view.work_status = &t->work_status;
    _transactions[token] = std::move(t);
    return token;
}

SteamLeaderboardImpl::Transaction *SteamLeaderboardImpl::find(u32 token, u32 kind)
{
    auto it = _transactions.find(token);
    return it == _transactions.end() || it->second->kind != kind ? nullptr : it->second.get();
}

namespace {
SteamLeaderboardImpl::WorkUnit *add_unit(SteamLeaderboardImpl::Transaction &t, const char *name);
}

void SteamLeaderboardImpl::add_leaderboard(u32 token, const char *name)
{
    Transaction *t = find(token, 0);
    if (!t) {
        log_message("SteamLeaderboards", "Failed to find Leaderboard Transaction");
        return;
    }
    if (!name || t->transaction_status != status_uncommitted)
        return;
    if (WorkUnit *unit = add_unit(*t, name)) {
        unit->kind = WorkUnit::Load;
        unit->cache = &_handles;
        unit->core = &_core;
    }
}

void SteamLeaderboardImpl::set_score(u32 token, const char *name, i32 score, u32 detail_bytes, const void *details)
{
    Transaction *t = find(token, 1);
    if (!t) {
        log_message("SteamLeaderboards", "Failed to find leaderboard transaction");
        return;
    }
    if (!name || t->transaction_status != status_uncommitted)
        return;
    if (detail_bytes > max_detail_bytes) {
        log_message("SteamLeaderboards", "score for %s has %u detail bytes; at most %u fit", name, detail_bytes,
                    max_detail_bytes);
        return;
    }
    if (WorkUnit *unit = add_unit(*t, name)) {
        unit->kind = WorkUnit::SetScore;
        unit->cache = &_handles;
        unit->core = &_core;
        unit->score = score;
        if (detail_bytes && details) {
            unit->detail_bytes = detail_bytes;
            memcpy(unit->details, details, detail_bytes); // only what the caller has
        }
    }
}

void SteamLeaderboardImpl::set_score_from_stat(u32 token, const char *name, const char *stat_name, u32 detail_bytes,
                                               const void *details)
{
    i32 score = -1;
    if (!_stats || !stat_name || !_stats->read_stat(stat_name, &score)) {
        log_message("SteamLeaderboards", "Failed to get score from stat(%s)", stat_name ? stat_name : "");
        return;
    }
    set_score(token, name, score, detail_bytes, details);
}

void SteamLeaderboardImpl::add_download(u32 token, const char *name, u32 request_kind, i32 start, i32 end)
{
    Transaction *t = find(token, 2);
    if (!t) {
        log_message("SteamLeaderboards", "Failed to find leaderboard transaction");
        return;
    }
    if (!name || t->transaction_status != status_uncommitted)
        return;
    if (WorkUnit *unit = add_unit(*t, name)) {
        unit->kind = WorkUnit::Download;
        unit->cache = &_handles;
        unit->core = &_core;
        unit->request_kind = request_kind;
        unit->start = start;
        unit->end = end;
    }
}

namespace {
SteamLeaderboardImpl::WorkUnit *add_unit(SteamLeaderboardImpl::Transaction &t, const char *name)
{
    const u64 key = NameId64(name, u32(strlen(name))).value();
    if (t.units.count(key))
        return nullptr; // a board named twice gets one unit
    auto unit = std::make_unique<SteamLeaderboardImpl::WorkUnit>();
    unit->transaction = &t;
    unit->name = name;
    SteamLeaderboardImpl::WorkUnit *raw = unit.get();
    t.units[key] = std::move(unit);
    return raw;
}
} // namespace

void SteamLeaderboardImpl::commit(u32 token)
{
    auto it = _transactions.find(token);
    if (it == _transactions.end()) {
        log_message("SteamStats", "Transaction for commit not found!");
        return;
    }
    Transaction &t = *it->second;
    if (t.transaction_status != status_uncommitted)
        return; // committing again would start every request twice
    t.transaction_status = status_committed;
    std::vector<u64> dropped; // erased after the walk, not during it
    for (auto &[key, unit] : t.units)
        if (!unit->start_unit())
            dropped.push_back(key);
    for (u64 key : dropped)
        t.units.erase(key);
    if (!t.units.empty()) {
        t.work_status = status_committed;
    } else {
        t.transaction_status = status_done;
        t.work_status = status_failed;
    }
}

void SteamLeaderboardImpl::close(u32 token) { _transactions.erase(token); }

const LeaderboardStatusView *SteamLeaderboardImpl::status(u32 token)
{
    auto it = _transactions.find(token);
    if (it == _transactions.end()) {
        log_message("SteamStats", "Status for transaction not found!");
        return nullptr;
    }
    return &it->second->view;
}

} // namespace tallow::network::steam
