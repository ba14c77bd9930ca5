#include "tools/animation/state_machine_compiler.h"

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "tests/support/writers/animation_writer.h"
#include "tools/source_check.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace tallow {

namespace {

// Expressions ------------------------------------------------------------------------------

/// Recursive descent over the text, emitting postfix words.
class ExpressionParser {
  public:
    ExpressionParser(const std::string &text, const std::vector<std::string> &variables, test::Expression &out)
        : _text(text), _variables(variables), _out(out)
    {
    }

    bool parse(std::string &error)
    {
        if (!sum())
            return fail(error);
        skip();
        if (_at != _text.size()) {
            _error = "unexpected '" + _text.substr(_at, 1) + "'";
            return fail(error);
        }
        _out.end();
        return true;
    }

  private:
    bool fail(std::string &error)
    {
        error = "expression \"" + _text + "\": " + _error;
        return false;
    }
    void skip()
    {
        while (_at < _text.size() && std::isspace(static_cast<unsigned char>(_text[_at])))
            ++_at;
    }
    bool accept(char c)
    {
        skip();
        if (_at < _text.size() && _text[_at] == c) {
            ++_at;
            return true;
        }
        return false;
    }
    bool sum()
    {
        if (!product())
            return false;
        for (;;) {
            if (accept('+')) {
                if (!product())
                    return false;
                _out.op(0);
            } else if (accept('-')) {
                if (!product())
                    return false;
                _out.op(1);
            } else {
                return true;
            }
        }
    }
    bool product()
    {
        if (!unary())
            return false;
        for (;;) {
            if (accept('*')) {
                if (!unary())
                    return false;
                _out.op(2);
            } else if (accept('/')) {
                if (!unary())
                    return false;
                _out.op(3);
            } else {
                return true;
            }
        }
    }
    bool unary()
    {
        if (accept('-')) {
            if (!unary())
                return false;
            _out.op(4);
            return true;
        }
        return primary();
    }
    bool arguments(u32 n)
    {
        if (!accept('(')) {
            _error = "a function needs its arguments in parentheses";
            return false;
        }
        for (u32 i = 0; i < n; ++i) {
            if (i > 0 && !accept(',')) {
                _error = "a function has " + std::to_string(n) + " arguments";
                return false;
            }
            if (!sum())
                return false;
        }
        if (!accept(')')) {
            _error = "a ')' is missing";
            return false;
        }
        return true;
    }
    bool primary()
    {
        skip();
        if (accept('(')) {
            if (!sum())
                return false;
            if (!accept(')')) {
                _error = "a ')' is missing";
                return false;
            }
            return true;
        }
        if (_at >= _text.size()) {
            _error = "a value is missing";
            return false;
        }
        char c = _text[_at];
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') {
            const char *start = _text.c_str() + _at;
            char *end = nullptr;
            f32 v = std::strtof(start, &end);
            if (end == start || !std::isfinite(v)) {
                _error = "cannot read a number";
                return false;
            }
            _at += u32(end - start);
            if (v == std::floor(v) && v < 8388607.0f)
                _out.push_int(i32(v));
            else
                _out.push_float(v);
            return true;
        }
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            u32 start = _at;
            while (_at < _text.size() && (std::isalnum(static_cast<unsigned char>(_text[_at])) || _text[_at] == '_'))
                ++_at;
            std::string word = _text.substr(start, _at - start);
            struct Function {
                const char *name;
                u32 arguments, op;
            };
            static const Function functions[] = {{"sin", 1, 6}, {"cos", 1, 7}, {"abs", 1, 10},
                                                  {"near", 2, 8}, {"near2", 4, 9}};
            for (const Function &f : functions)
                if (word == f.name) {
                    if (!arguments(f.arguments))
                        return false;
                    _out.op(f.op);
                    return true;
                }
            for (u32 i = 0; i < _variables.size(); ++i)
                if (_variables[i] == word) {
                    _out.var(i);
                    return true;
                }
            _error = "no variable or function '" + word + "'";
            return false;
        }
        _error = "unexpected '" + std::string(1, c) + "'";
        return false;
    }

    const std::string &_text;
    const std::vector<std::string> &_variables;
    test::Expression &_out;
    u32 _at = 0;
    std::string _error;
};

