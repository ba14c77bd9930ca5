#include "tools/physics/physics_properties_compiler.h"

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "tests/support/writers/physics_properties_writer.h"
#include "tools/source_check.h"

#include <cstring>
#include <initializer_list>
#include <set>

namespace tallow {

namespace {

struct Compiler {
    std::string error;
    test::PhysicsPropertiesWriter writer;

    bool fail(const std::string &what)
    {
        if (error.empty())
            error = what;
        return false;
    }

    bool known(const ConfigValue &entry, std::initializer_list<const char *> keys, const std::string &where)
    {
        if (entry.kind() != ConfigKind::Object)
            return fail(where + ": must be an object");
        for (const auto &m : entry.members()) {
            bool found = false;
            for (const char *k : keys)
                found = found || m.key == k;
            if (!found)
                return fail(where + ": unknown key '" + m.key.c_str() + "'");
        }
        return true;
    }

    bool number(const ConfigValue &entry, const char *key, f32 &out, const std::string &where)
    {
        const ConfigValue *v = entry.find(key);
        if (!v)
            return true;
        if (v->kind() != ConfigKind::Integer && v->kind() != ConfigKind::Float)
            return fail(where + ": '" + key + "' must be a number");
        out = v->to_float();
        return true;
    }

    bool numbers(const ConfigValue &entry, const char *key, f32 *out, u32 n, const std::string &where)
    {
        const ConfigValue *v = entry.find(key);
        if (!v)
            return true;
        if (v->kind() != ConfigKind::Array || v->items().size() != n)
            return fail(where + ": '" + key + "' must be " + std::to_string(n) + " numbers");
        for (u32 i = 0; i < n; ++i) {
            const ConfigValue &x = v->items()[i];
            if (x.kind() != ConfigKind::Integer && x.kind() != ConfigKind::Float)
                return fail(where + ": '" + key + "' must hold numbers");
            out[i] = x.to_float();
        }
        return true;
    }

    struct FlagName {
        const char *name;
        u32 bit;
    };
    static constexpr FlagName shape_flag_names[] = {
        {"no_collision", 1}, {"no_raycasts", 2}, {"no_response", 4}, {"no_scene_queries", 8},
        {"smooth_mesh_contacts", 16}, {"continuous_collision", 32}, {"trigger", 64}};
    static constexpr FlagName actor_flag_names[] = {
        {"dynamic", 1}, {"kinematic", 2}, {"no_collision", 4}, {"no_response", 8}, {"cone_friction", 16},
        {"no_gravity", 32}, {"filter_sleep_velocity", 64}, {"energy_sleep_test", 128}};

    // Flags: a whole number (the bits) or a list of the flags' names.
    template <size_t N>
    bool flags(const ConfigValue &entry, u32 &out, const std::string &where, const FlagName (&names)[N])
    {
        const ConfigValue *v = entry.find("flags");
        if (!v)
            return true;
        if (v->kind() == ConfigKind::Array) {
            out = 0;
            for (const ConfigValue &item : v->items()) {
                u32 bit = 0;
                for (const FlagName &n : names)
                    if (item.kind() == ConfigKind::String && strcmp(item.to_string(), n.name) == 0)
                        bit = n.bit;
                if (!bit) {
                    std::string known_names;
                    for (const FlagName &n : names)
                        known_names += std::string(known_names.empty() ? "" : ", ") + n.name;
                    return fail(where + ": '" + (item.kind() == ConfigKind::String ? item.to_string() : "?") +
                                "' is not a flag here (" + known_names + ")");
                }
                out |= bit;
            }
            return true;
        }
        if (v->kind() != ConfigKind::Integer || v->to_integer() < 0)
            return fail(where + ": 'flags' must be a whole number of 0 or more, or a list of flag names");
        out = u32(v->to_integer());
        return true;
    }

    bool groups(const ConfigValue &entry, const char *key, u64 &out, const std::string &where)
    {
        const ConfigValue *v = entry.find(key);
        if (!v)
            return true;
        if (v->kind() != ConfigKind::Array)
            return fail(where + ": '" + key + "' must be a list of group numbers");
        for (const ConfigValue &g : v->items()) {
            if (g.kind() != ConfigKind::Integer || g.to_integer() < 0 || g.to_integer() > 63)
                return fail(where + ": '" + key + "' holds a group outside 0-63");
            out |= 1ull << g.to_integer();
        }
        return true;
    }

