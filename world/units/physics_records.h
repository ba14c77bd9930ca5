#pragma once
// The physics records a unit resource carries and the physics world reads: the joint
// template and the mover template. Defined once here, below both the unit resource reader
// (world/units/unit_resource.h) and the physics world (physics/physics_world.h), so the layout
// in the file, the unit's use and the physics use are one thing.
//
// Joint template: 47 little-endian words (188 bytes), in the unit resource stream after
// the joint's u8 create flag:
//
//   0        u32 joint name id (NameId32)
//   1        u32 reserved (0)
//   2, 3     u32 actor names (NameId32 of the unit's actor templates; 0: the world)
//   4-9      f32 local normals of actor 0 and actor 1
//   10-15    f32 local axes of actor 0 and actor 1
//   16-18    f32 global axis
//   19-24    f32 local anchors of actor 0 and actor 1
//   25-27    f32 global anchor
//   28, 29   f32 maximum force, maximum torque (the joint breaks above either; FLT_MAX: never)
//   30       u32 flags: bit 0 the local anchors come from the global anchor, bit 1 the
//            local axes (and normals) come from the global axis
//   31       u32 kind (JointKind)
//   32-46    the kind's parameters:
//            spherical: 32-34 swing axis; 35, 36 twist limit low, high (on when low > -FLT_MAX
//              or high < FLT_MAX); 37 swing limit (on when > -FLT_MAX); 38-40 twist spring,
//              41-43 swing spring, 44-46 joint spring (spring, damper, target; on when
//              spring != 0)
//            revolute: 32, 33 limit low, high (on when low > -FLT_MAX); 34 motor velocity
//              target, 35 motor maximum force (on when != 0); 36-38 spring (spring, damper,
//              target; on when spring != 0)
//            distance: 32 minimum distance (on when > -FLT_MAX); 33 maximum distance (on
//              when < FLT_MAX); 34-36 spring (on when spring != 0)
//            other kinds: none (zero)
//
// The unit resource format reads the joint's identity (name, actor names) from the same
// words, so the template is stored whole.
//
// Mover template: 7 words (28 bytes): f32 height (total, feet to top), f32 radius, u32
// collision filter name (NameId32 in the physics properties' filter table), f32 slope
// limit (the cosine of the steepest slope walked up; 0: any), f32 step offset, u32
// shape-hit flow target, u32 mover-hit flow target (0xFFFFFFFF: none; node high, input low).

#include "foundation/math/vector3.h"
#include "foundation/types.h"

#include <cfloat>
#include <cstring>

namespace tallow {

enum class JointKind : u32 {
    Spherical = 0,
    Revolute = 1,
    Prismatic = 2,
    Cylindrical = 3,
    Fixed = 4,
    Distance = 5,
    PointInPlane = 6,
    PointOnLine = 7,
};
constexpr u32 joint_kind_count = 8;

constexpr u32 joint_template_words = 47;
constexpr u32 joint_flag_global_anchor = 1;
constexpr u32 joint_flag_global_axis = 2;

/// One joint template; read and written word by word (floats by their bits).
struct JointTemplate {
    u32 words[joint_template_words] = {};

    u32 name_id() const { return words[0]; }
    u32 actor_name(u32 k) const { return words[2 + (k & 1)]; }
    f32 number(u32 word) const
    {
        f32 v;
        memcpy(&v, &words[word], 4);
        return v;
    }
    void set_number(u32 word, f32 v) { memcpy(&words[word], &v, 4); }
    Vector3 vector(u32 word) const { return {number(word), number(word + 1), number(word + 2)}; }
    void set_vector(u32 word, const Vector3 &v)
    {
        set_number(word, v.x);
        set_number(word + 1, v.y);
        set_number(word + 2, v.z);
    }
    Vector3 local_normal(u32 k) const { return vector(4 + 3 * (k & 1)); }
    Vector3 local_axis(u32 k) const { return vector(10 + 3 * (k & 1)); }
    Vector3 global_axis() const { return vector(16); }
    Vector3 local_anchor(u32 k) const { return vector(19 + 3 * (k & 1)); }
    Vector3 global_anchor() const { return vector(25); }
    f32 max_force() const { return number(28); }
    f32 max_torque() const { return number(29); }
    u32 flags() const { return words[30]; }
    JointKind kind() const { return JointKind(words[31]); }
    f32 parameter(u32 i) const { return i < 15 ? number(32 + i) : 0.0f; }
};
static_assert(sizeof(JointTemplate) == 188);

/// A template with unbreakable limits, every limit off and the given kind: what a unit
/// source starts from before its keys are applied.
inline JointTemplate default_joint_template(JointKind kind)
{
    JointTemplate t;
    t.set_number(28, FLT_MAX);
    t.set_number(29, FLT_MAX);
    t.words[31] = u32(kind);
    t.set_vector(4, {1, 0, 0});
    t.set_vector(7, {1, 0, 0});
    t.set_vector(10, {0, 0, 1});
    t.set_vector(13, {0, 0, 1});
    t.set_vector(16, {0, 0, 1});
    switch (kind) {
    case JointKind::Spherical:
        t.set_vector(32, {0, 0, 1});
        t.set_number(35, -FLT_MAX);
        t.set_number(36, FLT_MAX);
        t.set_number(37, -FLT_MAX);
        break;
    case JointKind::Revolute: t.set_number(32, -FLT_MAX); t.set_number(33, FLT_MAX); break;
    case JointKind::Distance: t.set_number(32, -FLT_MAX); t.set_number(33, FLT_MAX); break;
    default: break;
    }
    return t;
}

/// The mover template.
struct MoverTemplate {
    f32 height = 2.0f;
    f32 radius = 0.5f;
    u32 collision_filter = 0;
    f32 slope_limit = 0.707f;
    f32 step_offset = 0.5f;
    u32 shape_hit_target = 0xFFFFFFFFu;
    u32 mover_hit_target = 0xFFFFFFFFu;
};
static_assert(sizeof(MoverTemplate) == 28);

} // namespace tallow