// Sources ----------------------------------------------------------------------------------

bool is_number(const ConfigValue &v) { return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float; }

struct Context {
    std::string error;
    bool fail(const std::string &what)
    {
        error = what;
        return false;
    }
};

const ConfigValue *array_of(const ConfigValue &object, const char *key, const std::string &where, Context &c,
                            bool &ok)
{
    ok = true;
    const ConfigValue *v = object.find(key);
    if (v && v->kind() != ConfigKind::Array)
        ok = c.fail(where + ": '" + key + "' must be an array");
    return v;
}

bool string_of(const ConfigValue &object, const char *key, std::string &out, const std::string &where, Context &c)
{
    const ConfigValue *v = object.find(key);
    if (!v)
        return true;
    if (v->kind() != ConfigKind::String)
        return c.fail(where + ": '" + key + "' must be a string");
    out = v->to_string();
    return true;
}

bool number_of(const ConfigValue &object, const char *key, f32 &out, const std::string &where, Context &c)
{
    const ConfigValue *v = object.find(key);
    if (!v)
        return true;
    if (!is_number(*v))
        return c.fail(where + ": '" + key + "' must be a number");
    out = v->to_float();
    return true;
}

bool bool_of(const ConfigValue &object, const char *key, bool &out, const std::string &where, Context &c)
{
    const ConfigValue *v = object.find(key);
    if (!v)
        return true;
    if (v->kind() != ConfigKind::Bool)
        return c.fail(where + ": '" + key + "' must be true or false");
    out = v->to_bool();
    return true;
}

bool choice_of(const ConfigValue &object, const char *key, std::initializer_list<const char *> names, u32 &out,
               const std::string &where, Context &c)
{
    std::string text;
    if (!object.find(key))
        return true;
    if (!string_of(object, key, text, where, c))
        return false;
    u32 i = 0;
    for (const char *name : names) {
        if (text == name) {
            out = i;
            return true;
        }
        ++i;
    }
    std::string list;
    for (const char *name : names)
        list += std::string(list.empty() ? "" : ", ") + "\"" + name + "\"";
    return c.fail(where + ": '" + key + "' must be one of " + list);
}

