#include "application/input_step.h"

#include "application/application.h"
#include "foundation/config/const_config_value.h"
#include "foundation/memory/allocator.h"
#include "input/input_manager.h"
#include "input/lightfx_device.h"
#include "platform/window/window.h"

namespace tallow {

namespace {

const char *setting(const ConstConfigValue &input, const char *key)
{
    const ConstConfigValue value = input.member(key);
    return value.kind() == ConstConfigKind::String ? value.to_string() : nullptr;
}

} // namespace

IInputService *create_input_service(Allocator &allocator, Application &application)
{
    const ConstConfigValue input = application.settings().member("win32").member("input");
    InputManagerParams params;
    params.keyboard = setting(input, "keyboard");
    params.mouse = setting(input, "mouse");
    params.keys = application.window() ? &application.window()->system() : nullptr;
    return make_new<InputManager>(allocator, allocator, params);
}

ILightFxService *create_lightfx_service(Allocator &allocator, Application &)
{
    return make_new<LightFxDevice>(allocator);
}

} // namespace tallow
