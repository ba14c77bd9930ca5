#pragma once
// "fullscreen_pass": draws one triangle that covers the target with a material or a shader
// template, into up to eight output targets, reading named inputs.
//
//   { type = "fullscreen_pass" shader = "tonemap" input = "hdr bloom" output = "back_buffer"
//     depth_stencil_target = "depth" clear_flags = "SURFACE DEPTH" respect_src_viewport = true }
//
// Keys (all optional): "material" (of the frame's shading environment, by name each frame)
// or "shader" (a template, instantiated at load); "output" (up to eight target names
// separated by blanks, slots 0 to 7); "input" (input i is bound to the shader resource
// "input_texture<i>", with "input_texture<i>_size" = (width, height) and
// "inv_input_texture<i>_size" = (1 / width, 1 / height) when the shader has them);
// "depth_stencil_target"; "clear_flags" ("SURFACE", "DEPTH", "STENCIL"); "respect_src_viewport"
// (default true: texture coordinates cover only the view's rectangle of the first output,
// or of the depth target without outputs); "respect_dest_viewport" (read, not used).
//
// Each frame, under the step's key: one segment with the eight target slots (unused slots
// unbound), the depth-stencil target and, with flags, a clear; the vertex update when the
// rectangle changed; then the draw, once per shader pass taking part in the layer config.
//
// Views: each view of a frame whose rectangle differs draws from its own vertex buffer
// (up to max_fullscreen_views per frame), because the device reads a vertex update's bytes
// only when it executes the sorted frame. A buffer whose rectangle matches is drawn again
// without an update.
//
// Refused or reported (once per pass): more than eight outputs (the rest are left out),
// an unknown target, input or material (that one binds nothing; a missing material or
// shader draws nothing), a source rectangle without an output or depth target to size it
// (the coordinates stay full-target), more views in one frame than buffers (those views
// draw nothing).

#include "render/generators/resource_generator.h"
#include "render/shaders/shader_manager.h"

namespace tallow::resource_generator {

/// Views with different rectangles one pass can draw in one frame.
constexpr u32 max_fullscreen_views = 4;

/// One vertex of the pass: position x, y, z and texture coordinates u, v.
struct FullscreenVertex {
    f32 x, y, z, u, v;
};
static_assert(sizeof(FullscreenVertex) == 20);

class FullscreenPass final : public ModifierBase {
  public:
    static ModifierBase *create(const ModifierLoadParams &params);

    explicit FullscreenPass(Allocator &allocator);
    void execute(const ModifierExecution &run) override;                                  // See ModifierBase
    void release(ResourceGenerator &generator, RenderResourceContext *context) override; // See ModifierBase

    /// The texture coordinates of the three vertices for a rectangle (fractions) on a
    /// target of `width` x `height` pixels; the rectangle's edges land on whole pixels.
    static void texture_coordinates(const Viewport &rect, f32 width, f32 height, FullscreenVertex out[3]);

    u32 output(u32 slot) const { return _outputs[slot]; }
    u32 depth_stencil_target() const { return _depth_stencil; }
    u32 clear_flags() const { return _clear_flags; }
    const Array<u32> &inputs() const { return _inputs; }
    u32 material() const { return _material; }
    bool respect_src_viewport() const { return _respect_src_viewport; }
    bool respect_dest_viewport() const { return _respect_dest_viewport; }
    /// The vertex declaration and view buffer i (made at load when a resource context was given).
    const VertexDeclaration &declaration() const { return _declaration; }
    const BufferDescription &view_buffer(u32 i) const { return _views[i].buffer; }

  private:
    struct ViewBuffer {
        explicit ViewBuffer(Allocator &allocator) : vertices(allocator) {}
        BufferDescription buffer{};
        Array<u8> vertices;     // three FullscreenVertex
        Viewport rect{};        // what the coordinates were made for
        f32 size[2] = {0, 0};   // of the target they were made for
        u32 frame = 0;          // the frame that last drew from it
        bool drawn = false;     // drawn in `frame`
        bool has_rect = false;  // false: the initial, full-target coordinates
    };
    ViewBuffer *choose_view(const GeneratorFrame &frame, bool sized, const f32 size[2], bool *out_rewrite);

    Allocator &_allocator;
    ShaderContext _own_context;
    u32 _material = 0;
    u32 _outputs[max_render_target_slots] = {};
    u32 _depth_stencil = 0;
    u32 _clear_flags = 0;
    Array<u32> _inputs;
    bool _respect_src_viewport = true;
    bool _respect_dest_viewport = true;
    bool _has_resources = false;
    VertexDeclaration _declaration;
    ViewBuffer _views[max_fullscreen_views];
    u32 _reported = 0;
};

} // namespace tallow::resource_generator
