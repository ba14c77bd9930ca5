#include "tools/world/flow_compiler.h"

#include "foundation/config/config_value.h"
#include "foundation/strings/name_id.h"
#include "tests/support/writers/flow_graph_writer.h"
#include "tools/source_check.h"
#include "world/flow/flow.h"
#include "world/flow/flow_graph.h"

#include <cstring>
#include <map>

namespace tallow {

namespace {

struct NodeKind {
    const char *name;
    u32 type;
    const char *fields; // "name:kind ..."
};

const NodeKind g_kinds[] = {
    {"flag", flow_flag, "flag:v outputs:*"},
    {"event", flow_unit_source, "unit:v next:l"},
    {"spawn_unit", flow_spawn_unit, "unit:N pose:m variable:v spawned:l unspawned:l"},
    {"set_unit_pose", flow_set_unit_pose, "pose:m unit:v next:l"},
    {"script_event", flow_script_event, "callback:t unit:v next:l"},
    {"delay", flow_delay, "delay:v next:l"},
    {"simple_animation", flow_simple_animation,
     "start:v end:v speed:v loop:w unit:v animation:v played:l stopped:l"},
    {"animation_event", flow_animation_event, "event:n unit:v next:l"},
    {"particles", flow_particles, "effect:N node:v link:w position:v rotation:v unit:v effect_id:v"},
    {"actor_event", flow_actor_event, "actor:v outputs:*"},
    {"contact_event", flow_contact_event, "contact:v outputs:*"},
    {"mover_event", flow_mover_event, "hit:v next:l"},
    {"actor_source", flow_actor_source, "actor:v next:l"},
    {"script_method", flow_script_method, "object:T method:t arguments:s"},
    {"script_string", flow_script_string, "code:t arguments:s next:l"},
    {"once", flow_once, "counter:v next:l"},
    {"gate", flow_gate, "open:v next:l"},
    {"destroy_unit", flow_destroy_unit, "unit:v next:l"},
    {"sound", flow_sound, "sound:N looping:w range:f volume:f unit:v node:n link:w position:v source:v"},
    {"unit_event", flow_send_unit_event, "unit:v event:n"},
    {"level_event", flow_level_event, "event:n"},
    {"flip_flop", flow_flip_flop, "state:v first:l second:l"},
    {"random_output", flow_random_output, "last:v outputs:8"},
    {"node_pose", flow_node_pose, "unit:v node:v position:v rotation:v"},
    {"visibility", flow_visibility, "unit:v group:v visible:v next:l"},
    {"spawn_unit_at", flow_spawn_unit_at, "unit:N position:v rotation:v variable:v next:l spawned:l unspawned:l"},
    {"two_way_animation", flow_two_way_animation,
     "from:v to:v speed:v loop:w unit:v group:v time:v forwards:l backwards:l"},
    {"float_arithmetic", flow_float_arithmetic, "constant:f operand:v target:v next:l"},
    {"compare", flow_compare, "a:v b:v greater:l greater_or_equal:l equal:l less_or_equal:l less:l"},
};

struct VariableKind {
    const char *name;
    u32 size;
};
const VariableKind g_variable_kinds[] = {{"unit", 4},    {"float", 4},   {"u32", 4},     {"bool", 4},
                                         {"vector3", 12}, {"quaternion", 16}, {"name", 8}, {"text", 4},
                                         {"actor", 8},   {"contact", flow_contact_value_size},
                                         {"hit", flow_mover_hit_value_size}};

const char *const g_argument_types[] = {"", "unit", "", "", "vector3", "float", "bool", "string", "id64", "quaternion"};

bool is_number(const ConfigValue &v) { return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float; }

struct FlowCompiler {
    test::FlowGraphWriter g;
    std::string error;
    std::map<std::string, u32> variables;
    std::map<std::string, u32> nodes;
    std::vector<std::string> *unit_names = nullptr; // unit resources the graph spawns, when asked

    bool fail(const std::string &what)
    {
        if (error.empty())
            error = what;
        return false;
    }

