#include "tools/source_references.h"

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "tools/source_check.h"

namespace tallow {

namespace {

struct Lister {
    const char *text;
    u64 size;
    std::vector<SourceReference> &references;
    std::vector<SourceDefinition> &definitions;

    static const ConfigValue *items(const ConfigValue &v, const char *key)
    {
        const ConfigValue *a = v.find(key);
        return a && a->kind() == ConfigKind::Array ? a : nullptr;
    }
    static std::string name_of(const ConfigValue &v)
    {
        const ConfigValue *n = v.kind() == ConfigKind::Object ? v.find("name") : nullptr;
        return n && n->kind() == ConfigKind::String ? n->to_string() : std::string();
    }

    // A reference written as the string value of `key` in `object` (an empty name refers to
    // nothing: it is how sources say "none").
    SourceReference *refer(const ConfigValue &object, const char *key, const std::string &kind, const std::string &what)
    {
        const ConfigValue *v = object.kind() == ConfigKind::Object ? object.find(key) : nullptr;
        return v ? refer_value(*v, key, kind, what) : nullptr;
    }
    SourceReference *refer_value(const ConfigValue &v, const char *key, const std::string &kind, const std::string &what)
    {
        if (v.kind() != ConfigKind::String || !*v.to_string())
            return nullptr;
        references.push_back({kind, v.to_string(), what, find_value_line(text, size, key, v.to_string()), false, {}, {}});
        return &references.back();
    }
    void define_names(const ConfigValue &root, const char *table, const char *kind)
    {
        if (const ConfigValue *list = items(root, table))
            for (const ConfigValue &e : list->items())
                if (std::string n = name_of(e); !n.empty())
                    definitions.push_back({kind, n});
    }

    // Flow nodes that play an effect or a sound name their resources.
    void flow(const ConfigValue &root)
    {
        const ConfigValue *f = root.find("flow");
        const ConfigValue *nodes = f && f->kind() == ConfigKind::Object ? items(*f, "nodes") : nullptr;
        if (!nodes)
            return;
        for (const ConfigValue &n : nodes->items()) {
            const ConfigValue *type = n.kind() == ConfigKind::Object ? n.find("type") : nullptr;
            const std::string t = type && type->kind() == ConfigKind::String ? type->to_string() : "";
            const std::string what = "flow node '" + name_of(n) + "'";
            if (t == "particles")
                refer(n, "effect", "particles", what);
            else if (t == "sound")
                refer(n, "sound", "wav", what);
        }
    }

    void unit(const ConfigValue &root, const std::string &resource)
    {
        flow(root);
        const std::string scope = "material " + resource;
        auto mesh_material = [&](const ConfigValue &v, const char *key, const std::string &what) {
            if (SourceReference *r = refer_value(v, key, scope, what)) {
                r->optional_scope = true;
                r->scope_kind = "material";
                r->scope_name = resource;
            }
        };
        if (const ConfigValue *meshes = items(root, "meshes")) {
            for (const ConfigValue &m : meshes->items()) {
                const std::string what = "mesh '" + name_of(m) + "'";
                if (const ConfigValue *v = m.find("material"))
                    mesh_material(*v, "material", what);
                const ConfigValue *g = m.find("geometry");
                if (const ConfigValue *slots = g ? items(*g, "materials") : nullptr)
                    for (const ConfigValue &s : slots->items())
                        mesh_material(s, "materials", what);
            }
        }
        if (const ConfigValue *actors = items(root, "actors")) {
            for (const ConfigValue &a : actors->items()) {
                const std::string what = "actor '" + name_of(a) + "'";
                refer(a, "template", "actor_template", what);
                if (const ConfigValue *shapes = items(a, "shapes")) {
                    for (const ConfigValue &s : shapes->items()) {
                        refer(s, "material", "physics_material", "a shape of " + what);
                        refer(s, "template", "shape_template", "a shape of " + what);
                    }
                }
            }
        }
        if (const ConfigValue *movers = items(root, "movers"))
            for (const ConfigValue &m : movers->items())
                refer(m, "collision_filter", "collision_filter", "the mover");
        refer(root, "state_machine", "state_machine", "the unit");
    }

    void level(const ConfigValue &root)
    {
        flow(root);
        if (const ConfigValue *units = items(root, "units"))
            for (const ConfigValue &u : units->items())
                refer(u, "material", "material", "level unit '" + name_of(u) + "'");
        if (const ConfigValue *triggers = items(root, "triggers")) {
            for (const ConfigValue &t : triggers->items()) {
                refer(t, "actor_template", "actor_template", "a trigger");
                refer(t, "shape_template", "shape_template", "a trigger");
            }
        }
        if (const ConfigValue *particles = items(root, "particles"))
            for (const ConfigValue &p : particles->items())
                refer(p, "effect", "particles", "a level effect");
    }

