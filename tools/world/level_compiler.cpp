#include "tools/world/level_compiler.h"

#include "ai/nav_mesh.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "tests/support/writers/level_writer.h"
#include "tools/world/flow_compiler.h"
#include "tools/ai/nav_mesh_compiler.h"
#include "tools/source_check.h"
#include "world/flow/flow.h"
#include "world/levels/level.h"

#include <cstring>
#include <map>

namespace tallow {

namespace {

struct LevelCompiler {
    test::LevelSource level;
    std::string error;
    std::map<std::string, u32> unit_names;
    std::map<std::string, u32> flow_nodes; // node name -> index, from the flow source

    bool fail(const std::string &what)
    {
        if (error.empty())
            error = what;
        return false;
    }
    /// An object holding only the keys given: a misspelled key must not drop its value silently.
    bool known(const ConfigValue &v, std::initializer_list<const char *> keys, const std::string &where)
    {
        if (v.kind() != ConfigKind::Object)
            return fail(where + ": must be an object");
        const char *key = unknown_key(v, keys);
        return !key || fail(where + ": unknown key '" + key + "'");
    }
    static bool is_number(const ConfigValue &v)
    {
        return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float;
    }
    bool numbers(const ConfigValue &object, const char *key, f32 *out, u32 n, const std::string &where)
    {
        const ConfigValue *v = object.find(key);
        if (!v)
            return true;
        if (v->kind() != ConfigKind::Array || v->items().size() != n)
            return fail(where + ": '" + key + "' must be " + std::to_string(n) + " numbers");
        for (u32 i = 0; i < n; ++i) {
            if (!is_number(v->items()[i]))
                return fail(where + ": '" + key + "' must hold numbers");
            out[i] = v->items()[i].to_float();
        }
        return true;
    }
    static std::string text(const ConfigValue &object, const char *key)
    {
        const ConfigValue *v = object.find(key);
        return v && v->kind() == ConfigKind::String ? v->to_string() : std::string();
    }
    static u32 id32(const std::string &s) { return s.empty() ? 0 : NameId32(s.c_str()).value(); }
    static u64 id64(const std::string &s) { return s.empty() ? 0 : NameId64(s.c_str()).value(); }
    const ConfigValue *array(const ConfigValue &root, const char *key)
    {
        const ConfigValue *v = root.find(key);
        if (v && v->kind() != ConfigKind::Array) {
            fail(std::string("'") + key + "' must be an array");
            return nullptr;
        }
        return v;
    }
    bool node_index(const std::string &name, const std::string &where, u32 &out)
    {
        auto it = flow_nodes.find(name);
        if (it == flow_nodes.end())
            return fail(where + ": the level flow has no node named '" + name + "'");
        out = it->second;
        return true;
    }

    bool script_data(const ConfigValue *data, const std::string &where, std::vector<test::LevelSourceScriptData> &out)
    {
        if (!data)
            return true;
        if (data->kind() != ConfigKind::Object)
            return fail(where + ": 'data' must be an object");
        for (auto &m : data->members()) {
            test::LevelSourceScriptData e;
            e.path = {id32(m.key.c_str())};
            switch (m.value.kind()) {
            case ConfigKind::Bool:
                e.kind = 1, e.value = m.value.to_bool();
                break;
            case ConfigKind::Integer:
            case ConfigKind::Float:
                e.kind = 2, e.number = m.value.to_float();
                break;
            case ConfigKind::String:
                e.kind = 3, e.text = m.value.to_string();
                break;
            default:
                return fail(where + ": data '" + m.key.c_str() + "' must be a boolean, a number or a text");
            }
            out.push_back(e);
        }
        return true;
    }

