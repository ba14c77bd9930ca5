#pragma once
// The engine's root object: owns every process-wide service, builds them in a fixed order
// from the settings file, the user settings file and the command-line options, runs the
// frame loop, and releases everything in the reverse fixed order.
//
//   ApplicationParams params{&options, make_game, services};
//   Application *app = create_application(params);   // through the application static allocator
//   app->run();                                        // init once, then frames until quit
//   destroy_application(app);                          // shutdown, then free
//
// Start-up order (`init`): thread registry ("main"); settings, editor settings, user
// settings; crash-dump build id; content list; timer affinity and frame clock; thread pool;
// resource source, loader, manager and resource types; window; game object and its platform
// set-up; render service and device; render-config package and swap chain; boot packages;
// input; physics; network; save system; LightFX; the game's init. Shutdown (`shutdown`)
// releases them in the order application_shutdown.cpp lists. Each step is its own member
// function; a service that is not part of the build is skipped with a log line.
//
// Main thread only.

#include "application/frame_time_filter.h"
#include "application/game_interface.h"
#include "application/services.h"
#include "foundation/containers/array.h"
#include "foundation/io/chunk_store.h"
#include "foundation/config/const_config_value.h"
#include "foundation/strings/name_id.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"
#include "resource/resource_types.h"
#include "world/services/world_services.h"

namespace tallow {

class Allocator;
class ApplicationOptions;
class ConfigValue;
class JobSystem;
class ThreadRegistry;
class ThreadPool;
class ResourceManager;
class ResourceLoader;
class ExplodedDatabase;
class DiskFileSystem;
class ResourcePackage;
class Window;
class World;
class GameViewport;

namespace platform {
class IWindowSystem;
}

/// How `Application::run` ended: the exit code of the program follows from it.
enum class RunResult {
    Quit,          ///< start-up succeeded and the frame loop ended on a quit or close request
    StartupFailed, ///< start-up failed (the reason is logged); no frame ran
};
const char *to_string(RunResult result);

/// What the Application is built from. The options are borrowed and must outlive it.
struct ApplicationParams {
    const ApplicationOptions *options = nullptr;
    GameFactory game_factory = nullptr;       // null: run without a game object
    ServiceFactories services;                // null entries: services not in this build
    WorldServiceFactories world_services;     // what every new World gets; null entries: none
    /// Registers the resource types of subsystems above the World (sound); may be null.
    void (*register_resource_types)(ResourceManager &manager) = nullptr;
    platform::IWindowSystem *window_system = nullptr; // borrowed; null: the Application makes its own
    /// Job workers besides the main thread; 0: as many as the processors allow
    /// (pool_worker_count).
    u32 worker_count = 0;
};

class Application {
  public:
    explicit Application(const ApplicationParams &params);
    ~Application(); // runs `shutdown` when `init` ran
    Application(const Application &) = delete;
    Application &operator=(const Application &) = delete;

    /// Calls `init` once, then `update` until it returns false. StartupFailed at once when
    /// `init` fails, Quit after the frame loop ended.
    [[nodiscard]] RunResult run();
    /// The start-up; false (logged) when a required setting or file is missing, the boot
    /// package cannot be made or the game cannot start (its boot script did not load).
    [[nodiscard]] bool init();
    /// One frame; true while the program is to go on.
    bool update();
    /// Releases every service in the shutdown order. Safe to call twice.
    void shutdown();

    /// Sets the quit flag; the frame in progress completes, then `run` returns.
    void quit() { _quit = true; }
    bool is_quitting() const { return _quit; }
    /// An outside request for a frame in pumped mode ("-pumped").
    void request_pump() { _pump_requested = true; }

    // --- Settings -----------------------------------------------------------------------
    /// The flattened settings (settings file with the editor settings laid over it); nil
    /// before `init`.
    ConstConfigValue settings() const { return _settings; }
    /// The user settings: always an object after start-up; null before `init`.
    ConfigValue *user_settings() { return _user_settings; }
    /// Re-reads the aspect ratio from the user settings (over the settings) and has the
    /// render service re-apply the display settings.
    void apply_user_settings();
    /// Writes the user settings to their file (temporary file, then rename). False when the
    /// file is not configured or cannot be written (logged).
    bool save_user_settings();
    f32 aspect_ratio() const { return _aspect_ratio; }

