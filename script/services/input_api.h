#pragma once
// The input device tables `Mouse`, `Keyboard`, `Pad1`..`Pad4` and the `LightFX` table.

namespace tallow {

class IInputService;
class ILightFxService;
class LuaEnvironment;

/// Registers the device tables (in the order Mouse, Keyboard, then one "Pad%i" table per pad
/// from 1) and LightFX. Each device function is a closure over its device, so scripts name
/// no device. With a null service its tables are still made and every function raises
/// "the input service is not built yet" ("the lightfx service ...").
void register_input_api(LuaEnvironment &env, IInputService *input, ILightFxService *lightfx);

} // namespace tallow