    // Walks one table: each entry needs a unique name.
    template <typename F> bool table(const ConfigValue &root, const char *key, F &&entry)
    {
        const ConfigValue *list = root.find(key);
        if (!list)
            return true;
        if (list->kind() != ConfigKind::Array)
            return fail(std::string(key) + ": must be a list");
        std::set<u32> names;
        for (u32 i = 0; i < list->items().size(); ++i) {
            const ConfigValue &e = list->items()[i];
            std::string where = std::string(key) + "[" + std::to_string(i) + "]";
            const ConfigValue *name = e.kind() == ConfigKind::Object ? e.find("name") : nullptr;
            if (!name || name->kind() != ConfigKind::String)
                return fail(where + ": needs a 'name' text");
            where += " \"" + std::string(name->to_string()) + "\"";
            u32 id = NameId32(name->to_string()).value();
            if (!names.insert(id).second)
                return fail(where + ": the name is given twice");
            if (!entry(e, id, where))
                return false;
        }
        return true;
    }

    bool compile(const ConfigValue &root)
    {
        if (!known(root, {"materials", "shape_templates", "actor_templates", "collision_filters"}, "the file"))
            return false;
        return table(root, "materials",
                     [&](const ConfigValue &e, u32 id, const std::string &where) {
                         std::array<f32, 6> v = {0.1f, 0.1f, 0.2f, 1.0f, 0, 0};
                         if (!known(e, {"name", "values"}, where) || !numbers(e, "values", v.data(), 6, where))
                             return false;
                         writer.material(id, v);
                         return true;
                     }) &&
               table(root, "shape_templates",
                     [&](const ConfigValue &e, u32 id, const std::string &where) {
                         u32 f = 0;
                         CollisionFilter filter;
                         if (!known(e, {"name", "flags", "belongs_to", "collides_with"}, where) || !flags(e, f, where, shape_flag_names) ||
                             !groups(e, "belongs_to", filter.belongs_to, where) ||
                             !groups(e, "collides_with", filter.collides_with, where))
                             return false;
                         writer.shape_template(id, f, filter);
                         return true;
                     }) &&
               table(root, "actor_templates",
                     [&](const ConfigValue &e, u32 id, const std::string &where) {
                         ActorTemplate t;
                         if (!known(e, {"name", "flags", "mass", "inertia_ratio", "inertia", "linear_damping", "angular_damping"},
                                    where) ||
                             !flags(e, t.flags, where, actor_flag_names) || !number(e, "mass", t.mass, where) ||
                             !number(e, "inertia_ratio", t.min_inertia_ratio, where) ||
                             !numbers(e, "inertia", t.inertia, 3, where) ||
                             !number(e, "linear_damping", t.linear_damping, where) ||
                             !number(e, "angular_damping", t.angular_damping, where))
                             return false;
                         writer.actor_template(id, t);
                         return true;
                     }) &&
               table(root, "collision_filters", [&](const ConfigValue &e, u32 id, const std::string &where) {
                   CollisionFilter filter;
                   if (!known(e, {"name", "belongs_to", "collides_with"}, where) ||
                       !groups(e, "belongs_to", filter.belongs_to, where) ||
                       !groups(e, "collides_with", filter.collides_with, where))
                       return false;
                   writer.collision_filter(id, filter);
                   return true;
               });
    }
};

} // namespace

bool compile_physics_properties_source(const char *text, u64 size, std::vector<u8> &out, std::string &error)
{
    std::string word;
    u32 line = 0;
    if (find_unreadable_word(text, size, word, line)) {
        error = std::to_string(line) + ": cannot read the value '" + word + "' (texts need quotes)";
        return false;
    }
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + size, *root);
    Compiler c;
    bool ok = c.compile(*root);
    destroy_config_root(root);
    if (!ok) {
        error = with_source_line(text, size, c.error);
        return false;
    }
    out = c.writer.write();
    return true;
}

} // namespace tallow
