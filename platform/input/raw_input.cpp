#include "platform/input/raw_input.h"
#include "platform/input/raw_input_headless.h"

#include "foundation/memory/allocator.h"

#include <SDL2/SDL.h>

#include <cstring>

namespace tallow::platform {

bool HeadlessRawInput::read_keyboard(u8 *out_keys)
{
    if (!_readable)
        return false;
    memcpy(out_keys, _keys, raw_key_count);
    return true;
}

bool HeadlessRawInput::read_mouse(RawMouseState &out_state)
{
    if (!_readable)
        return false;
    out_state = _mouse;
    _mouse.x = _mouse.y = _mouse.z = 0; // motion is since the last read
    return true;
}

void HeadlessRawInput::set_key(u32 scan_code, bool down)
{
    if (scan_code < raw_key_count)
        _keys[scan_code] = down ? 0x80 : 0;
}

void HeadlessRawInput::set_button(u32 button, bool down)
{
    if (button < 8)
        _mouse.buttons[button] = down ? 0x80 : 0;
}

namespace {

// SDL scan codes (USB usage numbers) to PC set-1 scan codes, as extended codes + 128.
struct ScanPair {
    u16 sdl;
    u8 raw;
};
const ScanPair g_scan_pairs[] = {
    {SDL_SCANCODE_ESCAPE, 1},     {SDL_SCANCODE_1, 2},           {SDL_SCANCODE_2, 3},
    {SDL_SCANCODE_3, 4},          {SDL_SCANCODE_4, 5},           {SDL_SCANCODE_5, 6},
    {SDL_SCANCODE_6, 7},          {SDL_SCANCODE_7, 8},           {SDL_SCANCODE_8, 9},
    {SDL_SCANCODE_9, 10},         {SDL_SCANCODE_0, 11},          {SDL_SCANCODE_MINUS, 12},
    {SDL_SCANCODE_EQUALS, 13},    {SDL_SCANCODE_BACKSPACE, 14},  {SDL_SCANCODE_TAB, 15},
    {SDL_SCANCODE_Q, 16},         {SDL_SCANCODE_W, 17},          {SDL_SCANCODE_E, 18},
    {SDL_SCANCODE_R, 19},         {SDL_SCANCODE_T, 20},          {SDL_SCANCODE_Y, 21},
    {SDL_SCANCODE_U, 22},         {SDL_SCANCODE_I, 23},          {SDL_SCANCODE_O, 24},
    {SDL_SCANCODE_P, 25},         {SDL_SCANCODE_LEFTBRACKET, 26}, {SDL_SCANCODE_RIGHTBRACKET, 27},
    {SDL_SCANCODE_RETURN, 28},    {SDL_SCANCODE_LCTRL, 29},      {SDL_SCANCODE_A, 30},
    {SDL_SCANCODE_S, 31},         {SDL_SCANCODE_D, 32},          {SDL_SCANCODE_F, 33},
    {SDL_SCANCODE_G, 34},         {SDL_SCANCODE_H, 35},          {SDL_SCANCODE_J, 36},
    {SDL_SCANCODE_K, 37},         {SDL_SCANCODE_L, 38},          {SDL_SCANCODE_SEMICOLON, 39},
    {SDL_SCANCODE_APOSTROPHE, 40}, {SDL_SCANCODE_GRAVE, 41},     {SDL_SCANCODE_LSHIFT, 42},
    {SDL_SCANCODE_BACKSLASH, 43}, {SDL_SCANCODE_Z, 44},          {SDL_SCANCODE_X, 45},
    {SDL_SCANCODE_C, 46},         {SDL_SCANCODE_V, 47},          {SDL_SCANCODE_B, 48},
    {SDL_SCANCODE_N, 49},         {SDL_SCANCODE_M, 50},          {SDL_SCANCODE_COMMA, 51},
    {SDL_SCANCODE_PERIOD, 52},    {SDL_SCANCODE_SLASH, 53},      {SDL_SCANCODE_RSHIFT, 54},
    {SDL_SCANCODE_KP_MULTIPLY, 55}, {SDL_SCANCODE_LALT, 56},     {SDL_SCANCODE_SPACE, 57},
    {SDL_SCANCODE_CAPSLOCK, 58},  {SDL_SCANCODE_F1, 59},         {SDL_SCANCODE_F2, 60},
    {SDL_SCANCODE_F3, 61},        {SDL_SCANCODE_F4, 62},         {SDL_SCANCODE_F5, 63},
    {SDL_SCANCODE_F6, 64},        {SDL_SCANCODE_F7, 65},         {SDL_SCANCODE_F8, 66},
    {SDL_SCANCODE_F9, 67},        {SDL_SCANCODE_F10, 68},        {SDL_SCANCODE_NUMLOCKCLEAR, 69},
    {SDL_SCANCODE_SCROLLLOCK, 70}, {SDL_SCANCODE_KP_7, 71},      {SDL_SCANCODE_KP_8, 72},
    {SDL_SCANCODE_KP_9, 73},      {SDL_SCANCODE_KP_MINUS, 74},   {SDL_SCANCODE_KP_4, 75},
    {SDL_SCANCODE_KP_5, 76},      {SDL_SCANCODE_KP_6, 77},       {SDL_SCANCODE_KP_PLUS, 78},
    {SDL_SCANCODE_KP_1, 79},      {SDL_SCANCODE_KP_2, 80},       {SDL_SCANCODE_KP_3, 81},
    {SDL_SCANCODE_KP_0, 82},      {SDL_SCANCODE_KP_PERIOD, 83},  {SDL_SCANCODE_NONUSBACKSLASH, 86},
    {SDL_SCANCODE_F11, 87},       {SDL_SCANCODE_F12, 88},        {SDL_SCANCODE_F13, 100},
    {SDL_SCANCODE_F14, 101},      {SDL_SCANCODE_F15, 102},       {SDL_SCANCODE_KP_EQUALS, 141},
    {SDL_SCANCODE_KP_ENTER, 156}, {SDL_SCANCODE_RCTRL, 157},     {SDL_SCANCODE_MUTE, 160},
    {SDL_SCANCODE_VOLUMEDOWN, 174}, {SDL_SCANCODE_VOLUMEUP, 176}, {SDL_SCANCODE_KP_COMMA, 179},
    {SDL_SCANCODE_KP_DIVIDE, 181}, {SDL_SCANCODE_SYSREQ, 183},   {SDL_SCANCODE_RALT, 184},
    {SDL_SCANCODE_PAUSE, 197},    {SDL_SCANCODE_HOME, 199},      {SDL_SCANCODE_UP, 200},
    {SDL_SCANCODE_PAGEUP, 201},   {SDL_SCANCODE_LEFT, 203},      {SDL_SCANCODE_RIGHT, 205},
    {SDL_SCANCODE_END, 207},      {SDL_SCANCODE_DOWN, 208},      {SDL_SCANCODE_PAGEDOWN, 209},
    {SDL_SCANCODE_INSERT, 210},   {SDL_SCANCODE_DELETE, 211},    {SDL_SCANCODE_LGUI, 219},
    {SDL_SCANCODE_RGUI, 220},     {SDL_SCANCODE_APPLICATION, 221}, {SDL_SCANCODE_POWER, 222},
    {SDL_SCANCODE_SLEEP, 223},
};

// SDL's keyboard state and relative mouse motion; the wheel summed from events between reads.
class SdlRawInput final : public IRawInput {
  public:
    SdlRawInput() { SDL_AddEventWatch(&SdlRawInput::watch, this); }
    ~SdlRawInput() override { SDL_DelEventWatch(&SdlRawInput::watch, this); }
    const char *keyboard_name() const override { return "SDL keyboard"; } // See IRawInput
    const char *mouse_name() const override { return "SDL mouse"; }

