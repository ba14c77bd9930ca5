#pragma once
// The keyboard and mouse read as devices (setting "directx" of "keyboard" and "mouse"): each
// poll reads the whole state from the platform's raw input (platform/input/raw_input.h) and
// derives the edges from the down threshold.
//
// - `DirectXKeyboard` (named after the setting): 256 buttons indexed by scan code (the PC set-1 numbering, extended keys
//   + 128), named by `raw_key_name`; type "win32_keyboard", named after the device. A read
//   that fails leaves the values and edges as they were and the device inactive.
// - `DirectXMouse`: 10 buttons ("left", "right", "middle", "extra_1" to "extra_5", "wheel_up",
//   "wheel_down") and the axis "mouse" (the motion since the last poll, in mouse counts); no
//   type string, named after the device. A read that fails lets every button go (with
//   released edges), zeroes the axis and makes the device inactive.
//
// Main thread only.

#include "input/input_controller.h"

namespace tallow {

namespace platform {
class IRawInput;
}

/// The fixed name of a scan code; "" when unnamed.
const char *raw_key_name(u32 scan_code);

constexpr u32 raw_mouse_button_count = 10;

class DirectXKeyboard final : public InputController {
  public:
    /// `raw` must outlive the device.
    DirectXKeyboard(Allocator &allocator, platform::IRawInput &raw);

  protected:
    void poll() override; // See InputController

  private:
    platform::IRawInput *_raw;
};

class DirectXMouse final : public InputController {
  public:
    /// `raw` must outlive the device.
    DirectXMouse(Allocator &allocator, platform::IRawInput &raw);

  protected:
    void poll() override; // See InputController

  private:
    platform::IRawInput *_raw;
};

} // namespace tallow
