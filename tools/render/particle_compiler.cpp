#include "tools/render/particle_compiler.h"

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "render/particles/particle_effect_resource.h"
#include "tests/support/writers/particle_effect_writer.h"
#include "tools/source_check.h"

#include <array>
#include <cstring>

namespace tallow {

namespace {

// Operand kinds, one letter per source item (S takes none):
//   c channel   o channel or "none"   a channel, written as a float   S the first channel's size
//   f float     u unsigned integer    i signed integer   s system index
//   C scalar curve (20 words)   V vector curve (40 words)   B 10 (time, count) pairs (20 words)
struct OpName {
    const char *name;
    u32 opcode;
    const char *kinds;
};

const OpName spawn_ops[] = {
    {"zero", 0, "cS"},          {"random_float", 1, "cff"},      {"cone_velocity", 2, "cfffffff"},
    {"sphere_point", 3, "cff"}, {"box_point", 4, "cffffff"},    {"random_integer", 5, "cii"},
    {"spawn_velocity", 6, "c"}, {"copy", 7, "ccS"},             {"box_velocity", 8, "cffffff"},
    {"random_frame", 9, "ccffffff"}, {"random_direction", 10, "cffffff"},
};

const OpName simulate_ops[] = {
    {"age", 0, "cc"},
    {"euler", 1, "cc"},
    {"euler_curve", 2, "ccccCu"},
    {"acceleration", 3, "cfff"},
    {"frames", 4, "cuuuf"},
    {"curve_add", 5, "ccccC"},
    {"ground", 6, "ccfff"},
    {"emit_rate", 7, "cafscf"},
    {"emit_spacing", 8, "ccfscf"},
    {"noise", 9, "cccfffffffffffffC"},
    {"wrap", 10, "cffffff"},
    {"emit_continuous", 11, "fCs"},
    {"bursts", 12, "Bs"},
    {"grid_collide", 13, "cccffffuf"},
    {"grow", 14, "cccffff"},
    {"trail", 15, "cc"},
    {"follow", 16, "coo"},
};

const OpName output_ops[] = {
    {"vector", 0, "cu"},        {"constant_float", 1, "fuu"}, {"constant_word", 2, "uu"},
    {"curve_scale", 3, "cccuCuu"}, {"colour", 4, "ccCVuuo"}, {"float", 5, "cu"},
    {"angle", 6, "cu"},         {"floor", 7, "cu"},           {"distance_fade", 8, "cuffff"},
    {"drop_transparent", 9, "u"}, {"speed_scale", 10, "cuffff"}, {"velocity_frame", 11, "cuuf"},
    {"direction", 12, "cu"},
};

const char *const semantics[8] = {"position", "normal",   "tangent",      "binormal",
                                  "texcoord", "color",    "blendindices", "blendweights"};
const char *const element_types[11] = {"float1", "float2", "float3", "float4", "ubyte4_norm", "short2",
                                       "short4", "int1",   "int2",   "int3",   "int4"};

bool is_number(const ConfigValue &v) { return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float; }

struct Compiler {
    explicit Compiler(std::string &e) : error(e) {}
    std::string &error;
    std::vector<std::string> channel_names;
    std::vector<u32> channel_sizes;
    u32 system_count = 0;

    bool fail(const std::string &what)
    {
        error = what;
        return false;
    }

    bool channel(const ConfigValue &v, u32 &out)
    {
        if (v.kind() != ConfigKind::String)
            return fail("a channel operand is not a channel name");
        u32 offset = 0;
        for (size_t k = 0; k < channel_names.size(); ++k) {
            if (channel_names[k] == v.to_string()) {
                out = offset;
                return true;
            }
            offset += channel_sizes[k];
        }
        return fail(std::string("'") + v.to_string() + "' is not a channel of this system");
    }

    u32 size_of_offset(u32 offset) const
    {
        u32 at = 0;
        for (u32 s : channel_sizes) {
            if (at == offset)
                return s;
            at += s;
        }
        return 0;
    }