bool compile_state(const ConfigValue &s, const std::string &where, const std::vector<std::string> &variables,
                   const std::vector<std::string> &sets, const std::vector<std::string> &state_names,
                   test::StateSource &out, Context &c)
{
    if (s.kind() != ConfigKind::Object)
        return c.fail(where + ": must be an object");
    if (const char *key = unknown_key(s, {"name", "type", "animations", "random", "weights", "speed", "loop", "blend",
                                          "root_mode", "bone_weights", "transitions", "events"}))
        return c.fail(where + ": unknown key '" + key + "'");
    std::string name;
    if (!string_of(s, "name", name, where, c))
        return false;
    out.name = NameId64(name.c_str()).value();
    u32 type = 0;
    if (!choice_of(s, "type", {"single", "empty", "blend"}, type, where, c))
        return false;
    out.type = type;
    bool ok;
    if (const ConfigValue *list = array_of(s, "animations", where, c, ok)) {
        for (const ConfigValue &a : list->items()) {
            if (a.kind() != ConfigKind::String)
                return c.fail(where + ": 'animations' must hold names");
            out.animations.push_back(NameId64(a.to_string()).value());
        }
    }
    if (!ok)
        return false;
    if (out.type != 1 && out.animations.empty())
        return c.fail(where + ": a \"" + (out.type == 0 ? "single" : "blend") + "\" state needs 'animations'");
    if (out.animations.size() > 15)
        return c.fail(where + ": a state plays at most 15 animations");
    if (const ConfigValue *list = array_of(s, "random", where, c, ok)) {
        for (const ConfigValue &v : list->items()) {
            if (!is_number(v))
                return c.fail(where + ": 'random' must hold numbers");
            out.random_thresholds.push_back(v.to_float());
        }
    }
    if (!ok)
        return false;
    if (out.type == 0 && out.animations.size() > 1 && out.random_thresholds.size() != out.animations.size())
        return c.fail(where + ": 'random' needs one threshold per animation");
    bool loop = false;
    if (!bool_of(s, "loop", loop, where, c))
        return false;
    out.loop = loop ? 1 : 0;
    if (!choice_of(s, "blend", {"normal", "additive"}, out.blend_mode, where, c) ||
        !choice_of(s, "root_mode", {"ignore", "delta_transform", "delta_position", "delta_rotation"}, out.root_mode,
                   where, c))
        return false;
    std::string set;
    if (!string_of(s, "bone_weights", set, where, c))
        return false;
    if (!set.empty()) {
        u32 i = 0;
        while (i < sets.size() && sets[i] != set)
            ++i;
        if (i == sets.size())
            return c.fail(where + ": no bone weight set '" + set + "'");
        out.bone_weight_set = i;
    }
    auto expression = [&](const std::string &text, u32 &offset) {
        std::vector<u8> code;
        std::string error;
        if (!compile_float_expression(text, variables, code, error))
            return c.fail(where + ": " + error);
        offset = u32(out.code.size());
        out.code.insert(out.code.end(), code.begin(), code.end());
        return true;
    };
    if (const ConfigValue *list = array_of(s, "weights", where, c, ok)) {
        for (const ConfigValue &w : list->items()) {
            if (w.kind() != ConfigKind::String && !is_number(w))
                return c.fail(where + ": 'weights' must hold expressions");
            u32 offset = 0;
            std::string text = is_number(w) ? std::to_string(w.to_float()) : std::string(w.to_string());
            if (!expression(text, offset))
                return false;
            out.weight_expressions.push_back(offset);
        }
    }
    if (!ok)
        return false;
    if (out.type == 2 && out.weight_expressions.size() != out.animations.size())
        return c.fail(where + ": 'weights' needs one expression per animation");
    std::string speed = "1";
    if (const ConfigValue *v = s.find("speed"))
        speed = is_number(*v) ? std::to_string(v->to_float()) : v->kind() == ConfigKind::String ? v->to_string() : "";
    if (!expression(speed, out.speed_expression))
        return false;
    if (const ConfigValue *list = array_of(s, "transitions", where, c, ok)) {
        for (u32 i = 0; i < list->items().size(); ++i) {
            const ConfigValue &t = list->items()[i];
            std::string tw = where + ".transitions[" + std::to_string(i) + "]";
            if (t.kind() != ConfigKind::Object)
                return c.fail(tw + ": must be an object");
            if (const char *key = unknown_key(t, {"on", "to", "blend_time", "mode", "key"}))
                return c.fail(tw + ": unknown key '" + key + "'");
            std::string on, to, key;
            test::StateSource::Transition tr;
            if (!string_of(t, "on", on, tw, c) || !string_of(t, "to", to, tw, c) || !string_of(t, "key", key, tw, c) ||
                !number_of(t, "blend_time", tr.blend_time, tw, c) ||
                !choice_of(t, "mode", {"immediate", "at_end", "sync_key", "at_next_key", "keep_phase"}, tr.mode, tw, c))
                return false;
            if (on.empty())
                return c.fail(tw + ": 'on' names the event");
            if (!(tr.blend_time >= 0))
                return c.fail(tw + ": 'blend_time' must not be negative");
            u32 target = 0;
            while (target < state_names.size() && state_names[target] != to)
                ++target;
            if (target == state_names.size())
                return c.fail(tw + ": no state '" + to + "' in the layer");
            tr.event = NameId32(on.c_str()).value();
            tr.target = target;
            tr.key = key.empty() ? 0 : NameId32(key.c_str()).value();
            out.transitions.push_back(tr);
        }
    }
    if (!ok)
        return false;
    if (const ConfigValue *list = array_of(s, "events", where, c, ok)) {
        for (u32 i = 0; i < list->items().size(); ++i) {
            const ConfigValue &e = list->items()[i];
            std::string ew = where + ".events[" + std::to_string(i) + "]";
            if (e.kind() != ConfigKind::Object)
                return c.fail(ew + ": must be an object");
            if (const char *key = unknown_key(e, {"time", "name", "internal"}))
                return c.fail(ew + ": unknown key '" + key + "'");
            std::string event;
            bool internal = false;
            test::StateSource::Event ev;
            if (!number_of(e, "time", ev.time, ew, c) || !string_of(e, "name", event, ew, c) ||
                !bool_of(e, "internal", internal, ew, c))
                return false;
            if (event.empty() || !(ev.time >= 0))
                return c.fail(ew + ": needs a 'name' and a 'time' of 0 or more");
            ev.id = NameId32(event.c_str()).value();
            ev.kind = internal ? 1 : 0;
            u32 at = u32(out.events.size());
            while (at > 0 && out.events[at - 1].time > ev.time)
                --at;
            out.events.insert(out.events.begin() + at, ev);
        }
    }
    return ok;
}

