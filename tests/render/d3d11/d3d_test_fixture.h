#pragma once
// A Direct3D device over the headless backend, a front-end render device whose update
// streams go to a D3DResourceManager, and the checks every test ends with: nothing of the
// layer is left alive and no rule was broken.

#include "platform/d3d11/d3d11_headless.h"
#include "render/d3d11/d3d_resource_manager.h"
#include "render/device/render_device.h"

#include <gtest/gtest.h>

#include <functional>

namespace tallow::render::d3d11::test {

/// The front end's device base with its update streams executed by a manager.
class ManagedRenderDevice final : public RenderDevice {
  public:
    explicit ManagedRenderDevice(Allocator &allocator) : RenderDevice(allocator) {}
    bool initialize(const DeviceSettings &) override { return true; }
    void present(u32) override {}
    void dispatch(u32, RenderContext *const *) override {}

    D3DResourceManager *manager = nullptr;
    ProcessResult last; // of the last stream executed

  protected:
    void execute_resource_updates(u32 count, RenderResourceContext *const *contexts) override;
};

class D3DFixture : public ::testing::Test {
  public:
    /// Starts a device of `level` (11_0 unless a test starts its own).
    void SetUp() override { start(D3D_FEATURE_LEVEL_11_0); }
    void TearDown() override;

    void start(D3D_FEATURE_LEVEL level);
    /// Destroys the manager, front end and device, expecting no live object and no
    /// diagnostic of the layer.
    void stop();

    /// Fills a resource context and hands it to the device.
    ProcessResult submit(const std::function<void(RenderResourceContext &)> &fill);
    /// Makes a swap chain of `width` x `height` with `samples` samples; its index is the
    /// back buffers' window index.
    u32 add_swap_chain(u32 width, u32 height, u32 samples = 1);

    /// Live objects of the layer, devices and contexts not counted.
    static u32 live_children();

    ID3D11Device *device = nullptr;
    ID3D11DeviceContext *immediate = nullptr;
    D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
    ManagedRenderDevice *front = nullptr;
    D3DResourceManager *manager = nullptr;
    std::vector<IDXGISwapChain *> swap_chains;
    std::vector<NativeWindowRecord *> windows;
    IDXGIFactory *factory = nullptr;
};

/// Counts each Create call of the layer since the fixture started.
u32 creates(tallow::d3d11::ObjectKind kind);

} // namespace tallow::render::d3d11::test
