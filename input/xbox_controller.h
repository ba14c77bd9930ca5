#pragma once
// One game pad (user index 0..3) read through the pad layer (platform/input/pad_api.h): 16
// buttons (the button bits, with the two triggers as buttons 10 and 11, 0..1), the axes
// "left" and "right" (sticks, per-component dead zones) and "dpad", and the rumble motors
// "left" and "right", sent every update while connected.
//
// An absent pad is slow to ask about, so after a failed query a pad asks again only every
// 300 polls; pad i waits i x 75 polls after its first failure, so the four pads never ask
// in the same frame. Main thread only.

#include "input/input_controller.h"
#include "platform/input/pad_api.h"

namespace tallow {

constexpr u32 pad_button_count = 16;
constexpr u32 pad_query_interval = 300; // polls between queries of an absent pad

/// A stick component with its dead zone (7849 left, 8689 right) mapped to -1..1.
f32 pad_stick_value(i16 value, i32 dead_zone);

class XboxController final : public InputController {
  public:
    /// `pads` must outlive the device. Reads the pad once (an update with dt 0).
    XboxController(Allocator &allocator, platform::IPadApi &pads, u32 user_index);
    u32 user_index() const { return _user_index; }

  protected:
    void poll() override;          // See InputController
    void apply_outputs() override; // See InputController

  private:
    platform::IPadApi *_pads;
    platform::PadState _state;
    u32 _user_index;
    bool _last_query_succeeded = true; // so the first poll queries
    i32 _retry_countdown;
};

} // namespace tallow
