#include "input/xbox_controller.h"

#include "fake_pads.h"
#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

namespace tallow::test {
namespace {

using platform::PadState;

TEST(PadStick, DeadZonesAndScales)
{
    struct Case {
        i16 value;
        i32 dead_zone;
        f32 expected;
    };
    const Case cases[] = {
        {7849, 7849, 0.0f},   {-7849, 7849, 0.0f}, {0, 7849, 0.0f},   {32767, 7849, 1.0f},
        {-32768, 7849, -1.0f}, {20000, 7849, f32(20000 - 7849) * (1.0f / 24918.0f)},
        {-20000, 7849, f32(-20000 + 7849) * (1.0f / 24919.0f)},
        {8689, 8689, 0.0f},   {32767, 8689, 1.0f}, {-32768, 8689, -1.0f}, {9000, 8689, f32(9000 - 8689) * (1.0f / 24078.0f)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(pad_stick_value(c.value, c.dead_zone), c.expected);
    }
}

TEST(XboxController, ReadsButtonsTriggersAndAxes)
{
    FakePads pads;
    pads.present[1] = true;
    XboxController pad(default_allocator(), pads, 1);
    EXPECT_STREQ(pad.name(), "Xbox Controller 1");
    EXPECT_STREQ(pad.type(), "xbox_controller");
    EXPECT_TRUE(pad.is_active()) << "read once at construction";
    EXPECT_EQ(pads.queries(1), 1u);

    PadState &s = pads.states[1];
    s.buttons = platform::pad_a | platform::pad_dpad_right | platform::pad_dpad_up;
    s.left_trigger = 255;
    s.right_trigger = 127;
    s.thumb_lx = 32767;
    s.thumb_ly = -32768;
    s.thumb_rx = 20000;
    pad.update(0.016f);
    EXPECT_EQ(pad.button(pad.button_index("a")), 1.0f);
    EXPECT_TRUE(pad.pressed(pad.button_index("a")));
    EXPECT_EQ(pad.button(pad.button_index("left_trigger")), 1.0f);
    EXPECT_TRUE(pad.pressed(pad.button_index("left_trigger")));
    EXPECT_FALSE(pad.pressed(pad.button_index("right_trigger"))) << "127 of 255 is below the threshold";
    EXPECT_NEAR(pad.button(pad.button_index("right_trigger")), 127.0f / 255.0f, 1e-6f);
    const Vector3 left = pad.axis(pad.axis_index("left")), right = pad.axis(pad.axis_index("right"));
    const Vector3 dpad = pad.axis(pad.axis_index("dpad"));
    EXPECT_EQ(left.x, 1.0f);
    EXPECT_EQ(left.y, -1.0f);
    EXPECT_NEAR(right.x, (20000.0f - 8689.0f) / 24078.0f, 1e-6f);
    EXPECT_EQ(dpad.x, 1.0f);
    EXPECT_EQ(dpad.y, 1.0f);

    s.left_trigger = 128;
    pad.update(0.016f);
    EXPECT_FALSE(pad.pressed(10));
    EXPECT_FALSE(pad.released(10)) << "128 is still down";
    s.left_trigger = 127;
    pad.update(0.016f);
    EXPECT_TRUE(pad.released(10));
}

TEST(XboxController, AbsentPadsAskRarelyAndStaggered)
{
    FakePads pads;
    std::vector<std::unique_ptr<XboxController>> list;
    for (u32 i = 0; i < 4; ++i)
        list.push_back(std::make_unique<XboxController>(default_allocator(), pads, i));
    // After the failed first query, pad i asks again after i x 75 polls (pad 0 at once),
    // then every 300 polls.
    std::vector<std::vector<u32>> query_polls(4);
    for (u32 poll = 1; poll <= 1200; ++poll) {
        for (u32 i = 0; i < 4; ++i) {
            const u32 before = pads.queries(i);
            list[i]->update(0.016f);
            if (pads.queries(i) != before) query_polls[i].push_back(poll);
            EXPECT_FALSE(list[i]->is_active());
        }
    }
    const std::vector<std::vector<u32>> expected = {
        {1, 301, 601, 901}, {75, 375, 675, 975}, {150, 450, 750, 1050}, {225, 525, 825, 1125}};
    EXPECT_EQ(query_polls, expected);
    for (const FakePads::Call &c : pads.calls)
        EXPECT_FALSE(c.is_set) << "no rumble sent to an absent pad";

    // A pad plugged in with a button held: pressed and connected at its next query.
    pads.present[0] = true;
    pads.states[0].buttons = platform::pad_b;
    u32 polls = 0;
    while (!list[0]->is_active() && polls < 400) {
        list[0]->update(0.016f);
        ++polls;
    }
    EXPECT_EQ(polls, 1u) << "the next query was due at poll 1201";
    EXPECT_TRUE(list[0]->became_connected());
    EXPECT_TRUE(list[0]->pressed(13));
    // Pulled out: disconnected for one update, values zero.
    pads.present[0] = false;
    list[0]->update(0.016f);
    EXPECT_TRUE(list[0]->became_disconnected());
    EXPECT_TRUE(list[0]->released(13));
    EXPECT_EQ(list[0]->button(13), 0.0f);
}

TEST(XboxController, RumbleIsClampedAndSentEveryUpdateWhileConnected)
{
    FakePads pads;
    pads.present[2] = true;
    XboxController pad(default_allocator(), pads, 2);
    pads.calls.clear();
    struct Step {
        const char *name;
        f32 left_level, right_level;
        bool enabled;
        u16 left, right;
    };
    const Step steps[] = {
        {"half", 0.5f, 0.25f, true, 32767, 16383},
        {"over one and below zero", 1.7f, -0.3f, true, 65535, 0},
        {"disabled sends zero", 1.0f, 1.0f, false, 0, 0},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        pad.set_rumble(0, s.left_level);
        pad.set_rumble(1, s.right_level);
        pad.set_rumble_enabled(s.enabled);
        pads.calls.clear();
        pad.update(0.016f);
        const std::vector<FakePads::Call> expected = {{false, 2, 0, 0}, {true, 2, s.left, s.right}};
        EXPECT_EQ(pads.calls, expected);
        EXPECT_EQ(pad.motor_output(0), s.left_level) << "the effects run whether or not rumble is on";
    }
}

} // namespace
} // namespace tallow::test
