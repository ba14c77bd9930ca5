#include "tools/world/unit_compiler.h"

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "tests/support/writers/unit_resource_writer.h"
#include "tools/animation/animation_compiler.h"
#include "tools/world/flow_compiler.h"
#include "tools/source_check.h"
#include "tools/world/unit_mesh_compiler.h"
#include "tools/world/unit_physics_compiler.h"
#include "render/world/render_light.h"
#include "world/units/unit_resource.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tallow {

namespace {

struct Compiler {
    test::UnitSource unit;
    std::string error;
    std::vector<std::string> node_names;
    std::vector<std::string> mesh_names;
    std::vector<std::string> actor_names;

    bool fail(const std::string &what)
    {
        if (error.empty())
            error = what;
        return false;
    }

    static const ConfigValue *array_of(const ConfigValue &object, const char *key)
    {
        const ConfigValue *v = object.find(key);
        return v && v->kind() == ConfigKind::Array ? v : nullptr;
    }
    static std::string string_of(const ConfigValue &object, const char *key)
    {
        const ConfigValue *v = object.find(key);
        return v && v->kind() == ConfigKind::String ? v->to_string() : std::string();
    }
    static u32 name_id(const std::string &name) { return name.empty() ? 0 : NameId32(name.c_str()).value(); }
    static u32 integer_of(const ConfigValue &object, const char *key, u32 fallback)
    {
        const ConfigValue *v = object.find(key);
        if (v && v->kind() == ConfigKind::Bool)
            return v->to_bool() ? 1 : 0;
        return v && v->kind() == ConfigKind::Integer ? u32(v->to_integer()) : fallback;
    }

    bool numbers(const ConfigValue &object, const char *key, f32 *out, u32 n, const std::string &where)
    {
        const ConfigValue *v = object.find(key);
        if (!v)
            return true;
        if (v->kind() != ConfigKind::Array || v->items().size() != n)
            return fail(where + ": '" + key + "' must be an array of " + std::to_string(n) + " numbers");
        for (u32 i = 0; i < n; ++i) {
            ConfigKind k = v->items()[i].kind();
            if (k != ConfigKind::Integer && k != ConfigKind::Float)
                return fail(where + ": '" + key + "' must hold numbers");
            out[i] = v->items()[i].to_float();
        }
        return true;
    }

    // A number written as the f32 bits of its word (the named form of a raw settings word).
    bool named_float(const ConfigValue &object, const char *key, u32 &out, const std::string &where)
    {
        const ConfigValue *v = object.find(key);
        if (!v)
            return true;
        if (v->kind() != ConfigKind::Integer && v->kind() != ConfigKind::Float)
            return fail(where + ": '" + key + "' must be a number");
        const f32 f = v->to_float();
        memcpy(&out, &f, 4);
        return true;
    }

    // A light's named values over its raw settings words: color [r g b], falloff [start end],
    // shading [sixth seventh], spot_angle (radians), type "omni", "spot" or "directional".
    bool light_values(const ConfigValue &light, u32 *settings, const std::string &where)
    {
        const bool named = light.find("type") || light.find("color") || light.find("falloff") ||
                           light.find("shading") || light.find("spot_angle");
        if (named && !light.find("settings")) {
            // What a key leaves out takes the light's defaults, not a zero word.
            const LightBlock defaults;
            const f32 words[8] = {defaults.color[0],    defaults.color[1], defaults.color[2], defaults.falloff_start,
                                  defaults.falloff_end, defaults.word6,    defaults.word7,    defaults.spot_angle};
            memcpy(settings, words, sizeof words);
            settings[8] = defaults.type;
        }
        const struct {
            const char *key;
            u32 first, count;
        } groups[] = {{"color", 0, 3}, {"falloff", 3, 2}, {"shading", 5, 2}};
        for (const auto &g : groups) {
            f32 values[3];
            if (!light.find(g.key))
                continue;
            if (!numbers(light, g.key, values, g.count, where))
                return false;
            memcpy(settings + g.first, values, 4 * g.count);
        }
        if (!named_float(light, "spot_angle", settings[7], where))
            return false;
        if (const ConfigValue *type = light.find("type")) {
            const char *const types[] = {"omni", "spot", "directional"};
            u32 t = 0;
            while (t < 3 && (type->kind() != ConfigKind::String || strcmp(type->to_string(), types[t]) != 0))
                ++t;
            if (t == 3)
                return fail(where + ": light 'type' must be \"omni\", \"spot\" or \"directional\"");
            settings[8] = t;
        }
        return true;
    }