    /// An object holding only the keys given: a misspelled key must not drop its value silently.
    bool known(const ConfigValue &v, std::initializer_list<const char *> keys, const std::string &where)
    {
        const char *key = unknown_key(v, keys);
        return !key || fail(where + ": unknown key '" + key + "'");
    }

    bool variable(const ConfigValue &v)
    {
        const ConfigValue *name = v.find("name");
        const ConfigValue *type = v.find("type");
        if (!name || name->kind() != ConfigKind::String || !type || type->kind() != ConfigKind::String)
            return fail("flow variables: each needs a name and a type");
        std::string n = name->to_string(), t = type->to_string();
        if (!known(v, {"name", "type", "value"}, "flow variable '" + n + "'"))
            return false;
        const VariableKind *kind = nullptr;
        for (const VariableKind &k : g_variable_kinds)
            if (t == k.name)
                kind = &k;
        if (!kind)
            return fail("flow variable '" + n + "': unknown type '" + t + "'");
        if (variables.count(n))
            return fail("flow variable '" + n + "' is defined twice");
        u8 initial[48] = {};
        if (const ConfigValue *value = v.find("value")) {
            if (t == "name" || t == "text") {
                if (value->kind() != ConfigKind::String)
                    return fail("flow variable '" + n + "': the value must be a string");
                u64 id = t == "name" ? NameId64(value->to_string()).value() : g.add_text(value->to_string());
                memcpy(initial, &id, t == "name" ? 8 : 4);
            } else if (t == "bool" || t == "u32") {
                u32 w = value->kind() == ConfigKind::Bool ? value->to_bool() : u32(value->to_integer());
                if (value->kind() != ConfigKind::Bool && value->kind() != ConfigKind::Integer)
                    return fail("flow variable '" + n + "': the value must be an integer or a boolean");
                memcpy(initial, &w, 4);
            } else if (t == "float") {
                if (!is_number(*value))
                    return fail("flow variable '" + n + "': the value must be a number");
                f32 f = value->to_float();
                memcpy(initial, &f, 4);
            } else if (t == "vector3" || t == "quaternion") {
                u32 count = t == "vector3" ? 3 : 4;
                if (value->kind() != ConfigKind::Array || value->items().size() != count)
                    return fail("flow variable '" + n + "': the value must be " + std::to_string(count) + " numbers");
                for (u32 i = 0; i < count; ++i) {
                    if (!is_number(value->items()[i]))
                        return fail("flow variable '" + n + "': the value must hold numbers");
                    f32 f = value->items()[i].to_float();
                    memcpy(initial + 4 * i, &f, 4);
                }
            } else {
                return fail("flow variable '" + n + "': a " + t + " takes no value");
            }
        } else if (t == "quaternion") {
            f32 one = 1;
            memcpy(initial + 12, &one, 4);
        }
        variables[n] = g.add_variable(n.c_str(), kind->size, initial);
        return true;
    }

    bool target(const ConfigValue &v, const std::string &where, u32 &out)
    {
        if (v.kind() != ConfigKind::String)
            return fail(where + ": a target must be a string \"node\" or \"node:input\"");
        std::string s = v.to_string();
        u32 input = 0;
        size_t colon = s.find(':');
        if (colon != std::string::npos) {
            input = u32(std::strtoul(s.c_str() + colon + 1, nullptr, 10));
            s.resize(colon);
        }
        auto it = nodes.find(s);
        if (it == nodes.end())
            return fail(where + ": no node named '" + s + "'");
        out = test::flow_target(it->second, input);
        return true;
    }

    bool list(const ConfigValue *v, const std::string &where, std::vector<u32> &words)
    {
        std::vector<u32> targets;
        if (v) {
            if (v->kind() != ConfigKind::Array)
                return fail(where + " must be an array of targets");
            for (const ConfigValue &t : v->items()) {
                u32 target_word;
                if (!this->target(t, where, target_word))
                    return false;
                targets.push_back(target_word);
            }
        }
        test::FlowGraphWriter::push(words, test::flow_list(targets));
        return true;
    }

