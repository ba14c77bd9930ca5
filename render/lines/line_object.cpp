#include "render/lines/line_object.h"

#include "foundation/log.h"
#include "render/world/render_object.h"
#include "render/world/render_state_stream.h"

#include <cmath>
#include <cstring>

namespace tallow {

namespace {

constexpr f32 two_pi = 6.2831855f;
constexpr f32 pi = 3.1415927f;

u32 clamp_count(i32 count, u32 max)
{
    if (count < 0)
        return 0;
    return u32(count) > max ? max : u32(count);
}

/// Two unit axes perpendicular to `normal`; the reference axis is z unless the normal lies
/// close to it. A degenerate cross product gives a zero axis.
void perpendicular_axes(Vector3 normal, Vector3 &out_u, Vector3 &out_v)
{
    Vector3 reference = (normal.z > -0.5f && normal.z < 0.5f) ? Vector3{0, 0, 1} : Vector3{1, 0, 0};
    out_u = normalize(cross(normal, reference));
    out_v = normalize(cross(normal, out_u));
}

bool is_usable_radius(f32 radius) { return radius > 0.0f && std::isfinite(radius); }

/// The segments of a ring of radius `rho` on a sphere of `radius`: trunc(s x rho / r + 0.5).
i32 ring_segments(u32 segments, f32 rho, f32 radius)
{
    f32 n = f32(segments) * rho / radius + 0.5f;
    if (!(n >= 0.0f))
        return 0;
    return n > f32(max_line_segments) ? i32(max_line_segments) : i32(n);
}

} // namespace

u32 pack_line_color(f32 a, f32 r, f32 g, f32 b)
{
    auto component = [](f32 v) -> u32 {
        // Truncation toward zero, low 8 bits; values no integer can hold give 0.
        if (!(v > -2147483648.0f && v < 2147483648.0f))
            return 0;
        return u32(i32(v)) & 0xFFu;
    };
    return component(a) << 24 | component(r) << 16 | component(g) << 8 | component(b);
}

bool LineObject::room_for(u32 count)
{
    if (_lines.size() <= max_lines_per_object && count <= max_lines_per_object - _lines.size())
        return true;
    if (!_said_full) {
        _said_full = true;
        log_message("render", "line object %u holds %u lines, the most it may; more are dropped", _id,
                    max_lines_per_object);
    }
    return false;
}

void LineObject::add_line(u32 color, Vector3 from, Vector3 to)
{
    if (room_for(1))
        _lines.push_back(LineRecord{from, to, color});
}

void LineObject::add_arc(u32 color, Vector3 centre, Vector3 u, Vector3 v, f32 radius, f32 angle, u32 segments)
{
    if (segments == 0 || !room_for(segments))
        return;
    f32 step = angle / f32(segments);
    Vector3 previous = centre + radius * u;
    for (u32 i = 1; i <= segments; ++i) {
        f32 a = f32(i) * step;
        Vector3 point = centre + radius * (std::cos(a) * u + std::sin(a) * v);
        _lines.push_back(LineRecord{previous, point, color});
        previous = point;
    }
}

void LineObject::add_circle(u32 color, Vector3 centre, f32 radius, Vector3 normal, i32 segments)
{
    Vector3 u, v;
    perpendicular_axes(normal, u, v);
    add_arc(color, centre, u, v, radius, two_pi, clamp_count(segments, max_line_segments));
}

void LineObject::add_sphere(u32 color, Vector3 centre, f32 radius, i32 segments, i32 parts)
{
    if (!is_usable_radius(radius) || parts < 1)
        return;
    u32 s = clamp_count(segments, max_line_segments);
    u32 p = clamp_count(parts, max_line_parts);
    const Vector3 axes[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (u32 k = 0; k < p; ++k) {
        f32 d = f32(k) * radius / f32(p);
        f32 rho = std::sqrt(radius * radius - d * d);
        i32 n = ring_segments(s, rho, radius);
        for (const Vector3 &axis : axes) {
            if (k == 0) {
                add_circle(color, centre, rho, axis, n);
            } else {
                add_circle(color, centre + d * axis, rho, axis, n);
                add_circle(color, centre - d * axis, rho, axis, n);
            }
        }
    }
}

void LineObject::add_half_sphere(u32 color, Vector3 centre, f32 radius, Vector3 direction, i32 segments, i32 parts)
{
    if (!is_usable_radius(radius) || parts < 1)
        return;
    u32 s = clamp_count(segments, max_line_segments);
    u32 p = clamp_count(parts, max_line_parts);
    Vector3 u, w;
    perpendicular_axes(direction, u, w);
    for (u32 k = 0; k < p; ++k) {
        f32 h = f32(k) * radius / f32(p);
        f32 rho = std::sqrt(radius * radius - h * h);
        u32 n = u32(ring_segments(s, rho, radius));
        add_circle(color, centre + h * direction, rho, direction, i32(n));
        // Half rings on the side of the direction: around u (in the plane of w and the
        // direction) and around w (in the plane of u and the direction).
        if (k == 0) {
            add_arc(color, centre, w, direction, rho, pi, n);
            add_arc(color, centre, u, direction, rho, pi, n);
        } else {
            add_arc(color, centre + h * u, w, direction, rho, pi, n);
            add_arc(color, centre - h * u, w, direction, rho, pi, n);
            add_arc(color, centre + h * w, u, direction, rho, pi, n);
            add_arc(color, centre - h * w, u, direction, rho, pi, n);
        }
    }
}

void LineObject::add_box(u32 color, const Matrix4x4 &pose, Vector3 half_extents)
{
    if (!room_for(12))
        return;
    Vector3 corners[8];
    for (u32 i = 0; i < 8; ++i) {
        Vector3 local{(i & 1) ? half_extents.x : -half_extents.x, (i & 2) ? half_extents.y : -half_extents.y,
                      (i & 4) ? half_extents.z : -half_extents.z};
        corners[i] = transform_point(pose, local);
    }
    // Corners i and i | bit differ in the sign of one extent.
    for (u32 i = 0; i < 8; ++i)
        for (u32 bit = 1; bit < 8; bit <<= 1)
            if (!(i & bit))
                _lines.push_back(LineRecord{corners[i], corners[i | bit], color});
}

void LineObject::add_capsule(u32 color, Vector3 from, Vector3 to, f32 radius, i32 segments, i32 parts, i32 sides)
{
    // The end caps are drawn with two rings each; the part count scripts pass is accepted
    // and not used.
    (void)parts;
    Vector3 a = to - from;
    Vector3 u, w;
    perpendicular_axes(a, u, w);
    u32 side_count = clamp_count(sides, max_line_parts);
    if (side_count && room_for(side_count))
        for (u32 k = 0; k < side_count; ++k) {
            f32 angle = f32(k) / f32(side_count) * two_pi;
            Vector3 p = from + radius * (std::sin(angle) * u + std::cos(angle) * w);
            _lines.push_back(LineRecord{p, p + a, color});
        }
    // The caps face outward along the axis; a capsule of no length gives no direction and
    // no caps.
    Vector3 axis = normalize(a);
    if (length_squared(axis) == 0.0f)
        return;
    add_half_sphere(color, from, radius, -axis, segments, 2);
    add_half_sphere(color, to, radius, axis, segments, 2);
}

bool LineObject::dispatch(RenderStateStream &stream, u32 drawer_handle) const
{
    if (_lines.empty())
        return true;
    u32 bytes = _lines.size() * u32(sizeof(LineRecord));
    auto *payload = static_cast<u8 *>(stream.append(line_message_kind, u32(sizeof(LineMessageHeader)) + bytes));
    if (!payload)
        return false;
    LineMessageHeader header{u32(RenderObjectClass::LineObjectDrawer), drawer_handle, _id, _lines.size(),
                             u32(sizeof(LineMessageHeader))};
    memcpy(payload, &header, sizeof header);
    memcpy(payload + sizeof header, _lines.data(), bytes);
    return true;
}

u32 add_line_pairs(LineObject &lines, u32 color, const u8 *payload, u32 payload_bytes)
{
    if (payload_bytes < 4)
        return 0;
    u32 count = 0;
    memcpy(&count, payload, 4);
    u32 fits = (payload_bytes - 4) / 24;
    count = count < fits ? count : fits;
    u32 before = lines.lines().size();
    for (u32 i = 0; i < count; ++i) {
        Vector3 ends[2];
        memcpy(ends, payload + 4 + u64(i) * 24, 24);
        lines.add_line(color, ends[0], ends[1]);
    }
    return lines.lines().size() - before;
}

bool write_line_object_forget(RenderStateStream &stream, u32 drawer_handle, u32 id)
{
    LineMessageHeader header{u32(RenderObjectClass::LineObjectDrawer), drawer_handle, id, 0,
                             u32(sizeof(LineMessageHeader))};
    return stream.write(line_message_kind, header);
}

LineObject *LineObjects::create()
{
    LineObject *object = make_new<LineObject>(_allocator, _allocator, _next_id);
    if (!object || !_objects.push_back(object)) {
        delete_with_allocator(_allocator, object);
        log_message("render", "no memory for another line object (%u made)", _objects.size());
        return nullptr;
    }
    ++_next_id;
    return object;
}

bool LineObjects::owns(const LineObject *object) const
{
    for (const LineObject *o : _objects)
        if (o == object)
            return true;
    return false;
}

bool LineObjects::destroy(LineObject *object, RenderStateStream *stream)
{
    for (u32 i = 0; i < _objects.size(); ++i) {
        if (_objects[i] != object)
            continue;
        // Ids are never reused, so lines the drawer kept for this one would stay forever.
        if (stream && !write_line_object_forget(*stream, _drawer, object->id()))
            log_message("render", "no room to retire line object %u; its lines stay drawn", object->id());
        _objects[i] = _objects.back();
        _objects.pop_back();
        delete_with_allocator(_allocator, object);
        return true;
    }
    return false;
}

void LineObjects::destroy_all()
{
    for (LineObject *o : _objects)
        delete_with_allocator(_allocator, o);
    _objects.clear();
}

} // namespace tallow
