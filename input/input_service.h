#pragma once
// The input manager as the Application and the script tables see it. The Application
// forwards the window's key, button, wheel, motion and cursor messages to these operations
// (registered at start-up, removed at shutdown); the script tables read the devices through
// the accessors. Main thread only.

#include "foundation/types.h"

namespace tallow {

class InputController;

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

    /// The devices behind the script tables. Never null: a device the settings left out is
    /// a device with no buttons that is never connected. Owned by the service.
    virtual InputController &script_keyboard() = 0;
    virtual InputController &script_mouse() = 0;
    virtual u32 pad_count() const = 0;
    /// Null for an index at or past pad_count().
    virtual InputController *pad(u32 index) = 0;
};

} // namespace tallow
