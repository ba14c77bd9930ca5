#pragma once
// A render device that executes nothing: for tests, benchmarks and fuzz targets that need
// the front end's handles, sort keys and update streams but no device work.

#include "render/device/render_device.h"

namespace tallow {

class NullRenderDevice final : public RenderDevice {
  public:
    using RenderDevice::RenderDevice;
    bool initialize(const DeviceSettings &) override { return true; }
    void present(u32) override {}
    void dispatch(u32, RenderContext *const *) override {}

  protected:
    void execute_resource_updates(u32, RenderResourceContext *const *) override {}
};

} // namespace tallow
