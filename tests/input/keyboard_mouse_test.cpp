#include "input/input_manager.h"

#include "fake_pads.h"
#include "foundation/memory/memory_globals.h"
#include "platform/input/raw_input_headless.h"
#include "platform/window/virtual_keys.h"
#include "platform/window/window.h"
#include "platform/window/window_headless.h"

#include <gtest/gtest.h>

#include <string>

namespace tallow::test {
namespace {

using namespace platform;

/// Messages injected into the headless window system reach the input manager through the
/// window's listener lists, as in a run.
class KeyboardMouseTest : public ::testing::Test {
  protected:
    KeyboardMouseTest() : system(default_allocator()), window(default_allocator(), system)
    {
        EXPECT_TRUE(window.create("input", 0, 0, 640, 480));
    }

    InputManager &make(const char *keyboard = nullptr, const char *mouse = nullptr)
    {
        InputManagerParams params;
        params.keyboard = keyboard;
        params.mouse = mouse;
        params.keys = &system;
        params.pads = &pads;
        params.raw = &raw;
        input = std::make_unique<InputManager>(default_allocator(), params);
        IInputService *s = input.get();
        window.add_key_down_listener(s, [](void *o, u32 vk, u32 r, u32 h, u32 e, u32 p) {
            static_cast<IInputService *>(o)->on_key_down(vk, r, h, e, p);
        });
        window.add_key_up_listener(s, [](void *o, u32 vk, u32 h, u32 e) { static_cast<IInputService *>(o)->on_key_up(vk, h, e); });
        window.add_button_down_listener(s, [](void *o, u32 b) { static_cast<IInputService *>(o)->on_button_down(b); });
        window.add_button_up_listener(s, [](void *o, u32 b) { static_cast<IInputService *>(o)->on_button_up(b); });
        window.add_wheel_listener(s, [](void *o, const WindowVector &v) { static_cast<IInputService *>(o)->on_wheel(v.x, v.y, v.z); });
        window.add_raw_motion_listener(s, [](void *o, const WindowVector &v) { static_cast<IInputService *>(o)->on_move(v.x, v.y, v.z); });
        window.add_cursor_listener(s, [](void *o, i32 x, i32 y) { static_cast<IInputService *>(o)->on_cursor(x, y); });
        return *input;
    }
    ~KeyboardMouseTest() override { window.remove_listeners(input.get()); }

    // lparam of a key message: repeat count 1, extended bit 24, previous-state bit 30.
    void key(u32 code, u32 vk, bool extended = false, bool repeat = false)
    {
        system.inject({window.handle(), code, vk, i64(1 | (extended ? 1 << 24 : 0) | (repeat ? 1 << 30 : 0)), {}});
    }
    void mouse(u32 code, u64 wparam = 0, i64 lparam = 0, RawMouse raw = {})
    {
        system.inject({window.handle(), code, wparam, lparam, raw});
    }
    /// One frame: the pump, then the manager's update.
    void frame()
    {
        window.pump_messages();
        input->update(0.016f);
    }

