#pragma once
// Game pads as the engine asks for them: the state of pad 0..3 by user index, and the speed
// of its two rumble motors. The calls, the state record and the result codes follow the
// classic pad-polling interface the input code was written against.
//
//   IPadApi *pads = create_pad_api(allocator, PadBackend::automatic);
//   PadState state;
//   if (pads->get_state(0, state) == pad_success) read(state.buttons);
//   pads->set_state(0, {0x8000, 0});       // left motor at half speed
//   destroy_pad_api(allocator, pads);
//
// A backend implements `get_state` and `set_state`. The SDL2 backend maps the game
// controllers it finds to user indices 0..3 in the order they are opened; the "none" backend
// reports every pad absent. Tests use a fake of their own. Main thread only.

#include "foundation/types.h"

namespace tallow {
class Allocator;
}

namespace tallow::platform {

constexpr u32 max_pads = 4;
constexpr u32 pad_success = 0;
constexpr u32 pad_not_connected = 1167; // the absent pad's code

// Button bits of PadState::buttons.
constexpr u16 pad_dpad_up = 0x0001, pad_dpad_down = 0x0002, pad_dpad_left = 0x0004, pad_dpad_right = 0x0008;
constexpr u16 pad_start = 0x0010, pad_back = 0x0020, pad_left_thumb = 0x0040, pad_right_thumb = 0x0080;
constexpr u16 pad_left_shoulder = 0x0100, pad_right_shoulder = 0x0200;
constexpr u16 pad_a = 0x1000, pad_b = 0x2000, pad_x = 0x4000, pad_y = 0x8000;

/// One reading of a pad. Sticks: -32768..32767, positive y up; triggers 0..255.
struct PadState {
    u32 packet_number = 0;
    u16 buttons = 0;
    u8 left_trigger = 0;
    u8 right_trigger = 0;
    i16 thumb_lx = 0, thumb_ly = 0, thumb_rx = 0, thumb_ry = 0;
};
static_assert(sizeof(PadState) == 16);

/// Motor speeds, 0..65535 (left: the low-frequency motor). A setting holds until changed.
struct PadVibration {
    u16 left_motor_speed = 0;
    u16 right_motor_speed = 0;
};

class IPadApi {
  public:
    virtual ~IPadApi() = default;
    /// pad_success and the state, or pad_not_connected (state untouched) for an absent pad
    /// or a user index of 4 or more.
    virtual u32 get_state(u32 user_index, PadState &out_state) = 0;
    /// pad_success, or pad_not_connected.
    virtual u32 set_state(u32 user_index, const PadVibration &vibration) = 0;
};

enum class PadBackend : u8 {
    automatic, // SDL2 game controllers when they start, else none
    none,      // every pad absent
};

/// Never null (falls back to the none backend, logged) unless memory runs out.
IPadApi *create_pad_api(Allocator &allocator, PadBackend backend);
void destroy_pad_api(Allocator &allocator, IPadApi *pads);

} // namespace tallow::platform
