#include "tools/world/unit_physics_compiler.h"

#include "foundation/config/config_value.h"
#include "foundation/strings/name_id.h"
#include "tools/source_check.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace tallow {

namespace {

bool fail(std::string &error, const std::string &what)
{
    if (error.empty())
        error = what;
    return false;
}

bool is_number(const ConfigValue &v) { return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float; }

/// `n` numbers under `key` (absent: unchanged). Finite numbers only.
bool numbers(const ConfigValue &object, const char *key, f32 *out, u32 n, const std::string &where, std::string &error)
{
    const ConfigValue *v = object.find(key);
    if (!v)
        return true;
    if (n == 1 && is_number(*v)) {
        out[0] = v->to_float();
    } else {
        if (v->kind() != ConfigKind::Array || v->items().size() != n)
            return fail(error, where + ": '" + key + "' must be " + (n == 1 ? "a number" : "an array of " + std::to_string(n) + " numbers"));
        for (u32 i = 0; i < n; ++i) {
            if (!is_number(v->items()[i]))
                return fail(error, where + ": '" + key + "' must hold numbers");
            out[i] = v->items()[i].to_float();
        }
    }
    for (u32 i = 0; i < n; ++i)
        if (!std::isfinite(out[i]))
            return fail(error, where + ": '" + key + "' must hold finite numbers");
    return true;
}

bool vector_into(const ConfigValue &object, const char *key, JointTemplate &t, u32 word, const std::string &where,
                 std::string &error)
{
    f32 v[3];
    if (!object.find(key))
        return true;
    if (!numbers(object, key, v, 3, where, error))
        return false;
    t.set_vector(word, {v[0], v[1], v[2]});
    return true;
}

/// A pair of vectors `[[x y z] [x y z]]` into words `first` and `first + 3`.
bool vector_pair_into(const ConfigValue &object, const char *key, JointTemplate &t, u32 first, const std::string &where,
                      std::string &error)
{
    const ConfigValue *v = object.find(key);
    if (!v)
        return true;
    if (v->kind() != ConfigKind::Array || v->items().size() != 2)
        return fail(error, where + ": '" + key + "' must be two vectors [[x y z] [x y z]]");
    for (u32 k = 0; k < 2; ++k) {
        const ConfigValue &item = v->items()[k];
        if (item.kind() != ConfigKind::Array || item.items().size() != 3)
            return fail(error, where + ": '" + key + "' must be two vectors [[x y z] [x y z]]");
        f32 xyz[3];
        for (u32 i = 0; i < 3; ++i) {
            if (!is_number(item.items()[i]) || !std::isfinite(item.items()[i].to_float()))
                return fail(error, where + ": '" + key + "' must hold finite numbers");
            xyz[i] = item.items()[i].to_float();
        }
        t.set_vector(first + 3 * k, {xyz[0], xyz[1], xyz[2]});
    }
    return true;
}

bool numbers_into(const ConfigValue &object, const char *key, JointTemplate &t, u32 first, u32 n,
                  const std::string &where, std::string &error)
{
    if (!object.find(key))
        return true;
    f32 v[3];
    if (!numbers(object, key, v, n, where, error))
        return false;
    for (u32 i = 0; i < n; ++i)
        t.set_number(first + i, v[i]);
    return true;
}

} // namespace

bool compile_shape_parameters(const ConfigValue &shape, u32 kind, std::vector<u32> &out_words, const std::string &where,
                              std::string &out_error)
{
    static const u32 counts[5] = {1, 3, 2, 0, 0};
    u32 n = kind < 5 ? counts[kind] : 0;
    out_words.assign(n, 0);
    if (!n) {
        if (shape.find("parameters"))
            return fail(out_error, where + ": mesh shapes take no 'parameters'");
        return true;
    }
    f32 values[3] = {};
    if (!shape.find("parameters"))
        return fail(out_error, where + ": a shape needs its 'parameters' (" + std::to_string(n) + " numbers)");
    if (!numbers(shape, "parameters", values, n, where, out_error))
        return false;
    for (u32 i = 0; i < n; ++i) {
        // Sizes are written as the f32 the physics world reads, never as integer words.
        if (values[i] < 0 || (values[i] == 0 && !(kind == 2 && i == 1)))
            return fail(out_error, where + ": shape sizes must be above zero");
        memcpy(&out_words[i], &values[i], 4);
    }
    return true;
}