    bool curve(const ConfigValue &v, u32 values, std::vector<u32> &out)
    {
        if (v.kind() != ConfigKind::Array || v.count() < 1 || v.count() > 10)
            return fail("a curve is not an array of 1 to 10 keys");
        std::vector<std::pair<f32, f32>> scalar;
        std::vector<std::array<f32, 4>> vector;
        for (const ConfigValue &key : v.items()) {
            if (key.kind() != ConfigKind::Array || key.count() != 1 + values)
                return fail(values == 1 ? "a curve key is not [time value]" : "a curve key is not [time x y z]");
            for (const ConfigValue &n : key.items())
                if (!is_number(n))
                    return fail("a curve key holds something other than numbers");
            if (values == 1)
                scalar.push_back({key.items()[0].to_float(), key.items()[1].to_float()});
            else
                vector.push_back({key.items()[0].to_float(), key.items()[1].to_float(), key.items()[2].to_float(),
                                  key.items()[3].to_float()});
        }
        std::vector<u32> words = values == 1 ? particle_curve(scalar) : particle_curve3(vector);
        out.insert(out.end(), words.begin(), words.end());
        return true;
    }

    bool op(const ConfigValue &v, const OpName *table, size_t table_size, ParticleOpSource &out)
    {
        if (v.kind() != ConfigKind::Array || v.count() < 1 || v.items()[0].kind() != ConfigKind::String)
            return fail("an operator is not an array starting with its name");
        const char *name = v.items()[0].to_string();
        const OpName *found = nullptr;
        for (size_t i = 0; i < table_size; ++i)
            if (std::strcmp(table[i].name, name) == 0)
                found = &table[i];
        if (!found)
            return fail(std::string("'") + name + "' is not an operator of this stream");
        out.opcode = found->opcode;
        u32 item = 1;
        for (const char *k = found->kinds; *k; ++k) {
            if (*k == 'S') {
                out.operands.push_back(out.operands.empty() ? 0 : size_of_offset(out.operands[0]));
                continue;
            }
            if (item >= v.count())
                return fail(std::string("operator '") + name + "' has too few operands");
            const ConfigValue &a = v.items()[item++];
            u32 word = 0;
            switch (*k) {
            case 'c':
                if (!channel(a, word))
                    return false;
                break;
            case 'o':
                if (a.kind() == ConfigKind::String && std::strcmp(a.to_string(), "none") == 0)
                    word = 0xFFFFFFFFu;
                else if (!channel(a, word))
                    return false;
                break;
            case 'a':
                if (!channel(a, word))
                    return false;
                word = bits(f32(word));
                break;
            case 'f':
                if (!is_number(a))
                    return fail(std::string("operator '") + name + "' expects a number");
                word = bits(a.to_float());
                break;
            case 'u':
            case 's':
                if (a.kind() == ConfigKind::Bool) {
                    word = a.to_bool() ? 1 : 0;
                    break;
                }
                if (a.kind() != ConfigKind::Integer || a.to_integer() < 0)
                    return fail(std::string("operator '") + name + "' expects a whole number of 0 or more");
                word = u32(a.to_integer());
                break;
            case 'i':
                if (a.kind() != ConfigKind::Integer)
                    return fail(std::string("operator '") + name + "' expects a whole number");
                word = u32(a.to_integer());
                break;
            case 'C':
            case 'V':
                if (!curve(a, *k == 'C' ? 1 : 3, out.operands))
                    return false;
                continue;
            case 'B': {
                if (a.kind() != ConfigKind::Array || a.count() > 10)
                    return fail("bursts are not an array of up to 10 [time count] pairs");
                std::vector<u32> pairs;
                for (const ConfigValue &p : a.items()) {
                    if (p.kind() != ConfigKind::Array || p.count() != 2 || !is_number(p.items()[0]) ||
                        p.items()[1].kind() != ConfigKind::Integer || p.items()[1].to_integer() < 0)
                        return fail("a burst is not [time count]");
                    pairs.push_back(bits(p.items()[0].to_float()));
                    pairs.push_back(u32(p.items()[1].to_integer()));
                }
                while (pairs.size() < 20) { // unused pairs never come due
                    pairs.push_back(bits(3.4e38f));
                    pairs.push_back(0);
                }
                out.operands.insert(out.operands.end(), pairs.begin(), pairs.end());
                continue;
            }
            }
            out.operands.push_back(word);
        }
        if (item != v.count())
            return fail(std::string("operator '") + name + "' has too many operands");
        return true;
    }

