#include "input/input_manager.h"

#include "foundation/log.h"
#include "platform/input/pad_api.h"
#include "platform/input/raw_input.h"

#include <cstring>

namespace tallow {

namespace {

const char *choice(const char *value)
{
    return value ? value : "windows";
}

} // namespace

InputManager::InputManager(Allocator &parent, const InputManagerParams &params)
    : _allocator("input", parent), _devices(_allocator), _pads(_allocator)
{
    _null_device = make_new<NullController>(_allocator, _allocator);
    const char *keyboard = choice(params.keyboard);
    const char *mouse = choice(params.mouse);
    _raw = params.raw;
    if (!_raw && (strcmp(keyboard, "directx") == 0 || strcmp(mouse, "directx") == 0)) {
        _raw = platform::create_raw_input(_allocator, platform::RawInputBackend::automatic);
        _owns_raw = true;
    }
    if (strcmp(keyboard, "windows") == 0)
        _keyboard = _message_keyboard = make_new<WndProcKeyboard>(_allocator, _allocator, params.keys);
    else if (strcmp(keyboard, "keystate") == 0)
        _keyboard = make_new<KeystateKeyboard>(_allocator, _allocator, params.keys);
    else if (strcmp(keyboard, "directx") == 0 && _raw)
        _keyboard = make_new<DirectXKeyboard>(_allocator, _allocator, *_raw);
    else
        log_message("input", "keyboard \"%s\": no keyboard", keyboard);
    if (strcmp(mouse, "windows") == 0)
        _mouse = _message_mouse = make_new<WndProcMouse>(_allocator, _allocator);
    else if (strcmp(mouse, "directx") == 0 && _raw)
        _mouse = make_new<DirectXMouse>(_allocator, _allocator, *_raw);
    else
        log_message("input", "mouse \"%s\": no mouse", mouse);
    if (_keyboard) _devices.push_back(_keyboard);
    if (_mouse) _devices.push_back(_mouse);

    _pad_api = params.pads;
    if (!_pad_api) {
        _pad_api = platform::create_pad_api(_allocator, platform::PadBackend::automatic);
        _owns_pad_api = true;
    }
    for (u32 i = 0; i < platform::max_pads && _pad_api; ++i) {
        XboxController *pad = make_new<XboxController>(_allocator, _allocator, *_pad_api, i);
        if (!pad)
            break;
        _devices.push_back(pad);
        _pads.push_back(pad);
    }
}

InputManager::~InputManager()
{
    for (InputController *device : _devices)
        delete_with_allocator(_allocator, device);
    _devices.clear();
    _pads.clear();
    delete_with_allocator(_allocator, _null_device);
    if (_owns_pad_api)
        platform::destroy_pad_api(_allocator, _pad_api);
    if (_owns_raw)
        platform::destroy_raw_input(_allocator, _raw);
    _devices.set_capacity(0);
    _pads.set_capacity(0);
}

void InputManager::update(f32 dt_seconds)
{
    for (InputController *device : _devices)
        device->update(dt_seconds);
}

void InputManager::on_key_down(u32 vk, u32 repeat_count, u32 has_high_word, u32 extended, u32 previous_state)
{
    if (_message_keyboard) _message_keyboard->on_key_down(vk, repeat_count, has_high_word, extended, previous_state);
}

void InputManager::on_key_up(u32 vk, u32 has_high_word, u32 extended)
{
    if (_message_keyboard) _message_keyboard->on_key_up(vk, has_high_word, extended);
}

void InputManager::on_button_down(u32 button)
{
    if (_message_mouse) _message_mouse->on_button_down(button);
}

void InputManager::on_button_up(u32 button)
{
    if (_message_mouse) _message_mouse->on_button_up(button);
}

void InputManager::on_wheel(f32 x, f32 y, f32 z)
{
    if (_message_mouse) _message_mouse->on_wheel({x, y, z});
}

void InputManager::on_move(f32 dx, f32 dy, f32 dz)
{
    if (_message_mouse) _message_mouse->on_move({dx, dy, dz});
}

void InputManager::on_cursor(i32 x, i32 y)
{
    if (_message_mouse) _message_mouse->on_cursor(x, y);
}

} // namespace tallow