    bool read_keyboard(u8 *out_keys) override
    {
        if (!SDL_WasInit(SDL_INIT_VIDEO))
            return false;
        int count = 0;
        const Uint8 *state = SDL_GetKeyboardState(&count);
        if (!state)
            return false;
        memset(out_keys, 0, raw_key_count);
        for (const ScanPair &p : g_scan_pairs)
            if (p.sdl < count && state[p.sdl])
                out_keys[p.raw] = 0x80;
        return true;
    }

    bool read_mouse(RawMouseState &out_state) override
    {
        if (!SDL_WasInit(SDL_INIT_VIDEO))
            return false;
        int dx = 0, dy = 0;
        const Uint32 buttons = SDL_GetRelativeMouseState(&dx, &dy);
        out_state = RawMouseState{};
        out_state.x = dx;
        out_state.y = dy;
        out_state.z = _wheel;
        _wheel = 0;
        // SDL numbers left, middle, right, X1, X2; the state's order is left, right, middle.
        const Uint32 order[5] = {SDL_BUTTON_LMASK, SDL_BUTTON_RMASK, SDL_BUTTON_MMASK, SDL_BUTTON_X1MASK,
                                 SDL_BUTTON_X2MASK};
        for (u32 i = 0; i < 5; ++i)
            out_state.buttons[i] = buttons & order[i] ? 0x80 : 0;
        return true;
    }

  private:
    static int watch(void *self, SDL_Event *event)
    {
        if (event->type == SDL_MOUSEWHEEL)
            static_cast<SdlRawInput *>(self)->_wheel += event->wheel.y;
        return 0;
    }
    i32 _wheel = 0;
};

} // namespace

u32 raw_key_from_sdl_scancode(u32 sdl_scancode)
{
    for (const ScanPair &p : g_scan_pairs)
        if (p.sdl == sdl_scancode)
            return p.raw;
    return 0;
}

IRawInput *create_raw_input(Allocator &allocator, RawInputBackend backend)
{
    if (backend == RawInputBackend::headless)
        return make_new<HeadlessRawInput>(allocator);
    return make_new<SdlRawInput>(allocator);
}

void destroy_raw_input(Allocator &allocator, IRawInput *raw)
{
    delete_with_allocator(allocator, raw);
}

} // namespace tallow::platform