    // --- Resources ----------------------------------------------------------------------
    /// Loads the package named `name` whole (returns when everything is loaded) and keeps it
    /// in the package list. Null when there is no resource manager or the package fails.
    ResourcePackage *load_package(NameId64 name);
    /// Makes the package `name` without loading it (its owner loads it when it likes) and
    /// keeps it in the package list. Null when there is no resource manager or the package
    /// cannot be found (logged).
    ResourcePackage *create_package(NameId64 name);
    /// Unloads a package of the list, removes it and destroys it.
    void release_package(ResourcePackage *package);
    Array<ResourcePackage *> &packages() { return _packages; }
    /// Replaces the variant preference order (property name ids, most wanted first).
    void set_resource_property_preference_order(const u64 *property_ids, u32 count);
    const Array<u64> &resource_property_preference_order() const { return _property_preference_order; }
    NameId64 boot_package_name() const { return _boot_package_name; }
    NameId64 second_boot_package_name() const { return _second_boot_package_name; }

    // --- Worlds -------------------------------------------------------------------------
    /// Makes a World over the Application's resource manager and thread pool, with a render
    /// world on the render interface when there is one (its units' scene graphs are mirrored
    /// there), and keeps it in the world list. Null (logged) when memory runs out.
    World *new_world();
    /// Destroys a World of the list (its units and their script values go with it), then
    /// sends its last changes and removes its render world; false when `world` is not in
    /// the list.
    bool release_world(World *world);
    /// Destroys every World left, newest first. The game calls it while its Lua state still
    /// exists (the worlds' data stores hold references into it); shutdown calls it again.
    void release_worlds();
    const Array<World *> &worlds() const { return _worlds; }
    /// A hash of the simulation state: every world's (World::hash_state) in creation order,
    /// then the game's own (IGame::hash_state). Waits for the render side to go idle first.
    /// Two runs of the same data with the same input and fixed steps give the same hash on
    /// any number of workers.
    u64 state_hash();
    /// Sends the world's changes of this frame to its render world and posts its drawing
    /// with these render handles into the main window's swap chain. Nothing without a
    /// render interface or for a world not in the list. A world not rendered in a frame
    /// still has its changes sent at the frame's end.
    void render_world(World &world, u32 camera, u32 viewport, u32 shading_environment);
    /// A viewport of `world` from the render configuration's template `template_name`
    /// (NameId32); null when there is no such template or the world cannot make it.
    GameViewport *create_viewport(World &world, u32 template_name);
    /// False when `viewport` is not one of `world`'s.
    bool destroy_viewport(World &world, GameViewport *viewport);
    /// The render service's interface; null without one.
    RenderInterface *render_interface() { return _render ? _render->render_interface() : nullptr; }

    // --- Services (null when absent) ----------------------------------------------------
    const ApplicationOptions &options() const { return *_options; }
    Allocator &allocator() { return _allocator; }                 // "Application"
    Allocator &statics_allocator() { return _statics_allocator; } // "Application statics"
    ThreadRegistry *thread_registry() { return _thread_registry; }
    ThreadPool *thread_pool() { return _thread_pool; }
    JobSystem *job_system() { return _job_system; }
    ResourceManager *resource_manager() { return _resource_manager; }
    ResourceLoader *resource_loader() { return _resource_loader; }
    Window *window() { return _window; }
    /// The window layer (cursor images, key state); null before the window step.
    platform::IWindowSystem *window_system() { return _window_system; }
    IGame *game() { return _game; }
    IRenderService *render_service() { return _render; }
    IInputService *input_service() { return _input; }
    IPhysicsService *physics_service() { return _physics; }
    INetworkService *network_service() { return _network; }
    ISaveService *save_service() { return _save; }
    ILightFxService *lightfx_service() { return _lightfx; }
    /// Keyed data the scripts keep with the Application.
    ChunkStore &chunk_store() { return _chunk_store; }

    // --- Frame clock --------------------------------------------------------------------
    f64 time_since_launch() const { return _time_since_launch; }
    f32 raw_frame_step() const { return _raw_step; }
    f32 frame_step() const { return _filtered_step; }
    u64 frame_count() const { return _frame_count; }
    /// Runs every later frame with a step of `seconds` in place of the measured wall-clock
    /// time, without waiting for the clock: the same start replays the same frames (image
    /// captures of the sample). 0 (the default) goes back to the measured clock.
    void set_fixed_frame_step(f32 seconds) { _fixed_step = seconds > 0.0f ? seconds : 0.0f; }

