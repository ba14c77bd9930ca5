// A frame of the shipped sample (the program's services over the compiled data, headless
// window and device, its boot script playing) scaled up to 2000 active units in its world:
// 1000 crates falling in stacks onto the yard (the oldest few taken away and dropped again
// every frame, so the bodies keep moving), 700 weathervanes swaying under their animation
// state machines, and 300 spark effects (the oldest few replaced every frame). The same
// frame on 8 job workers against 1 worker; the ratio shows what the job system gains on a
// whole frame (goal: at most 0.3).
//
// The device is the headless one with its call journal off and keeping no texels (every
// call is still checked, but clears, copies, maps and draws move no bytes): what is timed is
// the engine's side of the frame (game, worlds, render thread), not a driver's. The frame's
// sorted commands are recorded in ranges on deferred contexts on the job workers
// ("use_deferred_contexts"), as a device with a driver that takes command lists would run
// them; the render thread plays the lists back. Frames step a fixed 1/60 s.
// A key press at the start makes the sample interactive, so it keeps playing instead of
// quitting after a few seconds. Each row also shows where the frame's time goes: the
// processor time per frame of the game thread (game_ms), the render thread (render_ms, its
// waits on the pool included) and all workers together (workers_ms), and the share of the
// timed frames whose commands were recorded on deferred contexts (deferred_share; a frame
// whose ranges cannot be recorded apart is executed serially on the render thread).
#include "application/application.h"
#include "application/application_options.h"
#include "application/engine_setup.h"
#include "bench/support/bench_support.h"
#include "foundation/io/render_settings_store.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "foundation/threads/processor.h"
#include "platform/d3d11/d3d11_headless.h"
#include "platform/window/window.h"
#include "platform/window/window_headless.h"
#include "render/d3d11/d3d_render_device.h"
#include "render/interface/render_interface.h"
#include "script/script_api.h"
#include "world/units/unit.h"
#include "world/world.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>
#include <string>
#include <memory>
#include <utility>
#include <vector>

using namespace tallow;

namespace {

constexpr u32 crate_count = 1000;
constexpr u32 vane_count = 700;
constexpr u32 effect_count = 300;
constexpr u32 crates_redropped_per_frame = 8;
constexpr u32 effects_replaced_per_frame = 3;
constexpr u32 warm_up_frames = 120;

/// A fresh directory under the system's temporary folder, removed with its contents.
class ScratchDirectory {
  public:
    ScratchDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tallow_bench_XXXXXX").string();
        if (mkdtemp(pattern.data()))
            _path = pattern;
    }
    ~ScratchDirectory()
    {
        std::error_code ignored;
        if (!_path.empty())
            std::filesystem::remove_all(_path, ignored);
    }
    const char *path() const { return _path.c_str(); }

  private:
    std::string _path;
};

Matrix4x4 at(f32 x, f32 y, f32 z)
{
    Matrix4x4 m = matrix4x4_identity;
    set_translation(m, {x, y, z});
    return m;
}

