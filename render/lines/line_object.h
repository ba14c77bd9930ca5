#pragma once
// Debug lines: a LineObject collects coloured segments (lines, circles, spheres, half
// spheres, boxes, capsules) on the game side; `dispatch` hands them to the render side's
// RenderLineObjectDrawer through the world's state stream, where they stay drawn until the
// same line object dispatches again.
//
//   LineObjects pool(allocator, drawer_handle);      // one pool per drawer
//   LineObject *lo = pool.create();                  // null when memory runs out
//   lo->add_circle(0xFFFF0000, centre, 1.0f, {0, 0, 1}, 20);
//   lo->dispatch(link.state()->update_stream(0), pool.drawer());   // nothing when empty
//   lo->reset();                                     // the drawn lines stay until the next dispatch
//   pool.destroy(lo);                                // the drawer forgets its lines
//
// Counts are bounded: segment counts above max_line_segments and part or side counts above
// max_line_parts are clamped, and a line object holds at most max_lines_per_object lines
// (more are dropped, logged once per object). A radius that is not a positive finite number
// draws no sphere, half sphere or capsule end.
//
// Main thread only (the World's and scripts' thread).

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/math/vector3.h"

namespace tallow {

class RenderStateStream;

/// One line: from, to, colour (alpha in the top byte, then red, green, blue).
struct LineRecord {
    Vector3 from;
    Vector3 to;
    u32 color;
};
static_assert(sizeof(LineRecord) == 28);

/// Record kind of a line message in a world's update stream (class LineObjectDrawer).
constexpr u32 line_message_kind = 0;

/// A line message's fixed part; `count` LineRecords follow at `lines_offset` from the
/// payload start. A count of 0 forgets the line object's lines (its destruction).
struct LineMessageHeader {
    u32 class_id;       // RenderObjectClass::LineObjectDrawer
    u32 drawer;         // the drawer's render handle
    u32 line_object;    // id of the line object in its pool
    u32 count;          // lines that follow
    u32 lines_offset;   // sizeof(LineMessageHeader)
};
static_assert(sizeof(LineMessageHeader) == 20);

constexpr u32 max_line_segments = 1024;      // per circle, ring or arc
constexpr u32 max_line_parts = 64;           // sphere parts, capsule sides
constexpr u32 max_lines_per_object = 1u << 20;

/// Packs a colour from components 0 to 255 (each truncated and kept to its low 8 bits).
u32 pack_line_color(f32 a, f32 r, f32 g, f32 b);

class LineObject {
  public:
    LineObject(Allocator &allocator, u32 id) : _id(id), _lines(allocator) {}

    u32 id() const { return _id; }
    const Array<LineRecord> &lines() const { return _lines; }

    void add_line(u32 color, Vector3 from, Vector3 to);
    /// `segments` lines around `normal`; nothing for a segment count below 1.
    void add_circle(u32 color, Vector3 centre, f32 radius, Vector3 normal, i32 segments);
    void add_sphere(u32 color, Vector3 centre, f32 radius, i32 segments, i32 parts);
    void add_half_sphere(u32 color, Vector3 centre, f32 radius, Vector3 direction, i32 segments, i32 parts);
    /// The 12 edges of the box of `half_extents` placed by `pose`.
    void add_box(u32 color, const Matrix4x4 &pose, Vector3 half_extents);
    /// Side lines and two half spheres of `segments` segments; `sides` is the number of side
    /// lines. The caps always have 2 rings each: `parts` (scripts pass 4 by default) is
    /// accepted and not used. A capsule of zero length has no axis and draws no caps.
    void add_capsule(u32 color, Vector3 from, Vector3 to, f32 radius, i32 segments, i32 parts, i32 sides);

    /// Empties the line array (the drawer keeps what was dispatched).
    void reset() { _lines.clear(); }
    /// Writes one line message to `stream` for the drawer `drawer_handle` when the object
    /// holds lines; nothing when it holds none. False when the stream cannot grow.
    bool dispatch(RenderStateStream &stream, u32 drawer_handle) const;

  private:
    void add_arc(u32 color, Vector3 centre, Vector3 u, Vector3 v, f32 radius, f32 angle, u32 segments);
    bool room_for(u32 count);

    u32 _id;
    Array<LineRecord> _lines;
    bool _said_full = false;
};

/// Adds the lines of a record {u32 count; count x {Vector3 from, Vector3 to}} (the particle
/// world's trail feedback) in `color`; a count past the record's bytes is cut to what they
/// hold. Returns the lines added.
u32 add_line_pairs(LineObject &lines, u32 color, const u8 *payload, u32 payload_bytes);

/// Writes a message that makes the drawer forget line object `id` (count 0).
bool write_line_object_forget(RenderStateStream &stream, u32 drawer_handle, u32 id);

/// Line objects of one drawer, with ids from a running counter starting at 0.
class LineObjects {
  public:
    LineObjects(Allocator &allocator, u32 drawer_handle) : _allocator(allocator), _objects(allocator), _drawer(drawer_handle) {}
    ~LineObjects() { destroy_all(); }
    LineObjects(const LineObjects &) = delete;
    LineObjects &operator=(const LineObjects &) = delete;

    /// A new empty line object, or null when memory runs out.
    LineObject *create();
    /// Destroys `object` (swap-removed from the pool). When `stream` is given, the drawer is
    /// told to forget the object's lines, so they are not drawn any more. False when the
    /// object is not in this pool.
    bool destroy(LineObject *object, RenderStateStream *stream);
    /// Frees every line object (world teardown; the drawer goes too).
    void destroy_all();
    bool owns(const LineObject *object) const;

    u32 drawer() const { return _drawer; }
    void set_drawer(u32 handle) { _drawer = handle; }
    u32 count() const { return _objects.size(); }

  private:
    Allocator &_allocator;
    Array<LineObject *> _objects;
    u32 _drawer;
    u32 _next_id = 0;
};

} // namespace tallow
