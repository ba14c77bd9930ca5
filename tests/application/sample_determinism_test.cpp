// The shipped sample played from start to end the way a run plays it (the program's services
// over the compiled data, the headless window, the Direct3D layer's OpenGL backend offscreen
// where one can be made), with keys injected at fixed frames and a fixed frame step: its state
// (units, physics bodies, animation poses, particles and flock agents) must come out the same
// on one worker and on eight, and twice on eight; its final frame must match
// golden/sample_played.png (and be the same picture in every run); and every traced allocator
// must be back at zero when the program is gone. Rewrite the golden image, when the sample's
// play changes on purpose, with
//
//   TALLOW_UPDATE_GOLDEN=1 ctest --test-dir build/test -R SampleDeterminism
//
// once SampleOnOpenGl.CratesAreDrawnWhereThePhysicsHoldsThem passes, and look at it before
// committing it. What the image must show (frame 150, 2.5 s, the keys having taken over from
// the scripted player, "Esc quits"): every crate on the floor and none in the sky, the two
// dropped crates stacked at the back left, the crate the character walked into shoved up to
// the orange zone's near corner but not into it, the score reading 0.
#include "application/application.h"
#include "application/application_options.h"
#include "application/engine_setup.h"
#include "application/game_interface.h"
#include "application/my_game.h"
#include "foundation/math/state_hasher.h"
#include "foundation/memory/memory_globals.h"
#include "platform/d3d11/d3d11_backend.h"
#include "platform/window/window.h"
#include "platform/window/window_headless.h"
#include "script/script_api.h"
#include "tests/support/image/frame_capture.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_directory.h"
#include "world/world.h"
#include "world/services/world_animation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace tallow::test {
namespace {

using namespace platform;

constexpr u32 frame_count = 150;
constexpr u32 checkpoint_every = 15;
constexpr f32 frame_step = 1.0f / 60.0f;

/// The scripted player: a key goes down or up before the frame.
struct KeyEvent {
    u32 frame;
    u32 message;
    u32 key;
};
constexpr KeyEvent script[] = {
    {10, WM_KEYDOWN, 'D'}, {40, WM_KEYUP, 'D'},    {45, WM_KEYDOWN, 0x26}, {70, WM_KEYUP, 0x26},
    {80, WM_KEYDOWN, 'A'}, {90, WM_KEYDOWN, 'S'}, {110, WM_KEYUP, 'A'},   {120, WM_KEYUP, 'S'},
};

/// The state at a checkpoint: the whole hash and each service's share (to tell which one
/// went apart).
struct Checkpoint {
    u32 frame = 0;
    u64 whole = 0, physics = 0, animation = 0, particles = 0, flocks = 0;
    bool operator==(const Checkpoint &) const = default;
};

struct PlayRun {
    std::vector<Checkpoint> checkpoints;
    std::vector<std::string> leaks; // traced allocators that went with allocations live
    bool paused = false; // a script error stopped the game
    RgbaImage final_frame; // empty without the OpenGL backend
    std::string capture_error;
    i64 kept_bytes = 0;  // the default allocator's bytes in use after the run less before
};

Checkpoint checkpoint(Application &app, u32 frame)
{
    Checkpoint c;
    c.frame = frame;
    c.whole = app.state_hash(); // first: the render side is idle after it
    StateHasher physics, animation, particles, flocks;
    for (World *world : app.worlds()) {
        world->physics().hash_state(physics);
        world->animation().hash_state(animation);
        world->particles().hash_state(particles);
    }
    if (app.game())
        app.game()->hash_state(flocks);
    c.physics = physics.value();
    c.animation = animation.value();
    c.particles = particles.value();
    c.flocks = flocks.value();
    return c;
}

/// One run of the sample on `workers` job workers, from a fresh configuration and save
/// directory and the program's random sequence at its start.
PlayRun play(u32 workers, bool gl)
{
    PlayRun run;
    TempDirectory config_home, data_home;
    setenv("XDG_CONFIG_HOME", config_home.path(), 1);
    setenv("XDG_DATA_HOME", data_home.path(), 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    set_math_random_state(0);
    LogCapture log;
    const d3d11::Backend previous_backend = d3d11::requested_backend();
    d3d11::set_backend(gl ? d3d11::Backend::gl : d3d11::Backend::headless);
    const u64 before = default_allocator().total_allocated();
    {
        HeadlessWindowSystem window_system{default_allocator()};
        const char *arguments[] = {"bin/tallow", "-data-dir", TALLOW_BUILT_DATA_DIR};
        ApplicationOptions options(default_allocator(), 3, arguments);
        ApplicationParams params = engine_params(options, window_system);
        params.worker_count = workers;
        auto app = std::make_unique<Application>(params);
        app->set_fixed_frame_step(frame_step);
        EXPECT_TRUE(app->init());
        u32 next_key = 0;
        for (u32 frame = 1; frame <= frame_count; ++frame) {
            for (; next_key < std::size(script) && script[next_key].frame == frame; ++next_key) {
                const KeyEvent &k = script[next_key];
                const i64 bits = k.message == WM_KEYUP ? i64(0xC0000001) : 1;
                window_system.inject({app->window()->handle(), k.message, k.key, bits, {}});
            }
            if (!app->update()) {
                ADD_FAILURE() << "the sample quit at frame " << frame;
                break;
            }
            if (frame % checkpoint_every == 0)
                run.checkpoints.push_back(checkpoint(*app, frame));
        }
        run.paused = !app->game() || static_cast<MyGame *>(app->game())->is_paused();
        if (gl && run.checkpoints.size() == frame_count / checkpoint_every)
            (void)capture_back_buffer(*app, run.final_frame, run.capture_error);
        app.reset();
        release_engine_resource_types();
    }
    run.kept_bytes = i64(default_allocator().total_allocated() - before);
    d3d11::set_backend(previous_backend);
    for (const std::string &line : log.lines()) {
        if (line.rfind("memory: allocator", 0) == 0)
            run.leaks.push_back(line);
    }
    return run;
}

void expect_same(const PlayRun &expected, const PlayRun &actual, const char *what)
{
    ASSERT_EQ(actual.checkpoints.size(), expected.checkpoints.size()) << what;
    for (size_t i = 0; i < expected.checkpoints.size(); ++i) {
        const Checkpoint &e = expected.checkpoints[i], &a = actual.checkpoints[i];
        if (e == a)
            continue;
        ADD_FAILURE() << what << ": the state went apart by frame " << e.frame << " (physics "
                      << (e.physics == a.physics ? "same" : "differs") << ", animation "
                      << (e.animation == a.animation ? "same" : "differs") << ", particles "
                      << (e.particles == a.particles ? "same" : "differs") << ", flocks "
                      << (e.flocks == a.flocks ? "same" : "differs") << ")";
        return;
    }
}

TEST(SampleDeterminism, OneAndEightWorkersReachTheSameStateAndFreeEverything)
{
    std::string no_gl;
    const bool gl = d3d11::gl_available(&no_gl);
    const PlayRun one = play(1, gl);
    const PlayRun eight = play(8, gl);
    const PlayRun again = play(8, gl);

    // The run did something to hash: every service's state moved during the play.
    ASSERT_EQ(one.checkpoints.size(), frame_count / checkpoint_every);
    auto moved = [&](u64 Checkpoint::*share) {
        for (const Checkpoint &c : one.checkpoints)
            if (c.*share != one.checkpoints.front().*share)
                return true;
        return false;
    };
    EXPECT_TRUE(moved(&Checkpoint::whole));
    EXPECT_TRUE(moved(&Checkpoint::physics));
    EXPECT_TRUE(moved(&Checkpoint::animation));
    EXPECT_TRUE(moved(&Checkpoint::particles));
    EXPECT_TRUE(moved(&Checkpoint::flocks));

    expect_same(one, eight, "one worker against eight");
    expect_same(eight, again, "eight workers, twice");

    for (const PlayRun *run : {&one, &eight, &again}) {
        EXPECT_FALSE(run->paused) << "a script error paused the game";
        for (const std::string &line : run->leaks)
            ADD_FAILURE() << line;
    }
    // The first run leaves what the process makes once (lists of thread pools and the
    // like); a run after it hands back all it took, its threads' scratch pools included.
    EXPECT_EQ(eight.kept_bytes, 0);
    EXPECT_EQ(again.kept_bytes, 0);

    if (!gl) {
        GTEST_SKIP() << "the final frame is not compared: no OpenGL 4.5 context here (" << no_gl << ")";
        return;
    }
    for (const PlayRun *run : {&one, &eight, &again})
        ASSERT_FALSE(run->final_frame.pixels.empty()) << run->capture_error;
    EXPECT_EQ(compare_with_golden(TALLOW_SAMPLE_GOLDEN_DIR, "sample_played", one.final_frame), "");
    EXPECT_TRUE(eight.final_frame.pixels == one.final_frame.pixels) << "one worker and eight drew different frames";
    EXPECT_TRUE(again.final_frame.pixels == eight.final_frame.pixels) << "two runs on eight workers drew different frames";
}

} // namespace
} // namespace tallow::test
