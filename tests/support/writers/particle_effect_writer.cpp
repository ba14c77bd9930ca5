#include "tests/support/writers/particle_effect_writer.h"

#include "render/particles/particle_effect_resource.h"

#include <array>

namespace tallow {

namespace {

void put(std::vector<u8> &out, u32 word)
{
    const size_t at = out.size();
    out.resize(at + 4);
    memcpy(out.data() + at, &word, 4);
}

void put_at(std::vector<u8> &out, size_t at, u32 word) { memcpy(out.data() + at, &word, 4); }

void put_stream(std::vector<u8> &out, const std::vector<ParticleOpSource> &ops)
{
    for (const ParticleOpSource &op : ops) {
        put(out, op.opcode);
        for (u32 w : op.operands)
            put(out, w);
    }
}

u32 state_needed(const std::vector<ParticleOpSource> &ops)
{
    u64 sum = 0;
    for (const ParticleOpSource &op : ops)
        if (op.opcode < particle_simulate_op_count &&
            op.operands.size() >= particle_op_words(ParticleStream::Simulate, op.opcode))
            sum += particle_op_state_bytes(op.opcode, op.operands.data());
    return u32(sum);
}

} // namespace

std::vector<u32> particle_curve(const std::vector<std::pair<f32, f32>> &keys)
{
    std::vector<u32> w(20, 0);
    for (u32 i = 0; i < 10 && !keys.empty(); ++i) {
        const auto &k = keys[i < keys.size() ? i : keys.size() - 1];
        w[i] = bits(k.first);
        w[10 + i] = bits(k.second);
    }
    return w;
}

std::vector<u32> particle_curve3(const std::vector<std::array<f32, 4>> &keys)
{
    std::vector<u32> w(40, 0);
    for (u32 i = 0; i < 10 && !keys.empty(); ++i) {
        const auto &k = keys[i < keys.size() ? i : keys.size() - 1];
        w[i] = bits(k[0]);
        for (u32 c = 0; c < 3; ++c)
            w[10 + 3 * i + c] = bits(k[1 + c]);
    }
    return w;
}

std::vector<u8> write_particle_effect(const ParticleEffectSource &effect)
{
    std::vector<u8> out;
    put(out, bits(effect.duration));
    put(out, u32(effect.systems.size()));
    for (size_t si = 0; si < effect.systems.size(); ++si) {
        const ParticleSystemSource &s = effect.systems[si];
        const size_t record = out.size();
        out.resize(record + particle_system_record_bytes, 0);
        put_at(out, record, s.capacity);
        put_at(out, record + 4, u32(s.channels.size()));
        u32 sum = 0;
        for (size_t k = 0; k < s.channels.size() && k < 16; ++k) {
            out[record + 12 + k] = u8(s.channels[k]);
            sum += s.channels[k];
        }
        put_at(out, record + 8, sum);
        memcpy(out.data() + record + 28, &s.pose, 64);
        put_at(out, record + 92, u32(s.spawn.size()));
        put_at(out, record + 96, u32(out.size() - record));
        put_stream(out, s.spawn);
        put_at(out, record + 100, u32(s.simulate.size()));
        put_at(out, record + 104, u32(out.size() - record));
        put_stream(out, s.simulate);
        put_at(out, record + 108, s.state_bytes == 0xFFFFFFFFu ? state_needed(s.simulate) : s.state_bytes);
        put_at(out, record + 112, u32(s.emitters.size()));
        put_at(out, record + 116, u32(out.size() - record));
        std::vector<size_t> descriptions;
        for (const ParticleEmitterSource &e : s.emitters) {
            put(out, e.type);
            if (e.type != 0) {
                descriptions.push_back(0);
                continue;
            }
            descriptions.push_back(out.size());
            std::vector<u32> w(particle_emitter_words, 0);
            w[0] = e.material;
            w[1] = e.flags;
            w[2] = u32(e.elements.size());
            for (size_t i = 0; i < e.elements.size() && i < particle_max_vertex_elements; ++i) {
                w[3 + 5 * i] = e.elements[i].semantic;
                w[4 + 5 * i] = e.elements[i].channel_type;
                w[5 + 5 * i] = e.elements[i].semantic_index;
            }
            w[53] = e.stride;
            w[54] = u32(e.output.size());
            for (u32 word : w)
                put(out, word);
        }
        // Output streams after the list; word 55 points at them from each description.
        for (size_t i = 0; i < s.emitters.size(); ++i) {
            if (s.emitters[i].type != 0)
                continue;
            put_at(out, descriptions[i] + 55 * 4, u32(out.size() - descriptions[i]));
            put_stream(out, s.emitters[i].output);
        }
        if (si + 1 < effect.systems.size())
            put_at(out, record + 120, u32(out.size() - record));
    }
    return out;
}

} // namespace tallow
