#pragma once
// The game: owns the main Lua environment and the script jobs, registers the script API,
// runs the boot script (the script named by the setting "boot_script") and calls its
// globals `init`, `update` (with the frame step), `render` and `shutdown`.
//
//   IGame *game = make_game(allocator, application);   // application/game.h
//   game->init();                                       // last start-up step
//   game->update(dt); game->render();                   // once per frame
//   delete_with_allocator(allocator, game);             // script `shutdown`, state closed
//
// Script errors in `update`, `render`, callbacks, flow calls and do_string are logged and
// set the paused flag; the frame loop goes on, and the script's `update` and `render` are
// still called every frame. An error that repeats is logged once, then counted: the count is
// logged when another error comes or the game ends. When the boot script itself fails to
// load, or its `init` raises, that is reported once and `init` fails, which fails the
// start-up (the script's `update`, `render` and `shutdown` are then never called); a boot
// script with no `init` at all is reported and starts. Every job
// thread gets a Lua state of its own with the reduced job-thread API; `Game.job_thread_require`
// and hot reload keep those states in step with the main one. Main thread only.

#include "application/game_interface.h"
#include "foundation/memory/trace_allocator.h"
#include "script/runtime/lua_resource.h"

#include <mutex>

namespace tallow {

class LuaEnvironment;
struct ReloadedResource;
template <typename T> class Array;
class ScriptJobs;

class MyGame final : public IGame {
  public:
    /// Builds the main environment over the Application's "lua" resources (the "lua" type is
    /// registered with the resource manager here when nobody did), or over `scripts` when
    /// given (it must outlive the game). Check is_valid().
    explicit MyGame(Application &application, IScriptSource *scripts = nullptr);
    /// Script `shutdown` first (job states still exist for its jobs), then the job
    /// threads' states, the script jobs and the main state.
    ~MyGame() override;

    bool is_valid() const { return _lua != nullptr; }

    void setup_platform() override; // See IGame; starts the online services when configured
    bool init() override; // false when the boot script did not load or its init raised
    void update(f32 dt_seconds) override;
    void render() override;
    void pause() override { _paused = true; }
    void reload(u64 type_id, u64 name_id) override;
    bool console_command(ConfigValue &command) override;
    void hash_state(StateHasher &hasher) override; // the script's flocks

    bool is_paused() const { return _paused; }
    /// Hands reloaded "particles" data to every world's particle service once the render
    /// side is idle (a fence), before the old data is freed.
    void reload_particles(const Array<ReloadedResource> &collected);
    LuaEnvironment &lua() { return *_lua; }
    /// Null when the Application has no job system.
    ScriptJobs *script_jobs() { return _script_jobs; }
    Application &application() { return _application; }

    /// Requires `name` in every job thread's state; false when one of them failed.
    bool require_job(const char *name);
    /// Re-runs the load order of every job thread's state.
    void reload_jobs();

  private:
    void register_game_table();
    void report_script_error(const char *what);
    void report_repeats(u32 slot);
    void create_job_states();
    void destroy_job_states();

    TraceAllocator _allocator;        // "mygame"
    TraceAllocator _script_allocator; // "script", for the script API
    Application &_application;
    ResourceScriptSource *_resource_source = nullptr;
    IScriptSource *_source = nullptr; // the resource source, or the one given
    LuaEnvironment *_lua = nullptr;
    ScriptJobs *_script_jobs = nullptr;
    std::mutex _lock; // serialises the job threads' state changes
    bool _job_states = false;
    bool _script_running = false; // the boot script loaded: its globals are called
    bool _paused = false;

    // The last error of each script entry point (`what`), so that one failing every frame
    // is logged once and then counted.
    struct ErrorRecord {
        const char *what = nullptr; // a literal; null: slot unused
        u64 message_hash = 0;
        u32 repeats = 0;
    };
    static constexpr u32 error_slots = 8;
    ErrorRecord _errors[error_slots];
};

} // namespace tallow
