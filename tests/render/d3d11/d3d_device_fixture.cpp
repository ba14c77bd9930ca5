#include "tests/render/d3d11/d3d_device_fixture.h"

#include "render/device/device_settings.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread.h"

#include <cstring>

namespace tallow::render::d3d11::test {

namespace hl = tallow::d3d11;

void FrameWriter::begin(i64 key, bool segment)
{
    _key = key;
    _start = buffer.write_offset();
    _segment = segment;
}

void FrameWriter::end()
{
    RenderSortEntry entry{};
    entry.key = _key;
    entry.buffer = &buffer;
    entry.offset = _start;
    entry.length = buffer.write_offset() - _start;
    entry.segment = _segment ? 1 : 0;
    entries.push_back(entry);
}

void FrameWriter::set_target(u32 slot, RenderTarget *target)
{
    CommandSetRenderTarget c{slot, 0, target};
    buffer.write(u32(RenderCommand::SetRenderTarget), &c, sizeof c);
}

void FrameWriter::set_depth(RenderTarget *target, u32 face)
{
    CommandSetDepthStencil c{target, face, 0};
    buffer.write(u32(RenderCommand::SetDepthStencil), &c, sizeof c);
}

template <typename T> void FrameWriter::items(RenderCommand type, const std::vector<T> &list)
{
    std::vector<u8> payload(sizeof(CommandItems) + list.size() * sizeof(T));
    CommandItems header{u32(list.size()), u32(sizeof(CommandItems))};
    memcpy(payload.data(), &header, sizeof header);
    if (!list.empty())
        memcpy(payload.data() + sizeof header, list.data(), list.size() * sizeof(T));
    buffer.write(u32(type), payload.data(), u32(payload.size()));
}

void FrameWriter::viewports(const std::vector<Viewport> &list) { items(RenderCommand::SetViewports, list); }
void FrameWriter::scissors(const std::vector<ScissorRect> &list) { items(RenderCommand::SetScissors, list); }

void FrameWriter::clear(u32 flags)
{
    CommandClear c{flags};
    buffer.write(u32(RenderCommand::Clear), &c, sizeof c);
}

void FrameWriter::resolve_count(i32 count)
{
    CommandResolveCount c{count};
    buffer.write(u32(RenderCommand::ResolveCount), &c, sizeof c);
}

void FrameWriter::update_buffer(const BufferDescription &description, const void *data)
{
    const UpdateCreateBuffer c{description, data};
    const RenderCommand type = description.resource.type == RenderResourceType::IndexBuffer
                                   ? RenderCommand::UpdateIndexBuffer
                                   : RenderCommand::UpdateVertexBuffer;
    buffer.write(u32(type), &c, sizeof c);
}

void FrameWriter::draw(DrawBatchRecord batch, const std::vector<GeometryBinding> &bindings,
                       const std::vector<u8> &constants)
{
    batch.binding_count = u32(bindings.size());
    batch.bindings_offset = sizeof(DrawBatchRecord);
    const u32 constants_at = u32(sizeof(DrawBatchRecord) + bindings.size() * sizeof(GeometryBinding));
    if (!constants.empty()) {
        batch.constants_offset = constants_at;
        batch.constant_size_bytes = u32(constants.size());
    }
    std::vector<u8> payload(constants_at + constants.size());
    memcpy(payload.data(), &batch, sizeof batch);
    if (!bindings.empty())
        memcpy(payload.data() + sizeof batch, bindings.data(), bindings.size() * sizeof(GeometryBinding));
    if (!constants.empty())
        memcpy(payload.data() + constants_at, constants.data(), constants.size());
    buffer.write(u32(RenderCommand::DrawBatch), payload.data(), u32(payload.size()));
}

void FrameWriter::draw_entry(i64 key, const DrawBatchRecord &batch, const std::vector<GeometryBinding> &bindings,
                             const std::vector<u8> &constants)
{
    begin(key, false);
    draw(batch, bindings, constants);
    end();
}

DrawBatchRecord make_batch(RenderResourceHandle shader)
{
    DrawBatchRecord batch{};
    batch.shader = shader;
    batch.primitive_count = 1;
    batch.vertex_count = 3;
    batch.instance_count = 1;
    return batch;
}

namespace {
const u8 vs_code[] = {'v', 's', 0x11};
const u8 ps_code[] = {'p', 's', 0x22};
const u8 ps2_code[] = {'p', 's', 0x33};
} // namespace

TestShader::TestShader()
{
    buffers[0] = {0, 16, 0};
    resource_offsets[0] = 16;
    resources[0] = {0x1234, 0};
    layout.buffers = buffers;
    layout.buffer_count = 1;
    layout.resource_offsets = resource_offsets;
    rasterizer_settings[0] = {1, 0, D3D11_CULL_NONE, 0};
    for (u32 p = 0; p < 2; ++p) {
        ShaderPassDesc &pass = passes[p];
        pass.stages[u32(DescStage::vertex)].code = vs_code;
        pass.stages[u32(DescStage::vertex)].code_size = sizeof vs_code;
        ShaderStageDesc &pixel = pass.stages[u32(DescStage::pixel)];
        pixel.code = p == 0 ? ps_code : ps2_code;
        pixel.code_size = p == 0 ? sizeof ps_code : sizeof ps2_code;
        pixel.resources = resources;
        pixel.resource_count = 1;
        pixel.constant_buffers = &layout;
        pass.rasterizer_states = {rasterizer_settings, 1};
    }
    desc = {passes, 2, 0};
    record.desc = &desc;
}

void DeviceTest::SetUp()
{
    hl::headless_reset();
    caps.set_object();
}

void DeviceTest::TearDown() { stop(); }

void DeviceTest::start(u32 workers, const hl::HeadlessConfig *config)
{
    hl::headless_configure(config ? *config : hl::default_headless_config());
    if (workers) {
        registry = std::make_unique<ThreadRegistry>(default_allocator(), "main");
        pool = std::make_unique<ThreadPool>(default_allocator(), workers, *registry);
        pool->add_worker(current_thread_id());
    }
    D3DRenderDeviceParams params;
    params.pool = pool.get();
    params.render_caps = [](void *user) -> const ConfigValue * { return static_cast<ConfigValue *>(user); };
    params.render_caps_user = &caps;
    device = make_new<D3DRenderDevice>(default_allocator(), default_allocator(), params);
    DeviceSettings settings;
    ASSERT_TRUE(device->initialize(settings));
}

void DeviceTest::stop()
{
    if (!device)
        return;
    delete_with_allocator(default_allocator(), device);
    device = nullptr;
    pool.reset();
    registry.reset();
    EXPECT_TRUE(hl::headless_leaks().empty());
    for (const std::string &leak : hl::headless_leaks())
        ADD_FAILURE() << "left alive: " << leak;
    for (const hl::Diagnostic &d : hl::headless_diagnostics())
        ADD_FAILURE() << "diagnostic of the layer: " << hl::to_string(d.rule) << ": " << d.message;
}

void DeviceTest::submit(const std::function<void(RenderResourceContext &)> &fill)
{
    RenderResourceContext *context = device->alloc_resource_context();
    ASSERT_NE(context, nullptr);
    fill(*context);
    context->set_event(true);
    device->update_resources(1, &context);
    context->set_event(false);
    device->release_resource_context(context);
}

std::unique_ptr<RenderTarget> DeviceTest::make_target(u32 format, u32 width, u32 height)
{
    auto target = std::make_unique<RenderTarget>(default_allocator());
    target->window_index = 0;
    target->description = {format, 0, width, height, 1, 1};
    submit([&](RenderResourceContext &c) { c.create_resource(target.get()); });
    return target;
}

RenderResourceHandle DeviceTest::create_shader(TestShader &desc)
{
    TestShader &shader = desc;
    shader.record.resource.handle = device->handle_pool().alloc_handle(render_handle_kind::shader);
    CommandBuffer stream(default_allocator(), 128);
    UpdateCreateShader create{&shader.record.resource, shader.record.resource.handle};
    stream.write(u32(ResourceUpdate::CreateShader), &create, sizeof create);
    device->resource_manager()->process(stream);
    return shader.record.resource.handle;
}

void DeviceTest::set_deferred(bool on) { caps.member("use_deferred_contexts").set_bool(on); }

} // namespace tallow::render::d3d11::test
