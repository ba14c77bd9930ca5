#include "foundation/math/oriented_box.h"

#include <cfloat>

namespace tallow {

OrientedBox oobb_empty(const Matrix4x4 &pose)
{
    return {pose, {FLT_MAX, FLT_MAX, FLT_MAX}, {-FLT_MAX, -FLT_MAX, -FLT_MAX}};
}

Vector3 oobb_corner(const OrientedBox &box, u32 i)
{
    Vector3 local{(i & 1) ? box.max.x : box.min.x, (i & 2) ? box.max.y : box.min.y, (i & 4) ? box.max.z : box.min.z};
    return transform_point(box.pose, local);
}

OrientedBox oobb_add_point(const OrientedBox &box, const Matrix4x4 &to_local, Vector3 point)
{
    Vector3 p = transform_point(to_local, point);
    OrientedBox r = box;
    r.min = {p.x < r.min.x ? p.x : r.min.x, p.y < r.min.y ? p.y : r.min.y, p.z < r.min.z ? p.z : r.min.z};
    r.max = {p.x > r.max.x ? p.x : r.max.x, p.y > r.max.y ? p.y : r.max.y, p.z > r.max.z ? p.z : r.max.z};
    return r;
}

OrientedBox oobb_merge(const OrientedBox &a, const Matrix4x4 &a_to_local, const OrientedBox &b)
{
    OrientedBox r = a;
    for (u32 i = 0; i < 8; ++i)
        r = oobb_add_point(r, a_to_local, oobb_corner(b, i));
    return r;
}

} // namespace tallow