    void material(const ConfigValue &root, const std::string &resource)
    {
        for (const auto &member : root.members()) {
            const std::string what = "material '" + std::string(member.key.c_str()) + "'";
            definitions.push_back({"material " + resource, member.key.c_str()});
            refer(member.value, "shader", "shader", what);
            if (const ConfigValue *textures = member.value.find("textures"))
                if (textures->kind() == ConfigKind::Object)
                    for (const auto &channel : textures->members())
                        refer_value(channel.value, channel.key.c_str(), "texture",
                                    what + " (channel " + channel.key.c_str() + ")");
        }
    }

    void particles(const ConfigValue &root, const std::string &resource)
    {
        if (const ConfigValue *systems = items(root, "systems"))
            for (const ConfigValue &s : systems->items())
                if (const ConfigValue *emitters = items(s, "emitters"))
                    for (const ConfigValue &e : emitters->items())
                        if (SourceReference *r = refer(e, "material", "material " + resource, "an emitter")) {
                            r->scope_kind = "material";
                            r->scope_name = resource;
                        }
    }

    void state_machine(const ConfigValue &root)
    {
        if (const ConfigValue *layers = items(root, "layers"))
            for (const ConfigValue &l : layers->items())
                if (const ConfigValue *states = items(l, "states"))
                    for (const ConfigValue &s : states->items())
                        if (const ConfigValue *animations = items(s, "animations"))
                            for (const ConfigValue &a : animations->items())
                                refer_value(a, "animations", "animation", "state '" + name_of(s) + "'");
    }

    void shading_environment(const ConfigValue &root)
    {
        SourceReference *m = refer(root, "material", "material", "the shading environment");
        const std::string resource = m ? m->name : std::string();
        if (const ConfigValue *bindings = items(root, "bindings"))
            for (const ConfigValue &b : bindings->items())
                if (SourceReference *r = refer(b, "material", "material " + resource, "a binding")) {
                    r->scope_kind = "material";
                    r->scope_name = resource;
                }
    }
};

} // namespace

void list_source_names(const std::string &type, const std::string &resource_name, const char *text, u64 size,
                       std::vector<SourceReference> &out_references, std::vector<SourceDefinition> &out_definitions)
{
    out_definitions.push_back({type, resource_name});
    const bool config_text = type == "unit" || type == "level" || type == "material" || type == "particles" ||
                             type == "state_machine" || type == "shading_environment" ||
                             type == "shader_library" || type == "shader_library_group" ||
                             type == "physics_properties";
    if (!config_text)
        return;
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + size, *root);
    Lister l{text, size, out_references, out_definitions};
    if (type == "unit") {
        l.unit(*root, resource_name);
    } else if (type == "level") {
        l.level(*root);
    } else if (type == "material") {
        l.material(*root, resource_name);
    } else if (type == "particles") {
        l.particles(*root, resource_name);
    } else if (type == "state_machine") {
        l.state_machine(*root);
    } else if (type == "shading_environment") {
        l.shading_environment(*root);
    } else if (type == "shader_library_group") {
        if (const ConfigValue *libraries = Lister::items(*root, "libraries"))
            for (const ConfigValue &v : libraries->items())
                l.refer_value(v, "libraries", "shader_library", "the group");
    } else if (type == "shader_library") {
        if (const ConfigValue *templates = root->find("templates"))
            if (templates->kind() == ConfigKind::Object)
                for (const auto &t : templates->members())
                    out_definitions.push_back({"shader", t.key.c_str()});
    } else if (type == "physics_properties") {
        l.define_names(*root, "materials", "physics_material");
        l.define_names(*root, "shape_templates", "shape_template");
        l.define_names(*root, "actor_templates", "actor_template");
        l.define_names(*root, "collision_filters", "collision_filter");
    }
    destroy_config_root(root);
}

std::string describe_reference_kind(const std::string &kind)
{
    if (kind.rfind("material ", 0) == 0)
        return "material in " + kind.substr(9) + ".material";
    if (kind == "physics_material")
        return "physics material";
    if (kind == "actor_template")
        return "actor template";
    if (kind == "shape_template")
        return "shape template";
    if (kind == "collision_filter")
        return "collision filter";
    if (kind == "shader")
        return "shader template";
    if (kind == "state_machine")
        return "state machine";
    if (kind == "shader_library")
        return "shader library";
    if (kind == "particles")
        return "particle effect";
    if (kind == "wav")
        return "sound";
    return kind;
}

} // namespace tallow
