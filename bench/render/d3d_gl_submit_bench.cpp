// CPU time to submit one frame of 10k draws with state changes (a new pixel constant per
// draw, a target set-up and clear every 1000 draws) through the engine's Direct3D device over
// the layer's OpenGL backend, against a plain GL loop issuing the same draws, uniform-buffer
// updates and clears on the same context. Both wait for the GPU at the end of the frame
// (glFinish), so the software rasteriser's work is in both times alike.
#include "bench/support/bench_support.h"

#include "foundation/memory/memory_globals.h"
#include "platform/d3d11/d3d11_backend.h"
#include "platform/d3d11/gl_internal.h"
#include "render/commands/command_buffer.h"
#include "render/d3d11/d3d_render_device.h"
#include "render/d3d11/d3d_render_state_builder.h"
#include "render/d3d11/d3d_resource_manager.h"
#include "render/device/device_settings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using namespace tallow;
using namespace tallow::render::d3d11;

constexpr u32 draw_count = 10000;
constexpr u32 segment_every = 1000;
constexpr u32 target_size = 256;
// Both loops time the same fixed number of frames after the same warm-up: left to itself the
// library gave the engine's loop a single timed frame (its first estimate was long), and the
// ratio swung with that one frame. The loops take turns in three rounds, and the ratio of
// their median frames is printed too: on a machine that other work loads, the load drifts
// between rounds and single frames stall, which moves means far more than medians.
constexpr u32 warm_up_frames = 3;
constexpr u32 timed_frames = 20;
constexpr int rounds = 3;

const char vs_code[] = "#version 450 core\n"
                       "void main() {\n"
                       // Counter-clockwise on screen: the front face under the engine's default states.
                       "    vec2 p[3] = vec2[3](vec2(-1.0, -1.0), vec2(1.0, -1.0), vec2(0.0, 1.0));\n"
                       "    gl_Position = vec4(p[gl_VertexID] * 0.05, 0.5, 1.0);\n"
                       "}\n";
const char ps_code[] = "#version 450 core\n"
                       "layout(std140) uniform Draw { vec4 value; };\n"
                       "out vec4 color;\n"
                       "void main() { color = vec4(fract(value.x * 0.001), 0.0, 0.0, 1.0); }\n";

struct Frame {
    explicit Frame(Allocator &allocator) : buffer(allocator, 1 << 20), entries(allocator) {}
    CommandBuffer buffer;
    Array<RenderSortEntry> entries;
};

// The last frame's pixels of each loop, read back from the framebuffer it drew into, so the
// run shows that both loops drew the same picture (a loop that draws nothing is fast).
std::vector<u8> engine_pixels, plain_pixels;
std::vector<double> engine_frames, plain_frames; // seconds of every timed frame, all rounds

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    if (values.empty()) return 0.0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

void read_drawn_pixels(std::vector<u8> &out)
{
    GLint framebuffer = 0;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &framebuffer);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, GLuint(framebuffer));
    out.assign(target_size * target_size * 4, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, target_size, target_size, GL_RGBA, GL_UNSIGNED_BYTE, out.data());
}

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

void engine_device(benchmark::State &state)
{
    tallow::d3d11::set_backend(tallow::d3d11::Backend::gl);
    if (!tallow::d3d11::gl_available()) {
        state.SkipWithError("no OpenGL 4.5 context");
        return;
    }
    D3DRenderDeviceParams params;
    D3DRenderDevice device(default_allocator(), params);
    if (!device.initialize(DeviceSettings{})) {
        state.SkipWithError("no device");
        return;
    }
    StageConstantBufferDesc buffers[1] = {{0, 16, 0}};
    StageResourceLayout layout;
    layout.buffers = buffers;
    layout.buffer_count = 1;
    ShaderPassDesc pass;
    pass.stages[u32(DescStage::vertex)].code = reinterpret_cast<const u8 *>(vs_code);
    pass.stages[u32(DescStage::vertex)].code_size = sizeof vs_code - 1;
    pass.stages[u32(DescStage::pixel)].code = reinterpret_cast<const u8 *>(ps_code);
    pass.stages[u32(DescStage::pixel)].code_size = sizeof ps_code - 1;
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
    target.description = {0, 0, target_size, target_size, 1, 1};
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

    // Frames first: the software rasteriser compiles its shader variants on first use.
    for (u32 warm = 0; warm < warm_up_frames; ++warm) {
        device.execute_sorted(frame.entries.data(), frame.entries.size());
        tallow::d3d11::gl::GlScope scope;
        glFinish();
    }
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        device.execute_sorted(frame.entries.data(), frame.entries.size());
        tallow::d3d11::gl::GlScope scope;
        glFinish();
        engine_frames.push_back(seconds_since(start));
    }
    {
        tallow::d3d11::gl::GlScope scope;
        read_drawn_pixels(engine_pixels);
    }
    state.SetItemsProcessed(i64(state.iterations()) * draw_count);
    context = device.alloc_resource_context();
    context->release_resource(&target);
    context->set_event(true);
    device.update_resources(1, &context);
    context->set_event(false);
    device.release_resource_context(context);
}

