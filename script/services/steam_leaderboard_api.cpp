// The `Leaderboard` table and its format tags `INT`, `UINT`, `STRING` (see script/services/steam_api.h).
#include "network/steam/leaderboard_details.h"
#include "network/steam/steam_core.h"
#include "network/steam/steam_leaderboards.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/lua_stack.h"
#include "script/services/steam_api_internal.h"

#include <lua.hpp>

#include <cmath>
#include <cstring>

namespace tallow {

using namespace network::steam;
using namespace steam_script;

namespace {

// --- Leaderboard ---

constexpr const char *leaderboard_token = "LeaderboardTransactionToken";

struct DownloadToken {
    u32 token;
    u32 count;
    DetailField fields[max_detail_fields];
};
static_assert(sizeof(DownloadToken) == 520);

SteamLeaderboards &boards(const LuaStack &s)
{
    SteamLeaderboards *b = steam_services().leaderboards;
    if (!b)
        s.error("the leaderboard service is not running");
    return *b;
}

/// Any leaderboard token: 4 bytes (loads, scores) or 520 (downloads).
u32 board_token(const LuaStack &s, i32 arg, DownloadToken *out_download)
{
    lua_State *L = s.state();
    const i32 i = s.index(arg);
    const u32 size = lua_type(L, i) == LUA_TUSERDATA ? u32(lua_objlen(L, i)) : 0;
    if (size == sizeof(DownloadToken)) {
        memcpy(out_download, check_block(s, arg, leaderboard_token, sizeof(DownloadToken)), sizeof(DownloadToken));
        return out_download->token;
    }
    out_download->count = 0;
    u32 token;
    memcpy(&token, check_block(s, arg, leaderboard_token, sizeof(u32)), sizeof(token));
    return token;
}

bool is_tag(lua_State *L, i32 i, const char *type_name)
{
    if (lua_type(L, i) != LUA_TUSERDATA || lua_objlen(L, i) != sizeof(DetailField) || !lua_getmetatable(L, i))
        return false;
    lua_getfield(L, LUA_REGISTRYINDEX, type_name);
    const bool same = lua_rawequal(L, -1, -2);
    lua_pop(L, 2);
    return same;
}

/// Reads the format table at `arg` (its array part 1..n, in order) and checks it.
u32 read_format(const LuaStack &s, i32 arg, DetailField *out)
{
    lua_State *L = s.state();
    const i32 table = s.index(arg);
    if (lua_type(L, table) != LUA_TTABLE)
        s.argument_error(arg, "format table");
    const u32 n = u32(lua_objlen(L, table));
    if (n > max_detail_fields)
        s.argument_message(arg, "a format holds at most 64 fields (got %u)", n);
    for (u32 k = 0; k < n; ++k) {
        lua_rawgeti(L, table, i32(k + 1));
        DetailField f{};
        if (is_tag(L, -1, "INT") || is_tag(L, -1, "UINT") || is_tag(L, -1, "STRING")) {
            memcpy(&f, lua_touserdata(L, -1), sizeof(f));
        } else if (lua_type(L, -1) == LUA_TNUMBER && (lua_tonumber(L, -1) == 0 || lua_tonumber(L, -1) == 1)) {
            f.type = u32(lua_tonumber(L, -1));
        } else {
            lua_pop(L, 1);
            s.argument_message(arg, "field %u is neither a format tag nor Leaderboard.BOOL or NUMBER", k + 1);
        }
        lua_pop(L, 1);
        out[k] = f;
    }
    if (const char *why = check_detail_format(out, n))
        s.argument_message(arg, "%s", why);
    return n;
}

/// Packs values[1..n] with the format; returns the byte count.
u32 pack_values(const LuaStack &s, i32 arg, const DetailField *format, u32 count, u8 *out)
{
    lua_State *L = s.state();
    const i32 table = s.index(arg);
    if (lua_type(L, table) != LUA_TTABLE)
        s.argument_error(arg, "values table");
    memset(out, 0, max_detail_bytes);
    DetailWriter w(out, max_detail_bytes);
    for (u32 k = 0; k < count; ++k) {
        lua_rawgeti(L, table, i32(k + 1));
        const DetailField &f = format[k];
        switch (f.type) {
        case detail_bool: w.write_bits(lua_toboolean(L, -1) ? 1 : 0, 1); break;
        case detail_number: {
            const f32 v = f32(lua_tonumber(L, -1));
            u32 bits;
            memcpy(&bits, &v, 4);
            w.write_bits(bits, 32);
            break;
        }
        case detail_int:
        case detail_uint: {
            // Whole 32-bit values, signed or not; the field keeps its low bits.
            const f64 given = lua_tonumber(L, -1);
            const f64 v = std::trunc(given);
            if (!(v >= -2147483648.0 && v <= 4294967295.0)) {
                lua_pop(L, 1);
                s.argument_message(arg, "value %u (%.17g) is not a 32-bit integer", k + 1, given);
            }
            w.write_bits(u32(i64(v)), f.bits);
            break;
        }
        case detail_string: {
            size_t length = 0;
            const char *text = lua_type(L, -1) == LUA_TSTRING ? lua_tolstring(L, -1, &length) : ""; // nil: ""
            for (u32 b = 0; b < f.bits; ++b)
                w.write_bits(b < length ? u8(text[b]) : 0, 8);
            break;
        }
        }
        lua_pop(L, 1);
    }
    return w.size_bytes();
}

void push_token(const LuaStack &s, u32 token) { push_block(s, leaderboard_token, &token, sizeof(token)); }

int init_leaderboards(lua_State *L)
{
    LuaStack s(L);
    SteamLeaderboards &b = boards(s);
    if (!s.is_string(1) && !s.is_table(1))
        s.argument_error(1, "name or array of names");
    const u32 token = b.create_load_transaction();
    if (s.is_string(1)) {
        b.add_leaderboard(token, lua_tostring(L, 1));
    } else {
        const u32 n = u32(lua_objlen(L, 1));
        for (u32 k = 1; k <= n; ++k) {
            lua_rawgeti(L, 1, i32(k));
            if (lua_type(L, -1) == LUA_TSTRING)
                b.add_leaderboard(token, lua_tostring(L, -1));
            lua_pop(L, 1);
        }
    }
    b.commit(token);
    push_token(s, token);
    return 1;
}

int register_score(lua_State *L)
{
    LuaStack s(L);
    SteamLeaderboards &b = boards(s);
    const char *name = s.get_string(1);
    if (lua_type(L, 2) != LUA_TNUMBER && lua_type(L, 2) != LUA_TSTRING)
        s.argument_error(2, "score or statistic name");
    u8 details[max_detail_bytes] = {};
    u32 detail_bytes = 0;
    if (s.count() == 4 && s.is_table(3)) {
        DetailField format[max_detail_fields];
        const u32 n = read_format(s, 3, format);
        detail_bytes = pack_values(s, 4, format, n, details);
    }
    const u32 token = b.create_set_score_transaction();
    if (lua_type(L, 2) == LUA_TSTRING)
        b.set_score_from_stat(token, name, lua_tostring(L, 2), detail_bytes, details);
    else
        b.set_score(token, name, i32(s.get_integer(2, INT32_MIN, INT32_MAX)), detail_bytes, details);
    b.commit(token);
    push_token(s, token);
    return 1;
}

int push_download(const LuaStack &s, const char *name, u32 kind, i32 start, i32 end, i32 format_arg)
{
    SteamLeaderboards &b = boards(s);
    DownloadToken t{};
    if (s.count() >= format_arg && s.is_table(format_arg))
        t.count = read_format(s, format_arg, t.fields);
    t.token = b.create_download_transaction();
    b.add_download(t.token, name, kind, start, end);
    b.commit(t.token);
    push_block(s, leaderboard_token, &t, sizeof(t));
    return 1;
}

int ranking_around_self(lua_State *L)
{
    LuaStack s(L);
    boards(s);
    const char *name = s.get_string(1);
    const i32 before = i32(s.get_integer(2, 0, 100000)), after = i32(s.get_integer(3, 0, 100000));
    return push_download(s, name, request_around_user, -before, after, 4);
}

int ranking_for_friends(lua_State *L)
{
    LuaStack s(L);
    boards(s);
    return push_download(s, s.get_string(1), request_friends, 1, 1000, 2);
}

int ranking_range(lua_State *L)
{
    LuaStack s(L);
    boards(s);
    const char *name = s.get_string(1);
    const i32 first = i32(s.get_integer(2, 1, INT32_MAX / 2)), count = i32(s.get_integer(3, 1, INT32_MAX / 2));
    // Inclusive ranks: `count` entries from `first`.
    return push_download(s, name, request_global, first, first + count - 1, 4);
}

const char *status_name(i32 v)
{
    switch (v) {
    case -1: return "none";
    case 0: return "uncommited";
    case 1: return "commited";
    case 2: return "done";
    case 3: return "failed";
    case 4: return "succeeded";
    default: return "";
    }
}

void push_decoded(lua_State *L, const DownloadedEntry &e, const DownloadToken &t)
{
    lua_createtable(L, i32(t.count), 0);
    // Reads stop at the entry's own bytes, whatever the format asks for.
    DetailReader r(e.details.data(), u32(e.details.size()));
    for (u32 k = 0; k < t.count; ++k) {
        const DetailField &f = t.fields[k];
        u32 v = 0;
        switch (f.type) {
        case detail_bool:
            if (!r.read_bits(1, &v))
                return;
            lua_pushboolean(L, v);
            break;
        case detail_number: {
            if (!r.read_bits(32, &v))
                return;
            f32 x;
            memcpy(&x, &v, 4);
            lua_pushnumber(L, x);
            break;
        }
        case detail_int:
            if (!r.read_bits(f.bits, &v))
                return;
            lua_pushnumber(L, f.bits < 32 && (v >> (f.bits - 1)) ? f64(i64(v) - (i64(1) << f.bits)) : f64(i32(v)));
            break;
        case detail_uint:
            if (!r.read_bits(f.bits, &v))
                return;
            lua_pushnumber(L, f64(v));
            break;
        case detail_string: {
            char text[max_detail_bytes + 1];
            u32 length = 0;
            bool ended = false;
            for (u32 b = 0; b < f.bits; ++b) {
                if (!r.read_bits(8, &v))
                    return;
                if (v == 0)
                    ended = true;
                if (!ended)
                    text[length++] = char(v);
            }
            lua_pushlstring(L, text, length);
            break;
        }
        default: return;
        }
        lua_rawseti(L, -2, i32(k + 1));
    }
}

int leaderboard_progress(lua_State *L)
{
    LuaStack s(L);
    SteamLeaderboards &b = boards(s);
    DownloadToken t;
    const LeaderboardStatusView *view = b.status(board_token(s, 1, &t));
    if (!view || view->kind < load_view_kind || view->kind > download_view_kind)
        return 0;
    lua_createtable(L, 0, 4);
    set_field_string(L, "transaction_status", status_name(*view->transaction_status));
    set_field_string(L, "work_status", status_name(*view->work_status));
    if (view->kind == download_view_kind) {
        lua_createtable(L, i32(view->entry_count), 0);
        for (u32 k = 0; k < view->entry_count; ++k) {
            const DownloadedEntry &e = view->entries[k];
            lua_createtable(L, 0, 4);
            set_field_string(L, "name", e.name.c_str());
            set_field_number(L, "global_rank", e.global_rank);
            set_field_number(L, "score", e.score);
            if (!e.details.empty()) {
                push_decoded(L, e, t);
                lua_setfield(L, -2, "data");
            }
            lua_rawseti(L, -2, i32(k + 1));
        }
        lua_setfield(L, -2, "scores");
        set_field_number(L, "total_scores", view->entry_count);
    }
    return 1;
}

int leaderboard_close(lua_State *L)
{
    LuaStack s(L);
    SteamLeaderboards &b = boards(s);
    DownloadToken t;
    b.close(board_token(s, 1, &t));
    return 0;
}

int make_tag(const LuaStack &s, u32 type, const char *table, u32 min, u32 max, u32 extra)
{
    const u32 width = u32(s.get_integer(1, min, max));
    const DetailField f{type, width + extra};
    push_block(s, table, &f, sizeof(f));
    return 1;
}
int tag_int(lua_State *L) { return make_tag(LuaStack(L), detail_int, "INT", 1, 32, 0); }
int tag_uint(lua_State *L) { return make_tag(LuaStack(L), detail_uint, "UINT", 1, 32, 0); }
int tag_string(lua_State *L) { return make_tag(LuaStack(L), detail_string, "STRING", 0, max_detail_bytes - 1, 1); }

} // namespace

namespace steam_script {

void register_leaderboard_tables(LuaEnvironment &env, void *upvalue)
{
    struct Entry {
        const char *table;
        const char *name;
        LuaFunction function;
    };
        const Entry leaderboard[] = {
            {"Leaderboard", "init_leaderboards", init_leaderboards},
            {"Leaderboard", "register_score", register_score},
            {"Leaderboard", "ranking_around_self", ranking_around_self},
            {"Leaderboard", "ranking_for_friends", ranking_for_friends},
            {"Leaderboard", "ranking_range", ranking_range},
            {"Leaderboard", "progress", leaderboard_progress},
            {"Leaderboard", "close", leaderboard_close},
            {"Leaderboard", "INT", tag_int},
            {"Leaderboard", "UINT", tag_uint},
            {"Leaderboard", "STRING", tag_string},
            {"INT", "_", nothing},
            {"UINT", "_", nothing},
            {"STRING", "_", nothing},
            };
        for (const Entry &e : leaderboard)
        env.add_module_function(e.table, e.name, e.function, upvalue);
        env.add_module_number("Leaderboard", "RT_GLOBAL", 0);
        env.add_module_number("Leaderboard", "RT_AROUND_USER", 1);
        env.add_module_number("Leaderboard", "RT_FRIENDS", 2);
        env.add_module_number("Leaderboard", "BOOL", 0);
        env.add_module_number("Leaderboard", "NUMBER", 1);
    }

} // namespace steam_script
} // namespace tallow