class ScaledSample {
  public:
    explicit ScaledSample(u32 workers) : _window_system(default_allocator())
    {
        setenv("XDG_CONFIG_HOME", _config_home.path(), 1);
        setenv("XDG_DATA_HOME", _data_home.path(), 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        set_math_random_state(0);
        // The headless device draws nothing; its journal of every call, the bytes of its
        // resources and the records of released objects are for tests.
        d3d11::HeadlessConfig device = d3d11::default_headless_config();
        device.journal = false;
        device.keep_texels = false;
        device.keep_released_objects = false;
        d3d11::headless_configure(device);
        const char *arguments[] = {"bin/tallow", "-data-dir", TALLOW_BUILT_DATA_DIR};
        _options = std::make_unique<ApplicationOptions>(default_allocator(), 3, arguments);
        const ProgramSetup setup = engine_setup();
        ApplicationParams params;
        params.options = _options.get();
        params.window_system = &_window_system;
        apply_program_setup(setup, params);
        params.worker_count = workers;
        _release_types = setup.release_resource_types;
        _app = std::make_unique<Application>(params);
        _app->set_fixed_frame_step(1.0f / 60.0f);
        if (!_app->init() || _app->worlds().size() == 0) {
            fprintf(stderr, "sample_scaled_bench: the sample did not start (is the data built?)\n");
            return;
        }
        // Dispatch on deferred contexts, switched on while the render thread has nothing
        // to do: it reads the capabilities at every dispatch.
        RenderInterface *render = _app->render_interface();
        if (render) {
            render->wait_fence(render->add_fence());
            render_caps().member("use_deferred_contexts").set_bool(true);
        }
        // A key moves the player: the sample no longer quits by itself.
        key(platform::WM_KEYDOWN, 'D');
        _app->update();
        key(platform::WM_KEYUP, 'D');
        _world = _app->worlds()[0];
        for (u32 i = 0; i < crate_count; ++i)
            _crates.push_back(spawn_crate(i));
        for (u32 i = 0; i < vane_count; ++i) {
            Unit *vane = _world->spawn_unit(NameId64("units/weathervane"),
                                            at(-17.0f + f32(i % 35), 8.0f + f32(i / 35) * 0.5f, 0));
            if (vane)
                ++_vanes;
        }
        for (u32 i = 0; i < effect_count; ++i)
            _effects.push_back(create_effect(i));
        for (u32 i = 0; i < warm_up_frames && _world; ++i)
            frame();
    }
    ~ScaledSample()
    {
        _app.reset();
        if (_release_types)
            _release_types();
    }

    bool ready() const { return _world != nullptr; }
    /// Dispatches recorded on deferred contexts and dispatches executed serially instead.
    std::pair<u32, u32> dispatches()
    {
        RenderInterface *render = _app->render_interface();
        auto *device = render ? dynamic_cast<render::d3d11::D3DRenderDevice *>(&render->device()) : nullptr;
        if (!device)
            return {0, 0};
        return {device->deferred_dispatch_count(), device->serial_fallback_count()};
    }
    u32 active_units() const { return u32(_crates.size()) + _vanes + u32(_effects.size()); }

    /// One frame of the program, with this frame's crates dropped again and effects replaced.
    bool frame()
    {
        for (u32 k = 0; k < crates_redropped_per_frame; ++k) {
            const u32 slot = _next_crate++ % crate_count;
            if (Unit *old = _world->unit(_crates[slot]))
                _world->destroy_unit(*old);
            _crates[slot] = spawn_crate(slot);
        }
        for (u32 k = 0; k < effects_replaced_per_frame; ++k) {
            const u32 slot = _next_effect++ % effect_count;
            _world->particles().destroy_particles(_effects[slot]);
            _effects[slot] = create_effect(slot);
        }
        if (!_app->update() || _app->worlds().size() == 0 || _app->worlds()[0] != _world) {
            fprintf(stderr, "sample_scaled_bench: the sample ended its world\n");
            _world = nullptr;
            return false;
        }
        return true;
    }

  private:
    void key(u32 message, u32 code)
    {
        _window_system.inject({_app->window()->handle(), message, code,
                               message == platform::WM_KEYUP ? i64(0xC0000001) : 1, {}});
    }
    // Columns of five crates over the near half of the yard, away from the sample's own.
    UnitHandle spawn_crate(u32 i)
    {
        const u32 column = (i / 5) % 200, level = i % 5;
        const Matrix4x4 pose = at(-18.0f + f32(column % 25) * 1.5f, -18.0f + f32(column / 25) * 1.5f,
                                  2.0f + f32(level) * 1.6f);
        Unit *crate = _world->spawn_unit(NameId64("units/crate"), pose);
        return crate ? crate->handle() : UnitHandle(0);
    }
    u32 create_effect(u32 i)
    {
        return _world->particles().create_particles(NameId64("effects/sparks").value(),
                                                     at(-15.0f + f32(i % 30), 2.0f + f32(i / 30) * 0.5f, 1.0f));
    }

    ScratchDirectory _config_home, _data_home;
    platform::HeadlessWindowSystem _window_system;
    std::unique_ptr<ApplicationOptions> _options;
    std::unique_ptr<Application> _app;
    void (*_release_types)() = nullptr;
    World *_world = nullptr;
    std::vector<UnitHandle> _crates;
    std::vector<u32> _effects;
    u32 _vanes = 0;
    u32 _next_crate = 0, _next_effect = 0;
};


void BM_SampleFrame(benchmark::State &state)
{
    ScaledSample sample(u32(state.range(0)));
    if (!sample.ready()) {
        state.SkipWithError("the sample did not start");
        return;
    }
    // Where each frame's time goes: the processor time of the game thread (this one), the
    // render thread and the workers, per frame.
    const char *threads[] = {"sample_scaled_b", "renderer", "thread pool wor"};
    double before[3];
    for (u32 i = 0; i < 3; ++i)
        before[i] = bench::threads_cpu_ms(threads[i]);
    const auto [deferred_before, serial_before] = sample.dispatches();
    u64 frames = 0;
    for (auto _ : state) {
        if (!sample.frame()) {
            state.SkipWithError("the sample ended");
            break;
        }
        ++frames;
    }
    state.counters["units"] = sample.active_units();
    const auto [deferred_after, serial_after] = sample.dispatches();
    const u32 deferred = deferred_after - deferred_before, serial = serial_after - serial_before;
    state.counters["deferred_share"] = deferred + serial ? double(deferred) / double(deferred + serial) : 0.0;
    const char *counters[] = {"game_ms", "render_ms", "workers_ms"};
    for (u32 i = 0; i < 3 && frames > 0; ++i)
        state.counters[counters[i]] = (bench::threads_cpu_ms(threads[i]) - before[i]) / double(frames);
}

BENCHMARK(BM_SampleFrame)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    printf("sample scaled: %u crates (%u dropped again per frame), %u weathervanes, %u spark effects "
           "(%u replaced per frame); %u processors\n",
           crate_count, crates_redropped_per_frame, vane_count, effect_count, effects_replaced_per_frame,
           ProcessorInfo::processor_count());
    const bench::RatioReporter &runs = program.run();
    const bench::TimeRatio ratios[] = {{"frame", "BM_SampleFrame/8", "BM_SampleFrame/1"}};
    bench::print_time_ratios(runs, "sample frame time on 8 workers / on 1 worker (goal: at most 0.3)", ratios);
    return 0;
}
