// Animation state machines over a real blender and player: the transition modes, key
// conditions, timed and internal events, blend variables, random choices, speed, and the
// sound answers to data that would make the machine divide by 0 or play nothing.
#include "animation/animation_player.h"
#include "animation/animation_state_machine.h"
#include "foundation/memory/memory_globals.h"
#include "tests/animation/animation_fixture.h"
#include "world/scene_graph.h"
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

} // namespace
} // namespace tallow::test