GLuint program_of(GLenum kind, const char *source)
{
    return glCreateShaderProgramv(kind, 1, &source);
}

void plain_gl(benchmark::State &state)
{
    std::string reason;
    if (!tallow::d3d11::gl_available(&reason)) {
        state.SkipWithError("no OpenGL 4.5 context");
        return;
    }
    tallow::d3d11::gl::GlScope scope;
    GLuint vs = program_of(GL_VERTEX_SHADER, vs_code), ps = program_of(GL_FRAGMENT_SHADER, ps_code);
    glUniformBlockBinding(ps, 0, 0);
    GLuint pipeline = 0, vao = 0, fbo = 0, texture = 0, constants = 0;
    glCreateProgramPipelines(1, &pipeline);
    glUseProgramStages(pipeline, GL_VERTEX_SHADER_BIT, vs);
    glUseProgramStages(pipeline, GL_FRAGMENT_SHADER_BIT, ps);
    glCreateVertexArrays(1, &vao);
    glCreateTextures(GL_TEXTURE_2D, 1, &texture);
    glTextureStorage2D(texture, 1, GL_RGBA8, target_size, target_size);
    glCreateFramebuffers(1, &fbo);
    glNamedFramebufferTexture(fbo, GL_COLOR_ATTACHMENT0, texture, 0);
    glCreateBuffers(1, &constants);
    glNamedBufferData(constants, 16, nullptr, GL_STREAM_DRAW);
    glUseProgram(0);
    glBindProgramPipeline(pipeline);
    glBindVertexArray(vao);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, fbo);
    glViewport(0, 0, target_size, target_size);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    const GLfloat black[4] = {0, 0, 0, 0}; // the engine target's clear colour
    auto draw_frame = [&] {
        for (u32 i = 0; i < draw_count; ++i) {
            if (i % segment_every == 0) glClearNamedFramebufferfv(fbo, GL_COLOR, 0, black);
            const f32 values[4] = {f32(i), 0, 0, 0};
            glNamedBufferData(constants, 16, values, GL_STREAM_DRAW);
            glBindBufferBase(GL_UNIFORM_BUFFER, 0, constants);
            glDrawArrays(GL_TRIANGLES, 0, 3);
        }
        glFinish();
    };
    for (u32 warm = 0; warm < warm_up_frames; ++warm)
        draw_frame(); // as for the engine: the rasteriser compiles its variants on first use
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        draw_frame();
        plain_frames.push_back(seconds_since(start));
    }
    read_drawn_pixels(plain_pixels);
    state.SetItemsProcessed(i64(state.iterations()) * draw_count);
    glDeleteBuffers(1, &constants);
    glDeleteFramebuffers(1, &fbo);
    glDeleteTextures(1, &texture);
    glDeleteVertexArrays(1, &vao);
    glDeleteProgramPipelines(1, &pipeline);
    glDeleteProgram(vs);
    glDeleteProgram(ps);
}

// Registered in turns: round 1 of both loops, then round 2, then round 3.
const int registered = [] {
    for (int round = 1; round <= rounds; ++round) {
        benchmark::RegisterBenchmark("submit_10k/engine_device", engine_device)
            ->Arg(round)->UseRealTime()->Iterations(timed_frames)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("submit_10k/plain_gl", plain_gl)
            ->Arg(round)->UseRealTime()->Iterations(timed_frames)->Unit(benchmark::kMillisecond);
    }
    return rounds;
}();

} // namespace

int main(int argc, char **argv)
{
    tallow::bench::BenchProgram program(argc, argv);
    const tallow::bench::RatioReporter &runs = program.run();
    const tallow::bench::TimeRatio ratios[] = {
        {"10k draws, round 1", "submit_10k/engine_device/1", "submit_10k/plain_gl/1"},
        {"10k draws, round 2", "submit_10k/engine_device/2", "submit_10k/plain_gl/2"},
        {"10k draws, round 3", "submit_10k/engine_device/3", "submit_10k/plain_gl/3"}};
    tallow::bench::print_time_ratios(runs, "engine device time / plain GL time (goal: at most 1.5)", ratios);
    const double engine_median = median(engine_frames), plain_median = median(plain_frames);
    if (engine_median > 0.0 && plain_median > 0.0)
        std::printf("  median frame of %zu and %zu: %.1f ms / %.1f ms = %.2f\n", engine_frames.size(), plain_frames.size(),
                    engine_median * 1e3, plain_median * 1e3, engine_median / plain_median);
    if (!engine_pixels.empty() && engine_pixels.size() == plain_pixels.size()) {
        size_t differ = 0, drawn = 0;
        for (size_t i = 0; i < engine_pixels.size(); i += 4) {
            differ += std::memcmp(&engine_pixels[i], &plain_pixels[i], 4) != 0;
            drawn += plain_pixels[i] != 0;
        }
        std::printf("last frame: %zu of %u pixels differ between the two loops (%zu drawn)\n", differ,
                    target_size * target_size, drawn);
    }
    return 0;
}
