// Pads over SDL2's game controllers. SDL reports sticks with y growing downwards and
// triggers as 0..32767; the pad record wants y up and triggers 0..255. SDL's rumble expires
// after the duration given, while a pad's motor setting holds, so each setting is sent with a
// duration longer than a frame and the input code re-sends it every frame.
#include "platform/input/pad_api.h"

#include "foundation/log.h"
#include "foundation/memory/allocator.h"

#include <SDL.h>

namespace tallow::platform {

namespace {

class NoPads final : public IPadApi {
  public:
    u32 get_state(u32, PadState &) override { return pad_not_connected; } // See IPadApi
    u32 set_state(u32, const PadVibration &) override { return pad_not_connected; }
};

i16 flip(i16 v) { return v == -32768 ? i16(32767) : i16(-v); }
u8 trigger(i16 v) { return v <= 0 ? 0 : u8((i32(v) * 255 + 16383) / 32767); }

class SdlPads final : public IPadApi {
  public:
    ~SdlPads() override
    {
        for (SDL_GameController *&c : _controllers)
            if (c) SDL_GameControllerClose(c);
        SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
    }

    u32 get_state(u32 user, PadState &out) override // See IPadApi
    {
        SDL_GameController *c = controller(user);
        if (!c)
            return pad_not_connected;
        struct Bit {
            SDL_GameControllerButton button;
            u16 bit;
        };
        static const Bit bits[] = {
            {SDL_CONTROLLER_BUTTON_DPAD_UP, pad_dpad_up},         {SDL_CONTROLLER_BUTTON_DPAD_DOWN, pad_dpad_down},
            {SDL_CONTROLLER_BUTTON_DPAD_LEFT, pad_dpad_left},     {SDL_CONTROLLER_BUTTON_DPAD_RIGHT, pad_dpad_right},
            {SDL_CONTROLLER_BUTTON_START, pad_start},             {SDL_CONTROLLER_BUTTON_BACK, pad_back},
            {SDL_CONTROLLER_BUTTON_LEFTSTICK, pad_left_thumb},    {SDL_CONTROLLER_BUTTON_RIGHTSTICK, pad_right_thumb},
            {SDL_CONTROLLER_BUTTON_LEFTSHOULDER, pad_left_shoulder},
            {SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, pad_right_shoulder},
            {SDL_CONTROLLER_BUTTON_A, pad_a},                     {SDL_CONTROLLER_BUTTON_B, pad_b},
            {SDL_CONTROLLER_BUTTON_X, pad_x},                     {SDL_CONTROLLER_BUTTON_Y, pad_y},
        };
        PadState s;
        s.packet_number = ++_packets[user];
        for (const Bit &b : bits)
            if (SDL_GameControllerGetButton(c, b.button)) s.buttons |= b.bit;
        s.left_trigger = trigger(SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_TRIGGERLEFT));
        s.right_trigger = trigger(SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_TRIGGERRIGHT));
        s.thumb_lx = SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTX);
        s.thumb_ly = flip(SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTY));
        s.thumb_rx = SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_RIGHTX);
        s.thumb_ry = flip(SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_RIGHTY));
        out = s;
        return pad_success;
    }

    u32 set_state(u32 user, const PadVibration &v) override // See IPadApi
    {
        SDL_GameController *c = user < max_pads ? _controllers[user] : nullptr;
        if (!c || !SDL_GameControllerGetAttached(c))
            return pad_not_connected;
        SDL_GameControllerRumble(c, v.left_motor_speed, v.right_motor_speed, 250);
        return pad_success;
    }

  private:
    // The controller of that user index, opening the next unused one when the slot is free.
    SDL_GameController *controller(u32 user)
    {
        if (user >= max_pads)
            return nullptr;
        SDL_GameControllerUpdate();
        SDL_GameController *&c = _controllers[user];
        if (c && !SDL_GameControllerGetAttached(c)) {
            SDL_GameControllerClose(c);
            c = nullptr;
        }
        if (c)
            return c;
        for (int i = 0; i < SDL_NumJoysticks(); ++i) {
            if (!SDL_IsGameController(i) || is_open(SDL_JoystickGetDeviceInstanceID(i)))
                continue;
            c = SDL_GameControllerOpen(i);
            if (c) {
                log_message("input", "pad %u: %s", user, SDL_GameControllerName(c) ? SDL_GameControllerName(c) : "?");
                return c;
            }
        }
        return nullptr;
    }

    bool is_open(SDL_JoystickID id)
    {
        for (SDL_GameController *c : _controllers)
            if (c && SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(c)) == id) return true;
        return false;
    }

    SDL_GameController *_controllers[max_pads] = {};
    u32 _packets[max_pads] = {};
};

} // namespace

IPadApi *create_pad_api(Allocator &allocator, PadBackend backend)
{
    if (backend == PadBackend::automatic) {
        if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) == 0)
            return make_new<SdlPads>(allocator);
        log_message("input", "game controllers unavailable (%s); no pads", SDL_GetError());
    }
    return make_new<NoPads>(allocator);
}

void destroy_pad_api(Allocator &allocator, IPadApi *pads) { delete_with_allocator(allocator, pads); }

} // namespace tallow::platform
