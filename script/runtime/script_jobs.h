#pragma once
// Script jobs: a Lua function run for many units in parallel on the job threads, each
// thread with a Lua state of its own.
//
//   // once per job thread, on that thread (the game does it with a job on every member):
//   LuaEnvironment *env = create_script_thread_lua_state(allocator, source);
//   register_job_thread_script_api(*env);
//
//   ScriptJobs jobs(job_system);
//   jobs.add_job("move_unit", unit);       // from Game.add_job
//   jobs.set_job_global("dt", 0.016f);     // from Game.set_job_global
//   u32 failed = jobs.run();               // posts "script_job", waits, empties both lists
//
// The item's function is looked up as a global of the job thread's state and called with
// the unit reference; job globals are set (as numbers) on every state that runs a batch.
// A script error ends its batch only and is logged as "Script job error %s"; run returns
// the number of failed batches. ScriptJobs is used from one thread (the main thread).

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"
#include "script/runtime/lua_stack.h"

namespace tallow {

class Allocator;
class IScriptSource;
class JobData;
class JobSystem;
class LuaEnvironment;

/// The calling thread's script state, or null.
LuaEnvironment *script_thread_lua_state();
/// Makes the calling thread's script state from `allocator` (its "lua" allocator over the
/// default allocator) and keeps it in the thread's slot. Null when it cannot be built.
LuaEnvironment *create_script_thread_lua_state(Allocator &allocator, IScriptSource *source);
/// Destroys the calling thread's state (if any) and clears the slot.
void destroy_script_thread_lua_state(Allocator &allocator);

/// Runs `function(user)` once on every member of the job system's pool and waits until
/// every member has run it. The job is named `job_name`. Call from a pool member or any
/// other thread; the caller's wait helps with the jobs.
void run_on_every_job_thread(JobSystem &jobs, const char *job_name, void (*function)(void *user), void *user);

/// A number set as a global on the job threads' states before a run.
constexpr u32 script_job_global_number = 1;

class ScriptJobs {
  public:
    explicit ScriptJobs(JobSystem &jobs);
    ~ScriptJobs();
    ScriptJobs(const ScriptJobs &) = delete;
    ScriptJobs &operator=(const ScriptJobs &) = delete;

    /// Queues `function(unit)` for the next run. The name is copied.
    void add_job(const char *function, UnitHandle unit);
    /// Sets global `name` to `value` on every job state of the next run. The name is copied.
    void set_job_global(const char *name, f32 value);
    /// Runs every queued item as one job split over the job threads and waits for it.
    /// Returns the number of batches that stopped at a script error. Items and globals are
    /// emptied afterwards.
    u32 run();

    u32 item_count() const { return _items.size(); }
    u32 global_count() const { return _globals.size(); }
    /// Pause after a failed batch (the original throttle of error reports); 0 = none.
    void set_error_pause_ms(u32 ms) { _error_pause_ms = ms; }

    struct Item {
        u32 function; // offset of the name in the name buffer
        UnitHandle unit;
    };
    struct Global {
        u32 name; // offset of the name in the name buffer
        u32 kind;
        f32 value;
    };

  private:
    u32 copy_name(const char *name);
    static void script_job_main(const JobData &batch);

    TraceAllocator _allocator; // "script_jobs"
    JobSystem &_jobs;
    Array<Item> _items;
    Array<Global> _globals;
    Array<char> _names; // zero-terminated names, addressed by offset
    u32 _last_function = 0xFFFFFFFFu;
    u32 _error_pause_ms = 100;
};

} // namespace tallow
