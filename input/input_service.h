#pragma once
// The input manager as the Application sees it. The Application forwards the window's key,
// button, wheel, motion and cursor messages to these operations (registered at start-up,
// removed at shutdown). Main thread only.

#include "foundation/types.h"

namespace tallow {

/// The input manager.
class IInputService {
  public:
    virtual ~IInputService() = default;
    virtual void update(f32 dt_seconds) = 0;
    virtual void on_key_down(u32 virtual_key, u32 repeat_count, u32 has_high_word, u32 extended, u32 previous_state) = 0;
    virtual void on_key_up(u32 virtual_key, u32 has_high_word, u32 extended) = 0;
    virtual void on_button_down(u32 button) = 0;
    virtual void on_button_up(u32 button) = 0;
    virtual void on_wheel(f32 x, f32 y, f32 z) = 0;
    virtual void on_move(f32 dx, f32 dy, f32 dz) = 0;
    virtual void on_cursor(i32 x, i32 y) = 0;
};

} // namespace tallow
