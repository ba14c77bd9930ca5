#include "application/application.h"

#include "application/application_internal.h"
#include "application/application_options.h"
#include "application/application_settings.h"
#include "application/settings_file.h"
#include "foundation/assert.h"
#include "foundation/config/config_value.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/path.h"
#include "foundation/math/timer.h"
#include "platform/window/window.h"
#include "render/interface/render_interface.h"
#include "resource/resource_manager.h"

#include <sched.h>

#include <chrono>
#include <thread>

namespace tallow {

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