    // A shape kind: "sphere", "box", "capsule", "triangle_mesh", "convex_mesh", or its number 0-4.
    bool shape_kind(const ConfigValue &shape, u32 &out, const std::string &where)
    {
        const char *const kinds[] = {"sphere", "box", "capsule", "triangle_mesh", "convex_mesh"};
        const ConfigValue *v = shape.find("kind");
        out = 0;
        if (!v)
            return true;
        if (v->kind() == ConfigKind::String) {
            for (u32 k = 0; k < 5; ++k)
                if (strcmp(v->to_string(), kinds[k]) == 0)
                    return out = k, true;
            return fail(where + ": shape kind '" + v->to_string() +
                        "' is none of sphere, box, capsule, triangle_mesh, convex_mesh");
        }
        if (v->kind() != ConfigKind::Integer || v->to_integer() < 0 || v->to_integer() >= 5)
            return fail(where + ": shape kind must be 0 to 4");
        out = u32(v->to_integer());
        return true;
    }

    // An actor's flow targets: touch = { begin end } and trigger = { enter leave stay }, each
    // "node" or "node:input" of the unit's flow graph (word: node << 16 | input).
    bool flow_targets(const ConfigValue &root, const ConfigValue &actor, u32 *out, const std::string &where)
    {
        const struct {
            const char *group, *key;
            u32 slot;
        } slots[] = {{"touch", "begin", 0}, {"touch", "end", 1}, {"trigger", "enter", 2}, {"trigger", "leave", 3},
                     {"trigger", "stay", 4}};
        const ConfigValue *flow = root.find("flow");
        const ConfigValue *nodes = flow && flow->kind() == ConfigKind::Object ? flow->find("nodes") : nullptr;
        for (const char *group : {"touch", "trigger"}) {
            const ConfigValue *g = actor.find(group);
            if (!g)
                continue;
            const std::string w = where + "." + group;
            if (!object(*g, w) ||
                !known(*g, std::string(group) == "touch" ? std::initializer_list<const char *>{"begin", "end"}
                                                         : std::initializer_list<const char *>{"enter", "leave", "stay"},
                       w))
                return false;
            for (const auto &slot : slots) {
                const ConfigValue *v = std::string(slot.group) == group ? g->find(slot.key) : nullptr;
                if (!v)
                    continue;
                if (v->kind() != ConfigKind::String)
                    return fail(w + "." + slot.key + ": a target is a string \"node\" or \"node:input\"");
                std::string node = v->to_string();
                u32 input = 0;
                if (size_t colon = node.find(':'); colon != std::string::npos) {
                    input = u32(std::strtoul(node.c_str() + colon + 1, nullptr, 10));
                    node.resize(colon);
                }
                u32 index = 0;
                const u32 count = nodes && nodes->kind() == ConfigKind::Array ? nodes->items().size() : 0;
                while (index < count && string_of(nodes->items()[index], "name") != node)
                    ++index;
                if (index == count)
                    return fail(w + "." + slot.key + ": the unit's flow has no node named '" + node + "'");
                out[slot.slot] = index << 16 | (input & 0xFFFF);
            }
        }
        return true;
    }

    bool words(const ConfigValue &object, const char *key, u32 *out, u32 n, const std::string &where)
    {
        const ConfigValue *v = object.find(key);
        if (!v)
            return true;
        if (v->kind() != ConfigKind::Array || v->items().size() != n)
            return fail(where + ": '" + key + "' must be an array of " + std::to_string(n) + " integers");
        for (u32 i = 0; i < n; ++i) {
            if (v->items()[i].kind() != ConfigKind::Integer)
                return fail(where + ": '" + key + "' must hold integers");
            out[i] = u32(v->items()[i].to_integer());
        }
        return true;
    }

    bool pose(const ConfigValue &object, Matrix4x4 &out, const std::string &where)
    {
        if (object.find("local"))
            return numbers(object, "local", &out.m[0][0], 16, where);
        f32 p[3] = {0, 0, 0}, q[4] = {0, 0, 0, 1}, s[3] = {1, 1, 1};
        if (!numbers(object, "position", p, 3, where) || !numbers(object, "rotation", q, 4, where) ||
            !numbers(object, "scale", s, 3, where))
            return false;
        out = matrix4x4_from_quaternion(normalize_quaternion({q[0], q[1], q[2], q[3]}), {p[0], p[1], p[2]});
        for (int i = 0; i < 3; ++i)
            set_axis(out, i, axis(out, i) * s[i]);
        return true;
    }

