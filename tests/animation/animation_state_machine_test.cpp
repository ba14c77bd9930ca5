// Animation state machines over a real blender and player: the transition modes, key
// conditions, timed and internal events, blend variables, random choices, speed, and the
// sound answers to data that would make the machine divide by 0 or play nothing.
#include "animation/animation_player.h"
#include "animation/animation_state_machine.h"
#include "foundation/math/state_hasher.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "tests/animation/animation_fixture.h"
#include "world/units/scene_graph.h"
#include "world/world_events.h"

#include <map>
#include <memory>

namespace tallow::test {
namespace {

constexpr u32 event_go = 500;
constexpr u32 key_a = 101, key_b = 102;
constexpr f32 eps = 1e-5f;

AnimationSource clip(f32 length, std::vector<AnimationKey> keys, f32 x = 0)
{
    AnimationSource s;
    s.length = length;
    s.keys = std::move(keys);
    std::vector<TrackPose> pose(2, TrackPose{{x, 0, 0}, quaternion_identity});
    s.frames = {{0, pose}, {length, pose}};
    return s;
}

/// A state of one animation at speed `speed`.
StateSource single(u64 animation, u8 loop = 1, i32 speed = 1)
{
    StateSource s;
    s.type = 0;
    s.animations = {animation};
    s.loop = loop;
    s.speed_expression = s.add_expression(Expression().push_int(speed).end());
    return s;
}

class StateMachineTest : public ::testing::Test {
  protected:
    StateMachineTest() : graph(default_allocator(), 2)
    {
        reset_state_machine_seed();
        add(1, clip(2, {{0.5f, key_a}, {1.5f, key_b}}));       // A
        add(2, clip(4, {{1.0f, key_a}, {3.0f, key_b}}, 1));    // B
        add(3, clip(1, {}, 2));                                // C: no keys
        const u32 nodes[] = {0, 1};
        EXPECT_TRUE(graph.set_parent(1, 0));
        blender = blenders.create_blender(graph, nodes, 2);
    }
    ~StateMachineTest() override
    {
        machines.reset();
        if (resource)
            destroy_state_machine_resource(resource, default_allocator());
    }

    void add(u64 name, const AnimationSource &s) { animations[name] = std::make_unique<ReadAnimation>(s); }
    static const AnimationView *find(const void *context, u64 name)
    {
        auto &m = *static_cast<const std::map<u64, std::unique_ptr<ReadAnimation>> *>(context);
        auto it = m.find(name);
        return it == m.end() ? nullptr : &it->second->view;
    }

    AnimationStateMachine *start(const StateMachineSource &source)
    {
        std::vector<u8> bytes = write_state_machine(source);
        resource = read_state_machine(bytes.data(), bytes.size(), default_allocator());
        EXPECT_NE(resource, nullptr);
        machines = std::make_unique<AnimationStateMachines>(default_allocator(), AnimationLookup{&animations, &find});
        return resource ? machines->create_state_machine(*resource, *blender, 77) : nullptr;
    }

    /// One whole frame: machine, player, blender.
    void frame(f32 dt)
    {
        machines->update(dt);
        player.update();
        blenders.update(dt);
    }

    std::vector<u32> posted()
    {
        std::vector<u32> ids;
        walk_world_events(machines->events(), [&](u32 id, const u8 *record, u32 size) {
            AnimationEventPayload p;
            EXPECT_EQ(id, animation_flow_event);
            EXPECT_TRUE(read_world_event(record, size, p));
            EXPECT_EQ(p.unit, 77u);
            ids.push_back(p.event_id);
        });
        machines->events().clear();
        return ids;
    }

