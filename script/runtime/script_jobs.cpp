#include "script/runtime/script_jobs.h"

#include "foundation/threads/job.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "script/runtime/lua_environment.h"

#include <lua.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace tallow {

namespace {

thread_local LuaEnvironment *thread_script_state = nullptr;

/// What every batch of one run shares (stream 1 of the job).
struct RunShared {
    const ScriptJobs::Global *globals;
    u32 global_count;
    const char *names;
    u32 error_pause_ms;
    std::atomic<u32> failed_batches{0};
};

struct Broadcast {
    void (*function)(void *user);
    void *user;
};

void broadcast_job(const JobContext &context)
{
    auto *b = static_cast<Broadcast *>(context.data);
    b->function(b->user);
}

} // namespace

LuaEnvironment *script_thread_lua_state() { return thread_script_state; }

LuaEnvironment *create_script_thread_lua_state(Allocator &allocator, IScriptSource *source)
{
    LuaEnvironment *env = make_new<LuaEnvironment>(allocator, source, default_allocator());
    if (env && !env->is_valid()) {
        delete_with_allocator(allocator, env);
        env = nullptr;
    }
    thread_script_state = env;
    return env;
}

void destroy_script_thread_lua_state(Allocator &allocator)
{
    delete_with_allocator(allocator, thread_script_state);
    thread_script_state = nullptr;
}

void run_on_every_job_thread(JobSystem &jobs, const char *job_name, void (*function)(void *user), void *user)
{
    Broadcast b{function, user};
    JobId id = jobs.add_job_to_all_workers(JobItem{broadcast_job, &b, job_name, 0});
    jobs.wait_for_job(id);
}

ScriptJobs::ScriptJobs(JobSystem &jobs)
    : _allocator("script_jobs", default_allocator()), _jobs(jobs), _items(_allocator), _globals(_allocator),
      _names(_allocator)
{
}

ScriptJobs::~ScriptJobs() = default;

u32 ScriptJobs::copy_name(const char *name)
{
    u32 offset = _names.size();
    u64 length = std::strlen(name);
    for (u64 i = 0; i <= length; ++i)
        _names.push_back(name[i]);
    return offset;
}

void ScriptJobs::add_job(const char *function, UnitHandle unit)
{
    // Consecutive items of one function share one name, so a batch looks it up once.
    if (_last_function == 0xFFFFFFFFu || std::strcmp(_names.data() + _last_function, function) != 0)
        _last_function = copy_name(function);
    _items.push_back(Item{_last_function, unit});
}

void ScriptJobs::set_job_global(const char *name, f32 value)
{
    _globals.push_back(Global{copy_name(name), script_job_global_number, value});
}

u32 ScriptJobs::run()
{
    u32 failed = 0;
    if (_items.size() > 0) {
        RunShared shared;
        shared.globals = _globals.data();
        shared.global_count = _globals.size();
        shared.names = _names.data();
        shared.error_pause_ms = _error_pause_ms;
        Job job("script_job");
        JobData data(job);
        data.set_stream(0, JobStream{_items.data(), u32(sizeof(Item))});
        data.set_stream(1, JobStream{&shared, 0}, stream_kind_shared);
        data.set_count(_items.size());
        job.set_function(script_job_main);
        JobId id = _jobs.run_job_and_release(job);
        _jobs.wait_for_job(id);
        failed = shared.failed_batches.load();
    }
    _items.resize(0);
    _globals.resize(0);
    _names.resize(0);
    _last_function = 0xFFFFFFFFu;
    return failed;
}

void ScriptJobs::script_job_main(const JobData &batch)
{
    auto *shared = batch.stream_as<RunShared>(1);
    const Item *items = batch.stream_as<const Item>(0);
    LuaEnvironment *env = script_thread_lua_state();
    if (!env) {
        log_message("Lua", "Script job error: this job thread has no script state");
        shared->failed_batches.fetch_add(1);
        return;
    }
    lua_State *L = env->state();
    lua_settop(L, 0);
    // Raw sets: a script's metatable on _G must not raise outside a protected call.
    for (u32 g = 0; g < shared->global_count; ++g) {
        const Global &global = shared->globals[g];
        if (global.kind != script_job_global_number)
            continue;
        lua_pushstring(L, shared->names + global.name);
        lua_pushnumber(L, global.value);
        lua_rawset(L, LUA_GLOBALSINDEX);
    }
    u32 previous = 0xFFFFFFFFu;
    for (u32 i = 0; i < batch.count(); ++i) {
        env->reset_temps();
        if (items[i].function != previous) {
            lua_settop(L, 0);
            lua_pushstring(L, shared->names + items[i].function);
            lua_rawget(L, LUA_GLOBALSINDEX);
            previous = items[i].function;
        }
        lua_pushvalue(L, 1);
        LuaStack(L).push_unit_reference(items[i].unit);
        if (env->pcall(1, 0).error) {
            const char *message = lua_tostring(L, -1);
            log_message("Lua", "Script job error %s", message ? message : "(error object is not a string)");
            env->log_traceback();
            lua_pop(L, 1);
            shared->failed_batches.fetch_add(1);
            if (shared->error_pause_ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(shared->error_pause_ms));
            break;
        }
    }
    lua_settop(L, 0);
}

} // namespace tallow
