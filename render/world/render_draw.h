#pragma once
// What a render object that draws itself (line drawers, GUIs) is given by the render job for
// one camera, and the matrices the unculled objects share.
//
//   RenderDrawParams draw;
//   draw.context = render_context;  draw.shaders = &shader_manager;  draw.device = &device;
//   draw.resources = resource_context;           // where new vertex buffers are created
//   draw.view = camera_view;  draw.projection = camera_projection;
//   draw.back_buffer_width = w;  draw.back_buffer_height = h;
//   render_unculled_object(*object, draw);      // RenderLineObjectDrawer or RenderGui
//
// Render thread only.

#include "foundation/math/matrix4x4.h"

namespace tallow {

class RenderContext;
class RenderDevice;
class RenderObject;
class RenderResourceContext;
class RenderResourceSet;
class RenderWorld;
class ShaderManager;

/// Vertex channel semantics (the device's: POSITION, NORMAL, TANGENT, BINORMAL, TEXCOORD,
/// COLOR, BLENDINDICES, BLENDWEIGHTS) and the channel types the self-drawing objects use.
namespace vertex_semantic {
constexpr u32 position = 0;
constexpr u32 normal = 1;
constexpr u32 texcoord = 4;
constexpr u32 color = 5;
} // namespace vertex_semantic
namespace vertex_channel {
constexpr u32 float2 = 1;
constexpr u32 float3 = 2;
constexpr u32 ubyte4_norm = 4;
} // namespace vertex_channel
namespace primitive_type {
constexpr u32 triangle_list = 0;
constexpr u32 line_list = 1;
} // namespace primitive_type

/// Depth of pixel-space drawing: vertex depth 0 .. 1000 maps to 0 .. 1.
constexpr f32 pixel_depth_scale = 0.001f;

struct RenderDrawParams {
    RenderContext *context = nullptr;
    ShaderManager *shaders = nullptr;            // shader templates are found here
    RenderDevice *device = nullptr;              // binds resource variables (may be null)
    const RenderResourceSet *resource_set = nullptr; // global resources for binding (may be null)
    RenderResourceContext *resources = nullptr;  // device resources made at the draw (may be null: none made)
    const u32 *texture_channels = nullptr;       // names of the material texture channels (NameId32)
    u32 texture_channel_count = 0;
    Matrix4x4 view = matrix4x4_identity;
    Matrix4x4 projection = matrix4x4_identity;
    u32 back_buffer_width = 0;
    u32 back_buffer_height = 0;
    /// The view's rectangle in pixels of the back buffer: screen-space drawing (screen GUIs,
    /// screen-space lines) lays its pixels out over it, so a half-width view is not drawn
    /// squeezed. 0: the back buffer's size.
    u32 view_width = 0;
    u32 view_height = 0;
};

/// The pixel size screen-space drawing lays out over: the view's, else the back buffer's.
inline void screen_size_of(const RenderDrawParams &params, u32 &out_width, u32 &out_height)
{
    out_width = params.view_width ? params.view_width : params.back_buffer_width;
    out_height = params.view_height ? params.view_height : params.back_buffer_height;
}

/// An orthographic projection for drawing in pixels on a plane whose vertices are
/// (x, depth, y): x = 0 .. width maps to clip x -1 .. 1, y = 0 .. height to clip y -1 .. 1
/// (y up), depth d to d x `depth_scale` + `depth_offset`. `origin` (pixels) moves the
/// plane's origin and `scale` multiplies its units.
Matrix4x4 pixel_projection(f32 width, f32 height, f32 origin_x, f32 origin_y, f32 scale_x, f32 scale_y,
                           f32 depth_scale, f32 depth_offset);

/// Draws an object filed in the render world's unculled records (a line drawer or a GUI);
/// other classes draw nothing. Returns false for a class that does not draw itself.
bool render_unculled_object(RenderObject &object, const RenderDrawParams &params);

} // namespace tallow