    static Quaternion normalize_quaternion(Quaternion q)
    {
        f32 n = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
        if (!(n > 0))
            return quaternion_identity;
        f32 inv = 1.0f / std::sqrt(n);
        return {q.x * inv, q.y * inv, q.z * inv, q.w * inv};
    }

    bool index_of(const std::vector<std::string> &names, const std::string &name, const char *kind,
                  const std::string &where, u32 &out)
    {
        auto it = std::find(names.begin(), names.end(), name);
        if (it == names.end())
            return fail(where + ": no " + kind + " named '" + name + "'");
        out = u32(it - names.begin());
        return true;
    }

    template <typename F> bool each(const ConfigValue &root, const char *key, F &&f)
    {
        const ConfigValue *list = root.find(key);
        if (!list)
            return true;
        if (list->kind() != ConfigKind::Array)
            return fail(std::string("'") + key + "' must be an array");
        for (u32 i = 0; i < list->items().size(); ++i) {
            std::string where = std::string(key) + "[" + std::to_string(i) + "]";
            if (!f(list->items()[i], where))
                return false;
        }
        return true;
    }

    bool object(const ConfigValue &v, const std::string &where)
    {
        return v.kind() == ConfigKind::Object || fail(where + ": must be an object");
    }

    /// An object holding only the keys given: a misspelled key must not drop its value silently.
    bool known(const ConfigValue &v, std::initializer_list<const char *> keys, const std::string &where)
    {
        const char *key = unknown_key(v, keys);
        return !key || fail(where + ": unknown key '" + key + "'");
    }

