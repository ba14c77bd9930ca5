#pragma once
// Virtual-key codes: the key numbers the engine and its scripts use for keyboard buttons,
// whatever the backend. Letters are 'A'..'Z' (65-90), digits '0'..'9' (48-57).

#include "foundation/types.h"

namespace tallow::platform::vk {

constexpr u32 back = 0x08, tab = 0x09, clear = 0x0C, enter = 0x0D;
constexpr u32 shift = 0x10, control = 0x11, menu = 0x12, pause = 0x13, caps_lock = 0x14;
constexpr u32 escape = 0x1B, space = 0x20, page_up = 0x21, page_down = 0x22, end = 0x23, home = 0x24;
constexpr u32 left = 0x25, up = 0x26, right = 0x27, down = 0x28;
constexpr u32 select = 0x29, execute = 0x2B, print_screen = 0x2C, insert = 0x2D, del = 0x2E, help = 0x2F;
constexpr u32 left_win = 0x5B, right_win = 0x5C, apps = 0x5D, sleep = 0x5F;
constexpr u32 numpad0 = 0x60; // numpad 0..9 are 0x60..0x69
constexpr u32 multiply = 0x6A, add = 0x6B, separator = 0x6C, subtract = 0x6D, decimal = 0x6E, divide = 0x6F;
constexpr u32 f1 = 0x70; // f1..f24 are 0x70..0x87
constexpr u32 num_lock = 0x90, scroll_lock = 0x91;
constexpr u32 left_shift = 0xA0, right_shift = 0xA1, left_control = 0xA2, right_control = 0xA3;
constexpr u32 left_menu = 0xA4, right_menu = 0xA5;
constexpr u32 browser_back = 0xA6, browser_forward = 0xA7, browser_refresh = 0xA8, browser_stop = 0xA9;
constexpr u32 browser_search = 0xAA, browser_favorites = 0xAB, browser_home = 0xAC;
constexpr u32 volume_mute = 0xAD, volume_down = 0xAE, volume_up = 0xAF;
constexpr u32 next_track = 0xB0, previous_track = 0xB1, media_stop = 0xB2, play_pause = 0xB3, mail = 0xB4;
constexpr u32 oem_1 = 0xBA, oem_plus = 0xBB, oem_comma = 0xBC, oem_minus = 0xBD, oem_period = 0xBE;
constexpr u32 oem_2 = 0xBF, oem_3 = 0xC0, oem_4 = 0xDB, oem_5 = 0xDC, oem_6 = 0xDD, oem_7 = 0xDE;
constexpr u32 oem_102 = 0xE2;

} // namespace tallow::platform::vk
