#include "render/generators/fullscreen_pass.h"

#include "foundation/log.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/strings/name_id.h"
#include "render/commands/render_context.h"
#include "render/generators/modifier_inputs.h"
#include "render/resources/render_resource_context.h"
#include "render/resources/render_target.h"

#include <cmath>
#include <cstring>

namespace tallow::resource_generator {

namespace {
static_assert(max_fullscreen_views == 4, "the view buffers are initialised one by one");

enum : u32 {
    reported_outputs = 1,
    reported_target = 2,
    reported_input = 4,
    reported_shading = 8,
    reported_unsized = 16,
    reported_views = 32,
    reported_no_resources = 64,
};

// One triangle over the whole target: (x, y, z, u, v).
const FullscreenVertex initial_vertices[3] = {{-1, -3, 0, 0, 2}, {3, 1, 0, 2, 0}, {-1, 1, 0, 0, 0}};

constexpr u32 semantic_position = 0;
constexpr u32 semantic_texcoord = 4;
constexpr u32 channel_float2 = 1;
constexpr u32 channel_float3 = 2;

bool bool_member(ConstConfigValue config, const char *key, bool fallback)
{
    ConstConfigValue v = config.member(key);
    return v.kind() == ConstConfigKind::Bool ? v.to_bool() : fallback;
}

const char *string_member(ConstConfigValue config, const char *key)
{
    ConstConfigValue v = config.member(key);
    return v.kind() == ConstConfigKind::String ? v.to_string() : nullptr;
}
} // namespace

FullscreenPass::FullscreenPass(Allocator &allocator)
    : ModifierBase(ModifierType::FullscreenPass), _allocator(allocator), _own_context(allocator), _inputs(allocator),
      _views{ViewBuffer(allocator), ViewBuffer(allocator), ViewBuffer(allocator), ViewBuffer(allocator)}
{
    _declaration.channels[0] = {semantic_position, channel_float3, 0, 0, 0, {}};
    _declaration.channels[1] = {semantic_texcoord, channel_float2, 0, 0, 0, {}};
    _declaration.channel_count = 2;
    for (ViewBuffer &view : _views) {
        view.vertices.resize(sizeof initial_vertices);
        memcpy(view.vertices.data(), initial_vertices, sizeof initial_vertices);
        view.buffer = make_vertex_buffer_resource(buffer_mode::cpu_memory, 3, sizeof(FullscreenVertex), &view.vertices);
    }
}

ModifierBase *FullscreenPass::create(const ModifierLoadParams &params)
{
    ResourceGenerator &generator = *params.generator;
    FullscreenPass *pass = make_new<FullscreenPass>(generator.allocator(), generator.allocator());
    if (!pass) {
        log_message("render", "fullscreen_pass: out of memory");
        return nullptr;
    }
    const ConstConfigValue config = params.config;
    // A pass without shading is kept (it binds its targets and clears) but draws nothing.
    (void)load_shading(config, "fullscreen_pass", params.load->shaders, pass->_own_context, &pass->_material);

    Array<u32> outputs(generator.allocator());
    const u32 named = parse_name_list(string_member(config, "output"), outputs);
    if (named > max_render_target_slots)
        log_message("render", "fullscreen_pass: %u output targets named; the ones past %u are left out", named,
                    max_render_target_slots);
    for (u32 i = 0; i < outputs.size() && i < max_render_target_slots; ++i)
        pass->_outputs[i] = outputs[i];
    (void)parse_name_list(string_member(config, "input"), pass->_inputs);
    if (const char *depth = string_member(config, "depth_stencil_target"))
        pass->_depth_stencil = depth[0] ? NameId32(depth).value() : 0;
    pass->_respect_dest_viewport = bool_member(config, "respect_dest_viewport", true);
    pass->_respect_src_viewport = bool_member(config, "respect_src_viewport", true);
    pass->_clear_flags = parse_clear_flags(string_member(config, "clear_flags"));

    if (RenderResourceContext *resources = params.load->resources) {
        bool made = resources->create_resource(&pass->_declaration.resource);
        for (ViewBuffer &view : pass->_views)
            made = resources->create_resource(&view.buffer.resource) && made;
        pass->_has_resources = made;
        if (!made)
            log_message("render", "fullscreen_pass: its vertex buffers could not be made; it draws nothing");
    }
    return pass;
}

void FullscreenPass::release(ResourceGenerator &generator, RenderResourceContext *context)
{
    (void)generator;
    if (!context)
        return;
    context->release_resource(&_declaration.resource);
    for (ViewBuffer &view : _views)
        context->release_resource(&view.buffer.resource);
}

void FullscreenPass::texture_coordinates(const Viewport &rect, f32 width, f32 height, FullscreenVertex out[3])
{
    memcpy(out, initial_vertices, sizeof initial_vertices);
    const f32 left = std::trunc(width * rect.x);
    const f32 right = left + std::trunc(width * rect.width);
    const f32 top = std::trunc(height * rect.y);
    const f32 bottom = top + std::trunc(height * rect.height);
    out[0].u = left / width;
    out[0].v = (2 * bottom - top) / height;
    out[1].u = (2 * right - left) / width;
    out[1].v = top / height;
    out[2].u = left / width;
    out[2].v = top / height;
}

FullscreenPass::ViewBuffer *FullscreenPass::choose_view(const GeneratorFrame &frame, bool sized, const f32 size[2],
                                                        bool *out_rewrite)
{
    *out_rewrite = false;
    for (ViewBuffer &view : _views) {
        if (view.has_rect != sized)
            continue;
        if (!sized || (memcmp(&view.rect, &frame.viewport, 4 * sizeof(f32)) == 0 && view.size[0] == size[0] &&
                       view.size[1] == size[1]))
            return &view;
    }
    // A buffer another view of this frame drew from keeps its bytes until the frame has
    // executed; take one that no view of this frame used.
    for (ViewBuffer &view : _views)
        if (!view.drawn || view.frame != frame.frame_index) {
            *out_rewrite = true;
            return &view;
        }
    return nullptr;
}

void FullscreenPass::execute(const ModifierExecution &run)
{
    const GeneratorFrame &frame = *run.frame;
    RenderContext &context = *run.context;

    // 1. The shader context and its bindings.
    ShaderContext *shading = step_shader_context(frame, _material, _own_context);
    if (!shading && first_report(_reported, reported_shading)) {
        if (_material)
            log_message("render", "fullscreen_pass: material 0x%08x is not in the frame's shading environment; the "
                                  "pass draws nothing",
                        _material);
        else
            log_message("render", "fullscreen_pass without a shader; the pass draws nothing");
    }
    if (shading) {
        const Matrix4x4 &identity = matrix4x4_identity;
        shading->set_matrices(identity, identity, identity,
                              frame.shading ? frame.shading->environment_values() : nullptr);
        if (frame.device && frame.resources)
            shading->bind_resources(*frame.device, *frame.resources);
    }

    // 2. Inputs.
    for (u32 i = 0; i < _inputs.size(); ++i) {
        ResolvedResource input;
        if (!resolve_resource(frame, _inputs[i], &input)) {
            if (first_report(_reported, reported_input))
                log_message("render", "fullscreen_pass: input 0x%08x is not a render target or texture of the frame; "
                                      "it is not bound",
                            _inputs[i]);
            continue;
        }
        if (!shading)
            continue;
        const InputVariables names = input_variables(i);
        shading->set_resource(names.texture, input.handle);
        const f32 w = f32(input.width), h = f32(input.height);
        if (w > 0 && h > 0)
            shading->set_vector2(names.inv_size, 1.0f / w, 1.0f / h);
        shading->set_vector2(names.size, w, h);
    }

    // 3 to 6. The targets, depth and clear in one segment.
    bool sized = false;
    f32 size[2] = {0, 0};
    if (!context.begin_segment(run.key))
        return;
    for (u32 slot = 0; slot < max_render_target_slots; ++slot) {
        CommandSetRenderTarget command{slot, 0, nullptr};
        ResolvedResource output;
        if (_outputs[slot] != 0) {
            if (resolve_resource(frame, _outputs[slot], &output) && output.target) {
                command.target = output.target;
                if (!sized && output.width > 0 && output.height > 0) {
                    size[0] = f32(output.width);
                    size[1] = f32(output.height);
                    sized = true;
                }
            } else if (first_report(_reported, reported_target)) {
                log_message("render", "fullscreen_pass: output 0x%08x is not a render target of the frame; slot %u "
                                      "stays unbound",
                            _outputs[slot], slot);
            }
        }
        (void)context.write_command(RenderCommand::SetRenderTarget, &command, sizeof command);
    }
    CommandSetDepthStencil depth{nullptr, 0, 0};
    if (_depth_stencil != 0) {
        ResolvedResource target;
        if (resolve_resource(frame, _depth_stencil, &target) && target.target) {
            depth.target = target.target;
            if (!sized && target.width > 0 && target.height > 0) {
                size[0] = f32(target.width);
                size[1] = f32(target.height);
                sized = true;
            }
        } else if (first_report(_reported, reported_target)) {
            log_message("render", "fullscreen_pass: depth-stencil target 0x%08x is not a render target of the frame; "
                                  "none is bound",
                        _depth_stencil);
        }
    }
    (void)context.write_command(RenderCommand::SetDepthStencil, &depth, sizeof depth);
    if (_clear_flags != 0)
        context.clear(_clear_flags);
    context.end_segment();

    // 7. The view's vertex buffer, its coordinates rewritten when the rectangle changed.
    if (!_has_resources) {
        if (first_report(_reported, reported_no_resources))
            log_message("render", "fullscreen_pass has no vertex buffers (made without a resource context); it draws "
                                  "nothing");
        return;
    }
    bool respect = _respect_src_viewport;
    if (respect && !sized) {
        if (first_report(_reported, reported_unsized))
            log_message("render", "fullscreen_pass: respect_src_viewport needs an output or depth target (of a "
                                  "known size) to size the view by; it draws over the whole target");
        respect = false;
    }
    bool rewrite = false;
    ViewBuffer *view = choose_view(frame, respect, size, &rewrite);
    if (!view) {
        if (first_report(_reported, reported_views))
            log_message("render", "fullscreen_pass: more than %u views with different rectangles in one frame; the "
                                  "later ones draw nothing",
                        max_fullscreen_views);
        return;
    }
    if (rewrite) {
        FullscreenVertex vertices[3];
        if (respect)
            texture_coordinates(frame.viewport, size[0], size[1], vertices);
        else
            memcpy(vertices, initial_vertices, sizeof vertices);
        memcpy(view->vertices.data(), vertices, sizeof vertices);
        view->rect = frame.viewport;
        view->size[0] = size[0];
        view->size[1] = size[1];
        view->has_rect = respect;
        context.update_resource(&view->buffer.resource, run.key);
    }
    view->frame = frame.frame_index;
    view->drawn = true;

    // 8. The draw.
    ShaderSlotEntry slot;
    if (!shading || !shading->slot_entry(context.shader_slot_index(), &slot))
        return;
    const GeometryBinding bindings[2] = {{u32(RenderResourceType::VertexBuffer), view->buffer.resource.handle},
                                         {u32(RenderResourceType::VertexDeclaration), _declaration.resource.handle}};
    RenderBatch batch;
    batch.bindings = bindings;
    batch.binding_count = 2;
    batch.primitive_type = 0;
    batch.primitive_count = 1;
    batch.vertex_count = 3;
    (void)context.render_step_batch(batch, slot, run.key);
}

} // namespace tallow::resource_generator