    bool var(const ConfigValue *v, const std::string &where, u32 &out)
    {
        out = flow_not_connected;
        if (!v)
            return true;
        if (v->kind() != ConfigKind::String || !variables.count(v->to_string()))
            return fail(where + ": no flow variable named '" + (v->kind() == ConfigKind::String ? v->to_string() : "?") +
                        "'");
        out = variables[v->to_string()];
        return true;
    }

    bool field(const ConfigValue &node, const std::string &name, char kind, const std::string &where,
               std::vector<u32> &words)
    {
        const ConfigValue *v = node.find(name.c_str());
        std::string at = where + " '" + name + "'";
        switch (kind) {
        case 'v': {
            u32 offset;
            if (!var(v, at, offset))
                return false;
            words.push_back(offset);
            return true;
        }
        case 'l':
            return list(v, at, words);
        case 'w':
            if (v && v->kind() != ConfigKind::Integer && v->kind() != ConfigKind::Bool)
                return fail(at + " must be an integer");
            words.push_back(!v ? 0 : v->kind() == ConfigKind::Bool ? v->to_bool() : u32(v->to_integer()));
            return true;
        case 'f':
            if (v && !is_number(*v))
                return fail(at + " must be a number");
            words.push_back(test::flow_word(v ? v->to_float() : 0));
            return true;
        case 'n':
        case 'N':
            if (v && v->kind() != ConfigKind::String)
                return fail(at + " must be a name");
            if (kind == 'N' && v && unit_names && name == "unit")
                unit_names->push_back(v->to_string());
            if (kind == 'n')
                words.push_back(v ? NameId32(v->to_string()).value() : 0);
            else
                test::FlowGraphWriter::push_u64(words, v ? NameId64(v->to_string()).value() : 0);
            return true;
        case 't':
        case 'T':
            if (!v && kind == 'T') {
                words.push_back(0);
                return true;
            }
            if (!v || v->kind() != ConfigKind::String)
                return fail(at + " must be a text");
            words.push_back(g.add_text(v->to_string()));
            return true;
        case 'm': {
            f32 p[3] = {0, 0, 0}, q[4] = {0, 0, 0, 1};
            for (auto [key, out, n] : {std::tuple{"position", p, 3u}, std::tuple{"rotation", q, 4u}}) {
                const ConfigValue *a = node.find(key);
                if (!a)
                    continue;
                if (a->kind() != ConfigKind::Array || a->items().size() != n)
                    return fail(where + " '" + key + "' must be " + std::to_string(n) + " numbers");
                for (u32 i = 0; i < n; ++i)
                    out[i] = a->items()[i].to_float();
            }
            test::FlowGraphWriter::push_matrix(words, pose_from_quaternion({q[0], q[1], q[2], q[3]}, {p[0], p[1], p[2]}));
            return true;
        }
        case 's': {
            u32 count = 0;
            if (v) {
                if (v->kind() != ConfigKind::Array || v->items().size() > 5)
                    return fail(at + " must be an array of at most five arguments");
                for (const ConfigValue &a : v->items()) {
                    if (!known(a, {"type", "variable"}, at))
                        return false;
                    const ConfigValue *type = a.find("type");
                    u32 code = 0;
                    for (u32 i = 1; type && type->kind() == ConfigKind::String && i < 10; ++i)
                        if (*g_argument_types[i] && std::string(type->to_string()) == g_argument_types[i])
                            code = i;
                    if (!code)
                        return fail(at + ": an argument needs a type (unit, float, bool, string, vector3, id64, "
                                         "quaternion)");
                    u32 offset;
                    if (!var(a.find("variable"), at, offset))
                        return false;
                    words.push_back(code);
                    words.push_back(offset);
                    ++count;
                }
            }
            for (; count < 5; ++count)
                words.push_back(0), words.push_back(flow_not_connected);
            return true;
        }
        case '*':
        case '8': {
            u32 lists = 0;
            if (v) {
                if (v->kind() != ConfigKind::Array || (kind == '8' && v->items().size() > 8))
                    return fail(at + " must be an array of target lists");
                for (const ConfigValue &l : v->items()) {
                    if (!list(&l, at, words))
                        return false;
                    ++lists;
                }
            }
            for (; kind == '8' && lists < 8; ++lists)
                test::FlowGraphWriter::push(words, test::flow_list({}));
            return true;
        }
        }
        return fail(at + ": unknown field kind");
    }