    bool compile(const ConfigValue &root, std::vector<std::string> *out_unit_names)
    {
        std::string unreadable;
        if (find_unreadable_value(root, unreadable))
            return fail("cannot read the value of '" + unreadable + "'");
        if (!known(root, {"nodes", "meshes", "cameras", "lights", "actors", "joints", "movers", "collision_pairs",
                          "simple_animations", "simple_animation_data", "named_strings", "visibility_groups", "animated", "state_machine",
                          "flow", "lods"},
                   "unit"))
            return false;
        if (const ConfigValue *flow = root.find("flow"))
            if (!compile_flow_source(*flow, unit.flow_graph, unit.flow_variable_defaults, error, out_unit_names))
                return false;
        bool ok = each(root, "nodes", [&](const ConfigValue &n, const std::string &where) {
            if (!object(n, where) || !known(n, {"name", "parent", "local", "position", "rotation", "scale"}, where))
                return false;
            std::string name = string_of(n, "name");
            if (name.empty())
                return fail(where + ": a node needs a name");
            if (std::find(node_names.begin(), node_names.end(), name) != node_names.end())
                return fail(where + ": two nodes named '" + name + "'");
            if (node_names.size() >= max_unit_nodes)
                return fail(where + " '" + name + "': more nodes than a unit may have (" +
                            std::to_string(max_unit_nodes) + ")");
            u32 parent = test::no_parent;
            std::string parent_name = string_of(n, "parent");
            if (!parent_name.empty() && !index_of(node_names, parent_name, "earlier node", where, parent))
                return false;
            if (node_names.empty() && parent != test::no_parent)
                return fail(where + ": the first node must be a root");
            Matrix4x4 local = matrix4x4_identity;
            if (!pose(n, local, where))
                return false;
            unit.add_node(name.c_str(), local, parent);
            node_names.push_back(name);
            return true;
        });
        ok = ok && each(root, "meshes", [&](const ConfigValue &m, const std::string &where) {
            test::UnitSourceMesh mesh;
            if (!object(m, where) || !known(m, {"name", "node", "flags", "words", "box", "material", "geometry"}, where) ||
                !index_of(node_names, string_of(m, "node"), "node", where, mesh.node) ||
                !words(m, "words", mesh.words, 2, where) ||
                !compile_unit_mesh_geometry(m, node_names, unit, mesh, where, error))
                return false;
            mesh.name_id = name_id(string_of(m, "name"));
            mesh.flags = integer_of(m, "flags", 1);
            unit.meshes.push_back(mesh);
            mesh_names.push_back(string_of(m, "name"));
            return true;
        });
        ok = ok && compile_unit_lods(root, node_names, mesh_names, unit, error);
        ok = ok && each(root, "cameras", [&](const ConfigValue &c, const std::string &where) {
            test::UnitSourceCamera camera;
            if (!object(c, where) || !known(c, {"name", "node", "settings", "near", "far", "fov"}, where) ||
                !index_of(node_names, string_of(c, "node"), "node", where, camera.node) ||
                !words(c, "settings", camera.settings, 3, where) || !named_float(c, "near", camera.settings[0], where) ||
                !named_float(c, "far", camera.settings[1], where) || !named_float(c, "fov", camera.settings[2], where))
                return false;
            camera.name_id = name_id(string_of(c, "name"));
            unit.cameras.push_back(camera);
            return true;
        });
        ok = ok && each(root, "lights", [&](const ConfigValue &l, const std::string &where) {
            test::UnitSourceLight light;
            if (!object(l, where) ||
                !known(l, {"name", "node", "settings", "type", "color", "falloff", "shading", "spot_angle"}, where) ||
                !index_of(node_names, string_of(l, "node"), "node", where, light.node) ||
                !words(l, "settings", light.settings, 9, where) || !light_values(l, light.settings, where))
                return false;
            light.name_id = name_id(string_of(l, "name"));
            unit.lights.push_back(light);
            return true;
        });
        ok = ok && each(root, "actors", [&](const ConfigValue &a, const std::string &where) {
            test::UnitSourceActor actor;
            if (!object(a, where) ||
                !known(a, {"name", "node", "template", "create", "shapes", "local", "position", "rotation", "scale",
                           "touch", "trigger"},
                       where) ||
                !flow_targets(root, a, actor.flow_targets, where) ||
                !index_of(node_names, string_of(a, "node"), "node", where, actor.node) ||
                !pose(a, actor.pose, where))
                return false;
            actor.name_id = name_id(string_of(a, "name"));
            actor.actor_template = name_id(string_of(a, "template"));
            actor.create = u8(integer_of(a, "create", 1) ? 1 : 0);
            bool shapes_ok = each(a, "shapes", [&](const ConfigValue &s, const std::string &shape_where) {
                test::UnitSourceShape shape;
                std::string w = where + "." + shape_where;
                if (!object(s, w) ||
                    !known(s, {"kind", "material", "template", "parameters", "local", "position", "rotation", "scale"},
                           w) ||
                    !pose(s, shape.pose, w))
                    return false;
                if (!shape_kind(s, shape.kind, w))
                    return false;
                shape.material = name_id(string_of(s, "material"));
                shape.shape_template = name_id(string_of(s, "template"));
                if (!compile_shape_parameters(s, shape.kind, shape.parameters, w, error))
                    return false;
                actor.shapes.push_back(shape);
                return true;
            });
            if (!shapes_ok)
                return false;
            unit.actors.push_back(actor);
            actor_names.push_back(string_of(a, "name"));
            return true;
        });
        ok = ok && each(root, "joints", [&](const ConfigValue &j, const std::string &where) {
            test::UnitSourceJoint joint;
            if (!object(j, where) || !compile_joint_source(j, joint.joint, joint.create, where, error))
                return false;
            if (const ConfigValue *actors = array_of(j, "actors")) {
                for (u32 i = 0; i < actors->items().size() && i < 2; ++i) {
                    std::string name = actors->items()[i].kind() == ConfigKind::String ? actors->items()[i].to_string() : "";
                    u32 index = 0;
                    if (!name.empty() && !index_of(actor_names, name, "actor", where, index))
                        return false;
                    joint.joint.words[2 + i] = name_id(name);
                }
            }
            unit.joints.push_back(joint);
            return true;
        });
        ok = ok && each(root, "movers", [&](const ConfigValue &m, const std::string &where) {
            MoverTemplate mover;
            if (!compile_mover_source(m, mover, where, error))
                return false;
            unit.movers.push_back(mover);
            return true;
        });
        ok = ok && each(root, "collision_pairs", [&](const ConfigValue &p, const std::string &where) {
            if (p.kind() != ConfigKind::Array || p.items().size() != 2)
                return fail(where + ": a collision pair is two actor names");
            for (u32 i = 0; i < 2; ++i) {
                u32 index = 0;
                std::string name = p.items()[i].kind() == ConfigKind::String ? p.items()[i].to_string() : "";
                if (!index_of(actor_names, name, "actor", where, index))
                    return false;
                unit.collision_pairs.push_back(index);
            }
            return true;
        });
        ok = ok && each(root, "simple_animations", [&](const ConfigValue &a, const std::string &where) {
            test::UnitSourceSimpleAnimation animation;
            if (!object(a, where) || !known(a, {"name", "nodes"}, where))
                return false;
            animation.name_id = name_id(string_of(a, "name"));
            bool nodes_ok = each(a, "nodes", [&](const ConfigValue &n, const std::string &node_where) {
                u32 index = 0;
                std::string name = n.kind() == ConfigKind::String ? n.to_string() : "";
                if (!index_of(node_names, name, "node", where + "." + node_where, index))
                    return false;
                animation.nodes.push_back(index);
                return true;
            });
            if (!nodes_ok)
                return false;
            for (const auto &other : unit.simple_animations)
                if (other.name_id == animation.name_id)
                    return fail(where + ": two simple animations of one name");
            unit.simple_animations.push_back(animation);
            return true;
        });
        if (const ConfigValue *data = root.find("simple_animation_data")) {
            u32 tracks = 0;
            if (ok && !compile_animation_config(*data, "simple_animation_data", unit.simple_animation_data, error,
                                                &tracks))
                return false;
            // Track k poses node k of the group that plays it.
            for (const auto &group : unit.simple_animations)
                if (ok && group.nodes.size() < tracks)
                    return fail("simple_animation_data: " + std::to_string(tracks) +
                                " tracks, more than a simple animation group has nodes");
        }
        // Looked up by binary search on the id.
        std::sort(unit.simple_animations.begin(), unit.simple_animations.end(),
                  [](const auto &a, const auto &b) { return a.name_id < b.name_id; });
        ok = ok && each(root, "named_strings", [&](const ConfigValue &n, const std::string &where) {
            test::UnitSourceNamedStrings entry;
            if (!object(n, where) || !known(n, {"name", "strings"}, where))
                return false;
            entry.name_id = name_id(string_of(n, "name"));
            bool strings_ok = each(n, "strings", [&](const ConfigValue &s, const std::string &string_where) {
                if (s.kind() != ConfigKind::String)
                    return fail(where + "." + string_where + ": must be a string");
                entry.strings.push_back(s.to_string());
                return true;
            });
            if (!strings_ok)
                return false;
            unit.named_strings.push_back(entry);
            return true;
        });
        ok = ok && each(root, "visibility_groups", [&](const ConfigValue &g, const std::string &where) {
            test::UnitSourceVisibilityGroup group;
            if (!object(g, where) || !known(g, {"name", "meshes"}, where))
                return false;
            group.name_id = name_id(string_of(g, "name"));
            bool meshes_ok = each(g, "meshes", [&](const ConfigValue &m, const std::string &mesh_where) {
                u32 index = 0;
                std::string name = m.kind() == ConfigKind::String ? m.to_string() : "";
                if (!index_of(mesh_names, name, "mesh", where + "." + mesh_where, index))
                    return false;
                group.members.push_back(index);
                return true;
            });
            if (!meshes_ok)
                return false;
            unit.visibility_groups.push_back(group);
            return true;
        });
        if (!ok)
            return false;
        unit.animated = u8(integer_of(root, "animated", 0) ? 1 : 0);
        unit.state_machine = string_of(root, "state_machine");
        return true;
    }
};

} // namespace

bool compile_unit_source(const char *text, u64 size, std::vector<u8> &out_bytes, std::string &out_error,
                         std::vector<std::string> *out_unit_names)
{
    std::string word;
    u32 line = 0;
    if (find_unreadable_word(text, size, word, line)) {
        // The parser would skip it (or read it as something else): refuse it, with its line.
        out_error = std::to_string(line) + ": cannot read the value '" + word + "' (texts need quotes)";
        return false;
    }
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + size, *root);
    Compiler compiler;
    bool ok = compiler.compile(*root, out_unit_names);
    destroy_config_root(root);
    if (!ok) {
        out_error = with_source_line(text, size, compiler.error);
        return false;
    }
    out_bytes = test::write_unit_resource(compiler.unit);
    // What the engine would refuse must not build: read the bytes back through its reader.
    UnitResource *read = read_unit_resource(out_bytes.data(), out_bytes.size(), default_allocator());
    if (!read) {
        out_error = "the engine's unit reader refuses the compiled unit (its reason is logged above)";
        return false;
    }
    destroy_unit_resource(read, default_allocator());
    return true;
}

} // namespace tallow
