#pragma once
// The keyboard and mouse devices, and the device that stands in for one the settings left out.
//
// - `WndProcKeyboard` / `WndProcMouse` (setting "windows", the default) are fed by the
//   window's key, button, wheel, motion and cursor listeners (platform/window/window.h) and
//   replay the queued events at their next poll, so a key pressed and released within one
//   frame ends up with value 0 and both edge bits.
// - `KeystateKeyboard` (setting "keystate") asks the window system for the state of all 256
//   virtual keys at each poll and derives edges from the down threshold.
// - `NullController` has no buttons, axes or motors and is never connected; it sits behind a
//   script table whose device the settings left out.
//
// Keyboards present 256 buttons indexed by virtual-key code (platform/window/virtual_keys.h);
// the window-message mouse presents 14 buttons and the axes "mouse", "wheel" and "cursor".
// Main thread only.

#include "input/input_controller.h"

namespace tallow {

namespace platform {
class IWindowSystem;
}

/// The fixed key names of the window-message keyboard, by virtual-key code; "" when unnamed.
const char *window_key_name(u32 virtual_key);
/// The same for the key-state keyboard (16 "shift", 37-40 "arrow ...").
const char *keystate_key_name(u32 virtual_key);
/// The display name of a key: its character where it types one, else an English key name;
/// "" when neither is known. A static string.
const char *key_display_name(u32 virtual_key);

constexpr u32 keyboard_button_count = 256;
constexpr u32 mouse_button_count = 14;

struct KeyEvent {
    u32 button;
    bool down;
};

class WndProcKeyboard final : public InputController {
  public:
    /// `keys` answers whether the left shift is down now (may be null: never).
    WndProcKeyboard(Allocator &allocator, platform::IWindowSystem *keys);
    /// A key went down; an auto-repeat (`previous_state` set) is ignored.
    void on_key_down(u32 virtual_key, u32 repeat_count, u32 has_high_word, u32 extended, u32 previous_state);
    void on_key_up(u32 virtual_key, u32 has_high_word, u32 extended);

  protected:
    void poll() override; // See InputController

  private:
    u32 resolve(u32 virtual_key, u32 extended, bool down);

    platform::IWindowSystem *_keys;
    Array<KeyEvent> _queue;
    bool _left_shift_down = false;
};

class KeystateKeyboard final : public InputController {
  public:
    /// `keys` (may be null: every key up) must outlive the device.
    KeystateKeyboard(Allocator &allocator, platform::IWindowSystem *keys);

  protected:
    void poll() override; // See InputController

  private:
    platform::IWindowSystem *_keys;
};

class WndProcMouse final : public InputController {
  public:
    explicit WndProcMouse(Allocator &allocator);
    /// 0 left, 1 right, 2 middle, 3 X1, 4 X2, 5..9 their double clicks.
    void on_button_down(u32 button) { queue(button, true); }
    void on_button_up(u32 button) { queue(button, false); }
    /// One notch is 1.0; a tap of the direction button (10..13) and the sum to the "wheel" axis.
    void on_wheel(const Vector3 &delta);
    void on_move(const Vector3 &delta) { _move_sum = _move_sum + delta; }
    /// Client x, and y counted from the bottom row.
    void on_cursor(i32 x, i32 y) { _cursor_x = x, _cursor_y = y; }

  protected:
    void poll() override; // See InputController

  private:
    void queue(u32 button, bool down);

    Array<KeyEvent> _queue;
    Vector3 _move_sum{};
    Vector3 _wheel_sum{};
    i32 _cursor_x = 0, _cursor_y = 0;
};

class NullController final : public InputController {
  public:
    explicit NullController(Allocator &allocator) : InputController(allocator, 0, 0, 0) {}

  protected:
    void poll() override {} // never connected
};

} // namespace tallow