    bool compile(const ConfigValue &flow)
    {
        if (flow.kind() != ConfigKind::Object)
            return fail("flow must be an object");
        if (!known(flow, {"variables", "nodes"}, "flow"))
            return false;
        if (const ConfigValue *vars = flow.find("variables")) {
            if (vars->kind() != ConfigKind::Array)
                return fail("flow variables must be an array");
            for (const ConfigValue &v : vars->items())
                if (!variable(v))
                    return false;
        }
        const ConfigValue *list_of_nodes = flow.find("nodes");
        if (!list_of_nodes)
            return true;
        if (list_of_nodes->kind() != ConfigKind::Array)
            return fail("flow nodes must be an array");
        // Names first, so targets may name later nodes.
        const auto &items = list_of_nodes->items();
        for (u32 i = 0; i < items.size(); ++i) {
            const ConfigValue *name = items[i].find("name");
            if (!name || name->kind() != ConfigKind::String)
                return fail("flow node " + std::to_string(i) + " needs a name");
            if (!nodes.emplace(name->to_string(), i).second)
                return fail(std::string("flow node '") + name->to_string() + "' is defined twice");
        }
        for (u32 i = 0; i < items.size(); ++i) {
            const ConfigValue &node = items[i];
            std::string where = std::string("flow node '") + node.find("name")->to_string() + "'";
            const ConfigValue *type = node.find("type");
            const NodeKind *kind = nullptr;
            for (const NodeKind &k : g_kinds)
                if (type && type->kind() == ConfigKind::String && std::string(type->to_string()) == k.name)
                    kind = &k;
            if (!kind)
                return fail(where + ": unknown or missing type");
            std::vector<u32> words;
            std::string fields = kind->fields;
            // The keys of this node type: its fields (a pose is `position` and `rotation`).
            for (const auto &member : node.members()) {
                std::string key = member.key.c_str();
                bool pose = fields.find("pose:m") != std::string::npos && (key == "position" || key == "rotation");
                if (key != "name" && key != "type" && key != "on" && key != "links" && !pose &&
                    (" " + fields).find(" " + key + ":") == std::string::npos)
                    return fail(where + ": unknown key '" + key + "' for a " + kind->name + " node");
            }
            for (size_t at = 0; at < fields.size();) {
                size_t end = fields.find(' ', at);
                if (end == std::string::npos)
                    end = fields.size();
                std::string f = fields.substr(at, end - at);
                size_t colon = f.find(':');
                if (!field(node, f.substr(0, colon), f[colon + 1], where, words))
                    return false;
                at = end + 1;
            }
            u32 index = g.add_node(kind->type, words);
            if (const ConfigValue *links = node.find("links")) {
                std::vector<u32> l;
                if (!list(links, where + " 'links'", l))
                    return false;
                g.set_links(index, std::vector<u32>(l.begin() + 1, l.end()));
            }
            if (const ConfigValue *on = node.find("on")) {
                if (on->kind() != ConfigKind::Array)
                    return fail(where + " 'on' must be an array of event names");
                for (const ConfigValue &e : on->items()) {
                    if (e.kind() != ConfigKind::String)
                        return fail(where + " 'on' must hold event names");
                    g.add_event(NameId32(e.to_string()).value(), test::flow_target(index));
                }
            }
        }
        return true;
    }
};

} // namespace

bool compile_flow_source(const ConfigValue &flow, std::vector<u8> &out_graph, std::vector<u8> &out_defaults,
                         std::string &out_error, std::vector<std::string> *out_unit_names)
{
    FlowCompiler c;
    c.unit_names = out_unit_names;
    if (!c.compile(flow)) {
        out_error = c.error;
        return false;
    }
    out_graph = c.g.write();
    out_defaults = c.g.defaults();
    FlowGraphInfo info;
    if (!validate_flow_graph(out_graph.data(), u32(out_graph.size()), info)) {
        out_error = "flow: the compiled graph does not validate";
        return false;
    }
    return true;
}

} // namespace tallow
