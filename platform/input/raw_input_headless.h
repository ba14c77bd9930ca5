#pragma once
// The raw input backend tests drive (platform/input/raw_input.h); the engine never includes
// this header.
//
//   HeadlessRawInput raw;
//   raw.set_key(raw_key_w, true);
//   raw.move(3, -2);
//   params.raw = &raw;       // InputManagerParams

#include "platform/input/raw_input.h"

namespace tallow::platform {

/// The backend tests drive: reads return what was set; motion and wheel are consumed by a
/// read, as the device's are.
class HeadlessRawInput final : public IRawInput {
  public:
    const char *keyboard_name() const override { return "headless keyboard"; } // See IRawInput
    const char *mouse_name() const override { return "headless mouse"; }
    bool read_keyboard(u8 *out_keys) override;
    bool read_mouse(RawMouseState &out_state) override;

    void set_key(u32 scan_code, bool down);
    void set_button(u32 button, bool down);
    void move(i32 dx, i32 dy) { _mouse.x += dx, _mouse.y += dy; }
    void turn_wheel(i32 notches) { _mouse.z += notches; }
    /// While false, both reads fail (a device that was lost).
    void set_readable(bool readable) { _readable = readable; }

  private:
    u8 _keys[raw_key_count] = {};
    RawMouseState _mouse;
    bool _readable = true;
};

} // namespace tallow::platform