bool compile_joint_source(const ConfigValue &j, JointTemplate &out, u8 &out_create, const std::string &where,
                          std::string &error)
{
    if (const char *key = unknown_key(j, {"name", "actors", "create", "kind", "anchor", "axis", "local_anchors",
                                          "local_axes", "local_normals", "max_force", "max_torque", "limit",
                                          "swing_limit", "swing_axis", "motor", "spring", "swing_spring",
                                          "joint_spring", "distance"}))
        return fail(error, where + ": unknown key '" + key + "'");
    static const char *kinds[joint_kind_count] = {"spherical", "revolute",  "prismatic",      "cylindrical",
                                                  "fixed",     "distance",  "point_in_plane", "point_on_line"};
    JointKind kind = JointKind::Fixed;
    if (const ConfigValue *k = j.find("kind")) {
        u32 i = 0;
        while (i < joint_kind_count && !(k->kind() == ConfigKind::String && strcmp(k->to_string(), kinds[i]) == 0))
            ++i;
        if (i == joint_kind_count)
            return fail(error, where + ": 'kind' must be one of spherical, revolute, prismatic, cylindrical, fixed, "
                                       "distance, point_in_plane, point_on_line");
        kind = JointKind(i);
    }
    JointTemplate t = default_joint_template(kind);
    const ConfigValue *name = j.find("name");
    t.words[0] = name && name->kind() == ConfigKind::String && *name->to_string() ? NameId32(name->to_string()).value() : 0;
    out_create = 1;
    if (const ConfigValue *c = j.find("create"))
        out_create = c->kind() == ConfigKind::Bool ? (c->to_bool() ? 1 : 0) : (c->to_integer() ? 1 : 0);
    if (j.find("anchor"))
        t.words[30] |= joint_flag_global_anchor;
    if (j.find("axis"))
        t.words[30] |= joint_flag_global_axis;
    bool ok = vector_into(j, "anchor", t, 25, where, error) && vector_into(j, "axis", t, 16, where, error) &&
              vector_pair_into(j, "local_anchors", t, 19, where, error) &&
              vector_pair_into(j, "local_axes", t, 10, where, error) &&
              vector_pair_into(j, "local_normals", t, 4, where, error) &&
              numbers_into(j, "max_force", t, 28, 1, where, error) && numbers_into(j, "max_torque", t, 29, 1, where, error);
    if (!ok)
        return false;
    auto only = [&](const char *key, std::initializer_list<JointKind> allowed) {
        if (!j.find(key))
            return true;
        for (JointKind k : allowed)
            if (k == kind)
                return true;
        return fail(error, where + ": '" + key + "' does not apply to a " + kinds[u32(kind)] + " joint");
    };
    if (!only("limit", {JointKind::Revolute, JointKind::Spherical}) || !only("swing_limit", {JointKind::Spherical}) ||
        !only("swing_axis", {JointKind::Spherical}) || !only("motor", {JointKind::Revolute}) ||
        !only("spring", {JointKind::Revolute, JointKind::Spherical, JointKind::Distance}) ||
        !only("swing_spring", {JointKind::Spherical}) || !only("joint_spring", {JointKind::Spherical}) ||
        !only("distance", {JointKind::Distance}))
        return false;
    switch (kind) {
    case JointKind::Spherical:
        ok = vector_into(j, "swing_axis", t, 32, where, error) && numbers_into(j, "limit", t, 35, 2, where, error) &&
             numbers_into(j, "swing_limit", t, 37, 1, where, error) && numbers_into(j, "spring", t, 38, 3, where, error) &&
             numbers_into(j, "swing_spring", t, 41, 3, where, error) &&
             numbers_into(j, "joint_spring", t, 44, 3, where, error);
        break;
    case JointKind::Revolute:
        ok = numbers_into(j, "limit", t, 32, 2, where, error) && numbers_into(j, "motor", t, 34, 2, where, error) &&
             numbers_into(j, "spring", t, 36, 3, where, error);
        break;
    case JointKind::Distance:
        ok = numbers_into(j, "distance", t, 32, 2, where, error) && numbers_into(j, "spring", t, 34, 3, where, error);
        break;
    default: break;
    }
    if (!ok)
        return false;
    out = t;
    return true;
}

bool compile_mover_source(const ConfigValue &m, MoverTemplate &out, const std::string &where, std::string &error)
{
    if (m.kind() != ConfigKind::Object)
        return fail(error, where + ": a mover is an object { height radius collision_filter ... }");
    if (const char *key = unknown_key(m, {"height", "radius", "collision_filter", "slope_limit", "step_offset",
                                          "shape_hit_target", "mover_hit_target"}))
        return fail(error, where + ": unknown key '" + key + "'");
    MoverTemplate t;
    if (!numbers(m, "height", &t.height, 1, where, error) || !numbers(m, "radius", &t.radius, 1, where, error) ||
        !numbers(m, "slope_limit", &t.slope_limit, 1, where, error) ||
        !numbers(m, "step_offset", &t.step_offset, 1, where, error))
        return false;
    if (!(t.radius > 0) || !(t.height > 0) || t.step_offset < 0)
        return fail(error, where + ": a mover needs a radius and height above zero and a step offset of zero or more");
    if (const ConfigValue *f = m.find("collision_filter")) {
        if (f->kind() != ConfigKind::String)
            return fail(error, where + ": 'collision_filter' must be a filter name");
        t.collision_filter = *f->to_string() ? NameId32(f->to_string()).value() : 0;
    }
    for (auto [key, target] : {std::pair{"shape_hit_target", &t.shape_hit_target}, {"mover_hit_target", &t.mover_hit_target}})
        if (const ConfigValue *v = m.find(key)) {
            if (v->kind() != ConfigKind::Integer)
                return fail(error, where + ": '" + key + "' must be an integer (-1: none)");
            *target = u32(v->to_integer());
        }
    out = t;
    return true;
}

} // namespace tallow
