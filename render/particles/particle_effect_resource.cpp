#include "render/particles/particle_effect_resource.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "render/resources/render_resource.h"
#include "resource/resource_manager.h"

#include <cmath>
#include <cstring>
#include <new>

namespace tallow {

namespace {

constexpr u8 spawn_words[particle_spawn_op_count] = {2, 3, 8, 3, 7, 3, 1, 3, 7, 8, 7};
constexpr u8 simulate_words[particle_simulate_op_count] = {2, 2, 25, 4, 5, 24, 5, 6, 6, 36, 7, 22, 21, 9, 7, 2, 3};
constexpr u8 output_words[particle_output_op_count] = {2, 3, 2, 26, 65, 2, 2, 2, 6, 1, 6, 4, 2};

constexpr u32 no_channel = 0xFFFFFFFFu;
constexpr u32 any_size = 0;

f32 as_f32(u32 word)
{
    f32 f;
    memcpy(&f, &word, 4);
    return f;
}

u32 load_u32(const u8 *p)
{
    u32 v;
    memcpy(&v, p, 4);
    return v;
}

// Checks of one effect; every failure sets `reason` and returns false.
struct Checker {
    const u8 *bytes;
    u64 size;
    const char *reason = nullptr;
    u32 system_count = 0;

    bool fail(const char *why)
    {
        reason = why;
        return false;
    }
    /// [at, at + bytes) inside the effect and `at` 4-aligned.
    bool inside(u64 at, u64 bytes) const { return at % 4 == 0 && at <= size && bytes <= size - at; }
};

// The channel whose per-particle offset is `operand`, or no_channel.
u32 channel_at(const ParticleSystemInfo &s, u32 operand)
{
    for (u32 k = 0; k < s.channel_count; ++k)
        if (s.channel_offsets[k] == operand)
            return k;
    return no_channel;
}

bool check_channel(Checker &c, const ParticleSystemInfo &s, u32 operand, u32 size)
{
    u32 k = channel_at(s, operand);
    if (k == no_channel)
        return c.fail("a channel operand names no channel");
    if (size != any_size && s.channel_sizes[k] != size)
        return c.fail("a channel operand names a channel of the wrong size");
    return true;
}

bool check_float(Checker &c, const ParticleSystemInfo &s, u32 operand) { return check_channel(c, s, operand, 4); }
bool check_vector(Checker &c, const ParticleSystemInfo &s, u32 operand) { return check_channel(c, s, operand, 16); }

bool check_target(Checker &c, u32 target)
{
    return target < c.system_count || c.fail("a spawn request names a system past the effect's count");
}

bool check_write(Checker &c, u64 offset, u64 bytes, u32 stride)
{
    return offset + bytes <= stride || c.fail("an output op writes past the vertex stride");
}

bool check_spawn_op(Checker &c, const ParticleSystemInfo &s, u32 op, const u32 *w)
{
    switch (op) {
    case 0:
        return check_channel(c, s, w[0], any_size) &&
               (s.channel_sizes[channel_at(s, w[0])] == w[1] || c.fail("an element size differs from its channel's"));
    case 1:
    case 5:
        return check_float(c, s, w[0]);
    case 2:
    case 3:
    case 4:
    case 6:
    case 8:
    case 10:
        return check_vector(c, s, w[0]);
    case 7: {
        if (!check_channel(c, s, w[0], any_size) || !check_channel(c, s, w[1], any_size))
            return false;
        u32 a = s.channel_sizes[channel_at(s, w[0])], b = s.channel_sizes[channel_at(s, w[1])];
        return (a == w[2] && b == w[2]) || c.fail("a copy's element size differs from its channels'");
    }
    case 9:
        return check_vector(c, s, w[0]) && check_vector(c, s, w[1]);
    default:
        return true;
    }
}

bool check_simulate_op(Checker &c, const ParticleSystemInfo &s, u32 op, const u32 *w)
{
    switch (op) {
    case 0:
        return check_float(c, s, w[0]) && check_float(c, s, w[1]);
    case 1:
        return check_vector(c, s, w[0]) && check_vector(c, s, w[1]);
    case 2:
        return check_vector(c, s, w[0]) && check_vector(c, s, w[1]) && check_float(c, s, w[2]) &&
               check_float(c, s, w[3]);
    case 3:
    case 10:
        return check_vector(c, s, w[0]);
    case 4:
        return check_float(c, s, w[0]) && (w[2] >= w[1] || c.fail("a frame range ends before it starts"));
    case 5:
        return check_float(c, s, w[0]) && check_float(c, s, w[1]) && check_float(c, s, w[2]) &&
               check_float(c, s, w[3]);
    case 6:
        return check_vector(c, s, w[0]) && check_vector(c, s, w[1]);
    case 7: {
        // The accumulator's channel offset is stored as a float.
        f32 at = as_f32(w[1]);
        if (!(at >= 0.0f && at < 65536.0f) || at != std::floor(at))
            return c.fail("an accumulator operand is not a channel offset");
        return check_vector(c, s, w[0]) && check_float(c, s, u32(at)) && check_target(c, w[3]) &&
               check_vector(c, s, w[4]);
    }
    case 8:
        return check_vector(c, s, w[0]) && check_vector(c, s, w[1]) && check_target(c, w[3]) &&
               check_vector(c, s, w[4]);
    case 9:
        return check_vector(c, s, w[0]) && check_float(c, s, w[1]) && check_float(c, s, w[2]);
    case 11:
        return check_target(c, w[21]);
    case 12:
        return check_target(c, w[20]);
    case 13:
        if (w[7] < 2 || w[7] > particle_grid_max_points)
            return c.fail("a height grid has fewer than 2 or more than 256 points a side");
        return check_vector(c, s, w[0]) && check_vector(c, s, w[1]) && check_float(c, s, w[2]);
    case 14:
        return check_float(c, s, w[0]) && check_float(c, s, w[1]) && check_vector(c, s, w[2]);
    case 15:
        return check_vector(c, s, w[0]) && check_vector(c, s, w[1]);
    case 16:
        return check_vector(c, s, w[0]) && (w[1] == 0xFFFFFFFFu || check_vector(c, s, w[1])) &&
               (w[2] == 0xFFFFFFFFu || check_vector(c, s, w[2]));
    default:
        return true;
    }
}

bool check_output_op(Checker &c, const ParticleSystemInfo &s, u32 stride, u32 op, const u32 *w)
{
    switch (op) {
    case 0:
    case 12:
        return check_vector(c, s, w[0]) && check_write(c, w[1], 12, stride);
    case 1:
        return check_write(c, u64(w[1]) + u64(w[2]) * 4, 4, stride);
    case 2:
        return check_write(c, w[1], 4, stride);
    case 3:
        return check_float(c, s, w[0]) && check_float(c, s, w[1]) && check_float(c, s, w[2]) &&
               check_write(c, w[3], w[25] == 0 ? 4 : 8, stride);
    case 4:
        return check_float(c, s, w[0]) && check_float(c, s, w[1]) && check_write(c, w[62], 4, stride) &&
               ((w[63] & 0xFF) == 0 || check_float(c, s, w[64]));
    case 5:
    case 7:
        return check_float(c, s, w[0]) && check_write(c, w[1], 4, stride);
    case 6:
        return check_vector(c, s, w[0]) && check_write(c, w[1], 4, stride);
    case 8:
        return check_vector(c, s, w[0]) && check_write(c, w[1], 4, stride);
    case 9:
        return check_write(c, w[0], 4, stride);
    case 10:
        return check_vector(c, s, w[0]) && check_write(c, w[1], 8, stride);
    case 11:
        return check_vector(c, s, w[0]) && check_write(c, w[1], 12, stride) && check_write(c, w[2], 12, stride);
    default:
        return true;
    }
}

// Walks `op_count` records from `at`; fills `out` and adds the state bytes used.
bool check_stream(Checker &c, const ParticleSystemInfo &s, ParticleStream kind, u64 at, u32 op_count, u32 stride,
                  ParticleOpStream &out, u64 *state_bytes)
{
    if (!c.inside(at, 0))
        return c.fail("an operator stream lies outside the effect");
    u64 cursor = at;
    for (u32 i = 0; i < op_count; ++i) {
        if (!c.inside(cursor, 4))
            return c.fail("an operator stream runs past the end");
        u32 op = load_u32(c.bytes + cursor);
        u32 words = particle_op_words(kind, op);
        if (!c.inside(cursor + 4, u64(words) * 4))
            return c.fail("an operator's operands run past the end");
        u32 operands[65];
        memcpy(operands, c.bytes + cursor + 4, words * 4);
        bool ok = kind == ParticleStream::Spawn      ? check_spawn_op(c, s, op, operands)
                  : kind == ParticleStream::Simulate ? check_simulate_op(c, s, op, operands)
                                                     : check_output_op(c, s, stride, op, operands);
        if (!ok)
            return false;
        if (state_bytes && op < particle_simulate_op_count)
            *state_bytes += particle_op_state_bytes(op, operands);
        cursor += 4 + u64(words) * 4;
    }
    out.op_count = op_count;
    out.word_count = u32((cursor - at) / 4);
    out.words = reinterpret_cast<const u32 *>(at); // an offset until the bytes are copied
    return true;
}

bool check_emitter(Checker &c, const ParticleSystemInfo &s, u64 at, ParticleEmitterInfo &e)
{
    u32 w[particle_emitter_words];
    memcpy(w, c.bytes + at, sizeof w);
    e.material = w[0];
    e.flags = w[1];
    e.element_count = w[2];
    e.stride = w[53];
    if (e.stride < 4 || e.stride > particle_max_vertex_stride || e.stride % 4 != 0)
        return c.fail("an emitter's vertex stride is not 4 to 256 bytes in whole words");
    if (e.element_count > particle_max_vertex_elements)
        return c.fail("an emitter has more than 10 vertex elements");
    u32 packed = 0;
    for (u32 i = 0; i < e.element_count; ++i) {
        const u32 *v = w + 3 + i * 5;
        ParticleVertexElement &el = e.elements[i];
        el = {v[0], v[1], v[2], packed};
        u32 bytes = el.channel_type <= 10 ? vertex_channel_type_bytes(el.channel_type) : 0;
        packed += bytes;
        if (el.semantic > 7 || bytes == 0 || packed > e.stride)
            return c.fail("a vertex element is unknown or lies past the stride");
    }
    return check_stream(c, s, ParticleStream::Output, at + u64(w[55]), w[54], e.stride, e.output, nullptr);
}

bool check_system(Checker &c, u64 at, ParticleSystemInfo &s)
{
    const u8 *r = c.bytes + at;
    s.capacity = load_u32(r);
    s.channel_count = load_u32(r + 4);
    s.bytes_per_particle = load_u32(r + 8);
    if (s.capacity < 1 || s.capacity > particle_max_capacity)
        return c.fail("a system's capacity is not 1 to 65536");
    if (s.channel_count < 1 || s.channel_count > particle_max_channels)
        return c.fail("a system's channel count is not 1 to 16");
    u32 sum = 0;
    for (u32 k = 0; k < particle_max_channels; ++k) {
        i8 size;
        memcpy(&size, r + 12 + k, 1);
        if (k >= s.channel_count)
            continue;
        if (size != 4 && size != 16)
            return c.fail("a channel is neither 4 nor 16 bytes");
        s.channel_sizes[k] = u32(size);
        s.channel_offsets[k] = sum;
        sum += u32(size);
    }
    if (sum != s.bytes_per_particle)
        return c.fail("bytes per particle is not the sum of the channel sizes");
    memcpy(&s.local_pose, r + 28, sizeof s.local_pose);
    for (const auto &row : s.local_pose.m)
        for (f32 v : row)
            if (!std::isfinite(v))
                return c.fail("a system's pose is not finite");
    s.state_bytes = load_u32(r + 108);
    if (s.state_bytes > particle_max_state_bytes)
        return c.fail("a system's state is larger than 1 MiB");
    u64 state_used = 0;
    if (!check_stream(c, s, ParticleStream::Spawn, at + load_u32(r + 96), load_u32(r + 92), 0, s.spawn, nullptr) ||
        !check_stream(c, s, ParticleStream::Simulate, at + load_u32(r + 104), load_u32(r + 100), 0, s.simulate,
                      &state_used))
        return false;
    if (state_used > s.state_bytes)
        return c.fail("the stateful operators need more state than the system has");
    u32 emitters = load_u32(r + 112);
    u64 entry = at + load_u32(r + 116);
    for (u32 i = 0; i < emitters; ++i) {
        if (!c.inside(entry, 4))
            return c.fail("an emitter entry lies outside the effect");
        u32 type = load_u32(c.bytes + entry);
        entry += 4;
        if (type != 0)
            continue; // other emitter types are not built: skipped by their type word
        if (!c.inside(entry, particle_emitter_words * 4))
            return c.fail("an emitter description runs past the end");
        ParticleEmitterInfo e;
        if (!check_emitter(c, s, entry, e))
            return false;
        if (!s.emitters.push_back(e))
            return c.fail("no memory for the emitters");
        entry += particle_emitter_words * 4;
    }
    return true;
}

void resolve(ParticleOpStream &stream, const u8 *base)
{
    stream.words = reinterpret_cast<const u32 *>(base + reinterpret_cast<uintptr_t>(stream.words));
}

} // namespace

u32 particle_op_words(ParticleStream stream, u32 opcode)
{
    switch (stream) {
    case ParticleStream::Spawn:
        return opcode < particle_spawn_op_count ? spawn_words[opcode] : 0;
    case ParticleStream::Simulate:
        return opcode < particle_simulate_op_count ? simulate_words[opcode] : 0;
    case ParticleStream::Output:
        return opcode < particle_output_op_count ? output_words[opcode] : 0;
    }
    return 0;
}

u64 particle_op_state_bytes(u32 opcode, const u32 *operands)
{
    switch (opcode) {
    case 9:
    case 11:
    case 12:
        return 8;
    case 13:
        return particle_grid_state_head + 20 + u64(operands[7]) * operands[7] * 4;
    case 16:
        return 68;
    default:
        return 0;
    }
}

ParticleEffectResource *read_particle_effect(const u8 *bytes, u64 size_bytes, Allocator &allocator,
                                             const char **out_reason)
{
    Checker c{bytes, size_bytes};
    auto refuse = [&](const char *why) -> ParticleEffectResource * {
        if (out_reason)
            *out_reason = why ? why : c.reason;
        return nullptr;
    };
    if (!bytes || size_bytes < 8)
        return refuse("shorter than its 8-byte header");
    f32 duration = as_f32(load_u32(bytes));
    c.system_count = load_u32(bytes + 4);
    if (!std::isfinite(duration) || duration < 0.0f)
        return refuse("its duration is negative or not finite");
    if (c.system_count < 1 || c.system_count > particle_max_systems)
        return refuse("its system count is not 1 to 64");
    ParticleEffectResource *effect = make_new<ParticleEffectResource>(allocator, allocator);
    if (!effect)
        return refuse("no memory");
    effect->duration = duration;
    u64 at = 8;
    bool ok = effect->systems.push_back(ParticleSystemInfo(allocator)) || c.fail("no memory");
    for (u32 i = 0; ok && i < c.system_count; ++i) {
        if (i > 0)
            ok = effect->systems.push_back(ParticleSystemInfo(allocator)) || c.fail("no memory");
        if (ok && !c.inside(at, particle_system_record_bytes))
            ok = c.fail("a system record lies outside the effect");
        if (ok)
            ok = check_system(c, at, effect->systems[i]);
        if (ok && i + 1 < c.system_count)
            at += load_u32(bytes + at + 120);
    }
    if (ok) {
        effect->bytes = static_cast<u8 *>(allocator.allocate(size_bytes, 16));
        ok = effect->bytes || c.fail("no memory for the effect's bytes");
    }
    if (!ok) {
        destroy_particle_effect(effect);
        return refuse(nullptr);
    }
    memcpy(effect->bytes, bytes, size_bytes);
    effect->size_bytes = size_bytes;
    u32 index = 0;
    for (ParticleSystemInfo &s : effect->systems) {
        resolve(s.spawn, effect->bytes);
        resolve(s.simulate, effect->bytes);
        for (ParticleEmitterInfo &e : s.emitters) {
            resolve(e.output, effect->bytes);
            e.index = index++;
        }
    }
    effect->emitter_count = index;
    return effect;
}

void destroy_particle_effect(ParticleEffectResource *effect)
{
    if (!effect)
        return;
    Allocator &allocator = *effect->allocator;
    if (effect->bytes)
        allocator.deallocate(effect->bytes);
    delete_with_allocator(allocator, effect);
}

namespace {

void *load_particles(const ResourceLoadParams &params)
{
    const unsigned long long name = params.name.value();
    if (params.size_bytes > (64u << 20)) {
        log_message("particles", "particles resource %016llx: %llu bytes is too large", name,
                    (unsigned long long)params.size_bytes);
        return nullptr;
    }
    Array<u8> bytes(params.allocator);
    bytes.resize(u32(params.size_bytes));
    if (bytes.size() != params.size_bytes || !params.archive.read(bytes.data(), params.size_bytes)) {
        log_message("particles", "particles resource %016llx: cannot read its bytes", name);
        return nullptr;
    }
    const char *reason = nullptr;
    ParticleEffectResource *effect = read_particle_effect(bytes.data(), bytes.size(), params.allocator, &reason);
    if (!effect)
        log_message("particles", "particles resource %016llx is broken (%s); not loaded", name, reason);
    return effect;
}

void unload_particles(const ResourceUnloadParams &params)
{
    destroy_particle_effect(static_cast<ParticleEffectResource *>(params.data));
}

} // namespace

ResourceTypeCallbacks particle_resource_callbacks()
{
    ResourceTypeCallbacks callbacks;
    callbacks.load = load_particles;
    callbacks.unload = unload_particles;
    return callbacks;
}

} // namespace tallow
