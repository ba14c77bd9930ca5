#include "application/application.h"

#include "application/application_internal.h"
#include "foundation/config/config_value.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/job.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "platform/window/window.h"
#include "platform/window/window_system.h"
#include "render/interface/render_interface.h"
#include "resource/dlc_list.h"
#include "resource/exploded_database.h"
#include "resource/resource_loader.h"
#include "resource/resource_manager.h"
#include "resource/resource_package.h"

namespace tallow {

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
} // namespace tallow
