#include "application/application.h"

#include "ai/nav_mesh.h"
#include "render/particles/particle_effect_resource.h"
#include "application/application_options.h"
#include "application/application_settings.h"
#include "application/crash_handler.h"
#include "application/settings_file.h"
#include "platform/window/window.h"
#include "foundation/assert.h"
#include "foundation/config/config_blob.h"
#include "foundation/config/config_value.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/threads/job.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/path.h"
#include "foundation/threads/processor.h"
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "foundation/math/state_hasher.h"
#include "foundation/math/timer.h"
#include "platform/window/window_system.h"
#include "render/gui/font.h"
#include "render/interface/render_interface.h"
#include "render/world/render_world.h"
#include "resource/dlc_list.h"
#include "resource/exploded_database.h"
#include "resource/resource_loader.h"
#include "resource/resource_manager.h"
#include "resource/resource_package.h"
#include "resource/resource_types.h"
#include "world/level.h"
#include "world/unit_resource.h"
#include "world/world.h"

#include <sched.h>

#include <chrono>
#include <thread>

namespace tallow {

namespace {

const char log_category[] = "application";

void skipped(const char *step, const char *why) { log_message(log_category, "start-up: %s: %s, skipped", step, why); }

// The input manager hears the window through these (object = the IInputService).
void forward_key_down(void *o, u32 vk, u32 repeat, u32 high, u32 extended, u32 previous)
{
    static_cast<IInputService *>(o)->on_key_down(vk, repeat, high, extended, previous);
}
void forward_key_up(void *o, u32 vk, u32 high, u32 extended) { static_cast<IInputService *>(o)->on_key_up(vk, high, extended); }
void forward_button_down(void *o, u32 button) { static_cast<IInputService *>(o)->on_button_down(button); }
void forward_button_up(void *o, u32 button) { static_cast<IInputService *>(o)->on_button_up(button); }
void forward_wheel(void *o, const WindowVector &v) { static_cast<IInputService *>(o)->on_wheel(v.x, v.y, v.z); }
void forward_move(void *o, const WindowVector &v) { static_cast<IInputService *>(o)->on_move(v.x, v.y, v.z); }
void forward_cursor(void *o, i32 x, i32 y) { static_cast<IInputService *>(o)->on_cursor(x, y); }

ConstConfigValue win32_setting(ConstConfigValue settings, const char *key) { return settings.member("win32").member(key); }
ConstConfigValue renderer_setting(ConstConfigValue settings, const char *key)
{
    return settings.member("win32").member("renderer").member(key);
}

} // namespace

Application::Application(const ApplicationParams &params)
    : _allocator("Application", default_allocator()),
      _statics_allocator("Application statics", application_static_allocator()),
      _services_allocator("Application services", default_allocator()), _options(params.options),
      _game_factory(params.game_factory), _factories(params.services), _world_services(params.world_services),
      _register_more_types(params.register_resource_types), _window_system(params.window_system),
      _packages(default_allocator()), _property_preference_order(default_allocator()),
      _chunk_store(default_allocator()), _worlds(default_allocator()),
      _rendered_worlds(default_allocator())
{
    _worker_count = params.worker_count;
    TALLOW_ASSERT(_options, "the Application needs its options");
}

Application::~Application() { shutdown(); }

const char *to_string(RunResult result)
{
    switch (result) {
    case RunResult::Quit: return "quit";
    case RunResult::StartupFailed: return "start-up failed";
    }
    return "unknown";
}

RunResult Application::run()
{
    if (!init())
        return RunResult::StartupFailed;
    while (update()) {
    }
    log_message(log_category, "frame loop: %llu frames in %.2f s", (unsigned long long)_frame_count, _time_since_launch);
    return RunResult::Quit;
}

// --- Start-up ----------------------------------------------------------------------------

bool Application::init()
{
    TALLOW_ASSERT(!_initialized, "Application::init runs once");
    if (_initialized)
        return false;
    _initialized = true;

    if (!create_thread_registry() || !load_settings())
        return false;
    set_build_id();
    create_dlc_list();
    read_timer_affinity_mask();
    if (!setup_job_system() || !register_resource_types() || !setup_window())
        return false;
    create_game();
    setup_renderer();
    load_render_config();
    if (!load_boot_package())
        return false;
    setup_input();
    setup_physics();
    setup_network();
    set_save_dir();
    setup_lightfx();
    if (!init_game())
        return false;
    // The first frame's step starts here: a step that held the start-up (packages, the boot
    // script's init) would reach the game as up to a maximum step, and the filter would
    // carry it on for dozens of frames, so the game clock would run ahead of the wall clock.
    time_seconds_pinned(&_last_counter);
    log_message(log_category, "start-up: done");
    return true;
}

bool Application::create_thread_registry()
{
    log_message(log_category, "start-up: thread registry");
    _thread_allocator = make_new<TraceAllocator>(_statics_allocator, "thread", default_allocator());
    if (_thread_allocator)
        _thread_registry = make_new<ThreadRegistry>(_statics_allocator, *_thread_allocator, "main");
    if (!_thread_registry) {
        log_message(log_category, "start-up: cannot create the thread registry");
        return false;
    }
    return true;
}

bool Application::load_settings()
{
    log_message(log_category, "start-up: settings");
    if (!read_settings_file())
        return false;
    load_user_settings();
    return true;
}

bool Application::read_settings_file()
{
    const char *directory = _options->data_directory();
    DynamicString path(_allocator);
    path_join(directory, _options->settings_file_name.c_str(), path);
    ConfigValue *settings = create_config_root(_allocator);
    if (!settings)
        return false;
    bool ok = read_config_file(path.c_str(), *settings);
    if (!ok)
        log_message(log_category, "cannot read the settings file \"%s\"; give the data directory with -data-dir",
                    path.c_str());

    if (ok && settings->kind() != ConfigKind::Object) {
        log_message(log_category, "the settings file \"%s\" does not hold an object", path.c_str());
        ok = false;
    }
    if (ok) {
        const ConfigValue *boot = settings->find("boot_package");
        if (!boot || boot->kind() != ConfigKind::String || boot->text().empty()) {
            log_message(log_category, "the settings file \"%s\" names no \"boot_package\"", path.c_str());
            ok = false;
        } else {
            _boot_package_name = NameId64(boot->to_string());
        }
        const ConfigValue *render_config = settings->find("render_config");
        if (ok && (!render_config || render_config->kind() != ConfigKind::String)) {
            log_message(log_category, "the settings file \"%s\" names no \"render_config\"", path.c_str());
            ok = false;
        }
    }
    if (ok && !_options->editor_settings_file_name.empty()) {
        // The editor's file replaces whole top-level members, not single keys inside them.
        path_join(directory, _options->editor_settings_file_name.c_str(), path);
        ConfigValue *editor = create_config_root(_allocator);
        if (editor && read_config_file(path.c_str(), *editor) && editor->kind() == ConfigKind::Object) {
            if (const ConfigValue *boot = editor->find("boot_package"); boot && boot->kind() == ConfigKind::String)
                _second_boot_package_name = NameId64(boot->to_string());
            for (const auto &entry : editor->members())
                settings->member(entry.key.c_str()).copy(entry.value);
        } else {
            log_message(log_category, "the editor settings file \"%s\" is not used", path.c_str());
        }
        destroy_config_root(editor);
    }
    if (ok) {
        u32 size = 0;
        _settings_block = flatten_config(*settings, _statics_allocator, &size);
        if (_settings_block)
            _settings = ConstConfigValue::root(_settings_block, size);
        ok = _settings_block != nullptr;
    }
    destroy_config_root(settings);
    return ok;
}

void Application::load_user_settings()
{
    _user_settings = create_config_root(default_allocator());
    ConstConfigValue user_path = win32_setting(_settings, "user_settings");
    if (user_path.kind() != ConstConfigKind::String)
        return;
    DynamicString path(_allocator);
    if (!expand_application_data(user_path.to_string(), path))
        return;
    DiskFileSystem fs("", _allocator);
    if (!fs.exists(path.c_str()))
        return;
    if (!read_config_file(path.c_str(), *_user_settings)) {
        log_message(log_category, "the user settings file \"%s\" is not used", path.c_str());
        _user_settings->set_nil();
    }
}

void Application::set_build_id()
{
    ConstConfigValue build = _settings.member("build");
    set_crash_dump_build_id(build.kind() == ConstConfigKind::Integer ? u32(build.to_integer()) : 0);
}

void Application::create_dlc_list()
{
    // Created idle; scripts start a scan.
    log_message(log_category, "start-up: downloadable-content list");
    if (!tallow::create_dlc_list(_statics_allocator, *_thread_registry, _options->data_directory()))
        log_message(log_category, "start-up: no memory for the downloadable-content list");
}

void Application::read_timer_affinity_mask()
{
    ConstConfigValue mask = win32_setting(_settings, "query_performance_counter_affinity_mask");
    set_timer_affinity_mask(mask.kind() == ConstConfigKind::Integer ? u64(u32(mask.to_integer())) : 1);
    _last_counter = performance_counter();
    time_seconds_pinned(&_last_counter); // the frame clock's start, read the way frames read it
    _raw_step = 0.0f;
    _filtered_step = 0.0f;
}

bool Application::setup_job_system()
{
    u32 processors = ProcessorInfo::processor_count();
    u32 workers = _worker_count ? _worker_count : pool_worker_count(processors);
    log_message(log_category, "start-up: thread pool, %u processors, %u workers", processors, workers);
    _thread_pool = make_new<ThreadPool>(_statics_allocator, default_allocator(), workers, *_thread_registry);
    if (!_thread_pool) {
        log_message(log_category, "start-up: cannot create the thread pool");
        return false;
    }
    if (!_thread_pool->add_worker(current_thread_id()))
        log_message(log_category, "start-up: the main thread could not join the thread pool");
    _job_system = make_new<JobSystem>(_statics_allocator, *_thread_pool);
    return true;
}

bool Application::register_resource_types()
{
    log_message(log_category, "start-up: resource manager");
    // Bundles from the bundle directory when the options name one (or a host with a
    // bundled project); otherwise the loose-file database of the data directory.
    const ApplicationOptions &o = *_options;
    if (o.uses_bundles()) {
        _bundle_files = make_new<DiskFileSystem>(_statics_allocator, o.bundle_directory(), _statics_allocator);
    } else {
        _exploded_database = make_new<ExplodedDatabase>(_statics_allocator, o.data_directory(), _statics_allocator);
        if (_exploded_database)
            _exploded_database->set_active_properties(_property_preference_order.data(),
                                                      _property_preference_order.size());
    }
    // The loader's buffers and the resource data come and go with every load: both sit
    // over the default allocator, not the statics arena, which gives nothing back.
    if (_bundle_files || _exploded_database)
        _resource_loader =
            make_new<ResourceLoader>(_statics_allocator, _thread_registry, _exploded_database, default_allocator());
    if (_resource_loader) {
        // Bundle segments are inflated ahead on the pool (destroyed after the loader).
        _resource_loader->set_thread_pool(_thread_pool);
        _resource_manager = make_new<ResourceManager>(_statics_allocator, *_resource_loader, default_allocator());
    }
    if (!_resource_manager) {
        log_message(log_category, "start-up: cannot create the resource manager");
        return false;
    }
    // The types of other subsystems ("lua", later "unit", "material", ...) are registered
    // by their owners as they start.
    // Cursor images become cursors of the window layer once it exists (the resources are
    // brought in after the window step).
    _cursor_factory.context = this;
    _cursor_factory.create = [](void *context, const MouseCursor &image) -> u64 {
        platform::IWindowSystem *system = static_cast<Application *>(context)->_window_system;
        return system ? system->create_cursor(image.width, image.height, image.pixels, image.hot_spot_x,
                                              image.hot_spot_y)
                      : 0;
    };
    _cursor_factory.destroy = [](void *context, u64 cursor) {
        if (platform::IWindowSystem *system = static_cast<Application *>(context)->_window_system)
            system->destroy_cursor(cursor);
    };
    // Data is freed only once the render thread is done with the frames that may read it.
    _resource_manager->set_free_hook(ResourceFreeHook{this, [](void *context) {
                                                          if (RenderInterface *render =
                                                                  static_cast<Application *>(context)->render_interface())
                                                              render->wait_until_idle();
                                                      }});
    tallow::register_resource_types(*_resource_manager, &_cursor_factory);
    // Fonts are checked as they load (render/gui/font.h).
    register_font_resource_type(*_resource_manager);
    // Units and levels (registering "level" also starts the flow system units run).
    if (!_resource_manager->is_type_registered(unit_type))
        (void)_resource_manager->register_type(unit_type, unit_resource_callbacks());
    // Levels read the navigation mesh they carry.
    install_level_nav_mesh_reader();
    if (!_resource_manager->is_type_registered(NameId64("level")))
        (void)_resource_manager->register_type(NameId64("level"), level_resource_callbacks());
    if (!_resource_manager->is_type_registered(NameId64("particles")))
        (void)_resource_manager->register_type(NameId64("particles"), particle_resource_callbacks());
    if (_register_more_types)
        _register_more_types(*_resource_manager);
    return true;
}

bool Application::setup_window()
{
    log_message(log_category, "start-up: window");
    if (!_window_system) {
        _window_system = platform::create_window_system(default_allocator(), platform::WindowBackend::automatic);
        _owns_window_system = _window_system != nullptr;
    }
    if (!_window_system) {
        log_message(log_category, "start-up: no window system");
        return false;
    }
    _window = make_new<Window>(_statics_allocator, default_allocator(), *_window_system);
    if (!_window)
        return false;
    bool created = false;
    if (_options->parent_window != 0) {
        created = _window->create_child(platform::WindowHandle(_options->parent_window));
        if (!created)
            log_message(log_category, "start-up: no child window inside window %lld; opening a window of its own",
                        (long long)_options->parent_window);
    }
    if (!created) {
        ConstConfigValue resolution = renderer_setting(_settings, "screen_resolution");
        i32 width = _options->rect_width, height = _options->rect_height;
        if (width == -1)
            width = setting_resolution(resolution, _user_settings, 0, 1280);
        if (height == -1)
            height = setting_resolution(resolution, _user_settings, 1, 720);
        ConstConfigValue name = win32_setting(_settings, "window_name");
        const char *title = name.kind() == ConstConfigKind::String ? name.to_string() : "Application";
        created = _window->create(title, _options->rect_x, _options->rect_y, width, height);
    }
    if (!created)
        log_message(log_category, "start-up: the window cannot be created");
    return created;
}

void Application::create_game()
{
    if (!_game_factory) {
        skipped("game object", "not available");
        return;
    }
    log_message(log_category, "start-up: game object");
    _game = _game_factory(_allocator, *this);
    if (!_game) {
        log_message(log_category, "start-up: the game object cannot be created; running without it");
        return;
    }
    _game->setup_platform();
}

void Application::setup_renderer()
{
    // The aspect ratio is the Application's own, whether or not a renderer exists.
    _aspect_ratio = setting_float(renderer_setting(_settings, "aspect_ratio"), _user_settings, "aspect_ratio", -1.0f);
    if (!_factories.create_render) {
        skipped("render interface", "not available");
        return;
    }
    log_message(log_category, "start-up: render interface");
    _render = _factories.create_render(_services_allocator, *this);
    if (!_render) {
        log_message(log_category, "start-up: the render interface cannot be created; running without it");
        return;
    }
    DeviceSettings device;
    device.adapter_index = setting_integer(renderer_setting(_settings, "adapter_index"), _user_settings, "adapter_index", 0);
    device.fullscreen_output =
        setting_integer(renderer_setting(_settings, "fullscreen_output"), _user_settings, "fullscreen_output", 0);
    device.d3d_debug = setting_bool(renderer_setting(_settings, "d3d_debug"), nullptr, nullptr, false);
    device.vsync = setting_bool(renderer_setting(_settings, "vsync"), _user_settings, "vsync", false);
    if (!_render->initialize_device(device))
        log_message(log_category, "start-up: the render device did not start");
}

void Application::load_render_config()
{
    // Without a render interface nothing would use the render configuration's package.
    if (!_render) {
        skipped("render configuration", "no render interface");
        return;
    }
    NameId64 name(_settings.member("render_config").to_string());
    log_message(log_category, "start-up: render configuration");
    _render_config_package = load_package_unlisted(name);
    if (_render_config_package)
        _packages.push_back(_render_config_package);
    bool fullscreen = setting_bool(renderer_setting(_settings, "fullscreen"), _user_settings, "fullscreen", false);
    _render->load_render_config(name);
    _swap_chain = _render->create_window_swap_chain(*_window, fullscreen);
}

bool Application::load_boot_package()
{
    log_message(log_category, "start-up: boot package");
    _boot_package = load_package(_boot_package_name);
    if (!_boot_package) {
        log_message(log_category, "start-up: the boot package %016llx cannot be loaded; check \"boot_package\" and the data",
                    hex(_boot_package_name));
        return false;
    }
    if (!_second_boot_package_name.is_empty())
        _second_boot_package = load_package(_second_boot_package_name);
    return true;
}

void Application::setup_input()
{
    if (!_factories.create_input) {
        skipped("input manager", "not available");
        return;
    }
    log_message(log_category, "start-up: input manager");
    _input = _factories.create_input(_services_allocator, *this);
    if (!_input)
        return;
    _window->add_key_down_listener(_input, forward_key_down);
    _window->add_key_up_listener(_input, forward_key_up);
    _window->add_button_down_listener(_input, forward_button_down);
    _window->add_button_up_listener(_input, forward_button_up);
    _window->add_wheel_listener(_input, forward_wheel);
    _window->add_raw_motion_listener(_input, forward_move);
    _window->add_cursor_listener(_input, forward_cursor);
}

void Application::setup_physics()
{
    if (!_factories.create_physics) {
        skipped("physics", "not available");
        return;
    }
    log_message(log_category, "start-up: physics");
    _physics = _factories.create_physics(_services_allocator, *this);
}

void Application::setup_network()
{
    // The sound system has no state of its own; every World makes what it needs.
    if (!_factories.create_network) {
        skipped("network manager", "not available");
        return;
    }
    log_message(log_category, "start-up: network manager");
    _network = _factories.create_network(_services_allocator, *this);
}

void Application::set_save_dir()
{
    ConstConfigValue save_dir = win32_setting(_settings, "save_dir");
    if (save_dir.kind() != ConstConfigKind::String) {
        log_message(log_category, "start-up: save system: no \"save_dir\" setting, none");
        return;
    }
    if (!_factories.create_save) {
        skipped("save system", "not available");
        return;
    }
    DynamicString path(_allocator);
    if (!save_directory_path(save_dir.to_string(), path))
        return;
    DiskFileSystem fs("", _allocator);
    if (!fs.create_directory(path.c_str())) {
        log_message(log_category, "start-up: cannot create the save directory \"%s\"; no save system", path.c_str());
        return;
    }
    log_message(log_category, "start-up: save system in \"%s\"", path.c_str());
    _save = _factories.create_save(_services_allocator, *this, path.c_str());
}

void Application::setup_lightfx()
{
    if (!_factories.create_lightfx) {
        skipped("LightFX", "not available");
        return;
    }
    log_message(log_category, "start-up: LightFX");
    _lightfx = _factories.create_lightfx(_services_allocator, *this);
}

bool Application::init_game()
{
    if (!_game)
        return true;
    log_message(log_category, "start-up: game init");
    if (_game->init())
        return true;
    log_message(log_category, "start-up: the game cannot start");
    return false;
}

// --- Frames ------------------------------------------------------------------------------

void Application::measure_frame()
{
    if (_fixed_step > 0.0f) {
        _last_counter = performance_counter();
        _raw_step = _time_scale * _fixed_step;
        _time_since_launch += f64(_raw_step);
        _frame_filter.update(_raw_step);
        _filtered_step = _frame_filter.smoothed_step();
        return;
    }
    // A frame shorter than the filter's minimum step would be counted as the minimum, and
    // the game clock would run ahead of the wall clock (a headless loop runs far faster
    // than that): such a frame waits for the rest of the minimum step first.
    f64 minimum = f64(_frame_filter.minimum_step) / f64(_time_scale > 0.0f ? _time_scale : 1.0f);
    for (;;) {
        f64 elapsed = f64(performance_counter() - _last_counter) / f64(performance_frequency());
        if (!(elapsed < minimum))
            break;
        std::this_thread::sleep_for(std::chrono::duration<f64>(minimum - elapsed));
    }
    // The timer pins the thread to the affinity mask while it reads (not with mask 0).
    f64 step = time_seconds_pinned(&_last_counter);
    _raw_step = f32(f64(_time_scale) * step);
    _time_since_launch += f64(_raw_step);
    _frame_filter.update(_raw_step);
    _filtered_step = _frame_filter.smoothed_step();
}

bool Application::update()
{
    TALLOW_ASSERT(_window, "Application::update before a successful init");
    if (!_window)
        return false;
    _window->pump_messages();
    if (_window->close_requested())
        _quit = true;

    if (_options->pumped && !_pump_requested) {
        sched_yield();
        return !_quit;
    }
    _pump_requested = false;

    measure_frame();
    if (_save)
        _save->update();
    if (_input)
        _input->update(_filtered_step);
    if (_game)
        _game->update(_filtered_step);
    if (_render && _frame_fence != -1)
        _render->wait_fence(_frame_fence);
    if (_window->close_requested())
        _quit = true;
    if (_lightfx)
        _lightfx->update(_raw_step);
    update_resources();
    if (_game)
        _game->render();
    send_world_changes();
    if (_render) {
        _render->present_frame(_swap_chain);
        _frame_fence = _render->add_fence();
    }
    ++_frame_count;
    return !_quit;
}

void Application::update_resources()
{
    if (_resource_manager)
        _resource_manager->update();
}

// --- Resources ---------------------------------------------------------------------------

ResourcePackage *Application::make_package(NameId64 name)
{
    if (!_resource_manager)
        return nullptr;
    return create_resource_package(_allocator, *_resource_manager, _bundle_files, name,
                                   _property_preference_order.data(), _property_preference_order.size());
}

ResourcePackage *Application::create_package(NameId64 name)
{
    ResourcePackage *package = make_package(name);
    if (package && !_packages.push_back(package)) {
        delete_with_allocator(_allocator, package);
        return nullptr;
    }
    return package;
}

ResourcePackage *Application::load_package_unlisted(NameId64 name)
{
    ResourcePackage *package = make_package(name);
    if (!package)
        return nullptr;
    // Loaded whole: everything is handed in and resolved when this returns.
    package->load();
    package->flush();
    return package;
}

ResourcePackage *Application::load_package(NameId64 name)
{
    ResourcePackage *package = load_package_unlisted(name);
    if (package)
        _packages.push_back(package);
    return package;
}

void Application::destroy_package(ResourcePackage *package)
{
    // The render thread reads loaded data (materials, meshes, fonts) while it draws the
    // frames already handed to it: let it finish them before the data goes.
    if (RenderInterface *render = render_interface())
        render->wait_until_idle();
    package->unload();
    delete_with_allocator(_allocator, package);
}

void Application::release_package(ResourcePackage *package)
{
    if (!package)
        return;
    if (!_packages.remove_value(package)) {
        log_message(log_category, "release_package: the package is not the Application's");
        return;
    }
    destroy_package(package);
}

void Application::set_resource_property_preference_order(const u64 *property_ids, u32 count)
{
    _property_preference_order.clear();
    for (u32 i = 0; i < count; ++i)
        _property_preference_order.push_back(property_ids[i]);
    // Bundles take the order when a package is made; the database's loader thread takes it
    // between two loads, since it reads the database's choice while loading.
    if (_resource_loader)
        _resource_loader->set_property_preference_order(_property_preference_order.data(),
                                                        _property_preference_order.size());
}

// --- User settings -----------------------------------------------------------------------

void Application::apply_user_settings()
{
    _aspect_ratio = setting_float(renderer_setting(_settings, "aspect_ratio"), _user_settings, "aspect_ratio", -1.0f);
    // The renderer reloads its configuration and applies output, full screen and resolution.
    if (_render && _window)
        _render->apply_display_settings(*_window);
}

bool Application::save_user_settings()
{
    ConstConfigValue user_path = win32_setting(_settings, "user_settings");
    if (user_path.kind() != ConstConfigKind::String || !_user_settings)
        return false;
    DynamicString path(_allocator);
    if (!expand_application_data(user_path.to_string(), path))
        return false;
    DynamicString directory(_allocator);
    path_directory(path.c_str(), directory);
    DiskFileSystem fs("", _allocator);
    if (!directory.empty() && !fs.create_directory(directory.c_str())) {
        log_message(log_category, "cannot create the folder of the user settings \"%s\"", path.c_str());
        return false;
    }
    return write_config_file(path.c_str(), *_user_settings);
}

// --- Shutdown ----------------------------------------------------------------------------

void Application::shutdown()
{
    if (!_initialized || _shut_down)
        return;
    _shut_down = true;
    destroy_game();
    destroy_lightfx();
    destroy_save_system();
    destroy_network();
    destroy_physics();
    shutdown_input();
    release_render_config_package();
    release_boot_packages();
    release_script_packages();
    destroy_renderer();
    destroy_window();
    release_resources();
    destroy_job_system();
    destroy_dlc_list();
    release_settings();
    destroy_thread_registry();
    log_message(log_category, "shutdown: done");
}

void Application::destroy_game()
{
    if (_game) {
        log_message(log_category, "shutdown: game object");
        delete_with_allocator(_allocator, _game);
        _game = nullptr;
    }
    // Worlds made without a game (tests) still go before the services they stand on.
    release_worlds();
}

namespace {

bool contains(const Array<World *> &worlds, const World *world)
{
    for (const World *w : worlds)
        if (w == world)
            return true;
    return false;
}

} // namespace

World *Application::new_world()
{
    // The world's render side: made here, announced to the render thread once the World
    // exists (its address is the key).
    RenderInterface *render = render_interface();
    RenderWorld *render_world = nullptr;
    WorldRenderLink *render_link = nullptr;
    if (render && !render->create_render_world(render_world, render_link))
        log_message(log_category, "the new world gets no render world (no memory); it is not drawn");
    WorldParams params;
    params.resource_manager = _resource_manager;
    params.thread_pool = _thread_pool;
    params.render_world = render_world;
    params.render_link = render_link;
    params.factories = &_world_services;
    ConstConfigValue sound_disabled = _settings.member("sound").member("disabled");
    params.sound_disabled = sound_disabled.kind() == ConstConfigKind::Bool && sound_disabled.to_bool();
    World *world = make_new<World>(_allocator, _allocator, params);
    if (!world || !_worlds.push_back(world)) {
        log_message(log_category, "no memory for a new world");
        delete_with_allocator(_allocator, world);
        if (render_world)
            render->discard_render_world(render_world, render_link);
        return nullptr;
    }
    if (render_world)
        render->add_world(world, render_world, render_link);
    return world;
}

bool Application::release_world(World *world)
{
    for (u32 i = 0; i < _worlds.size(); ++i)
        if (_worlds[i] == world) {
            _worlds.erase(i);
            for (u32 k = 0; k < _rendered_worlds.size(); ++k)
                if (_rendered_worlds[k] == world) {
                    _rendered_worlds.erase(k);
                    break;
                }
            RenderInterface *render = render_interface();
            bool rendered = render && render->render_world_of(world);
            // The units file their destroy records into the world's current state buffer;
            // removing the world then sends that buffer before the render world goes.
            delete_with_allocator(_allocator, world);
            if (rendered)
                render->remove_world(world);
            return true;
        }
    return false;
}

void Application::render_world(World &world, u32 camera, u32 viewport, u32 shading_environment)
{
    RenderInterface *render = render_interface();
    if (!render)
        return;
    if (!contains(_worlds, &world))
        return;
    render->update_world(&world, world.world_time(), world.frame_step());
    if (_swap_chain >= 0)
        render->render_world(&world, camera, viewport, shading_environment, u32(_swap_chain), _aspect_ratio);
    if (!contains(_rendered_worlds, &world))
        (void)_rendered_worlds.push_back(&world);
}

GameViewport *Application::create_viewport(World &world, u32 template_name)
{
    RenderInterface *render = render_interface();
    const ViewportTemplate *viewport_template = render ? render->viewport_template(template_name) : nullptr;
    return viewport_template ? world.create_viewport(*viewport_template) : nullptr;
}

bool Application::destroy_viewport(World &world, GameViewport *viewport) { return world.destroy_viewport(viewport); }

void Application::send_world_changes()
{
    // A world the game did not render this frame still hands its changes over, so its
    // state buffer does not grow frame after frame and its render world stays current.
    RenderInterface *render = render_interface();
    if (render)
        for (World *world : _worlds)
            if (!contains(_rendered_worlds, world) && render->render_world_of(world))
                render->update_world(world, world->world_time(), world->frame_step());
    _rendered_worlds.clear();
}

u64 Application::state_hash()
{
    if (RenderInterface *render = render_interface())
        render->wait_until_idle();
    StateHasher hasher;
    hasher.add(_worlds.size());
    for (const World *world : _worlds)
        world->hash_state(hasher);
    if (_game)
        _game->hash_state(hasher);
    return hasher.value();
}

void Application::release_worlds()
{
    while (_worlds.size() > 0)
        (void)release_world(_worlds.back());
}

void Application::destroy_lightfx()
{
    if (_lightfx)
        log_message(log_category, "shutdown: LightFX");
    delete_with_allocator(_services_allocator, _lightfx);
    _lightfx = nullptr;
}

void Application::destroy_save_system()
{
    if (_save)
        log_message(log_category, "shutdown: save system");
    delete_with_allocator(_services_allocator, _save);
    _save = nullptr;
}

void Application::destroy_network()
{
    if (_network)
        log_message(log_category, "shutdown: network manager");
    delete_with_allocator(_services_allocator, _network);
    _network = nullptr;
}

void Application::destroy_physics()
{
    if (_physics)
        log_message(log_category, "shutdown: physics");
    delete_with_allocator(_services_allocator, _physics);
    _physics = nullptr;
}

void Application::shutdown_input()
{
    if (!_input)
        return;
    log_message(log_category, "shutdown: input manager");
    if (_window)
        _window->remove_listeners(_input);
    delete_with_allocator(_services_allocator, _input);
    _input = nullptr;
}

void Application::release_render_config_package()
{
    log_message(log_category, "shutdown: render configuration");
    if (_window)
        _window->request_close();
    if (_render)
        _render->unload_render_config();
    if (_render_config_package) {
        release_package(_render_config_package);
        _render_config_package = nullptr;
    }
}

void Application::release_boot_packages()
{
    log_message(log_category, "shutdown: boot packages");
    release_package(_boot_package);
    _boot_package = nullptr;
    release_package(_second_boot_package);
    _second_boot_package = nullptr;
}

void Application::release_script_packages()
{
    // Packages the scripts left behind (a script whose init failed never reaches its
    // shutdown) go while the renderer still exists: unloading a texture needs its device.
    if (!_packages.empty())
        log_message(log_category, "shutdown: %u packages the scripts left", _packages.size());
    while (!_packages.empty())
        release_package(_packages[_packages.size() - 1]);
}

void Application::destroy_renderer()
{
    if (_render)
        log_message(log_category, "shutdown: render interface");
    delete_with_allocator(_services_allocator, _render);
    _render = nullptr;
    _frame_fence = -1;
    _swap_chain = -1;
}

void Application::destroy_window()
{
    if (!_window)
        return;
    log_message(log_category, "shutdown: window");
    delete_with_allocator(_statics_allocator, _window);
    _window = nullptr;
    if (_owns_window_system)
        platform::destroy_window_system(default_allocator(), _window_system);
    _window_system = nullptr;
    _owns_window_system = false;
}

void Application::release_resources()
{
    log_message(log_category, "shutdown: resources");
    _packages.set_capacity(0);
    delete_with_allocator(_statics_allocator, _bundle_files);
    _bundle_files = nullptr;
    delete_with_allocator(_statics_allocator, _resource_manager);
    _resource_manager = nullptr;
    delete_with_allocator(_statics_allocator, _resource_loader); // joins "resource_loader"
    _resource_loader = nullptr;
    delete_with_allocator(_statics_allocator, _exploded_database);
    _exploded_database = nullptr;
}

void Application::destroy_job_system()
{
    if (!_thread_pool)
        return;
    log_message(log_category, "shutdown: thread pool");
    delete_with_allocator(_statics_allocator, _job_system);
    _job_system = nullptr;
    delete_with_allocator(_statics_allocator, _thread_pool);
    _thread_pool = nullptr;
}

void Application::destroy_dlc_list()
{
    if (!dlc_list())
        return;
    log_message(log_category, "shutdown: downloadable-content list");
    tallow::destroy_dlc_list(_statics_allocator);
}

void Application::release_settings()
{
    log_message(log_category, "shutdown: settings");
    destroy_config_root(_user_settings);
    _user_settings = nullptr;
    _statics_allocator.deallocate(_settings_block);
    _settings_block = nullptr;
    _settings = ConstConfigValue();
}

void Application::destroy_thread_registry()
{
    log_message(log_category, "shutdown: thread registry");
    delete_with_allocator(_statics_allocator, _thread_registry);
    _thread_registry = nullptr;
    delete_with_allocator(_statics_allocator, _thread_allocator);
    _thread_allocator = nullptr;
}

// --- Creation ----------------------------------------------------------------------------

Application *create_application(const ApplicationParams &params)
{
    constexpr u32 alignment = alignof(Application) > 8 ? alignof(Application) : 8;
    void *memory = application_static_allocator().allocate(sizeof(Application), alignment);
    if (!memory)
        return nullptr;
    return new (memory) Application(params);
}

void destroy_application(Application *application)
{
    delete_with_allocator(application_static_allocator(), application);
}

} // namespace tallow