    HeadlessWindowSystem system;
    Window window;
    FakePads pads;
    HeadlessRawInput raw;
    std::unique_ptr<InputManager> input;
};

TEST_F(KeyboardMouseTest, KeysGiveOnePressAndOneReleaseWhateverTheRepeats)
{
    InputController &k = *make().keyboard();
    key(WM_KEYDOWN, 'W');
    frame();
    EXPECT_EQ(k.button('W'), 1.0f);
    EXPECT_TRUE(k.pressed('W'));
    key(WM_KEYDOWN, 'W', false, true); // auto-repeats
    key(WM_KEYDOWN, 'W', false, true);
    frame();
    EXPECT_FALSE(k.pressed('W'));
    EXPECT_FALSE(k.any_pressed());
    EXPECT_EQ(k.button('W'), 1.0f);
    key(WM_KEYUP, 'W');
    frame();
    EXPECT_TRUE(k.released('W'));
    EXPECT_EQ(k.button('W'), 0.0f);
    // Pressed and let go within one frame: both edges, value 0.
    key(WM_KEYDOWN, vk::space);
    key(WM_KEYUP, vk::space);
    frame();
    EXPECT_TRUE(k.pressed(vk::space));
    EXPECT_TRUE(k.released(vk::space));
    EXPECT_EQ(k.button(vk::space), 0.0f);
}

TEST_F(KeyboardMouseTest, ModifiersResolveToTheirSides)
{
    InputController &k = *make().keyboard();
    // Left shift down, then right shift while left is held, then left let go first.
    system.set_key_down(vk::left_shift, true);
    key(WM_KEYDOWN, vk::shift);
    system.set_key_down(vk::right_shift, true);
    key(WM_KEYDOWN, vk::shift);
    frame();
    EXPECT_TRUE(k.pressed(vk::left_shift));
    EXPECT_TRUE(k.pressed(vk::right_shift));
    system.set_key_down(vk::left_shift, false);
    key(WM_KEYUP, vk::shift);
    frame();
    EXPECT_TRUE(k.released(vk::left_shift));
    EXPECT_FALSE(k.released(vk::right_shift));
    EXPECT_EQ(k.button(vk::right_shift), 1.0f);

    key(WM_KEYDOWN, vk::control, true);
    key(WM_KEYDOWN, vk::menu, false);
    frame();
    EXPECT_TRUE(k.pressed(vk::right_control));
    EXPECT_TRUE(k.pressed(vk::left_menu));
    EXPECT_FALSE(k.pressed(vk::control));
}

TEST_F(KeyboardMouseTest, MouseButtonsWheelMotionAndCursor)
{
    InputController &m = *make().mouse();
    const u32 wheel = m.axis_index("wheel"), motion = m.axis_index("mouse"), cursor = m.axis_index("cursor");
    // One notch down: a tap of "wheel_down" and the axis for that frame only.
    mouse(WM_MOUSEWHEEL, u64(u32(-WHEEL_DELTA) << 16));
    mouse(WM_INPUT, 0, 0, RawMouse{true, 3, -2});
    mouse(WM_INPUT, 0, 0, RawMouse{true, 4, 1});
    mouse(WM_MOUSEMOVE, 0, make_lparam(10, 0));
    frame();
    const u32 down = m.button_index("wheel_down");
    EXPECT_TRUE(m.pressed(down));
    EXPECT_TRUE(m.released(down));
    EXPECT_EQ(m.button(down), 0.0f);
    EXPECT_EQ(m.axis(wheel).y, -1.0f);
    EXPECT_EQ(m.axis(motion).x, 7.0f);
    EXPECT_EQ(m.axis(motion).y, -1.0f);
    EXPECT_EQ(m.axis(cursor).x, 10.0f);
    EXPECT_EQ(m.axis(cursor).y, 479.0f) << "counted from the bottom row";
    frame();
    EXPECT_EQ(m.axis(wheel).y, 0.0f);
    EXPECT_EQ(m.axis(motion).x, 0.0f);
    EXPECT_EQ(m.axis(cursor).y, 479.0f) << "the cursor stays where it was";
    mouse(WM_MOUSEHWHEEL, u64(u32(WHEEL_DELTA) << 16));
    frame();
    EXPECT_TRUE(m.pressed(m.button_index("wheel_right")));
    EXPECT_EQ(m.axis(wheel).x, 1.0f);

    // A left double click: down, up, the double-click message, up.
    mouse(WM_LBUTTONDOWN);
    mouse(WM_LBUTTONUP);
    frame();
    mouse(WM_LBUTTONDBLCLK);
    frame();
    const u32 left = m.button_index("left"), left_double = m.button_index("left_double");
    EXPECT_TRUE(m.pressed(left));
    EXPECT_TRUE(m.pressed(left_double));
    EXPECT_TRUE(m.released(left_double));
    EXPECT_EQ(m.button(left_double), 0.0f);
    EXPECT_EQ(m.button(left), 1.0f);
    mouse(WM_LBUTTONUP);
    frame();
    EXPECT_TRUE(m.released(left));
}

TEST_F(KeyboardMouseTest, KeystateKeyboardPollsTheKeysWithEdges)
{
    InputController &k = *make("keystate").keyboard();
    EXPECT_STREQ(k.type(), "win32_keyboard");
    key(WM_KEYDOWN, 'A'); // messages are not what this kind reads
    frame();
    EXPECT_FALSE(k.any_pressed());
    system.set_key_down(vk::left_shift, true);
    frame();
    EXPECT_TRUE(k.pressed(vk::shift)) << "the generic shift goes down with a side";
    EXPECT_TRUE(k.pressed(vk::left_shift));
    frame();
    EXPECT_FALSE(k.any_pressed());
    system.set_key_down(vk::left_shift, false);
    frame();
    EXPECT_TRUE(k.released(vk::shift));
}

TEST_F(KeyboardMouseTest, SettingsChooseTheDevices)
{
    struct Case {
        const char *keyboard, *mouse;
        u32 devices;
        bool has_keyboard, has_mouse;
    };
    const Case cases[] = {
        {nullptr, nullptr, 6, true, true},   {"none", nullptr, 5, false, true}, {"windows", "none", 5, true, false},
        {"keystate", "windows", 6, true, true}, {"directx", "directx", 6, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.keyboard ? c.keyboard : "-") + "/" + (c.mouse ? c.mouse : "-"));
        if (input) window.remove_listeners(input.get());
        InputManager &m = make(c.keyboard, c.mouse);
        EXPECT_EQ(m.devices().size(), c.devices);
        EXPECT_EQ(m.keyboard() != nullptr, c.has_keyboard);
        EXPECT_EQ(m.mouse() != nullptr, c.has_mouse);
        EXPECT_EQ(m.pad_count(), 4u);
        EXPECT_EQ(m.devices().back(), m.pad(3));
        // A device left out: its messages are ignored, its script device never connects.
        key(WM_KEYDOWN, 'X');
        mouse(WM_LBUTTONDOWN);
        frame();
        EXPECT_EQ(m.script_keyboard().button_count(), c.has_keyboard ? 256u : 0u);
        EXPECT_EQ(m.script_keyboard().is_active(), c.has_keyboard);
        EXPECT_EQ(m.script_mouse().is_active(), c.has_mouse);
    }
}

// The "directx" kinds read the whole keyboard and mouse state at each poll, by scan code, and
// derive the edges themselves; a device that cannot be read goes inactive (the keyboard
// keeping its last values, the mouse letting every button go).
TEST_F(KeyboardMouseTest, DeviceKindsReadTheWholeStateEachPoll)
{
    InputManager &m = make("directx", "directx");
    InputController &k = *m.keyboard();
    InputController &mouse = *m.mouse();
    EXPECT_EQ(k.button_index("w"), raw_key_w);
    EXPECT_EQ(k.button_index("left shift"), raw_key_left_shift);
    EXPECT_EQ(k.button_index("up"), raw_key_up);
    EXPECT_STREQ(k.button_name(43), "\\");
    EXPECT_STREQ(mouse.button_name(9), "wheel_down");
    EXPECT_EQ(mouse.axis_index("mouse"), 0u);
    EXPECT_EQ(mouse.axis_count(), 1u);

    // A key held over three polls: one pressed edge, then one released edge.
    raw.set_key(raw_key_w, true);
    frame();
    EXPECT_TRUE(k.is_active());
    EXPECT_TRUE(k.pressed(raw_key_w));
    EXPECT_EQ(k.button(raw_key_w), 1.0f);
    frame();
    EXPECT_FALSE(k.pressed(raw_key_w));
    EXPECT_EQ(k.button(raw_key_w), 1.0f);
    raw.set_key(raw_key_w, false);
    frame();
    EXPECT_TRUE(k.released(raw_key_w));

    // Motion and the wheel are since the last poll; a wheel notch down holds "wheel_down".
    raw.move(3, -2);
    raw.turn_wheel(-1);
    raw.set_button(1, true);
    frame();
    EXPECT_TRUE(mouse.is_active());
    EXPECT_EQ(mouse.axis(0).x, 3.0f);
    EXPECT_EQ(mouse.axis(0).y, -2.0f);
    EXPECT_TRUE(mouse.pressed(mouse.button_index("wheel_down")));
    EXPECT_TRUE(mouse.pressed(mouse.button_index("right")));
    frame();
    EXPECT_EQ(mouse.axis(0).x, 0.0f);
    EXPECT_TRUE(mouse.released(mouse.button_index("wheel_down")));
    EXPECT_EQ(mouse.button(mouse.button_index("right")), 1.0f);

    // Lost: the keyboard keeps what it had, the mouse lets go.
    raw.set_key(raw_key_space, true);
    frame();
    raw.set_readable(false);
    raw.move(5, 5);
    frame();
    EXPECT_FALSE(k.is_active());
    EXPECT_EQ(k.button(raw_key_space), 1.0f);
    EXPECT_FALSE(mouse.is_active());
    EXPECT_TRUE(mouse.released(mouse.button_index("right")));
    EXPECT_EQ(mouse.axis(0).x, 0.0f);
    raw.set_readable(true);
    frame();
    EXPECT_TRUE(k.is_active() && mouse.is_active());
}

TEST(RawKeys, SdlScanCodesMapToTheKeyboardsNumbering)
{
    struct Case {
        u32 sdl, raw;
        const char *name;
    } cases[] = {{26 /* W */, raw_key_w, "w"}, {225 /* left shift */, raw_key_left_shift, "left shift"},
                 {82 /* up */, raw_key_up, "up"}, {88 /* keypad enter */, 156, "num enter"},
                 {41 /* escape */, raw_key_escape, "esc"}, {0, 0, ""}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(raw_key_from_sdl_scancode(c.sdl), c.raw);
        EXPECT_STREQ(raw_key_name(c.raw), c.name);
    }
}

TEST(KeyNames, TablesAndTheirCorrectedEntries)
{
    struct Case {
        u32 vk;
        const char *window, *keystate;
    };
    const Case cases[] = {
        {'A', "a", "a"},
        {16, "", "shift"},
        {37, "left", "arrow left"},
        {40, "down", "arrow down"},
        {145, "scroll lock", "scroll lock"}, // once misspelt "scrol lock" in the key-state table
        {220, "oem_5 (| \\)", "oem_5 (| \\)"}, // once "oem_5 (| )", its backslash lost
        {222, "oem_7 (\" ')", "oem_7 (\" ')"},
        {223, "oem_8 (\xA7 !)", "oem_8 (\xA7 !)"}, // the section sign as the byte 0xA7
        {254, "oemclr", "oemclr"},
        {255, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.vk);
        EXPECT_STREQ(window_key_name(c.vk), c.window);
        EXPECT_STREQ(keystate_key_name(c.vk), c.keystate);
    }
    // The old spellings still find their keys on both keyboards.
    WndProcKeyboard window_keyboard(default_allocator(), nullptr);
    KeystateKeyboard keystate_keyboard(default_allocator(), nullptr);
    for (InputController *k : {static_cast<InputController *>(&window_keyboard), static_cast<InputController *>(&keystate_keyboard)}) {
        EXPECT_EQ(k->button_index("scrol lock"), 145u);
        EXPECT_EQ(k->button_index("scroll lock"), 145u);
        EXPECT_EQ(k->button_index("oem_5 (| )"), 220u);
        EXPECT_EQ(k->button_index("oem_5 (| \\)"), 220u);
        EXPECT_STREQ(k->button_name(145), "scroll lock");
        EXPECT_STREQ(k->button_locale_name('Q'), "Q");
        EXPECT_STREQ(k->button_locale_name(vk::escape), "Esc");
    }
    EXPECT_EQ(keystate_keyboard.button_index("arrow up"), 38u);
    EXPECT_EQ(window_keyboard.button_index("arrow up"), input_no_index);
}

} // namespace
} // namespace tallow::test