    bool stream(const ConfigValue *v, const OpName *table, size_t table_size, std::vector<ParticleOpSource> &out)
    {
        if (!v)
            return true;
        if (v->kind() != ConfigKind::Array)
            return fail("an operator stream is not an array of operators");
        for (const ConfigValue &item : v->items()) {
            ParticleOpSource op;
            if (!this->op(item, table, table_size, op))
                return false;
            out.push_back(op);
        }
        return true;
    }

    bool emitter(const ConfigValue &v, ParticleEmitterSource &out)
    {
        if (v.kind() != ConfigKind::Object)
            return fail("an emitter is not an object");
        if (const char *key = unknown_key(v, {"material", "sort", "pivot", "rotation", "vertex_colour", "stride",
                                              "elements", "output"}))
            return fail(std::string("an emitter has an unknown key '") + key + "'");
        const ConfigValue *material = v.find("material");
        if (!material || material->kind() != ConfigKind::String)
            return fail("an emitter names no material");
        out.material = NameId32(material->to_string()).value();
        const char *flags[] = {"sort", "pivot", "rotation", "vertex_colour"};
        const u32 bits_of[] = {1, particle_emitter_flags::pivot, particle_emitter_flags::rotation,
                               particle_emitter_flags::vertex_colour};
        for (u32 i = 0; i < 4; ++i)
            if (const ConfigValue *f = v.find(flags[i])) {
                if (f->kind() != ConfigKind::Bool)
                    return fail(std::string("emitter flag '") + flags[i] + "' is not true or false");
                if (f->to_bool())
                    out.flags |= bits_of[i];
            }
        const ConfigValue *stride = v.find("stride");
        if (!stride || stride->kind() != ConfigKind::Integer || stride->to_integer() <= 0)
            return fail("an emitter has no stride (vertex bytes)");
        out.stride = u32(stride->to_integer());
        if (const ConfigValue *elements = v.find("elements")) {
            if (elements->kind() != ConfigKind::Array)
                return fail("'elements' is not an array");
            for (const ConfigValue &e : elements->items()) {
                if (e.kind() != ConfigKind::Array || e.count() < 2 || e.count() > 3 ||
                    e.items()[0].kind() != ConfigKind::String || e.items()[1].kind() != ConfigKind::String)
                    return fail("a vertex element is not [semantic type index?]");
                ParticleElementSource element;
                element.semantic = 99;
                for (u32 s = 0; s < 8; ++s)
                    if (std::strcmp(semantics[s], e.items()[0].to_string()) == 0)
                        element.semantic = s;
                element.channel_type = 99;
                for (u32 t = 0; t < 11; ++t)
                    if (std::strcmp(element_types[t], e.items()[1].to_string()) == 0)
                        element.channel_type = t;
                if (element.semantic == 99)
                    return fail(std::string("'") + e.items()[0].to_string() + "' is not a vertex semantic");
                if (element.channel_type == 99)
                    return fail(std::string("'") + e.items()[1].to_string() + "' is not a vertex element type");
                if (e.count() == 3) {
                    if (e.items()[2].kind() != ConfigKind::Integer || e.items()[2].to_integer() < 0)
                        return fail("a semantic index is not a whole number");
                    element.semantic_index = u32(e.items()[2].to_integer());
                }
                out.elements.push_back(element);
            }
        }
        return stream(v.find("output"), output_ops, std::size(output_ops), out.output);
    }

