// Dispatching one frame of 50k draws on the Direct3D device over the headless layer in its
// null mode (no journal): serially on the immediate context against ranges recorded on
// deferred contexts by 2 and 4 pool workers and played back in order.
#include "bench/support/bench_support.h"

#include "render/device/device_settings.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "platform/d3d11/d3d11_headless.h"
#include "render/commands/command_buffer.h"
#include "render/d3d11/d3d_render_device.h"
#include "render/d3d11/d3d_render_state_builder.h"
#include "render/d3d11/d3d_resource_manager.h"

#include <cstring>
#include <memory>

namespace {

using namespace tallow;
using namespace tallow::render::d3d11;
namespace hl = tallow::d3d11;

constexpr u32 draw_count = 50000;
constexpr u32 segment_every = 1000; // a target set-up and clear every 1000 draws

const u8 vs_code[] = {'v', 's', 1};
const u8 ps_code[] = {'p', 's', 2};

struct Frame {
    explicit Frame(Allocator &allocator) : buffer(allocator, 1 << 20), entries(allocator) {}
    CommandBuffer buffer;
    Array<RenderSortEntry> entries;
};

void write(Frame &frame, i64 key, bool segment, u32 start)
{
    RenderSortEntry entry{};
    entry.key = key;
    entry.buffer = &frame.buffer;
    entry.offset = start;
    entry.length = frame.buffer.write_offset() - start;
    entry.segment = segment ? 1 : 0;
    frame.entries.push_back(entry);
}

void run_dispatch(benchmark::State &state, u32 workers)
{
    hl::headless_reset();
    hl::HeadlessConfig config = hl::default_headless_config();
    config.journal = false;
    config.keep_released_objects = false; // as in a program run
    hl::headless_configure(config);
    {
        ThreadRegistry registry(default_allocator(), "main");
        std::unique_ptr<ThreadPool> pool;
        if (workers) {
            pool = std::make_unique<ThreadPool>(default_allocator(), workers, registry);
            pool->add_worker(current_thread_id());
        }
        ConfigValue caps(default_allocator());
        caps.set_object();
        caps.member("use_deferred_contexts").set_bool(workers != 0);
        D3DRenderDeviceParams params;
        params.pool = pool.get();
        params.render_caps = [](void *user) -> const ConfigValue * { return static_cast<ConfigValue *>(user); };
        params.render_caps_user = &caps;
        D3DRenderDevice device(default_allocator(), params);
        if (!device.initialize(DeviceSettings{})) {
            state.SkipWithError("no device");
            return;
        }

        // One shader: vertex and pixel stages, a 16-byte pixel constant buffer per draw.
        StageConstantBufferDesc buffers[1] = {{0, 16, 0}};
        StageResourceLayout layout;
        layout.buffers = buffers;
        layout.buffer_count = 1;
        ShaderPassDesc pass;
        pass.stages[u32(DescStage::vertex)].code = vs_code;
        pass.stages[u32(DescStage::vertex)].code_size = sizeof vs_code;
        pass.stages[u32(DescStage::pixel)].code = ps_code;
        pass.stages[u32(DescStage::pixel)].code_size = sizeof ps_code;
        pass.stages[u32(DescStage::pixel)].constant_buffers = &layout;
        ShaderDesc desc{&pass, 1, 0};
        ShaderResourceRecord shader{{RenderResourceType::Shader}, &desc};
        shader.resource.handle = device.handle_pool().alloc_handle(render_handle_kind::shader);
        {
            CommandBuffer stream(default_allocator(), 128);
            UpdateCreateShader create{&shader.resource, shader.resource.handle};
            stream.write(u32(ResourceUpdate::CreateShader), &create, sizeof create);
            device.resource_manager()->process(stream);
        }
        RenderTarget target(default_allocator());
        target.window_index = 0;
        target.description = {0, 0, 256, 256, 1, 1};
        RenderResourceContext *context = device.alloc_resource_context();
        context->create_resource(&target);
        context->set_event(true);
        device.update_resources(1, &context);
        context->set_event(false);
        device.release_resource_context(context);

        Frame frame(default_allocator());
        for (u32 i = 0; i < draw_count; ++i) {
            const i64 key = i64(i) * 8;
            if (i % segment_every == 0) {
                const u32 start = frame.buffer.write_offset();
                CommandSetRenderTarget set{0, 0, &target};
                frame.buffer.write(u32(RenderCommand::SetRenderTarget), &set, sizeof set);
                CommandClear clear{clear_flags::color};
                frame.buffer.write(u32(RenderCommand::Clear), &clear, sizeof clear);
                write(frame, key, true, start);
            }
            struct {
                DrawBatchRecord batch;
                f32 constants[4];
            } draw{};
            draw.batch.shader = shader.resource.handle;
            draw.batch.bindings_offset = sizeof(DrawBatchRecord);
            draw.batch.constants_offset = sizeof(DrawBatchRecord);
            draw.batch.constant_size_bytes = 16;
            draw.batch.primitive_count = 1;
            draw.batch.vertex_count = 3;
            draw.batch.instance_count = 1;
            draw.constants[0] = f32(i);
            const u32 start = frame.buffer.write_offset();
            frame.buffer.write(u32(RenderCommand::DrawBatch), &draw, sizeof draw);
            write(frame, key | 1, false, start);
        }

        for (auto _ : state)
            device.execute_sorted(frame.entries.data(), frame.entries.size());
        state.SetItemsProcessed(i64(state.iterations()) * draw_count);
        context = device.alloc_resource_context();
        context->release_resource(&target);
        context->set_event(true);
        device.update_resources(1, &context);
        context->set_event(false);
        device.release_resource_context(context);
    }
    hl::headless_reset();
}

void dispatch_serial(benchmark::State &state) { run_dispatch(state, 0); }
void dispatch_deferred_2(benchmark::State &state) { run_dispatch(state, 2); }
void dispatch_deferred_4(benchmark::State &state) { run_dispatch(state, 4); }

BENCHMARK(dispatch_serial)->Name("dispatch_50k/serial")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(dispatch_deferred_2)->Name("dispatch_50k/deferred_2_workers")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(dispatch_deferred_4)->Name("dispatch_50k/deferred_4_workers")->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    tallow::bench::BenchProgram program(argc, argv);
    const tallow::bench::RatioReporter &runs = program.run();
    const tallow::bench::TimeRatio ratios[] = {
        {"2 workers", "dispatch_50k/deferred_2_workers", "dispatch_50k/serial"},
        {"4 workers", "dispatch_50k/deferred_4_workers", "dispatch_50k/serial"}};
    tallow::bench::print_time_ratios(runs, "deferred dispatch time / serial dispatch time (below 1: deferred is faster)",
                                     ratios);
    return 0;
}