  private:
    // Start-up steps, in order. Each is small so later services can be wired in place.
    bool create_thread_registry();
    bool load_settings();
    bool read_settings_file();
    void load_user_settings();
    void set_build_id();
    void create_dlc_list();
    void read_timer_affinity_mask();
    bool setup_job_system();
    bool register_resource_types();
    bool setup_window();
    void create_game();
    void setup_renderer();
    void load_render_config();
    bool load_boot_package();
    void setup_input();
    void setup_physics();
    void setup_network();
    void set_save_dir();
    void setup_lightfx();
    bool init_game();

    // Shutdown steps, in order.
    void destroy_game();
    void destroy_lightfx();
    void destroy_save_system();
    void destroy_network();
    void destroy_physics();
    void shutdown_input();
    void release_render_config_package();
    void release_boot_packages();
    void release_script_packages();
    void destroy_renderer();
    void destroy_window();
    void release_resources();
    void destroy_job_system();
    void destroy_dlc_list();
    void release_settings();
    void destroy_thread_registry();

    void measure_frame();
    void update_resources();
    void send_world_changes();
    ResourcePackage *make_package(NameId64 name);
    ResourcePackage *load_package_unlisted(NameId64 name);
    void destroy_package(ResourcePackage *package);

    TraceAllocator _allocator;         // "Application" over the default allocator
    TraceAllocator _statics_allocator; // "Application statics" over the application static allocator
    // "Application services" over the default allocator: the services allocate and free
    // through theirs every frame, which the static arena would never take back.
    TraceAllocator _services_allocator;
    const ApplicationOptions *_options = nullptr;
    GameFactory _game_factory = nullptr;
    ServiceFactories _factories;
    WorldServiceFactories _world_services;
    void (*_register_more_types)(ResourceManager &) = nullptr;
    IGame *_game = nullptr;

    ConstConfigValue _settings;      // flattened settings root, inside `_settings_block`
    void *_settings_block = nullptr; // from the statics allocator
    ConfigValue *_user_settings = nullptr;

    Allocator *_thread_allocator = nullptr; // "thread", for the registry's records
    ThreadRegistry *_thread_registry = nullptr;
    ThreadPool *_thread_pool = nullptr;
    JobSystem *_job_system = nullptr;

    IRenderService *_render = nullptr;
    i32 _frame_fence = -1;
    i32 _swap_chain = -1;

    platform::IWindowSystem *_window_system = nullptr;
    bool _owns_window_system = false;
    Window *_window = nullptr;

    ExplodedDatabase *_exploded_database = nullptr; // the resource source without bundles
    DiskFileSystem *_bundle_files = nullptr;         // the resource source with bundles
    ResourceLoader *_resource_loader = nullptr;
    ResourceManager *_resource_manager = nullptr;
    Array<ResourcePackage *> _packages;

    IInputService *_input = nullptr;
    bool _quit = false;
    f32 _aspect_ratio = -1.0f;

    FrameTimeFilter _frame_filter;
    u64 _last_counter = 0; // performance-counter ticks of the last measurement
    f64 _time_since_launch = 0.0;
    f32 _raw_step = 0.0f;
    f32 _filtered_step = 0.0f;
    f32 _time_scale = 1.0f;
    f32 _fixed_step = 0.0f; // seconds; 0: the measured clock
    u64 _frame_count = 0;

    IPhysicsService *_physics = nullptr;
    INetworkService *_network = nullptr;
    ISaveService *_save = nullptr;
    ILightFxService *_lightfx = nullptr;

    NameId64 _boot_package_name;
    NameId64 _second_boot_package_name;
    ResourcePackage *_boot_package = nullptr;
    ResourcePackage *_second_boot_package = nullptr;
    ResourcePackage *_render_config_package = nullptr;

    bool _pump_requested = false;
    bool _initialized = false;
    bool _shut_down = false;
    Array<u64> _property_preference_order;
    ChunkStore _chunk_store;
    u32 _worker_count = 0; // job workers asked for; 0: from the processors
    Array<World *> _worlds; // creation order
    Array<World *> _rendered_worlds; // worlds whose changes went to the render side this frame
    MouseCursorFactory _cursor_factory; // "mouse_cursor" images become window-layer cursors
};

/// Creates the Application through the application static allocator (alignment 8).
Application *create_application(const ApplicationParams &params);
/// Shuts the Application down and frees it to the same allocator. Null is ignored.
void destroy_application(Application *application);

} // namespace tallow
