#include "input/keyboard_mouse.h"

#include "platform/window/virtual_keys.h"
#include "platform/window/window_system.h"

namespace tallow {

namespace {

struct KeyName {
    u8 vk;
    const char *name;
};

// 223 carries the section sign as the single byte 0xA7, as the names were always stored.
const KeyName key_names[] = {
    {1, "left button **"}, {2, "right button **"}, {3, "break"}, {4, "middle button **"}, {5, "x button 1 **"},
    {6, "x button 2 **"}, {8, "backspace"}, {9, "tab"}, {12, "clear"}, {13, "enter"}, {19, "pause"},
    {20, "caps lock"}, {21, "kana"}, {23, "junja"}, {24, "final"}, {25, "kanji"}, {27, "esc"}, {28, "convert"},
    {29, "non convert"}, {30, "accept"}, {31, "mode change"}, {32, "space"}, {33, "page up"}, {34, "page down"},
    {35, "end"}, {36, "home"}, {37, "left"}, {38, "up"}, {39, "right"}, {40, "down"}, {41, "select"},
    {42, "print"}, {43, "execute"}, {44, "print screen"}, {45, "insert"}, {46, "delete"}, {47, "help"},
    {48, "0"}, {49, "1"}, {50, "2"}, {51, "3"}, {52, "4"}, {53, "5"}, {54, "6"}, {55, "7"}, {56, "8"}, {57, "9"},
    {65, "a"}, {66, "b"}, {67, "c"}, {68, "d"}, {69, "e"}, {70, "f"}, {71, "g"}, {72, "h"}, {73, "i"}, {74, "j"},
    {75, "k"}, {76, "l"}, {77, "m"}, {78, "n"}, {79, "o"}, {80, "p"}, {81, "q"}, {82, "r"}, {83, "s"}, {84, "t"},
    {85, "u"}, {86, "v"}, {87, "w"}, {88, "x"}, {89, "y"}, {90, "z"}, {91, "left win"}, {92, "right win"},
    {93, "context menu"}, {95, "sleep"}, {96, "numpad 0"}, {97, "numpad 1"}, {98, "numpad 2"}, {99, "numpad 3"},
    {100, "numpad 4"}, {101, "numpad 5"}, {102, "numpad 6"}, {103, "numpad 7"}, {104, "numpad 8"},
    {105, "numpad 9"}, {106, "numpad *"}, {107, "numpad +"}, {108, "separator"}, {109, "num -"},
    {110, "numpad ."}, {111, "numpad /"}, {112, "f1"}, {113, "f2"}, {114, "f3"}, {115, "f4"}, {116, "f5"},
    {117, "f6"}, {118, "f7"}, {119, "f8"}, {120, "f9"}, {121, "f10"}, {122, "f11"}, {123, "f12"}, {124, "f13"},
    {125, "f14"}, {126, "f15"}, {127, "f16"}, {128, "f17"}, {129, "f18"}, {130, "f19"}, {131, "f20"},
    {132, "f21"}, {133, "f22"}, {134, "f23"}, {135, "f24"}, {144, "num lock"}, {145, "scroll lock"},
    {146, "jisho"}, {147, "mashu"}, {148, "touroku"}, {149, "loya"}, {150, "roya"}, {160, "left shift"},
    {161, "right shift"}, {162, "left ctrl"}, {163, "right ctrl"}, {164, "left alt"}, {165, "right alt"},
    {166, "browser back"}, {167, "browser forward"}, {168, "browser refresh"}, {169, "browser stop"},
    {170, "browser search"}, {171, "browser favorites"}, {172, "browser home"}, {173, "volume mute"},
    {174, "volume down"}, {175, "volume up"}, {176, "next track"}, {177, "previous track"}, {178, "stop"},
    {179, "play / pause"}, {180, "mail"}, {181, "media"}, {182, "app1"}, {183, "app2"}, {186, "oem_1 (: ;)"},
    {187, "oem_plus (+ =)"}, {188, "oem_comma (< ,)"}, {189, "oem_minus (_ -)"}, {190, "oem_period (> .)"},
    {191, "oem_2 (? /)"}, {192, "oem_3 (~ `)"}, {219, "oem_4 ({ [)"}, {220, "oem_5 (| \\)"},
    {221, "oem_6 (} ])"}, {222, "oem_7 (\" ')"}, {223, "oem_8 (\xA7 !)"}, {225, "ax"}, {226, "oem_102 (> <)"},
    {227, "icohlp"}, {228, "ico00 *"}, {229, "process"}, {230, "icoclr"}, {231, "packet"}, {233, "reset"},
    {234, "jump"}, {235, "oempa1"}, {236, "oempa2"}, {237, "oempa3"}, {238, "wsctrl"}, {239, "cu sel"},
    {240, "oem attn"}, {241, "finish"}, {242, "copy"}, {243, "auto"}, {244, "enlw"}, {245, "back tab"},
    {246, "attn"}, {247, "cr sel"}, {248, "ex sel"}, {249, "er eof"}, {250, "play"}, {251, "zoom"},
    {252, "noname"}, {253, "pa1"}, {254, "oemclr"},
};

// The names as scripts written for the older tables look them up: a misspelt "scrol lock"
// and an "oem_5" whose backslash had been lost. They stay valid lookups of the same keys;
// the names the devices report are the corrected ones above.
const KeyName legacy_names[] = {{145, "scrol lock"}, {220, "oem_5 (| )"}};

const char *mouse_button_names[mouse_button_count] = {
    "left",          "right",          "middle",   "extra_1",    "extra_2",    "left_double", "right_double",
    "middle_double", "extra_1_double", "extra_2_double", "wheel_up", "wheel_down", "wheel_left", "wheel_right",
};

constexpr u32 wheel_up = 10, wheel_down = 11, wheel_left = 12, wheel_right = 13;

// Display names for keys that type no character.
const KeyName display_names[] = {
    {8, "Backspace"}, {9, "Tab"}, {13, "Enter"}, {19, "Pause"}, {20, "Caps Lock"}, {27, "Esc"},
    {32, "Space"}, {33, "Page Up"}, {34, "Page Down"}, {35, "End"}, {36, "Home"}, {37, "Left"}, {38, "Up"},
    {39, "Right"}, {40, "Down"}, {44, "Prnt Scrn"}, {45, "Insert"}, {46, "Delete"}, {91, "Left Windows"},
    {92, "Right Windows"}, {93, "Application"}, {96, "Num 0"}, {97, "Num 1"}, {98, "Num 2"}, {99, "Num 3"},
    {100, "Num 4"}, {101, "Num 5"}, {102, "Num 6"}, {103, "Num 7"}, {104, "Num 8"}, {105, "Num 9"},
    {112, "F1"}, {113, "F2"}, {114, "F3"}, {115, "F4"}, {116, "F5"}, {117, "F6"}, {118, "F7"}, {119, "F8"},
    {120, "F9"}, {121, "F10"}, {122, "F11"}, {123, "F12"}, {144, "Num Lock"}, {145, "Scroll Lock"},
    {160, "Shift"}, {161, "Right Shift"}, {162, "Ctrl"}, {163, "Right Ctrl"}, {164, "Alt"}, {165, "Right Alt"},
};

// Keys that type a character: the character as a one-byte string.
const KeyName typed_keys[] = {
    {106, "*"}, {107, "+"}, {109, "-"}, {110, "."}, {111, "/"}, {186, ";"}, {187, "="}, {188, ","}, {189, "-"},
    {190, "."}, {191, "/"}, {192, "`"}, {219, "["}, {220, "\\"}, {221, "]"}, {222, "'"},
};

const char *find_in(const KeyName *table, u32 count, u32 vk)
{
    for (u32 i = 0; i < count; ++i)
        if (table[i].vk == vk) return table[i].name;
    return "";
}

template <u32 N> const char *find_in(const KeyName (&table)[N], u32 vk) { return find_in(table, N, vk); }

// One static string per letter and digit.
const char *const letters_and_digits[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                          "A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M",
                                          "N", "O", "P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z"};

} // namespace

const char *window_key_name(u32 vk) { return vk < 256 ? find_in(key_names, vk) : ""; }

const char *keystate_key_name(u32 vk)
{
    switch (vk) {
    case 16: return "shift";
    case 37: return "arrow left";
    case 38: return "arrow up";
    case 39: return "arrow right";
    case 40: return "arrow down";
    default: return window_key_name(vk);
    }
}

const char *key_display_name(u32 vk)
{
    if (vk >= '0' && vk <= '9') return letters_and_digits[vk - '0'];
    if (vk >= 'A' && vk <= 'Z') return letters_and_digits[10 + vk - 'A'];
    const char *typed = find_in(typed_keys, vk);
    return *typed ? typed : find_in(display_names, vk);
}

WndProcKeyboard::WndProcKeyboard(Allocator &allocator, platform::IWindowSystem *keys)
    : InputController(allocator, keyboard_button_count, 0, 0), _keys(keys), _queue(allocator)
{
    set_type("win32_keyboard");
    set_name("win32_keyboard");
    for (u32 vk = 0; vk < keyboard_button_count; ++vk) {
        if (*window_key_name(vk)) set_button_name(vk, window_key_name(vk));
        set_button_locale_name(vk, key_display_name(vk));
    }
    for (const KeyName &legacy : legacy_names) {
        set_button_name(legacy.vk, legacy.name);        // enters the old lookup
        set_button_name(legacy.vk, window_key_name(legacy.vk)); // and reports the corrected name
    }
}

u32 WndProcKeyboard::resolve(u32 vk, u32 extended, bool down)
{
    if (vk == platform::vk::shift) {
        const bool left_now = _keys && _keys->is_key_down(platform::vk::left_shift);
        u32 code;
        if (down)
            code = left_now && !_left_shift_down ? platform::vk::left_shift : platform::vk::right_shift;
        else
            code = !left_now && _left_shift_down ? platform::vk::left_shift : platform::vk::right_shift;
        _left_shift_down = left_now;
        return code;
    }
    if (vk == platform::vk::control)
        return extended ? platform::vk::right_control : platform::vk::left_control;
    if (vk == platform::vk::menu)
        return extended ? platform::vk::right_menu : platform::vk::left_menu;
    return vk;
}

void WndProcKeyboard::on_key_down(u32 vk, u32, u32, u32 extended, u32 previous_state)
{
    if (previous_state)
        return; // auto-repeat
    _queue.push_back({resolve(vk, extended, true), true});
}

void WndProcKeyboard::on_key_up(u32 vk, u32, u32 extended) { _queue.push_back({resolve(vk, extended, false), false}); }

void WndProcKeyboard::poll()
{
    set_connected(true);
    for (const KeyEvent &e : _queue) {
        // Codes past 255 (a bad message) are dropped by the base's checks.
        store_button(e.button, e.down ? 1.0f : 0.0f);
        if (e.down) mark_pressed(e.button);
        else mark_released(e.button);
    }
    _queue.clear();
}

KeystateKeyboard::KeystateKeyboard(Allocator &allocator, platform::IWindowSystem *keys)
    : InputController(allocator, keyboard_button_count, 0, 0), _keys(keys)
{
    set_type("win32_keyboard");
    set_name("win32_keyboard");
    for (u32 vk = 0; vk < keyboard_button_count; ++vk) {
        if (*keystate_key_name(vk)) set_button_name(vk, keystate_key_name(vk));
        set_button_locale_name(vk, key_display_name(vk));
    }
    for (const KeyName &legacy : legacy_names) {
        set_button_name(legacy.vk, legacy.name);
        set_button_name(legacy.vk, keystate_key_name(legacy.vk));
    }
}

void KeystateKeyboard::poll()
{
    set_connected(true);
    for (u32 vk = 0; vk < keyboard_button_count; ++vk) {
        bool down = false;
        if (_keys) {
            down = _keys->is_key_down(vk);
            // The generic modifier codes are down with either side.
            if (vk == platform::vk::shift)
                down = down || _keys->is_key_down(platform::vk::left_shift) || _keys->is_key_down(platform::vk::right_shift);
            else if (vk == platform::vk::control)
                down = down || _keys->is_key_down(platform::vk::left_control) ||
                       _keys->is_key_down(platform::vk::right_control);
            else if (vk == platform::vk::menu)
                down = down || _keys->is_key_down(platform::vk::left_menu) || _keys->is_key_down(platform::vk::right_menu);
        }
        set_button_with_edges(vk, down ? 1.0f : 0.0f);
    }
}

WndProcMouse::WndProcMouse(Allocator &allocator) : InputController(allocator, mouse_button_count, 3, 0), _queue(allocator)
{
    set_type("win32_mouse");
    set_name("win32_mouse");
    for (u32 i = 0; i < mouse_button_count; ++i)
        set_button_name(i, mouse_button_names[i]);
    set_axis_name(0, "mouse");
    set_axis_name(1, "wheel");
    set_axis_name(2, "cursor");
}

void WndProcMouse::queue(u32 button, bool down)
{
    if (button < mouse_button_count) _queue.push_back({button, down});
}

void WndProcMouse::on_wheel(const Vector3 &d)
{
    u32 button;
    if (d.x > 0) button = wheel_right;
    else if (d.x < 0) button = wheel_left;
    else if (d.y < 0) button = wheel_down;
    else if (d.y > 0) button = wheel_up;
    else return;
    _wheel_sum = _wheel_sum + d;
    queue(button, true);
    queue(button, false);
}

void WndProcMouse::poll()
{
    set_connected(true);
    for (const KeyEvent &e : _queue) {
        store_button(e.button, e.down ? 1.0f : 0.0f);
        if (e.down) mark_pressed(e.button);
        else mark_released(e.button);
    }
    _queue.clear();
    set_axis(0, _move_sum);
    set_axis(1, _wheel_sum);
    set_axis(2, Vector3{f32(_cursor_x), f32(_cursor_y), 0.0f});
    _move_sum = {};
    _wheel_sum = {};
}

} // namespace tallow
