#include "application/my_game.h"

#include "application/application.h"
#include "application/application_api.h"
#include "application/game.h"
#include "foundation/config/config_value.h"
#include "foundation/config/const_config_value.h"
#include "foundation/threads/job.h"
#include "foundation/log.h"
#include "foundation/strings/murmur_hash.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_registry.h"
#include "network/network_config_resource.h"
#include "network/network_manager.h"
#include "network/steam/steam_core.h"
#include "resource/resource_package.h"
#include "world/units/unit_resource.h"
#include "world/world.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/registration.h"
#include "script/script_api.h"
#include "script/runtime/script_jobs.h"
#include "script/services/steam_api.h"
#include "script/world/ai_api.h"

#include <lua.hpp>

#include <cstring>

namespace tallow {

namespace {

/// The opened "network_game_config" `name` among the loaded resources.
const network::NetworkGameConfig *find_network_config_of(void *resources, const char *name)
{
    if (!resources)
        return nullptr;
    return network::find_network_config(*static_cast<ResourceManager *>(resources), NameId64(name, u32(strlen(name))));
}

constexpr const char *lua_category = "Lua";

MyGame &game_of(const LuaStack &stack) { return *static_cast<MyGame *>(stack.upvalue()); }

// The job system, raising a script error in a run without one.
ScriptJobs &jobs_of(const LuaStack &stack)
{
    ScriptJobs *jobs = game_of(stack).script_jobs();
    if (!jobs)
        stack.error("no job system in this run");
    return *jobs;
}

int game_add_job(lua_State *L)
{
    LuaStack stack(L);
    const char *function = stack.get_string(1);
    UnitHandle unit = stack.get_unit_handle(2);
    jobs_of(stack).add_job(function, unit);
    return 0;
}

int game_set_job_global(lua_State *L)
{
    LuaStack stack(L);
    const char *name = stack.get_string(1);
    f32 value = stack.get_float(2);
    jobs_of(stack).set_job_global(name, value);
    return 0;
}

int game_run_jobs(lua_State *L)
{
    LuaStack stack(L);
    ScriptJobs *jobs = game_of(stack).script_jobs();
    // The number of batches that stopped at a script error (each was logged).
    stack.push_integer(jobs ? jobs->run() : 0);
    return 1;
}

int game_job_thread_require(lua_State *L)
{
    LuaStack stack(L);
    const char *name = stack.get_string(1);
    stack.push_bool(game_of(stack).require_job(name));
    return 1;
}

struct RequireRequest {
    MyGame *game;
    std::mutex *lock;
    const char *name;
    bool failed;
};

} // namespace

IGame *make_game(Allocator &allocator, Application &application)
{
    MyGame *game = make_new<MyGame>(allocator, application);
    if (game && !game->is_valid()) {
        delete_with_allocator(allocator, game);
        return nullptr;
    }
    return game;
}

MyGame::MyGame(Application &application, IScriptSource *scripts)
    : _allocator("mygame", default_allocator()), _script_allocator("script", default_allocator()),
      _application(application), _source(scripts)
{
    ResourceManager *manager = application.resource_manager();
    if (!_source && manager) {
        if (!manager->is_type_registered(lua_script_type))
            (void)manager->register_type(lua_script_type, lua_resource_type_callbacks());
        _resource_source = make_new<ResourceScriptSource>(_allocator, *manager);
        _source = _resource_source;
    }
    if (!_source)
        log_message(lua_category, "no resource manager: scripts cannot be loaded");
    _lua = make_new<LuaEnvironment>(_allocator, _source, default_allocator());
    if (_lua && !_lua->is_valid()) {
        delete_with_allocator(_allocator, _lua);
        _lua = nullptr;
    }
    if (!_lua)
        return;
    _lua->set_error_handler([](void *user) { static_cast<MyGame *>(user)->pause(); }, this);
    if (JobSystem *jobs = application.job_system())
        _script_jobs = make_new<ScriptJobs>(_allocator, *jobs);
}

MyGame::~MyGame()
{
    for (u32 slot = 0; slot < error_slots; ++slot)
        report_repeats(slot);
    // The script's shutdown may still run script jobs, so the job threads' states go after it.
    if (_lua && _script_running) {
        lua_settop(_lua->state(), 0);
        CallResult r = _lua->call_function("shutdown");
        if (r.error)
            report_script_error("shutdown");
        lua_settop(_lua->state(), 0);
    }
    // The online services go before the network manager: Steam backends and lobbies it still
    // holds are shut down while the platform runs.
    network::steam::stop_steam_services(static_cast<network::NetworkManager *>(_application.network_service()));
    // The worlds' and the Application's data stores hold references into this state.
    _application.release_worlds();
    if (_lua)
        release_script_references(_application.chunk_store());
    destroy_job_states();
    delete_with_allocator(_allocator, _script_jobs);
    delete_with_allocator(_allocator, _lua);
    delete_with_allocator(_allocator, _resource_source);
}

void MyGame::setup_platform()
{
    // The online services, when the platform is configured; without it nothing exists and
    // the game runs on.
    if (ThreadRegistry *threads = _application.thread_registry())
        network::steam::start_steam_services(_application.resource_manager(), *threads);
}

void MyGame::create_job_states()
{
    JobSystem *jobs = _application.job_system();
    if (!jobs)
        return;
    run_on_every_job_thread(*jobs, "init_script_job", [](void *user) {
        auto *game = static_cast<MyGame *>(user);
        std::lock_guard<std::mutex> guard(game->_lock);
        LuaEnvironment *env = create_script_thread_lua_state(game->_allocator, game->_source);
        if (!env) {
            log_message(lua_category, "a job thread could not make its Lua state");
            return;
        }
        register_job_thread_script_api(*env);
        lua_settop(env->state(), 0);
    }, this);
    _job_states = true;
}

void MyGame::destroy_job_states()
{
    JobSystem *jobs = _application.job_system();
    if (!jobs || !_job_states)
        return;
    run_on_every_job_thread(*jobs, "shutdown_script_job", [](void *user) {
        auto *game = static_cast<MyGame *>(user);
        std::lock_guard<std::mutex> guard(game->_lock);
        destroy_script_thread_lua_state(game->_allocator);
    }, this);
    _job_states = false;
}

bool MyGame::require_job(const char *name)
{
    JobSystem *jobs = _application.job_system();
    if (!jobs || !_job_states)
        return false;
    RequireRequest request{this, &_lock, name, false};
    run_on_every_job_thread(*jobs, "require_job", [](void *user) {
        auto *r = static_cast<RequireRequest *>(user);
        std::lock_guard<std::mutex> guard(*r->lock);
        LuaEnvironment *env = script_thread_lua_state();
        if (!env)
            return;
        CallResult result = env->require(r->name);
        if (result.error) {
            log_message(lua_category, "job thread require %s: %s", r->name, lua_tostring(result.state, -1));
            env->log_traceback();
            r->failed = true;
        }
        lua_settop(env->state(), 0);
    }, &request);
    return !request.failed;
}

void MyGame::reload_jobs()
{
    JobSystem *jobs = _application.job_system();
    if (!jobs || !_job_states)
        return;
    run_on_every_job_thread(*jobs, "reload_job", [](void *user) {
        auto *game = static_cast<MyGame *>(user);
        std::lock_guard<std::mutex> guard(game->_lock);
        if (LuaEnvironment *env = script_thread_lua_state())
            env->reload_all();
    }, this);
}

void MyGame::register_game_table()
{
    _lua->add_module_function("Game", "add_job", game_add_job, this);
    _lua->add_module_function("Game", "set_job_global", game_set_job_global, this);
    _lua->add_module_function("Game", "run_jobs", game_run_jobs, this);
    _lua->add_module_function("Game", "job_thread_require", game_job_thread_require, this);
}

void MyGame::report_script_error(const char *what)
{
    const char *message = lua_tostring(_lua->state(), -1);
    if (!message)
        message = "(error object is not a string)";
    _paused = true;
    u64 hash = murmur_hash_64(message, u32(strlen(message)), 0);
    u32 slot = 0;
    while (slot < error_slots && _errors[slot].what && strcmp(_errors[slot].what, what) != 0)
        ++slot;
    if (slot == error_slots) {
        slot = error_slots - 1; // more entry points than slots: the last slot is shared
        report_repeats(slot);
        _errors[slot] = ErrorRecord{};
    }
    ErrorRecord &record = _errors[slot];
    if (record.what && record.message_hash == hash) {
        ++record.repeats;
        return;
    }
    report_repeats(slot);
    log_message(lua_category, "%s: %s", what, message);
    _lua->log_traceback();
    record.what = what;
    record.message_hash = hash;
}

void MyGame::report_repeats(u32 slot)
{
    ErrorRecord &record = _errors[slot];
    if (record.repeats != 0)
        log_message(lua_category, "%s: the previous error repeated %u more times", record.what, record.repeats);
    record.repeats = 0;
}

bool MyGame::init()
{
    create_job_states();
    register_script_api(*_lua, &_application, _application.resource_manager(), _script_allocator, register_application_api);
    register_game_table();
    register_steam_script_api(*_lua, static_cast<network::NetworkManager *>(_application.network_service()),
                              &find_network_config_of, _application.resource_manager());

    lua_State *L = _lua->state();
    const char *boot = _application.settings().member("boot_script").to_string();
    if (!boot || !*boot) {
        // A game without its script would run with nothing to quit it (a misspelt key
        // lands here): the start-up fails.
        log_message(lua_category, "the settings name no \"boot_script\" (the Lua module the game starts with); "
                                  "the game cannot start");
        return false;
    }
    CallResult r = _lua->require(boot);
    if (r.error) {
        // Without its boot script the game has no globals to call: say so once, not every frame.
        report_script_error("boot script");
        log_message(lua_category, "the boot script \"%s\" did not load; the game cannot start", boot);
        lua_settop(L, 0);
        return false;
    }
    lua_settop(L, 0);
    // A boot script without an `init` is reported like any missing global and still starts.
    lua_pushliteral(L, "init");
    lua_rawget(L, LUA_GLOBALSINDEX);
    bool has_init = !lua_isnil(L, -1);
    lua_settop(L, 0);
    r = _lua->call_function("init");
    if (r.error && !has_init) {
        report_script_error("init");
    } else if (r.error) {
        // A game whose init stopped half-way would run every frame on half-made state:
        // the start-up fails, and neither update, render nor shutdown is called.
        report_script_error("init");
        log_message(lua_category, "the boot script's init failed; the game cannot start");
        lua_settop(L, 0);
        return false;
    }
    _script_running = true;
    lua_settop(L, 0);
    return true;
}

void MyGame::update(f32 dt_seconds)
{
    network::steam::update_steam_services();
    if (!_script_running)
        return;
    lua_State *L = _lua->state();
    lua_settop(L, 0);
    _lua->collect_garbage();
    lua_pushnumber(L, dt_seconds);
    LuaStack args(L, 0);
    CallResult r = _lua->call_function("update", &args);
    if (r.error)
        report_script_error("update");
    lua_settop(L, 0);
}

void MyGame::render()
{
    if (!_script_running)
        return;
    lua_State *L = _lua->state();
    lua_settop(L, 0);
    CallResult r = _lua->call_function("render");
    if (r.error)
        report_script_error("render");
    lua_settop(L, 0);
}

void MyGame::reload(u64 type_id, u64 name_id)
{
    ResourceManager *manager = _application.resource_manager();
    if (!manager)
        return;
    Array<ReloadedResource> collected(_allocator);
    Array<ResourcePackage *> &packages = _application.packages();
    for (u32 i = 0; i < packages.size(); ++i)
        packages[i]->reload(NameId64::from_value(type_id), NameId64::from_value(name_id), collected);
    if (collected.size() == 0)
        return;
    manager->flush();
    bool scripts = false;
    for (u32 i = 0; i < collected.size(); ++i)
        scripts = scripts || collected[i].id.type == lua_script_type;
    // Particle worlds take their reloaded data once the render side is idle (it steps the
    // effects that point into the old data); units are rebuilt from the new data and
    // shading environments swap to it. Scripts re-run on the main state and on every job
    // thread. Whatever still holds old data (a level, a material's texture) keeps it until
    // it lets go: free_reloaded_data only gives up the reload's claim on it.
    reload_particles(collected);
    static const NameId64 unit_resource_type("unit"), shading_environment_type("shading_environment");
    for (const ReloadedResource &r : collected) {
        const void *fresh = manager->get(r.id.type, r.id.name);
        if (!fresh || !r.old_data)
            continue;
        for (World *world : _application.worlds()) {
            if (r.id.type == unit_resource_type)
                world->reload_units_of_resource(*static_cast<const UnitResource *>(r.old_data),
                                                *static_cast<const UnitResource *>(fresh));
            else if (r.id.type == shading_environment_type)
                world->reload_shading_environments(r.old_data, fresh);
        }
    }
    if (scripts) {
        _lua->reload_all();
        reload_jobs();
    }
    for (u32 i = 0; i < packages.size(); ++i)
        packages[i]->free_reloaded_data(collected);
}

void MyGame::reload_particles(const Array<ReloadedResource> &collected)
{
    static const NameId64 particles_type("particles");
    ResourceManager *manager = _application.resource_manager();
    bool any = false;
    for (const ReloadedResource &r : collected)
        any = any || r.id.type == particles_type;
    if (!any || !manager)
        return;
    if (IRenderService *render = _application.render_service())
        render->wait_fence(render->add_fence());
    for (const ReloadedResource &r : collected) {
        if (r.id.type != particles_type)
            continue;
        const auto *fresh = static_cast<const ParticleEffectResource *>(manager->get(r.id.type, r.id.name));
        for (World *world : _application.worlds())
            world->particles().post_reload(static_cast<const ParticleEffectResource *>(r.old_data), fresh);
    }
}

void MyGame::hash_state(StateHasher &hasher)
{
    if (_lua)
        hash_flocks(*_lua, hasher);
}

bool MyGame::console_command(ConfigValue &command)
{
    ConfigValue &arg = command.member("arg");
    if (arg.kind() != ConfigKind::Array)
        arg.set_array();
    ConfigValue &first = arg.element(0);
    if (first.kind() != ConfigKind::String)
        return false;
    if (std::strcmp(first.to_string(), "pause") == 0) {
        _paused = true;
        return true;
    }
    if (std::strcmp(first.to_string(), "unpause") == 0) {
        _paused = false;
        return true;
    }
    return false;
}

} // namespace tallow
