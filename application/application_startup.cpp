#include "application/application.h"

#include "ai/nav_mesh.h"
#include "render/particles/particle_effect_resource.h"
#include "application/application_internal.h"
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
#include "foundation/math/timer.h"
#include "platform/window/window_system.h"
#include "render/gui/font.h"
#include "render/interface/render_interface.h"
#include "resource/dlc_list.h"
#include "resource/exploded_database.h"
#include "resource/resource_loader.h"
#include "resource/resource_manager.h"
#include "resource/resource_types.h"
#include "world/levels/level.h"
#include "world/units/unit_resource.h"

namespace tallow {

namespace {

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
} // namespace

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
} // namespace tallow
