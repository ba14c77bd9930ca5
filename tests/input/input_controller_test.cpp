#include "input/input_controller.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tallow::test {
namespace {

/// A device whose poll reports what the test scripts: values (with edges) and connection.
class ScriptedDevice final : public InputController {
  public:
    ScriptedDevice() : InputController(default_allocator(), 40, 2, 2)
    {
        set_type("scripted");
        set_name("Scripted 0");
        set_button_name(0, "fire");
        set_button_name(33, "jump");
        set_axis_name(1, "stick");
        set_rumble_motor_name(1, "right");
    }
    f32 next[40] = {};
    bool next_connected = true;
    int outputs_applied = 0;

  protected:
    void poll() override
    {
        set_connected(next_connected);
        for (u32 i = 0; i < 40; ++i)
            set_button_with_edges(i, next[i]);
    }
    void apply_outputs() override { ++outputs_applied; }
};

RumbleEffect effect(f32 attack, f32 decay, f32 sustain, f32 release, f32 time, f32 frequency = 0, f32 offset = 0)
{
    return RumbleEffect{1, frequency, offset, 0.8f, 0.4f, attack, decay, sustain, release, time};
}

TEST(RumbleEffect, EnvelopeTable)
{
    struct Case {
        const char *name;
        RumbleEffect e;
        f32 expected;
    };
    const Case cases[] = {
        {"attack half way", effect(0.2f, 0.2f, 0.2f, 0.2f, 0.1f), 0.4f},
        {"decay half way", effect(0.2f, 0.2f, 0.2f, 0.2f, 0.3f), 0.6f},
        {"sustain", effect(0.2f, 0.2f, 0.2f, 0.2f, 0.5f), 0.4f},
        {"release half way", effect(0.2f, 0.2f, 0.2f, 0.2f, 0.7f), 0.2f},
        {"past the end", effect(0.2f, 0.2f, 0.2f, 0.2f, 0.9f), 0.0f},
        {"raised sine starts at 0", effect(0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 2.0f), 0.0f},
        {"raised sine at its crest", effect(0.0f, 0.0f, 1.0f, 0.0f, 0.25f, 2.0f), 0.4f},
        // With no attack the effect starts at its attack level (the formula gave 0/0).
        {"no attack at time 0", effect(0.0f, 0.5f, 0.5f, 0.0f, 0.0f), 0.8f},
        {"no decay", effect(0.1f, 0.0f, 0.5f, 0.0f, 0.1f), 0.8f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const f32 v = rumble_effect_value(c.e);
        EXPECT_FALSE(std::isnan(v));
        EXPECT_NEAR(v, c.expected, 1e-5f);
    }
}

TEST(InputController, RumbleEffectsAddToTheLevelAndEndOnTime)
{
    ScriptedDevice d;
    d.set_rumble(0, 0.5f);
    const u32 a = d.add_rumble_effect(0, 0, 0, 1.0f, 1.0f, 0.2f, 0, 0, 0); // attack only
    const u32 b = d.add_rumble_effect(0, 0, 0, 1.0f, 1.0f, 0, 0, 1.0f, 0); // sustained
    const u32 c = d.add_rumble_effect(1, 0, 0, 1.0f, 1.0f, 0, 0, 0, 0);    // no length: gone at once
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 2u);
    EXPECT_EQ(c, 3u) << "ids are per device, shared by its motors";
    d.update(0.1f);
    EXPECT_NEAR(d.motor_output(0), 0.5f + 0.5f + 1.0f, 1e-5f) << "not clamped";
    EXPECT_EQ(d.motor_output(1), 0.0f) << "an effect removed in its first update contributes nothing";
    EXPECT_EQ(d.effect_count(1), 0u);
    d.update(0.15f); // the first ends; the one moving into its place still counts
    EXPECT_EQ(d.effect_count(0), 1u);
    EXPECT_NEAR(d.motor_output(0), 1.5f, 1e-5f);
    EXPECT_EQ(d.outputs_applied, 2);

    // Stopping: one id, an unknown id, a bad motor; all leave the rest alone.
    const u32 e = d.add_rumble_effect(0, 0, 0, 1, 1, 0, 0, 5, 0);
    d.stop_rumble_effect(0, 99);
    d.stop_rumble_effect(1, e);
    d.stop_rumble_effect(7, e);
    EXPECT_EQ(d.effect_count(0), 2u);
    d.stop_rumble_effect(0, b);
    EXPECT_EQ(d.effect_count(0), 1u);
    d.stop_all_rumble_effects(0);
    EXPECT_EQ(d.effect_count(0), 0u);
    // A motor past the count changes nothing and gets no id.
    EXPECT_EQ(d.add_rumble_effect(2, 0, 0, 1, 1, 0, 0, 1, 0), 0u);
    d.set_rumble(5, 1.0f);
    d.update(0.1f);
    EXPECT_NEAR(d.motor_output(0), 0.5f, 1e-6f);
}

TEST(InputController, EdgesConnectionAndThreshold)
{
    ScriptedDevice d;
    d.next_connected = false;
    d.update(0.016f);
    EXPECT_FALSE(d.is_active());
    EXPECT_FALSE(d.became_connected());
    EXPECT_EQ(d.outputs_applied, 0) << "no outputs while disconnected";

    d.next_connected = true;
    d.next[33] = 0.7f;
    d.update(0.016f);
    EXPECT_TRUE(d.became_connected());
    EXPECT_TRUE(d.is_active());
    EXPECT_TRUE(d.pressed(33));
    EXPECT_TRUE(d.any_pressed());
    EXPECT_FALSE(d.any_released());

    d.update(0.016f);
    EXPECT_FALSE(d.became_connected()) << "for one update only";
    EXPECT_FALSE(d.pressed(33)) << "edges last one update";
    d.next[33] = 0.3f;
    d.update(0.016f);
    EXPECT_TRUE(d.released(33));
    d.set_down_threshold(0.8f);
    d.next[33] = 0.7f; // down before, not under the new threshold
    d.update(0.016f);
    EXPECT_FALSE(d.pressed(33));
    d.next[33] = 0.8f;
    d.update(0.016f);
    EXPECT_TRUE(d.pressed(33));
    d.next_connected = false;
    d.update(0.016f);
    EXPECT_TRUE(d.became_disconnected());
    d.update(0.016f);
    EXPECT_FALSE(d.became_disconnected());

    const struct {
        f32 given, stored;
    } thresholds[] = {{1.5f, 1.0f}, {-1.0f, 0.0f}, {0.25f, 0.25f}, {NAN, 0.0f}};
    for (const auto &t : thresholds) {
        d.set_down_threshold(t.given);
        EXPECT_EQ(d.down_threshold(), t.stored) << t.given;
    }
}

TEST(InputController, NamesAndIndicesOutOfRangeAreHarmless)
{
    ScriptedDevice d;
    EXPECT_STREQ(d.type(), "scripted");
    EXPECT_STREQ(d.name(), "Scripted 0");
    EXPECT_EQ(d.button_index("jump"), 33u);
    EXPECT_EQ(d.button_index("nope"), input_no_index);
    EXPECT_EQ(d.axis_index("stick"), 1u);
    EXPECT_EQ(d.motor_index("right"), 1u);
    EXPECT_STREQ(d.button_name(33), "jump");
    EXPECT_STREQ(d.button_name(1), "");
    // Past every array: zero, false and "".
    EXPECT_EQ(d.button(40), 0.0f);
    EXPECT_FALSE(d.pressed(1000000));
    EXPECT_FALSE(d.released(64));
    EXPECT_STREQ(d.button_name(4000000000u), "");
    EXPECT_STREQ(d.axis_name(2), "");
    EXPECT_STREQ(d.motor_name(9), "");
    EXPECT_EQ(d.axis(5).x, 0.0f);
}

} // namespace
} // namespace tallow::test
