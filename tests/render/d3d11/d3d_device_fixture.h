#pragma once
// A Direct3D render device over the headless layer with a window, a frame writer that
// files render commands under sort keys, and a shader whose pixel stage reads a constant
// buffer and a resource from the draw's constant block.

#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "platform/d3d11/d3d11_headless.h"
#include "render/commands/command_buffer.h"
#include "render/d3d11/d3d_render_device.h"
#include "render/d3d11/d3d_render_state_builder.h"
#include "render/d3d11/d3d_resource_manager.h"
#include "render/d3d11/d3d_shader_desc.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace tallow::render::d3d11::test {

/// Writes render commands into one buffer and files them as sort entries.
class FrameWriter {
  public:
    explicit FrameWriter(Allocator &allocator) : buffer(allocator, 4096), entries(allocator) {}

    void begin(i64 key, bool segment = true);
    void end();
    void set_target(u32 slot, RenderTarget *target);
    void set_depth(RenderTarget *target, u32 face = 0);
    void viewports(const std::vector<Viewport> &items);
    void scissors(const std::vector<ScissorRect> &items);
    void clear(u32 flags);
    void resolve_count(i32 count);
    /// Command 0 or 1 (by the description's type): new contents for a vertex or index buffer.
    void update_buffer(const BufferDescription &description, const void *data);
    /// Command 10: the batch, its geometry after it and the constant copy after those.
    void draw(DrawBatchRecord batch, const std::vector<GeometryBinding> &bindings = {},
              const std::vector<u8> &constants = {});
    /// One entry holding one draw.
    void draw_entry(i64 key, const DrawBatchRecord &batch, const std::vector<GeometryBinding> &bindings = {},
                    const std::vector<u8> &constants = {});

    CommandBuffer buffer;
    Array<RenderSortEntry> entries;

  private:
    template <typename T> void items(RenderCommand type, const std::vector<T> &list);
    i64 _key = 0;
    u32 _start = 0;
    bool _segment = false;
};

/// A batch for shader `shader` with primitive count 1, three vertices, one instance.
DrawBatchRecord make_batch(RenderResourceHandle shader);

/// The pixel stage's layout: constant buffer slot 0 (16 bytes from block offset 0) and a
/// resource at slot 0 whose handle sits at block offset 16.
struct TestShader {
    TestShader();
    StageConstantBufferDesc buffers[1];
    u32 resource_offsets[1];
    ShaderBindingDesc resources[1];
    StageResourceLayout layout;
    RenderStateSetting rasterizer_settings[1];
    ShaderPassDesc passes[2];
    ShaderDesc desc;
    ShaderResourceRecord record;
};

class DeviceTest : public ::testing::Test {
  public:
    void SetUp() override;
    void TearDown() override;

    /// Makes and initializes the device with `workers` pool workers (0: no pool).
    void start(u32 workers = 0, const tallow::d3d11::HeadlessConfig *config = nullptr);
    /// Destroys the device, expecting no live object, no leak and no diagnostic.
    void stop();
    void submit(const std::function<void(RenderResourceContext &)> &fill);
    /// A colour (format 0) or depth (format 3) target of window 0.
    std::unique_ptr<RenderTarget> make_target(u32 format, u32 width, u32 height);
    RenderResourceHandle create_shader(TestShader &desc);
    void set_deferred(bool on);
    u64 id_of(const void *object) const { return tallow::d3d11::headless_object_id(object); }

    ConfigValue caps{default_allocator()};
    TestShader shader; // outlives the device, which reads its description
    std::unique_ptr<ThreadRegistry> registry;
    std::unique_ptr<ThreadPool> pool;
    D3DRenderDevice *device = nullptr;
    NativeWindowRecord window{640, 360, nullptr};
};

} // namespace tallow::render::d3d11::test
