#pragma once
// The Application's render service: a RenderInterface on the render device a factory
// makes, with the process-wide render settings and capabilities trees.
//
//   // main.cpp, once a device library is in the build:
//   setup.services.create_render = [](Allocator &a, Application &app) -> IRenderService * {
//       return create_render_service(a, app, &create_my_render_device);
//   };
//
// The service lives in its own library (tallow_render_service), above both the render
// library and the application, so neither links the other. Main thread only.

#include "application/services.h"

namespace tallow {

class IRenderOutput;
class RenderDevice;
class ThreadPool;

/// Makes the render device from `allocator` and sets `out_output` to its swap chains
/// (usually the device itself). Null when no device can start (logged by the factory).
using RenderDeviceFactory = RenderDevice *(*)(Allocator &allocator, ThreadPool *pool, IRenderOutput *&out_output);

/// A render service over the device `factory` makes, with its "renderer" thread started
/// and joined to the application's thread pool. Null (logged) when the device or the
/// thread cannot be had. Destroy it through `allocator`.
IRenderService *create_render_service(Allocator &allocator, Application &application, RenderDeviceFactory factory);

} // namespace tallow