    std::map<u64, std::unique_ptr<ReadAnimation>> animations;
    SceneGraph graph;
    AnimationPlayer player{default_allocator(), nullptr};
    AnimationBlenders blenders{default_allocator(), nullptr, player};
    AnimationBlender *blender = nullptr;
    StateMachineResource *resource = nullptr;
    std::unique_ptr<AnimationStateMachines> machines;
};

TEST_F(StateMachineTest, TransitionModes)
{
    struct Case {
        const char *name;
        u32 mode;
        f32 blend;
        f32 at;         // layer time of A when the event comes
        f32 wait;       // time before a pending transition fires (0: at once)
        f32 time_after; // layer time in B once switched
    };
    const Case cases[] = {
        {"immediate", 0, 0, 0.5f, 0, 0},
        {"at end, less the blend time", 1, 0.5f, 0.5f, 1.0f, 0},
        {"sync key: the nearest key's id", 2, 0, 1.25f, 0, 3.0f},
        {"at next key", 3, 0, 0.75f, 0.75f, 3.0f},
        {"at next key, past the last: wraps", 3, 0, 1.75f, 0.75f, 1.0f},
        {"keep phase", 4, 0, 0.5f, 0, 1.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        StateMachineSource sm;
        LayerSource layer;
        layer.states = {single(1), single(2)};
        layer.states[0].transitions = {{event_go, 1, c.blend, c.mode, 0}};
        sm.layers = {layer};
        if (resource)
            destroy_state_machine_resource(resource, default_allocator());
        machines.reset();
        blender->clear();
        AnimationStateMachine *m = start(sm);
        ASSERT_NE(m, nullptr);
        m->update(c.at, machines->events());
        EXPECT_NEAR(m->playback(0).time, c.at, eps);
        m->event(event_go);
        if (c.wait > 0) {
            EXPECT_EQ(m->current_state(0), 0u);
            EXPECT_TRUE(m->playback(0).pending);
            EXPECT_NEAR(m->playback(0).delay, c.wait, eps);
            m->update(c.wait, machines->events());
            EXPECT_EQ(m->current_state(0), 0u) << "a delay of exactly 0 has not fired yet";
            m->update(0.125f, machines->events());
        }
        EXPECT_EQ(m->current_state(0), 1u);
        EXPECT_NEAR(m->playback(0).time, c.time_after, eps);
        EXPECT_FALSE(m->playback(0).pending);
        // The blender's record plays B from that time.
        player.update();
        f32 t = -1;
        u32 loops = 0;
        ASSERT_TRUE(blender->normalized_time(m->playback(0).handle, t, loops));
        EXPECT_NEAR(t, c.time_after, eps);
        EXPECT_EQ(blender->heaviest(m->playback(0).handle).animation, &animations[2]->view);
    }
}

TEST_F(StateMachineTest, FirstTransitionWhoseKeyHoldsWinsAndOthersChangeNothing)
{
    StateMachineSource sm;
    LayerSource layer;
    layer.states = {single(1), single(2), single(3)};
    layer.states[0].transitions = {{event_go, 1, 0, 0, key_b}, {event_go, 2, 0, 0, 0}};
    sm.layers = {layer};
    AnimationStateMachine *m = start(sm);
    m->event(999);
    EXPECT_EQ(m->current_state(0), 0u) << "an event no transition names";
    m->update(0.75f, machines->events()); // next key is key_b
    m->event(event_go);
    EXPECT_EQ(m->current_state(0), 1u);

    blender->clear();
    machines.reset();
    destroy_state_machine_resource(resource, default_allocator());
    m = start(sm);
    m->update(0.25f, machines->events()); // next key is key_a: the first does not hold
    m->event(event_go);
    EXPECT_EQ(m->current_state(0), 2u);
    EXPECT_EQ(m->playback(0).length, 1.0f) << "C's length";
}

TEST_F(StateMachineTest, KeyConditionsAndNextKeyOnAnimationsWithoutKeys)
{
    StateMachineSource sm;
    LayerSource layer;
    layer.states = {single(3), single(2)};
    layer.states[0].transitions = {{event_go, 1, 0, 2, key_a}, {event_go + 1, 1, 0, 3, 0}};
    sm.layers = {layer};
    AnimationStateMachine *m = start(sm);
    m->update(0.25f, machines->events());
    m->event(event_go);
    EXPECT_EQ(m->current_state(0), 0u) << "no keys: the condition does not hold";
    m->event(event_go + 1);
    EXPECT_TRUE(m->playback(0).pending);
    EXPECT_EQ(m->playback(0).delay, 0.0f);
    m->update(0.125f, machines->events());
    EXPECT_EQ(m->current_state(0), 1u);
    EXPECT_EQ(m->playback(0).time, 0.0f);
}

TEST_F(StateMachineTest, TimedEventsPostAndInternalEventsDriveTransitionsOneAtATime)
{
    StateMachineSource sm;
    LayerSource first, second;
    first.states = {single(1, 0), single(2)};
    first.states[0].events = {{0.25f, 201, 0}, {0.5f, 202, 1}, {0.5f, 203, 1}, {0.5f, 204, 0}};
    first.states[0].transitions = {{203, 1, 0, 0, 0}};
    second.states = {single(3), single(2)};
    second.states[0].transitions = {{202, 1, 0, 0, 0}};
    sm.layers = {first, second};
    AnimationStateMachine *m = start(sm);
    m->update(0.5f, machines->events());
    EXPECT_EQ(posted(), std::vector<u32>{201}) << "the loop stops at the second internal event";
    EXPECT_EQ(m->current_state(1), 1u) << "202 reached the other layer";
    EXPECT_EQ(m->current_state(0), 0u);
    m->update(0.125f, machines->events());
    EXPECT_EQ(m->current_state(0), 1u) << "203 fired on the next update";
    EXPECT_EQ(posted(), std::vector<u32>{204}) << "events after the held one still post in that update";
}

TEST_F(StateMachineTest, TimedEventsRepeatEveryLoopAndKeysReachTheStream)
{
    add(4, clip(1, {{0.75f, 301}}));
    StateMachineSource sm;
    LayerSource layer;
    layer.states = {single(4)};
    layer.states[0].events = {{0.5f, 300, 0}};
    sm.layers = {layer};
    start(sm);
    std::vector<u32> all;
    for (int i = 0; i < 12; ++i) {
        frame(0.25f);
        for (u32 id : posted())
            all.push_back(id);
    }
    // Timed event 300 once a pass; key 301 as the blender passes it (a frame later).
    EXPECT_GE(std::count(all.begin(), all.end(), 300u), 2);
    EXPECT_GE(std::count(all.begin(), all.end(), 301u), 2);
    EXPECT_EQ(all.front(), 300u);
}

TEST_F(StateMachineTest, VariablesDriveBlendWeightsAndScriptIndicesAreChecked)
{
    StateMachineSource sm;
    sm.variable_names = {NameId32("lean").value()};
    sm.variable_defaults = {0.25f};
    LayerSource layer;
    StateSource blend;
    blend.type = 2;
    blend.animations = {1, 2};
    blend.loop = 1;
    blend.weight_expressions = {blend.add_expression(Expression().push_int(1).var(0).op(1).end()),
                                blend.add_expression(Expression().var(0).end())};
    blend.speed_expression = blend.add_expression(Expression().push_int(1).end());
    layer.states = {blend};
    sm.layers = {layer};
    AnimationStateMachine *m = start(sm);
    i32 lean = m->find_variable(NameId32("lean").value());
    EXPECT_EQ(lean, 0);
    EXPECT_EQ(m->find_variable(NameId32("nothing").value()), -1);
    const PlayingAnimation *r = blender->find(m->playback(0).handle);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->weights[0], 0.75f);
    EXPECT_EQ(r->ratios[1], 2.0f);
    EXPECT_TRUE(m->set_variable(0, 3.0f));
    m->update(0.1f, machines->events());
    EXPECT_EQ(r->weights[0], 0.0f) << "negative weights clamp to 0";
    EXPECT_EQ(r->weights[1], 3.0f);
    f32 v = 0;
    EXPECT_FALSE(m->set_variable(1, 1.0f));
    EXPECT_FALSE(m->variable(1, v));
    EXPECT_FALSE(m->variable(0xFFFFFFFFu, v));

}

TEST_F(StateMachineTest, AllBlendWeightsZeroHoldTheLayerTime)
{
    StateMachineSource sm;
    sm.variable_names = {1};
    sm.variable_defaults = {0};
    LayerSource layer;
    StateSource blend;
    blend.type = 2;
    blend.animations = {1, 2};
    blend.loop = 1;
    blend.weight_expressions = {blend.add_expression(Expression().var(0).end()),
                                blend.add_expression(Expression().var(0).end())};
    blend.speed_expression = blend.add_expression(Expression().push_int(1).end());
    layer.states = {blend};
    sm.layers = {layer};
    AnimationStateMachine *m = start(sm);
    for (int i = 0; i < 3; ++i)
        frame(0.25f);
    EXPECT_EQ(m->playback(0).time, 0.0f) << "no weighted ratio: time stands";
    m->set_variable(0, 1);
    frame(0.25f);
    EXPECT_NEAR(m->playback(0).time, 0.25f / 1.5f, eps) << "weighted ratio (1 + 2) / 2";
}

TEST_F(StateMachineTest, AFirstAnimationOfLengthZeroKeepsRatiosFinite)
{
    AnimationSource still = clip(1, {});
    still.length = 0;
    still.frames.resize(1); // the first frame only
    add(5, still);
    StateMachineSource sm;
    LayerSource layer;
    StateSource blend;
    blend.type = 2;
    blend.animations = {5, 2};
    blend.loop = 1;
    blend.weight_expressions = {blend.add_expression(Expression().push_int(1).end()),
                                blend.add_expression(Expression().push_int(1).end())};
    blend.speed_expression = blend.add_expression(Expression().push_int(1).end());
    StateSource pick = single(5);
    pick.animations = {5, 2};
    pick.random_thresholds = {0.0f, 1.0f}; // the draw picks the second, of length 4
    layer.states = {blend, pick};
    layer.states[0].transitions = {{event_go, 1, 0, 0, 0}};
    sm.layers = {layer};
    AnimationStateMachine *m = start(sm);
    const PlayingAnimation *r = blender->find(m->playback(0).handle);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ratios[1], 1.0f) << "no length to divide by: ratio 1";
    for (int i = 0; i < 3; ++i)
        frame(0.25f);
    EXPECT_TRUE(std::isfinite(m->playback(0).time));
    m->event(event_go);
    EXPECT_EQ(m->playback(0).ratio, 1.0f);
    for (int i = 0; i < 3; ++i)
        frame(0.25f);
    EXPECT_NEAR(m->playback(0).time, 0.75f, eps);
    EXPECT_EQ(posted(), std::vector<u32>{});
}

TEST_F(StateMachineTest, NegativeSpeedHoldsTimeAndPendingDelays)
{
    StateMachineSource sm;
    LayerSource layer;
    layer.states = {single(1, 1, -2), single(2)};
    layer.states[0].transitions = {{event_go, 1, 0, 1, 0}};
    sm.layers = {layer};
    AnimationStateMachine *m = start(sm);
    EXPECT_EQ(m->playback(0).speed, 0.0f);
    m->event(event_go);
    for (int i = 0; i < 5; ++i)
        frame(0.5f);
    EXPECT_EQ(m->playback(0).time, 0.0f);
    EXPECT_EQ(m->current_state(0), 0u) << "the pending delay stands still";
    EXPECT_NEAR(m->playback(0).delay, 2.0f, eps);
}

TEST_F(StateMachineTest, RandomChoiceFollowsTheSeedAndFallsBackSoundly)
{
    // The first instance after a reset draws from 1013904223; its first draw picks by
    // thresholds {0.5, 1}.
    u32 r = 1013904223u;
    u32 next = r * 1664525u + 1013904223u;
    f32 u = f32(next) * (1.0f / 4294967296.0f);
    StateMachineSource sm;
    LayerSource layer;
    StateSource pick = single(1);
    pick.animations = {1, 2};
    pick.random_thresholds = {0.5f, 1.0f};
    layer.states = {pick};
    sm.layers = {layer};
    AnimationStateMachine *m = start(sm);
    const AnimationView *expected = u <= 0.5f ? &animations[1]->view : &animations[2]->view;
    EXPECT_EQ(blender->heaviest(m->playback(0).handle).animation, expected);
    EXPECT_EQ(m->playback(0).ratio, expected == &animations[2]->view ? 2.0f : 1.0f);

    // Neither the chosen animation nor the last is loaded: nothing starts.
    blender->clear();
    machines.reset();
    destroy_state_machine_resource(resource, default_allocator());
    layer.states[0].animations = {1, 9};
    layer.states[0].random_thresholds = {0.0f, 1.0f};
    sm.layers = {layer};
    reset_state_machine_seed();
    m = start(sm);
    ASSERT_NE(m, nullptr);
    if (u > 0.0f) {
        EXPECT_EQ(m->playback(0).handle, no_crossfade);
        EXPECT_EQ(blender->layer_count(), 0u);
    }
    frame(0.1f);
    m->event(event_go);
}

TEST_F(StateMachineTest, RootModeFollowsTheStateUnlessItsMaskLeavesTheRootOut)
{
    StateMachineSource sm;
    sm.bone_weight_sets = {{0.5f, 1}, {1, 0}};
    LayerSource layer;
    layer.states = {single(1), single(2), single(3)};
    layer.states[0].root_mode = 2;
    layer.states[1].root_mode = 1;
    layer.states[1].bone_weight_set = 0;
    layer.states[2].root_mode = 3;
    layer.states[2].bone_weight_set = 1;
    layer.states[0].transitions = {{1, 1, 0, 0, 0}};
    layer.states[1].transitions = {{2, 2, 0, 0, 0}};
    sm.layers = {layer};
    AnimationStateMachine *m = start(sm);
    EXPECT_EQ(blender->root_mode(), 2u);
    m->event(1);
    EXPECT_EQ(blender->root_mode(), 2u) << "bone 0 weighs 0.5 in the mask: unchanged";
    m->event(2);
    EXPECT_EQ(blender->root_mode(), 3u);
}

TEST_F(StateMachineTest, UpdateApartFinishesPlainFramesAsUpdateAndHandsOverTheRestUntouched)
{
    add(4, clip(1, {}, 3));
    struct Case {
        const char *name;
        f32 before; // a frame first (0: none)
        bool go;    // then event_go
        f32 step;   // the frame compared
        bool apart; // whether update_apart finishes it
    };
    const Case cases[] = {
        {"a plain frame with a timed event", 0, false, 0.3f, true},
        {"an internal event falls due", 0, false, 0.6f, false},
        {"a pending transition falls due", 0.6f, true, 2.5f, false},
        {"a pending transition not yet due", 0.6f, true, 0.05f, true},
        {"a random choice at a loop", 1.25f, false, 1.0f, false},
    };
    struct Result {
        std::vector<u32> events;
        LayerPlayback layers[2];
        u32 states[2];
    };
    auto result = [&](AnimationStateMachine &m, const Array<u8> &events) {
        Result r;
        walk_world_events(events, [&](u32, const u8 *record, u32 size) {
            AnimationEventPayload p;
            EXPECT_TRUE(read_world_event(record, size, p));
            r.events.push_back(p.event_id);
        });
        for (u32 l = 0; l < 2; ++l) {
            r.layers[l] = m.playback(l);
            r.states[l] = m.current_state(l);
        }
        return r;
    };
    auto same = [](const Result &a, const Result &b) {
        EXPECT_EQ(a.events, b.events);
        for (u32 l = 0; l < 2; ++l) {
            SCOPED_TRACE(l);
            EXPECT_EQ(a.states[l], b.states[l]);
            EXPECT_EQ(a.layers[l].time, b.layers[l].time);
            EXPECT_EQ(a.layers[l].next_event, b.layers[l].next_event);
            EXPECT_EQ(a.layers[l].delay, b.layers[l].delay);
            EXPECT_EQ(a.layers[l].pending, b.layers[l].pending);
            EXPECT_EQ(a.layers[l].loops, b.layers[l].loops);
            EXPECT_EQ(a.layers[l].speed, b.layers[l].speed);
        }
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // The same start twice: once updated, once through update_apart.
        auto begin = [&]() -> AnimationStateMachine * {
            StateMachineSource sm;
            LayerSource timed, random;
            timed.states = {single(1), single(2)};
            timed.states[0].events = {{0.25f, 201, 0}, {0.5f, 202, 1}};
            timed.states[0].transitions = {{202, 1, 0, 4, 0}};
            timed.states[1].transitions = {{event_go, 0, 0.5f, 1, 0}};
            StateSource pick = single(3);
            pick.animations = {3, 4};
            pick.random_thresholds = {0.5f, 1.0f};
            random.states = {pick};
            sm.layers = {timed, random};
            if (resource)
                destroy_state_machine_resource(resource, default_allocator());
            machines.reset();
            blender->clear();
            reset_state_machine_seed();
            AnimationStateMachine *m = start(sm);
            if (m && c.before > 0) {
                frame(c.before);
                player.update(); // the player's times catch up with the blender's step
            }
            posted();
            if (m && c.go)
                m->event(event_go);
            return m;
        };
        AnimationStateMachine *m = begin();
        ASSERT_NE(m, nullptr);
        m->update(c.step, machines->events());
        const Result updated = result(*m, machines->events());
        machines->events().clear();

        m = begin();
        const Result before = result(*m, machines->events());
        const u32 playbacks = player.count();
        ASSERT_EQ(m->update_apart(c.step), c.apart);
        EXPECT_TRUE(machines->events().empty()) << "its events stay with the machine";
        if (c.apart) {
            same(result(*m, m->frame_events()), updated);
            continue;
        }
        EXPECT_EQ(player.count(), playbacks) << "no playback started or stopped";
        EXPECT_TRUE(m->frame_events().empty());
        same(result(*m, m->frame_events()), before);
        m->update(c.step, machines->events());
        same(result(*m, machines->events()), updated);
    }
}

struct MachinesRun {
    std::vector<u32> events; // frame, unit, id of each event the World would walk
    u64 state = 0;           // the player's and blenders' hashes, then each machine's layers
};

/// Forty-eight machines of four kinds (plain loops, random choices at each loop, timed and
/// internal events with keep-phase and end-of-animation transitions, blend states over
/// two layers driven by variables), with events and variable changes on some frames.
MachinesRun run_machines(ThreadPool *pool)
{
    std::map<u64, std::unique_ptr<ReadAnimation>> animations;
    animations[1] = std::make_unique<ReadAnimation>(clip(0.7f, {{0.2f, key_a}, {0.5f, key_b}}));
    animations[2] = std::make_unique<ReadAnimation>(clip(1.1f, {{0.3f, key_a}, {0.9f, key_b}}, 1));
    animations[3] = std::make_unique<ReadAnimation>(clip(0.4f, {}, 2));
    auto find = [](const void *context, u64 name) -> const AnimationView * {
        auto &m = *static_cast<const std::map<u64, std::unique_ptr<ReadAnimation>> *>(context);
        auto it = m.find(name);
        return it == m.end() ? nullptr : &it->second->view;
    };
    StateMachineSource kinds[4];
    {
        LayerSource l;
        l.states = {single(1), single(2)};
        l.states[0].speed_expression = l.states[0].add_expression(Expression().var(0).end());
        l.states[0].transitions = {{event_go, 1, 0.2f, 0, 0}};
        l.states[1].transitions = {{event_go, 0, 0.1f, 3, 0}};
        kinds[0].layers = {l};
        kinds[0].variable_names = {1};
        kinds[0].variable_defaults = {1.5f};
    }
    {
        LayerSource l;
        StateSource pick = single(1);
        pick.animations = {1, 2, 3};
        pick.random_thresholds = {0.3f, 0.6f, 1.0f};
        l.states = {pick};
        kinds[1].layers = {l};
    }
    {
        LayerSource l;
        l.states = {single(2), single(1)};
        l.states[0].events = {{0.2f, 201, 0}, {0.6f, 202, 1}, {0.6f, 203, 0}};
        l.states[0].transitions = {{202, 1, 0.25f, 4, 0}};
        l.states[1].transitions = {{event_go, 0, 0.3f, 1, 0}};
        kinds[2].layers = {l};
    }
    {
        LayerSource base, top;
        StateSource mix;
        mix.type = 2;
        mix.loop = 1;
        mix.animations = {1, 2};
        mix.weight_expressions = {mix.add_expression(Expression().var(0).end()),
                                  mix.add_expression(Expression().push_int(1).var(0).op(1).end())};
        mix.speed_expression = mix.add_expression(Expression().push_int(1).end());
        base.states = {mix, single(3)};
        base.states[0].transitions = {{event_go, 1, 0.2f, 2, key_a}, {event_go, 1, 0.2f, 0, 0}};
        base.states[1].events = {{0.3f, 204, 1}};
        base.states[1].transitions = {{204, 0, 0.1f, 0, 0}};
        top.states = {single(3)};
        kinds[3].layers = {base, top};
        kinds[3].variable_names = {2};
        kinds[3].variable_defaults = {0.25f};
    }
    StateMachineResource *resources[4];
    for (u32 k = 0; k < 4; ++k) {
        std::vector<u8> bytes = write_state_machine(kinds[k]);
        resources[k] = read_state_machine(bytes.data(), bytes.size(), default_allocator());
    }
    reset_state_machine_seed(7);
    AnimationPlayer player(default_allocator(), pool);
    AnimationBlenders blenders(default_allocator(), pool, player);
    AnimationStateMachines machines(default_allocator(), AnimationLookup{&animations, find}, pool);
    std::vector<std::unique_ptr<SceneGraph>> graphs;
    std::vector<AnimationStateMachine *> list;
    const u32 nodes[] = {0, 1};
    for (u32 i = 0; i < 48; ++i) {
        graphs.push_back(std::make_unique<SceneGraph>(default_allocator(), 2));
        AnimationBlender *b = blenders.create_blender(*graphs.back(), nodes, 2);
        list.push_back(resources[i % 4] ? machines.create_state_machine(*resources[i % 4], *b, i + 1) : nullptr);
    }
    MachinesRun run;
    for (u32 f = 0; f < 120; ++f) {
        for (u32 i = 0; i < list.size(); ++i) {
            if (!list[i])
                continue;
            if ((f + i) % 37 == 0)
                list[i]->event(event_go);
            if (f % 25 == 0 && i % 4 == 3)
                list[i]->set_variable(0, f32((f + i) % 5) * 0.25f);
        }
        machines.update(1.0f / 30);
        player.update();
        blenders.update(1.0f / 30);
        walk_world_events(machines.events(), [&](u32, const u8 *record, u32 size) {
            AnimationEventPayload p;
            if (read_world_event(record, size, p))
                run.events.insert(run.events.end(), {f, p.unit, p.event_id});
        });
        machines.events().clear();
    }
    StateHasher hasher;
    player.hash_state(hasher);
    blenders.hash_state(hasher);
    for (AnimationStateMachine *m : list)
        for (u32 l = 0; m && l < m->layer_count(); ++l) {
            hasher.add(m->current_state(l));
            hasher.add(m->playback(l).time);
            hasher.add(m->playback(l).loops);
        }
    run.state = hasher.value();
    while (machines.count() > 0 && !list.empty()) {
        if (list.back())
            machines.destroy_state_machine(list.back());
        list.pop_back();
    }
    for (StateMachineResource *r : resources)
        if (r)
            destroy_state_machine_resource(r, default_allocator());
    return run;
}

TEST(StateMachinesJob, SameEventsAndStateOnAPoolAsOneAfterAnother)
{
    ThreadRegistry registry{default_allocator(), "main"};
    const MachinesRun alone = run_machines(nullptr);
    // The scenario reaches every kind of frame: timed, internal and key events.
    for (u32 id : {201u, 203u, u32(key_a), u32(key_b)})
        EXPECT_NE(std::find(alone.events.begin(), alone.events.end(), id), alone.events.end()) << id;
    ThreadPool one(default_allocator(), 1, registry);
    ThreadPool eight(default_allocator(), 8, registry);
    for (ThreadPool *pool : {&one, &eight}) {
        const MachinesRun pooled = run_machines(pool);
        EXPECT_EQ(pooled.events, alone.events);
        EXPECT_EQ(pooled.state, alone.state);
    }
}

} // namespace
} // namespace tallow::test
