#include "script_fixture.h"

#include "input/input_manager.h"
#include "input/lightfx_service.h"
#include "platform/window/virtual_keys.h"
#include "script/services/input_api.h"
#include "script/script_api.h"
#include "tests/input/fake_pads.h"

#include <cmath>

namespace tallow::test {
namespace {

struct RecordingLightFx final : ILightFxService {
    void update(f32) override {}
    void set_color_in_cube(u32 mask, f32 r, f32 g, f32 b, f32 a, f32 fade) override
    {
        calls.push_back({mask, r, g, b, a, fade});
    }
    struct Call {
        u32 mask;
        f32 r, g, b, a, fade;
    };
    std::vector<Call> calls;
};

class InputApiTest : public ScriptTest {
  protected:
    void make(const char *keyboard = nullptr, const char *mouse = nullptr)
    {
        InputManagerParams params;
        params.keyboard = keyboard;
        params.mouse = mouse;
        params.pads = &pads;
        input = std::make_unique<InputManager>(default_allocator(), params);
        register_math_api(env);
        register_input_api(env, input.get(), &lightfx);
    }
    FakePads pads;
    RecordingLightFx lightfx;
    std::unique_ptr<InputManager> input;
};

TEST_F(InputApiTest, TablesReadTheDevices)
{
    pads.present[0] = true;
    pads.states[0].buttons = platform::pad_a;
    pads.states[0].thumb_lx = 32767;
    make();
    input->on_key_down('D', 1, 0, 0, 0);
    input->update(0.016f);
    EXPECT_EQ(run(R"(
        assert(Keyboard.type() == "win32_keyboard" and Keyboard.name() == "win32_keyboard")
        assert(Keyboard.num_buttons() == 256 and Keyboard.num_axes() == 0 and Keyboard.num_rumble_motors() == 0)
        local d = Keyboard.button_index("d")
        assert(d == 68 and Keyboard.button(d) == 1 and Keyboard.pressed(d) and not Keyboard.released(d))
        assert(Keyboard.any_pressed() and not Keyboard.any_released())
        assert(Keyboard.button_name(d) == "d" and Keyboard.button_locale_name(d) == "D")
        assert(Keyboard.button_index("no such button") == nil)
        assert(Keyboard.active() and Keyboard.connected() and not Keyboard.disconnected())
        Keyboard.set_down_threshold(1.5) assert(Keyboard.down_threshold() == 1)
        Keyboard.set_down_threshold(-1) assert(Keyboard.down_threshold() == 0)

        assert(Mouse.type() == "win32_mouse" and Mouse.axis_name(Mouse.axis_index("cursor")) == "cursor")
        assert(Mouse.axis_index("nope") == nil and Mouse.rumble_motor_index("left") == nil)

        assert(Pad1.type() == "xbox_controller" and Pad1.name() == "Xbox Controller 0")
        assert(Pad4.name() == "Xbox Controller 3" and not Pad4.active())
        assert(Pad1.button(Pad1.button_index("a")) == 1)
        local stick = Pad1.axis(Pad1.axis_index("left"))
        assert(stick.x == 1 and stick.y == 0)
        assert(Pad1.rumble_motor_name(1) == "right" and Pad1.rumble_motor_index("left") == 0)
    )"), "");
}

TEST_F(InputApiTest, RumbleEffectsFromTables)
{
    pads.present[1] = true;
    make();
    EXPECT_EQ(run(R"(
        first = Pad2.rumble_effect(0, {period = 0.5, frequency = 7, attack = 0.2, sustain = 1})
        second = Pad2.rumble_effect(1, {attack_level = "loud"})  -- not a number: the default
        Pad2.set_rumble(1, 0.25)
        Pad2.set_rumble_enabled(false)
    )"), "");
    EXPECT_EQ(number("first"), 1);
    EXPECT_EQ(number("second"), 2) << "ids are shared by the motors";
    InputController &pad = *input->pad(1);
    EXPECT_EQ(pad.effect_count(0), 1u);
    EXPECT_EQ(pad.motor_level(1), 0.25f);
    EXPECT_FALSE(pad.rumble_enabled());
    pad.update(0.1f);
    // frequency 2 (the period wins), attack 0.2 at t = 0.1: envelope 0.5 x the raised sine.
    const f64 sine = 0.5 * (1.0 + std::sin(2.0 * M_PI * (2.0 * 0.1 - 0.25)));
    EXPECT_NEAR(pad.motor_output(0), 0.5 * sine, 1e-5);
    EXPECT_EQ(run("Pad2.stop_rumble_effect(0, first) Pad2.stop_rumble_effect(0, 99) Pad2.stop_all_rumble_effects(1)"), "");
    EXPECT_EQ(pad.effect_count(0), 0u);
}

TEST_F(InputApiTest, BadIndicesAndArgumentsRaise)
{
    make("none");
    const ScriptErrorCase cases[] = {
        {"Mouse.button(14)", "bad argument #1 to 'Mouse.button' (14 out of range [0, 13])"},
        {"Mouse.pressed(-1)", "bad argument #1 to 'Mouse.pressed'"},
        {"Mouse.button_name(1e10)", "'Mouse.button_name'"},
        {"Mouse.axis(3)", "bad argument #1 to 'Mouse.axis'"},
        {"Pad1.set_rumble(2, 1)", "bad argument #1 to 'Pad1.set_rumble'"},
        {"Pad1.rumble_effect(0)", "bad argument #2 to 'Pad1.rumble_effect'"},
        {"Pad1.rumble_effect(0, {period = 0})", "a period must not be 0"},
        {"Pad1.rumble_effect(1, {sustain = math.huge})", "bad argument #2 to 'Pad1.rumble_effect'"},
        {"Pad1.stop_all_rumble_effects(5)", "'Pad1.stop_all_rumble_effects'"},
        {"Mouse.set_rumble(0, 1)", "the device has no rumble motors"},
        {"Pad1.button('a')", "bad argument #1 to 'Pad1.button'"},
        // The keyboard the settings left out: a device with nothing to read.
        {"Keyboard.button(0)", "the device has no buttons"},
        {"Keyboard.axis(0)", "the device has no axes"},
        {"LightFX.set_color_in_cube(1, 2, 3)", "bad argument #4 to 'LightFX.set_color_in_cube'"},
        {"LightFX.set_color_in_cube(1, 2, 3, 4, 0, 7)", "bad argument #6 to 'LightFX.set_color_in_cube'"},
    };
    expect_script_errors(cases, [&](const char *code) { return run(code); });
    EXPECT_EQ(input->pad(0)->effect_count(0) + input->pad(0)->effect_count(1), 0u);
    EXPECT_EQ(run("assert(Keyboard.num_buttons() == 0 and not Keyboard.active() and not Keyboard.any_pressed())\n"
                  "assert(Keyboard.button_index('a') == nil and Keyboard.type() == '')"),
              "");
}

TEST_F(InputApiTest, LightFxColoursAndLocationTables)
{
    make();
    EXPECT_EQ(run("LightFX.set_color_in_cube(255, 0, 51, 255, 0.5)\n"
                  "LightFX.set_color_in_cube(0, 0, 0, 0, 0, {true, false, true, [7] = true, [10] = 1, [28] = true})"),
              "");
    ASSERT_EQ(lightfx.calls.size(), 2u);
    EXPECT_EQ(lightfx.calls[0].mask, lightfx_all_locations);
    EXPECT_FLOAT_EQ(lightfx.calls[0].r, 1.0f);
    EXPECT_FLOAT_EQ(lightfx.calls[0].b, 0.2f);
    EXPECT_FLOAT_EQ(lightfx.calls[0].fade, 0.5f);
    EXPECT_EQ(lightfx.calls[1].mask, 1u << 6 | 1u << 8 | 1u << 0 | 1u << 15) << "entries past 27 are not locations";
}

TEST_F(InputApiTest, WithoutTheServicesTheTablesNameThem)
{
    register_input_api(env, nullptr, nullptr);
    const ScriptErrorCase cases[] = {
        {"Keyboard.button(0)", "the input service is not built yet"},
        {"Pad4.active()", "the input service is not built yet"},
        {"LightFX.set_color_in_cube(0, 0, 0, 0, 0)", "the lightfx service is not built yet"},
    };
    expect_script_errors(cases, [&](const char *code) { return run(code); });
}

} // namespace
} // namespace tallow::test
