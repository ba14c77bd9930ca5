#include "input/raw_keyboard_mouse.h"

#include "platform/input/raw_input.h"

namespace tallow {

namespace {

struct ScanName {
    u8 code;
    const char *name;
};
const ScanName g_scan_names[] = {
    {1, "esc"}, {2, "1"}, {3, "2"}, {4, "3"}, {5, "4"}, {6, "5"}, {7, "6"}, {8, "7"}, {9, "8"}, {10, "9"},
    {11, "0"}, {12, "-"}, {13, "="}, {14, "backspace"}, {15, "tab"}, {16, "q"}, {17, "w"}, {18, "e"}, {19, "r"},
    {20, "t"}, {21, "y"}, {22, "u"}, {23, "i"}, {24, "o"}, {25, "p"}, {26, "["}, {27, "]"}, {28, "enter"},
    {29, "left ctrl"}, {30, "a"}, {31, "s"}, {32, "d"}, {33, "f"}, {34, "g"}, {35, "h"}, {36, "j"}, {37, "k"},
    {38, "l"}, {39, ";"}, {40, "'"}, {41, "`"}, {42, "left shift"}, {43, "\\"}, {44, "z"}, {45, "x"}, {46, "c"},
    {47, "v"}, {48, "b"}, {49, "n"}, {50, "m"}, {51, ","}, {52, "."}, {53, "/"}, {54, "right shift"},
    {55, "num *"}, {56, "left alt"}, {57, "space"}, {58, "caps lock"}, {59, "f1"}, {60, "f2"}, {61, "f3"},
    {62, "f4"}, {63, "f5"}, {64, "f6"}, {65, "f7"}, {66, "f8"}, {67, "f9"}, {68, "f10"}, {69, "num lock"},
    {70, "scroll lock"}, {71, "num 7"}, {72, "num 8"}, {73, "num 9"}, {74, "num -"}, {75, "num 4"},
    {76, "num 5"}, {77, "num 6"}, {78, "num +"}, {79, "num 1"}, {80, "num 2"}, {81, "num 3"}, {82, "num 0"},
    {83, "num ."}, {86, "oem 102"}, {87, "f11"}, {88, "f12"}, {100, "f13"}, {101, "f14"}, {102, "f15"},
    {112, "kana"}, {115, "num abnt c1"}, {121, "convert"}, {123, "no convert"}, {125, "yen"},
    {126, "num abnt c2"}, {141, "num ="}, {144, "prev track"}, {145, "@"}, {146, ":"}, {147, "_"},
    {148, "kanji"}, {149, "stop"}, {150, "ax"}, {151, "unlabeled"}, {153, "next track"}, {156, "num enter"},
    {157, "right ctrl"}, {160, "mute"}, {161, "calculator"}, {162, "play pause"}, {164, "media stop"},
    {174, "volume down"}, {176, "volume up"}, {178, "web home"}, {179, "num ,"}, {181, "num /"},
    {183, "sys rq"}, {184, "right alt"}, {197, "pause"}, {199, "home"}, {200, "up"}, {201, "page up"},
    {203, "left"}, {205, "right"}, {207, "end"}, {208, "down"}, {209, "page down"}, {210, "insert"},
    {211, "delete"}, {219, "left windows"}, {220, "right windows"}, {221, "applications"}, {222, "power"},
    {223, "sleep"}, {227, "wake"}, {229, "web search"}, {230, "web favorites"}, {231, "web refresh"},
    {232, "web stop"}, {233, "web forward"}, {234, "web back"}, {235, "my computer"}, {236, "mail"},
    {237, "media select"},
};

const char *const g_mouse_names[raw_mouse_button_count] = {"left",    "right",   "middle",  "extra_1",  "extra_2",
                                                           "extra_3", "extra_4", "extra_5", "wheel_up", "wheel_down"};

} // namespace

const char *raw_key_name(u32 scan_code)
{
    for (const ScanName &n : g_scan_names)
        if (n.code == scan_code)
            return n.name;
    return "";
}

DirectXKeyboard::DirectXKeyboard(Allocator &allocator, platform::IRawInput &raw)
    : InputController(allocator, platform::raw_key_count, 0, 0), _raw(&raw)
{
    set_type("win32_keyboard");
    set_name(raw.keyboard_name());
    // The display name of a key here is its fixed name: the platform gives no layout's.
    for (const ScanName &n : g_scan_names) {
        set_button_name(n.code, n.name);
        set_button_locale_name(n.code, n.name);
    }
}

void DirectXKeyboard::poll()
{
    u8 keys[platform::raw_key_count];
    if (!_raw->read_keyboard(keys)) {
        set_connected(false); // the last values stand
        return;
    }
    set_connected(true);
    for (u32 i = 0; i < platform::raw_key_count; ++i)
        set_button_with_edges(i, keys[i] & 0x80 ? 1.0f : 0.0f);
}

DirectXMouse::DirectXMouse(Allocator &allocator, platform::IRawInput &raw)
    : InputController(allocator, raw_mouse_button_count, 1, 0), _raw(&raw)
{
    set_name(raw.mouse_name());
    for (u32 i = 0; i < raw_mouse_button_count; ++i)
        set_button_name(i, g_mouse_names[i]);
    set_axis_name(0, "mouse");
}

void DirectXMouse::poll()
{
    platform::RawMouseState state;
    if (!_raw->read_mouse(state)) {
        for (u32 i = 0; i < raw_mouse_button_count; ++i)
            set_button_with_edges(i, 0.0f);
        set_axis(0, {0, 0, 0});
        set_connected(false);
        return;
    }
    set_connected(true);
    set_axis(0, {f32(state.x), f32(state.y), 0.0f});
    for (u32 i = 0; i < 8; ++i)
        set_button_with_edges(i, state.buttons[i] & 0x80 ? 1.0f : 0.0f);
    set_button_with_edges(8, state.z >= 1 ? 1.0f : 0.0f);
    set_button_with_edges(9, state.z < 0 ? 1.0f : 0.0f);
}

} // namespace tallow
