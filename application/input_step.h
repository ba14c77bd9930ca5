#pragma once
// The input manager and the lighting devices as the Application's services: the factories
// that `ServiceFactories::create_input` and `create_lightfx` take (see main.cpp).
//
//   setup.services.create_input = create_input_service;
//   setup.services.create_lightfx = create_lightfx_service;
//
// The input manager reads "keyboard" and "mouse" under the settings "win32" / "input"
// (absent or not a string: "windows") and asks the Application's window system for key
// state. The lighting devices load the lighting library when it is installed.

namespace tallow {

class Allocator;
class Application;
class IInputService;
class ILightFxService;

IInputService *create_input_service(Allocator &allocator, Application &application);
ILightFxService *create_lightfx_service(Allocator &allocator, Application &application);

} // namespace tallow
