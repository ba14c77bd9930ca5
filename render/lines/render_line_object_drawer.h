#pragma once
// The render side of line objects: one drawer per line-object pool of a world keeps the last
// dispatched lines of every line object of its pool, as ranges of one vertex array in
// dispatch order, and draws them all with one line-list draw per camera.
//
//   RenderLineObjectDrawer *d = make_new<RenderLineObjectDrawer>(a, a, LineDrawerDescription{});
//   render_world.create_object(link, handle_field, d);     // game side
//   ... render thread: line messages arrive through apply_message ...
//   d->render(draw_params);                                 // from the render job
//
// A message for a line object rewrites its range in place when the line count is unchanged;
// otherwise its range is removed (later ranges move down) and the lines appended. A message
// of 0 lines forgets the line object (sent when it is destroyed). Messages whose counts do
// not fit their payload are dropped (logged).
//
// Render thread only, after construction.

#include "foundation/containers/array.h"
#include "render/lines/line_object.h"
#include "render/resources/render_resource.h"
#include "render/shaders/shader_manager.h"
#include "render/world/render_draw.h"
#include "render/world/render_object.h"

namespace tallow {

/// What a drawer is made from: its shader template and whether it draws in pixels.
struct LineDrawerDescription {
    u32 shader_template = 0;   // NameId32; 0: "line_object"
    bool screen_space = false; // true: (x, depth, y) in pixels of the back buffer, depth 0 to 1000
};

/// One vertex of a drawn line.
struct LineVertex {
    f32 x, y, z;
    u32 color;
};
static_assert(sizeof(LineVertex) == 16);

/// The vertices of one line object: [first, end).
struct LineRange {
    u32 line_object;
    u32 first;
    u32 end;
};

class RenderLineObjectDrawer final : public RenderObject {
  public:
    RenderLineObjectDrawer(Allocator &allocator, const LineDrawerDescription &description);
    ~RenderLineObjectDrawer() override;

    void create_resources(RenderResourceContext *context) override;  // See RenderObject
    void destroy_resources(RenderResourceContext *context) override; // See RenderObject
    /// Kind 0 (line_message_kind): a LineMessageHeader and its lines.
    void apply_message(u32 kind, const u8 *payload, u32 payload_bytes) override;
    void refresh_shaders() override { _shader.refresh(); } // See RenderObject

    /// Takes `count` lines of line object `id` (see the header comment).
    void submit_lines(u32 id, u32 count, const LineRecord *lines);
    /// One line-list draw of every vertex, when there are any, with the camera's matrices
    /// (or the pixel projection of a screen-space drawer). False when nothing was drawn
    /// (no vertices, no template, no resources).
    bool render(const RenderDrawParams &params);

    u32 vertex_count() const { return _vertices.size() / u32(sizeof(LineVertex)); }
    u32 primitive_count() const { return vertex_count() / 2; }
    const LineVertex *vertices() const { return reinterpret_cast<const LineVertex *>(_vertices.data()); }
    const Array<LineRange> &ranges() const { return _ranges; }
    const BufferDescription &vertex_buffer() const { return _vertex_buffer; }
    const VertexDeclaration &vertex_declaration() const { return _declaration; }
    bool is_screen_space() const { return _screen_space; }

  private:
    void write_vertices(u32 first_vertex, u32 count, const LineRecord *lines);

    u32 _template;
    bool _screen_space;
    Array<u8> _vertices;          // LineVertex records; the vertex buffer reads these bytes
    Array<LineRange> _ranges;     // in vertex order
    BufferDescription _vertex_buffer;
    VertexDeclaration _declaration;
    ShaderContext _shader;
    bool _has_template = false;
};

} // namespace tallow