    bool compile(const ConfigValue &root, std::vector<std::string> *out_unit_names)
    {
        std::string unreadable;
        if (find_unreadable_value(root, unreadable))
            return fail("cannot read the value of '" + unreadable + "'");
        if (!known(root, {"units", "data", "lights", "triggers", "particles", "splines", "flow", "navigation_mesh"},
                   "level"))
            return false;
        if (const ConfigValue *mesh = root.find("navigation_mesh"))
            if (!compile_nav_mesh(*mesh, level.navigation_mesh, error))
                return false;
        if (const ConfigValue *flow = root.find("flow")) {
            if (!compile_flow_source(*flow, level.flow_graph, level.flow_defaults, error, out_unit_names))
                return false;
            if (const ConfigValue *nodes = flow->find("nodes"))
                for (u32 i = 0; i < nodes->items().size(); ++i)
                    flow_nodes[text(nodes->items()[i], "name")] = i;
        }
        if (const ConfigValue *units = array(root, "units")) {
            for (const ConfigValue &u : units->items()) {
                std::string name = text(u, "name"), where = "unit '" + name + "'";
                if (!known(u, {"name", "unit", "material", "position", "rotation", "data", "bind", "map"}, where))
                    return false;
                if (!name.empty() && !unit_names.emplace(name, u32(level.units.size())).second)
                    return fail(where + " is defined twice");
                test::LevelSourceUnit record;
                record.name = id64(text(u, "unit"));
                if (!record.name)
                    return fail(where + ": 'unit' names no unit resource");
                if (out_unit_names)
                    out_unit_names->push_back(text(u, "unit"));
                record.material = id64(text(u, "material"));
                if (!numbers(u, "position", record.position, 3, where) ||
                    !numbers(u, "rotation", record.rotation, 4, where))
                    return false;
                level.unit_script_data.emplace_back();
                if (!script_data(u.find("data"), where, level.unit_script_data.back()))
                    return false;
                if (u.find("bind")) {
                    u32 node;
                    if (!node_index(text(u, "bind"), where, node))
                        return false;
                    const ConfigValue *map = u.find("map");
                    level.bindings.push_back({u32(level.units.size()), node, map && map->to_bool() ? 1u : 0u});
                }
                level.units.push_back(record);
            }
        }
        if (!script_data(root.find("data"), "level", level.level_script_data))
            return false;
        if (const ConfigValue *lights = array(root, "lights")) {
            for (const ConfigValue &l : lights->items()) {
                test::LevelSourceLight light;
                if (!known(l, {"unit", "light", "properties"}, "light override"))
                    return false;
                auto it = unit_names.find(text(l, "unit"));
                if (it == unit_names.end())
                    return fail("light override: no unit named '" + text(l, "unit") + "'");
                light.unit = it->second;
                light.light_name = id32(text(l, "light"));
                f32 properties[10] = {};
                if (!numbers(l, "properties", properties, 10, "light override"))
                    return false;
                memcpy(light.properties, properties, 40);
                level.lights.push_back(light);
            }
        }
        if (const ConfigValue *triggers = array(root, "triggers")) {
            for (const ConfigValue &t : triggers->items()) {
                test::LevelSourceTrigger trigger;
                if (!known(t, {"node", "position", "rotation", "box", "actor_template", "shape_template"}, "trigger"))
                    return false;
                f32 p[3] = {0, 0, 0}, q[4] = {0, 0, 0, 1};
                if (!node_index(text(t, "node"), "trigger", trigger.node) || !numbers(t, "position", p, 3, "trigger") ||
                    !numbers(t, "rotation", q, 4, "trigger") || !numbers(t, "box", trigger.box, 3, "trigger"))
                    return false;
                trigger.pose = pose_from_quaternion({q[0], q[1], q[2], q[3]}, {p[0], p[1], p[2]});
                trigger.actor_template = id32(text(t, "actor_template"));
                trigger.shape_template = id32(text(t, "shape_template"));
                level.triggers.push_back(trigger);
            }
        }
        if (const ConfigValue *particles = array(root, "particles")) {
            for (const ConfigValue &p : particles->items()) {
                test::LevelSourceParticles effect;
                if (!known(p, {"effect", "position", "rotation"}, "particles"))
                    return false;
                effect.effect = id64(text(p, "effect"));
                if (!numbers(p, "position", effect.position, 3, "particles") ||
                    !numbers(p, "rotation", effect.rotation, 4, "particles"))
                    return false;
                level.particles.push_back(effect);
            }
        }
        if (const ConfigValue *splines = array(root, "splines")) {
            for (const ConfigValue &s : splines->items()) {
                test::LevelSourceSpline spline;
                if (!known(s, {"name", "points"}, "spline"))
                    return false;
                spline.name = id32(text(s, "name"));
                const ConfigValue *points = s.find("points");
                if (points && points->kind() == ConfigKind::Array)
                    for (const ConfigValue &point : points->items()) {
                        if (point.kind() != ConfigKind::Array || point.items().size() != 3)
                            return fail("spline '" + text(s, "name") + "': a point must be [x y z]");
                        for (const ConfigValue &c : point.items())
                            spline.points.push_back(c.to_float());
                    }
                level.splines.push_back(spline);
            }
        }
        return error.empty();
    }
};

} // namespace

bool compile_level_source(const char *text, u64 size, std::vector<u8> &out_bytes, std::string &out_error,
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
    LevelCompiler c;
    bool ok = c.compile(*root, out_unit_names);
    destroy_config_root(root);
    if (!ok) {
        out_error = with_source_line(text, size, c.error);
        return false;
    }
    out_bytes = test::write_level_resource(c.level);
    // What the engine would refuse must not build: read the bytes back through its reader,
    // with the navigation-mesh reader the engine installs, so the level's mesh is read too.
    install_level_nav_mesh_reader();
    LevelResource *read = read_level_resource(out_bytes.data(), out_bytes.size(), default_allocator());
    if (!read) {
        out_error = "the engine's level reader refuses the compiled level (its reason is logged above)";
        return false;
    }
    destroy_level_resource(read, default_allocator());
    return true;
}

} // namespace tallow