bool compile_state_machine(const ConfigValue &root, std::vector<u8> &out_bytes, Context &c)
{
    std::string unreadable;
    if (find_unreadable_value(root, unreadable))
        return c.fail("cannot read the value of '" + unreadable + "'");
    if (const char *key = unknown_key(root, {"variables", "bone_weight_sets", "layers"}))
        return c.fail(std::string("unknown key '") + key + "'");
    test::StateMachineSource sm;
    std::vector<std::string> variables, sets;
    bool ok;
    if (const ConfigValue *list = array_of(root, "variables", "variables", c, ok)) {
        for (u32 i = 0; i < list->items().size(); ++i) {
            const ConfigValue &v = list->items()[i];
            std::string w = "variables[" + std::to_string(i) + "]";
            std::string name;
            f32 value = 0;
            if (v.kind() != ConfigKind::Object || unknown_key(v, {"name", "value"}))
                return c.fail(w + ": must be an object of 'name' and 'value'");
            if (!string_of(v, "name", name, w, c) || !number_of(v, "value", value, w, c))
                return false;
            if (name.empty())
                return c.fail(w + ": needs a 'name'");
            variables.push_back(name);
            sm.variable_names.push_back(NameId32(name.c_str()).value());
            sm.variable_defaults.push_back(value);
        }
    }
    if (!ok)
        return false;
    if (const ConfigValue *list = array_of(root, "bone_weight_sets", "bone_weight_sets", c, ok)) {
        for (u32 i = 0; i < list->items().size(); ++i) {
            const ConfigValue &v = list->items()[i];
            std::string w = "bone_weight_sets[" + std::to_string(i) + "]";
            std::string name;
            if (v.kind() != ConfigKind::Object || unknown_key(v, {"name", "weights"}))
                return c.fail(w + ": must be an object of 'name' and 'weights'");
            if (!string_of(v, "name", name, w, c))
                return false;
            const ConfigValue *weights = v.find("weights");
            if (!weights || weights->kind() != ConfigKind::Array)
                return c.fail(w + ": 'weights' must be an array");
            std::vector<f32> set;
            for (const ConfigValue &x : weights->items()) {
                if (!is_number(x))
                    return c.fail(w + ": 'weights' must hold numbers");
                set.push_back(x.to_float());
            }
            sets.push_back(name);
            sm.bone_weight_sets.push_back(set);
        }
    }
    if (!ok)
        return false;
    const ConfigValue *layers = array_of(root, "layers", "layers", c, ok);
    if (!ok)
        return false;
    for (u32 l = 0; layers && l < layers->items().size(); ++l) {
        const ConfigValue &layer = layers->items()[l];
        std::string lw = "layers[" + std::to_string(l) + "]";
        if (layer.kind() != ConfigKind::Object)
            return c.fail(lw + ": must be an object");
        if (const char *key = unknown_key(layer, {"initial", "states"}))
            return c.fail(lw + ": unknown key '" + key + "'");
        const ConfigValue *states = array_of(layer, "states", lw, c, ok);
        if (!ok)
            return false;
        std::vector<std::string> names;
        for (u32 i = 0; states && i < states->items().size(); ++i) {
            const ConfigValue *n = states->items()[i].kind() == ConfigKind::Object ? states->items()[i].find("name") : nullptr;
            names.push_back(n && n->kind() == ConfigKind::String ? n->to_string() : "");
        }
        test::LayerSource out;
        for (u32 i = 0; states && i < states->items().size(); ++i) {
            test::StateSource state;
            if (!compile_state(states->items()[i], lw + ".states[" + std::to_string(i) + "]", variables, sets, names,
                               state, c))
                return false;
            out.states.push_back(state);
        }
        std::string initial;
        if (!string_of(layer, "initial", initial, lw, c))
            return false;
        out.initial_state = 0xFFFFFFFFu;
        if (!initial.empty()) {
            u32 i = 0;
            while (i < names.size() && names[i] != initial)
                ++i;
            if (i == names.size())
                return c.fail(lw + ": no state '" + initial + "' to start in");
            out.initial_state = i;
        }
        sm.layers.push_back(out);
    }
    out_bytes = test::write_state_machine(sm);
    return true;
}

