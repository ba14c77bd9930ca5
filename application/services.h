#pragma once
// The places in the Application's start-up, frame and shutdown orders where the process-wide
// services plug in. Each service is a narrow interface made by a factory in
// `ServiceFactories`; a null factory means the service is not part of this build, and the
// Application skips its step with a log line ("start-up: physics: not available, skipped").
//
//   ServiceFactories services;
//   services.create_render = make_render;   // IRenderService *(Allocator &, Application &)
//   ApplicationParams params{&options, make_game, services};
//
// Each service's interface lives beside the code that implements it, below the Application.
// A factory returns null when its service fails to start; the Application then runs
// without it. Every service is destroyed through the allocator it was made with, in the
// shutdown order. All calls come from the main thread.

#include "input/input_service.h"
#include "input/lightfx_service.h"
#include "network/network_service.h"
#include "physics/physics_service.h"
#include "render/interface/render_service.h"
#include "save/save_service.h"

namespace tallow {

class Allocator;
class Application;

/// Factories of the services; null = not part of this build (the step is skipped openly).
struct ServiceFactories {
    IRenderService *(*create_render)(Allocator &allocator, Application &application) = nullptr;
    IInputService *(*create_input)(Allocator &allocator, Application &application) = nullptr;
    IPhysicsService *(*create_physics)(Allocator &allocator, Application &application) = nullptr;
    INetworkService *(*create_network)(Allocator &allocator, Application &application) = nullptr;
    /// `save_dir` is the resolved, existing save directory.
    ISaveService *(*create_save)(Allocator &allocator, Application &application, const char *save_dir) = nullptr;
    ILightFxService *(*create_lightfx)(Allocator &allocator, Application &application) = nullptr;
};

} // namespace tallow
