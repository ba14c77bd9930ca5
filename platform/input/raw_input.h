#pragma once
// The keyboard and the mouse read as devices rather than through window messages: at each
// poll, the state of every key by scan code, and the mouse's motion, wheel and buttons since
// the last read. The calls and the state record follow the classic device-reading interface
// the input code was written against: 256 key bytes (bit 0x80: down) indexed by the PC set-1
// scan code numbering, and a 20-byte mouse state.
//
//   IRawInput *raw = create_raw_input(allocator, RawInputBackend::automatic);
//   u8 keys[256];
//   if (raw->read_keyboard(keys) && (keys[raw_key_w] & 0x80)) walk();
//   RawMouseState mouse;
//   if (raw->read_mouse(mouse)) turn(mouse.x);
//   destroy_raw_input(allocator, raw);
//
// A backend implements the two reads and the two names. The SDL2 backend reads SDL's
// keyboard state (mapped from SDL scan codes) and its relative mouse motion, and sums the
// wheel from SDL's events between reads; it reads nothing (false) while SDL video is not
// running. The headless backend (platform/input/raw_input_headless.h, for tests) returns
// what a test set. Main thread only.

#include "foundation/types.h"

namespace tallow {
class Allocator;
}

namespace tallow::platform {

constexpr u32 raw_key_count = 256;
// A few scan codes by name (the full numbering is the keyboard device's name table).
constexpr u32 raw_key_escape = 1, raw_key_w = 17, raw_key_a = 30, raw_key_s = 31, raw_key_d = 32,
              raw_key_left_shift = 42, raw_key_space = 57, raw_key_up = 200, raw_key_left = 203,
              raw_key_right = 205, raw_key_down = 208;

/// One reading of the mouse: motion in mouse counts and wheel notches since the last read
/// (y down, wheel positive away from the user), buttons 0..7 (bit 0x80: down).
struct RawMouseState {
    i32 x = 0, y = 0, z = 0;
    u8 buttons[8] = {};
};
static_assert(sizeof(RawMouseState) == 20);

class IRawInput {
  public:
    virtual ~IRawInput() = default;
    /// The devices' instance names.
    virtual const char *keyboard_name() const = 0;
    virtual const char *mouse_name() const = 0;
    /// Fills 256 bytes; false (the bytes untouched) when the keyboard cannot be read.
    virtual bool read_keyboard(u8 *out_keys) = 0;
    /// False (the state untouched) when the mouse cannot be read.
    virtual bool read_mouse(RawMouseState &out_state) = 0;
};

enum class RawInputBackend : u8 {
    automatic, // SDL2 (whose reads fail while SDL video is not running)
    headless,  // a HeadlessRawInput (platform/input/raw_input_headless.h)
};

IRawInput *create_raw_input(Allocator &allocator, RawInputBackend backend);
void destroy_raw_input(Allocator &allocator, IRawInput *raw);

/// The scan code of an SDL scan code (SDL_Scancode's value); 0 when the key has none.
u32 raw_key_from_sdl_scancode(u32 sdl_scancode);

} // namespace tallow::platform