bool compile_bones(const ConfigValue &root, std::vector<u8> &out_bytes, Context &c)
{
    if (const char *key = unknown_key(root, {"bones"}))
        return c.fail(std::string("unknown key '") + key + "'");
    const ConfigValue *bones = root.find("bones");
    if (!bones || bones->kind() != ConfigKind::Array)
        return c.fail("'bones' must be an array of names");
    std::vector<std::string> names;
    for (const ConfigValue &b : bones->items()) {
        if (b.kind() != ConfigKind::String)
            return c.fail("'bones' must hold names");
        names.push_back(b.to_string());
    }
    out_bytes = test::write_bones(names);
    return true;
}

template <typename F>
bool compile_text(const char *text, u64 size, std::string &out_error, F &&compile)
{
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + size, *root);
    std::string word;
    u32 line = 0;
    Context c;
    bool ok;
    if (find_unreadable_word(text, size, word, line)) {
        out_error = std::to_string(line) + ": cannot read '" + word + "'";
        ok = false;
    } else {
        ok = compile(*root, c);
        if (!ok)
            out_error = with_source_line(text, size, c.error);
    }
    destroy_config_root(root);
    return ok;
}

} // namespace

bool compile_float_expression(const std::string &text, const std::vector<std::string> &variables,
                              std::vector<u8> &out_code, std::string &out_error)
{
    test::Expression e;
    ExpressionParser parser(text, variables, e);
    if (!parser.parse(out_error))
        return false;
    out_code.insert(out_code.end(), e.bytes().begin(), e.bytes().end());
    return true;
}

bool compile_state_machine_source(const char *text, u64 size, std::vector<u8> &out_bytes, std::string &out_error)
{
    return compile_text(text, size, out_error,
                        [&](const ConfigValue &root, Context &c) { return compile_state_machine(root, out_bytes, c); });
}

bool compile_bones_source(const char *text, u64 size, std::vector<u8> &out_bytes, std::string &out_error)
{
    return compile_text(text, size, out_error,
                        [&](const ConfigValue &root, Context &c) { return compile_bones(root, out_bytes, c); });
}

} // namespace tallow