    bool system(const ConfigValue &v, ParticleSystemSource &out)
    {
        if (v.kind() != ConfigKind::Object)
            return fail("a system is not an object");
        if (const char *key =
                unknown_key(v, {"capacity", "channels", "position", "spawn", "simulate", "emitters"}))
            return fail(std::string("a system has an unknown key '") + key + "'");
        const ConfigValue *capacity = v.find("capacity");
        if (!capacity || capacity->kind() != ConfigKind::Integer || capacity->to_integer() <= 0)
            return fail("a system has no capacity");
        out.capacity = u32(capacity->to_integer());
        channel_names.clear();
        channel_sizes.clear();
        const ConfigValue *channels = v.find("channels");
        if (!channels || channels->kind() != ConfigKind::Array)
            return fail("a system has no channels");
        for (const ConfigValue &c : channels->items()) {
            if (c.kind() != ConfigKind::Array || c.count() != 2 || c.items()[0].kind() != ConfigKind::String ||
                c.items()[1].kind() != ConfigKind::String)
                return fail("a channel is not [name kind]");
            const char *kind = c.items()[1].to_string();
            if (std::strcmp(kind, "float") != 0 && std::strcmp(kind, "vector") != 0)
                return fail(std::string("channel kind '") + kind + "' is not float or vector");
            channel_names.push_back(c.items()[0].to_string());
            channel_sizes.push_back(std::strcmp(kind, "float") == 0 ? 4 : 16);
        }
        out.channels = channel_sizes;
        if (const ConfigValue *p = v.find("position")) {
            if (p->kind() != ConfigKind::Array || p->count() != 3 || !is_number(p->items()[0]) ||
                !is_number(p->items()[1]) || !is_number(p->items()[2]))
                return fail("a system position is not [x y z]");
            set_translation(out.pose, {p->items()[0].to_float(), p->items()[1].to_float(), p->items()[2].to_float()});
        }
        if (!stream(v.find("spawn"), spawn_ops, std::size(spawn_ops), out.spawn) ||
            !stream(v.find("simulate"), simulate_ops, std::size(simulate_ops), out.simulate))
            return false;
        if (const ConfigValue *emitters = v.find("emitters")) {
            if (emitters->kind() != ConfigKind::Array)
                return fail("'emitters' is not an array");
            for (const ConfigValue &e : emitters->items()) {
                ParticleEmitterSource emitter;
                if (!this->emitter(e, emitter))
                    return false;
                out.emitters.push_back(emitter);
            }
        }
        return true;
    }

    bool effect(const ConfigValue &root, ParticleEffectSource &out)
    {
        if (root.kind() != ConfigKind::Object)
            return fail("an effect source is an object");
        if (const char *key = unknown_key(root, {"duration", "systems"}))
            return fail(std::string("unknown key '") + key + "'");
        const ConfigValue *duration = root.find("duration");
        if (!duration || !is_number(*duration))
            return fail("the effect has no duration");
        out.duration = duration->to_float();
        const ConfigValue *systems = root.find("systems");
        if (!systems || systems->kind() != ConfigKind::Array || systems->count() == 0)
            return fail("the effect has no systems");
        system_count = systems->count();
        for (const ConfigValue &s : systems->items()) {
            ParticleSystemSource system;
            if (!this->system(s, system))
                return false;
            out.systems.push_back(system);
        }
        return true;
    }
};

} // namespace

bool compile_particle_source(const char *text, u64 size_bytes, std::vector<u8> &out, std::string &error)
{
    ConfigValue *root = parse_source_text(text, size_bytes, error);
    if (!root)
        return false;
    Compiler compiler(error);
    ParticleEffectSource effect;
    const bool ok = compiler.effect(*root, effect);
    destroy_config_root(root);
    if (!ok) {
        error = with_source_line(text, size_bytes, error);
        return false;
    }
    std::vector<u8> bytes = write_particle_effect(effect);
    const char *reason = nullptr;
    ParticleEffectResource *read = read_particle_effect(bytes.data(), bytes.size(), default_allocator(), &reason);
    if (!read) {
        error = std::string("the engine would refuse this effect: ") + reason;
        return false;
    }
    destroy_particle_effect(read);
    out = std::move(bytes);
    return true;
}

} // namespace tallow
