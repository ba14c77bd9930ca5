#include "render/particles/particle_ops.h"

#include <cmath>
#include <cstring>

namespace tallow {

namespace {

constexpr f32 two_pi = 6.28318530717958647f;

inline f32 F(const u32 *w, u32 i)
{
    f32 f;
    memcpy(&f, w + i, 4);
    return f;
}

inline Vector3 load3(const f32 *v) { return {v[0], v[1], v[2]}; }
inline void store3(f32 *v, Vector3 x)
{
    v[0] = x.x;
    v[1] = x.y;
    v[2] = x.z;
}
inline void store4(f32 *v, Vector3 x, f32 w)
{
    store3(v, x);
    v[3] = w;
}
inline Vector3 box_draw(u32 &seed, const u32 *w) // min x y z, max x y z
{
    Vector3 r;
    r.x = particle_random_range(seed, F(w, 0), F(w, 3));
    r.y = particle_random_range(seed, F(w, 1), F(w, 4));
    r.z = particle_random_range(seed, F(w, 2), F(w, 5));
    return r;
}
inline Vector3 rotate(const Matrix4x4 &m, Vector3 v) { return transform_without_translation(m, v); }

// A unit axis perpendicular to `d`, chosen against z unless d lies close to z.
inline Vector3 perpendicular(Vector3 d)
{
    Vector3 reference = (d.z > -0.5f && d.z < 0.5f) ? Vector3{0, 0, 1} : Vector3{1, 0, 0};
    return normalize(cross(d, reference));
}

// age / lifetime as a curve position; a lifetime that is not positive counts as over.
inline f32 life_ratio(f32 age, f32 lifetime) { return lifetime > 0.0f ? age / lifetime : 1.0f; }

// A finite whole number modulo 2^32 (fmod is exact), as a conversion through a 64-bit
// integer gives for the values that fit one, without overflowing for those that do not.
inline u32 wrap_u32(f64 whole)
{
    f64 wrapped = std::fmod(whole, 4294967296.0);
    if (wrapped < 0.0)
        wrapped += 4294967296.0;
    return u32(wrapped);
}

// A float count of particles as a bounded integer (NaN and negatives: 0).
inline u32 count_of(f64 v)
{
    if (!(v >= 1.0))
        return 0;
    return v >= f64(particle_max_request) ? particle_max_request : u32(v);
}

inline u8 clamp_byte(f32 v)
{
    if (!(v > 0.0f))
        return 0; // NaN too
    return v >= 255.0f ? 255 : u8(v);
}

void append_event(Array<u8> &events, const void *record, u32 bytes)
{
    u32 at = events.size();
    events.resize(at + bytes);
    if (events.size() == at + bytes)
        memcpy(events.data() + at, record, bytes);
}

void spawn_event(Array<u8> &events, u32 system, Vector3 position, Vector3 velocity, u32 count)
{
    ParticleSpawnEvent e;
    e.system = system;
    e.position = position;
    e.velocity = velocity;
    e.count = count;
    append_event(events, &e, sizeof e);
}

} // namespace

i32 particle_random_int(u32 &seed, i32 a, i32 b)
{
    if (b <= a)
        return a;
    f64 v = std::floor(f64(a) + (f64(b) - f64(a) + 1.0) * f64(particle_random(seed)));
    return v > f64(b) ? b : i32(v);
}

Vector3 particle_hash_vector(u32 a, u32 b)
{
    u32 h1 = (a ^ b) * 1664525u + 1013904223u;
    u32 h2 = h1 * 1664525u + 1013904223u;
    // The top 24 bits, so the components stay below 1 in f32.
    return {f32(h1 >> 8) * (1.0f / 8388608.0f) - 1.0f, f32(h2 >> 8) * (1.0f / 8388608.0f) - 1.0f, 0.0f};
}

Vector3 particle_noise1(f32 t, u32 seed)
{
    if (!std::isfinite(t))
        return {};
    f64 fl = std::floor(f64(t));
    u32 i = wrap_u32(fl);
    f32 f = f32(f64(t) - fl);
    f32 s = (3.0f - 2.0f * f) * f * f;
    Vector3 a = particle_hash_vector(i, seed), b = particle_hash_vector(i + 1u, seed);
    return {a.x + (b.x - a.x) * s, a.y + (b.y - a.y) * s, 0.0f};
}

f32 evaluate_particle_curve(const f32 *c, f32 t)
{
    u32 i = 0;
    while (i < 9 && t > c[i + 1])
        ++i;
    if (i == 9)
        return c[10 + 9];
    if (t < c[0])
        return c[10];
    if (c[i] == c[i + 1])
        return c[10 + i];
    f32 s = (t - c[i]) / (c[i + 1] - c[i]);
    return (1.0f - s) * c[10 + i] + s * c[10 + i + 1];
}

Vector3 evaluate_particle_curve3(const f32 *c, f32 t)
{
    const f32 *v = c + 10;
    u32 i = 0;
    while (i < 9 && t > c[i + 1])
        ++i;
    if (i == 9)
        return load3(v + 27);
    if (t < c[0])
        return load3(v);
    if (c[i] == c[i + 1])
        return load3(v + 3 * i);
    f32 s = (t - c[i]) / (c[i + 1] - c[i]);
    return load3(v + 3 * i) * (1.0f - s) + load3(v + 3 * (i + 1)) * s;
}

void particle_grid_init(u8 *grid, f32 centre_x, f32 centre_y, f32 size, u32 n)
{
    ParticleGridHeader h{centre_x - size * 0.5f, centre_y - size * 0.5f, size / f32(n - 1), n, 20};
    memcpy(grid, &h, sizeof h);
    f32 nothing = particle_grid_nothing;
    for (u64 i = 0; i < u64(n) * n; ++i)
        memcpy(grid + 20 + i * 4, &nothing, 4);
}

f32 particle_grid_sample(const u8 *grid, f32 x, f32 y, Vector3 *out_normal)
{
    ParticleGridHeader h;
    memcpy(&h, grid, sizeof h);
    if (out_normal)
        *out_normal = {};
    if (!(h.spacing > 0.0f) || h.n < 2)
        return particle_grid_nothing;
    f32 fx = (x - h.origin_x) / h.spacing, fy = (y - h.origin_y) / h.spacing;
    f32 cx = std::floor(fx), cy = std::floor(fy);
    // Cells 0 .. n - 2; NaN fails both comparisons.
    if (!(cx >= 0.0f && cx < f32(h.n - 1) && cy >= 0.0f && cy < f32(h.n - 1)))
        return particle_grid_nothing;
    u32 ix = u32(cx), iy = u32(cy);
    f32 sx = fx - cx, sy = fy - cy;
    const f32 *heights = reinterpret_cast<const f32 *>(grid + 20);
    f32 h00, h10, h01, h11;
    memcpy(&h00, heights + iy * h.n + ix, 4);
    memcpy(&h10, heights + iy * h.n + ix + 1, 4);
    memcpy(&h01, heights + (iy + 1) * h.n + ix, 4);
    memcpy(&h11, heights + (iy + 1) * h.n + ix + 1, 4);
    if (h00 == particle_grid_nothing || h10 == particle_grid_nothing || h01 == particle_grid_nothing ||
        h11 == particle_grid_nothing)
        return particle_grid_nothing; // a blend with "nothing" would be a wall of -3e38
    f32 bottom = h00 + (h10 - h00) * sx, top = h01 + (h11 - h01) * sx;
    if (out_normal) {
        f32 gx = ((h10 - h00) * (1.0f - sy) + (h11 - h01) * sy) / h.spacing;
        f32 gy = (top - bottom) / h.spacing;
        *out_normal = normalize(Vector3{-gx, -gy, 1.0f});
    }
    return bottom + (top - bottom) * sy;
}

void particle_swap_remove(const ParticleDataView &view, u32 i)
{
    u32 last = --*view.live_count;
    if (i == last)
        return;
    const ParticleSystemInfo &s = *view.system;
    for (u32 k = 0; k < s.channel_count; ++k) {
        u32 size = s.channel_sizes[k];
        u8 *channel = view.data + size_t(view.capacity) * s.channel_offsets[k];
        memcpy(channel + size_t(i) * size, channel + size_t(last) * size, size);
    }
}

void run_particle_spawn_ops(const u32 *&cursor, const ParticleDataView &view, u32 count, const Matrix4x4 &pose,
                            Vector3 velocity, u32 &seed)
{
    const u32 op = cursor[0];
    const u32 *w = cursor + 1;
    cursor += 1 + particle_op_words(ParticleStream::Spawn, op);
    const u32 live = *view.live_count;
    const u32 first = live - count;
    const Vector3 position = translation(pose);
    switch (op) {
    case 0:
        memset(view.data + size_t(view.capacity) * w[0] + size_t(first) * w[1], 0, size_t(count) * w[1]);
        break;
    case 1: {
        f32 *c = view.floats(w[0]);
        for (u32 i = first; i < live; ++i)
            c[i] = particle_random_range(seed, F(w, 1), F(w, 2));
        break;
    }
    case 2: {
        Vector3 axis{F(w, 5), F(w, 6), F(w, 7)};
        Vector3 u = perpendicular(axis);
        Vector3 v = normalize(cross(axis, u));
        f32 *c = view.vectors(w[0]);
        for (u32 i = first; i < live; ++i) {
            f32 speed = particle_random_range(seed, F(w, 1), F(w, 2));
            f32 theta = particle_random_range(seed, F(w, 3), F(w, 4));
            f32 phi = particle_random(seed) * two_pi;
            Vector3 dir = u * (std::sin(theta) * std::cos(phi)) + v * (std::sin(theta) * std::sin(phi)) +
                          axis * std::cos(theta);
            store4(c + 4 * size_t(i), velocity + rotate(pose, dir * speed), 0.0f);
        }
        break;
    }
    case 3: {
        f32 *c = view.vectors(w[0]);
        for (u32 i = first; i < live; ++i) {
            f32 r = particle_random_range(seed, F(w, 1), F(w, 2));
            f32 a = particle_random(seed) * two_pi - two_pi * 0.5f;
            f32 b = particle_random(seed) * two_pi;
            Vector3 d{std::sin(a) * std::cos(b), std::sin(a) * std::sin(b), std::cos(a)};
            store4(c + 4 * size_t(i), position + d * r, 0.0f);
        }
        break;
    }
    case 4: {
        f32 *c = view.vectors(w[0]);
        for (u32 i = first; i < live; ++i)
            store3(c + 4 * size_t(i), box_draw(seed, w + 1));
        break;
    }
    case 5: {
        f32 *c = view.floats(w[0]);
        for (u32 i = first; i < live; ++i)
            c[i] = f32(particle_random_int(seed, i32(w[1]), i32(w[2])));
        break;
    }
    case 6: {
        f32 *c = view.vectors(w[0]);
        for (u32 i = first; i < live; ++i)
            store3(c + 4 * size_t(i), velocity);
        break;
    }
    case 7: {
        const u8 *src = view.data + size_t(view.capacity) * w[1] + size_t(first) * w[2];
        u8 *dst = view.data + size_t(view.capacity) * w[0] + size_t(first) * w[2];
        memmove(dst, src, size_t(count) * w[2]);
        break;
    }
    case 8: {
        f32 *c = view.vectors(w[0]);
        for (u32 i = first; i < live; ++i)
            store4(c + 4 * size_t(i), rotate(pose, box_draw(seed, w + 1)) + velocity, 0.0f);
        break;
    }
    case 9: {
        f32 *a = view.vectors(w[0]), *b = view.vectors(w[1]);
        for (u32 i = first; i < live; ++i) {
            Vector3 d = rotate(pose, normalize(box_draw(seed, w + 2)));
            Vector3 p = perpendicular(d);
            store4(a + 4 * size_t(i), p, 0.0f);
            store4(b + 4 * size_t(i), cross(d, p), 0.0f);
        }
        break;
    }
    case 10: {
        f32 *c = view.vectors(w[0]);
        for (u32 i = first; i < live; ++i)
            store3(c + 4 * size_t(i), rotate(pose, normalize(box_draw(seed, w + 1))));
        break;
    }
    default:
        break;
    }
}

void run_particle_simulate_ops(const u32 *&cursor, u8 *&state, const ParticleDataView &view,
                               const ParticleSimulateFrame &frame, Array<u8> &events)
{
    const u32 op = cursor[0];
    const u32 *w = cursor + 1;
    cursor += 1 + particle_op_words(ParticleStream::Simulate, op);
    u8 *const my_state = state;
    if (op < particle_simulate_op_count)
        state += particle_op_state_bytes(op, w);
    const f32 dt = frame.dt;
    const Vector3 system_position = translation(frame.pose);
    u32 &live = *view.live_count;
    switch (op) {
    case 0: {
        f32 *age = view.floats(w[0]), *lifetime = view.floats(w[1]);
        for (u32 i = 0; i < live;) {
            age[i] += dt;
            if (age[i] > lifetime[i])
                particle_swap_remove(view, i); // examine the moved-in particle at i next
            else
                ++i;
        }
        break;
    }
    case 1: {
        f32 *p = view.vectors(w[0]), *v = view.vectors(w[1]);
        for (size_t k = 0, n = size_t(live) * 4; k < n; ++k)
            p[k] += v[k] * dt;
        break;
    }
    case 2: {
        f32 *p = view.vectors(w[0]), *v = view.vectors(w[1]), *age = view.floats(w[2]), *life = view.floats(w[3]);
        const f32 *curve = reinterpret_cast<const f32 *>(w + 4);
        const bool by_effect = w[24] != 0;
        const f32 effect_value = evaluate_particle_curve(curve, frame.effect_time);
        for (u32 i = 0; i < live; ++i) {
            f32 scale = (by_effect ? effect_value : evaluate_particle_curve(curve, life_ratio(age[i], life[i]))) * dt;
            for (u32 c = 0; c < 4; ++c)
                p[4 * size_t(i) + c] += v[4 * size_t(i) + c] * scale;
        }
        break;
    }
    case 3: {
        f32 *v = view.vectors(w[0]);
        const f32 ax = F(w, 1) * dt, ay = F(w, 2) * dt, az = F(w, 3) * dt;
        for (u32 i = 0; i < live; ++i) {
            v[4 * size_t(i)] += ax;
            v[4 * size_t(i) + 1] += ay;
            v[4 * size_t(i) + 2] += az;
        }
        break;
    }
    case 4: {
        f32 *frames = view.floats(w[0]);
        const u32 first = w[1], last = w[2];
        const bool loop = (w[3] & 0xFF) != 0;
        const f32 rate = F(w, 4);
        for (u32 i = 0; i < live; ++i) {
            frames[i] += rate * dt;
            // trunc(frame) > last, without converting a negative or huge float to an integer.
            if (f64(frames[i]) >= f64(last) + 1.0)
                frames[i] = loop ? frames[i] - f32(f64(last) - f64(first) + 1.0) : f32(last);
        }
        break;
    }
    case 5: {
        f32 *c = view.floats(w[0]), *scale = view.floats(w[1]), *age = view.floats(w[2]), *life = view.floats(w[3]);
        const f32 *curve = reinterpret_cast<const f32 *>(w + 4);
        for (u32 i = 0; i < live; ++i)
            c[i] += evaluate_particle_curve(curve, life_ratio(age[i], life[i])) * scale[i] * dt;
        break;
    }
    case 6: {
        f32 *p = view.vectors(w[0]), *v = view.vectors(w[1]);
        const f32 ground = system_position.z + F(w, 2), bounce = F(w, 3), keep = 1.0f - F(w, 4);
        for (u32 i = 0; i < live; ++i) {
            f32 *vi = v + 4 * size_t(i);
            if (p[4 * size_t(i) + 2] < ground && vi[2] < 0.0f) {
                vi[2] = -bounce * vi[2];
                for (u32 c = 0; c < 4; ++c)
                    vi[c] *= keep;
            }
        }
        break;
    }
    case 7: {
        f32 *p = view.vectors(w[0]), *acc = view.floats(u32(F(w, 1))), *v = view.vectors(w[4]);
        const f32 rate = F(w, 2), scale = F(w, 5);
        for (u32 i = 0; i < live; ++i) {
            acc[i] += rate * dt;
            if (acc[i] > 1.0f) {
                u32 n = count_of(acc[i]);
                spawn_event(events, w[3], load3(p + 4 * size_t(i)), load3(v + 4 * size_t(i)) * scale, n);
                acc[i] -= f32(n);
            }
        }
        break;
    }
    case 8: {
        f32 *p = view.vectors(w[0]), *last = view.vectors(w[1]), *v = view.vectors(w[4]);
        const f32 spacing = F(w, 2), scale = F(w, 5);
        for (u32 i = 0; i < live; ++i) {
            Vector3 at = load3(last + 4 * size_t(i)), to = load3(p + 4 * size_t(i));
            // A spacing that is not positive and finite would never end the walk.
            if (!(spacing > 0.0f) || !std::isfinite(spacing)) {
                store3(last + 4 * size_t(i), to);
                continue;
            }
            Vector3 d = to - at;
            f32 distance = length(d);
            Vector3 step = distance > 0.0f ? d * (spacing / distance) : Vector3{};
            Vector3 velocity = load3(v + 4 * size_t(i)) * scale;
            u32 emitted = 0;
            while (distance > spacing && emitted < particle_max_spacing_emissions) {
                at = at + step;
                distance -= spacing;
                spawn_event(events, w[3], at, velocity, 1);
                ++emitted;
            }
            store3(last + 4 * size_t(i), emitted == particle_max_spacing_emissions ? to : at);
        }
        break;
    }
    case 9: {
        f32 elapsed;
        u32 noise_seed;
        memcpy(&elapsed, my_state, 4);
        memcpy(&noise_seed, my_state + 4, 4);
        if (elapsed == 0.0f)
            noise_seed = particle_next_seed(*frame.seed);
        elapsed += dt;
        memcpy(my_state, &elapsed, 4);
        memcpy(my_state + 4, &noise_seed, 4);
        f32 *v = view.vectors(w[0]), *age = view.floats(w[1]), *life = view.floats(w[2]);
        const f32 strength = F(w, 3), jitter = F(w, 12);
        Vector3 n{};
        for (u32 k = 0; k < 4; ++k)
            n = n + particle_noise1(F(w, 8 + k) * elapsed, k ^ noise_seed) * F(w, 4 + k);
        const Vector3 target = rotate(frame.pose, Vector3{F(w, 13), F(w, 14), F(w, 15)}) + n;
        const f32 m = std::fmin(strength * dt, 1.0f);
        const f32 *curve = reinterpret_cast<const f32 *>(w + 16);
        const u32 tick = std::isfinite(elapsed) ? wrap_u32(std::nearbyint(f64(elapsed))) : 0;
        for (u32 i = 0; i < live; ++i) {
            // The slot index keys a particle's jitter (stable, and the same on every run).
            Vector3 j = particle_hash_vector(tick, i ^ noise_seed);
            f32 factor = evaluate_particle_curve(curve, life_ratio(age[i], life[i])) * m;
            f32 *vi = v + 4 * size_t(i);
            Vector3 vel = load3(vi);
            store3(vi, vel + (j * jitter + target - vel) * factor);
            vi[3] += (0.0f - vi[3]) * factor;
        }
        break;
    }
    case 10: {
        f32 *c = view.vectors(w[0]);
        const f32 lo[3] = {system_position.x + F(w, 1), system_position.y + F(w, 2), system_position.z + F(w, 3)};
        const f32 hi[3] = {system_position.x + F(w, 4), system_position.y + F(w, 5), system_position.z + F(w, 6)};
        for (u32 i = 0; i < live; ++i) {
            f32 *ci = c + 4 * size_t(i);
            for (u32 k = 0; k < 3; ++k) {
                if (ci[k] < lo[k])
                    ci[k] = hi[k];
                if (ci[k] > hi[k])
                    ci[k] = lo[k];
            }
            ci[3] = 0.0f;
        }
        break;
    }
    case 11: {
        u32 emitted;
        f32 total;
        memcpy(&emitted, my_state, 4);
        memcpy(&total, my_state + 4, 4);
        total += evaluate_particle_curve(reinterpret_cast<const f32 *>(w + 1), frame.effect_time) * F(w, 0) * dt;
        u32 n = count_of(f64(total) - f64(emitted));
        if (n > 0) {
            spawn_event(events, w[21], system_position, {}, n);
            emitted += n;
        }
        memcpy(my_state, &emitted, 4);
        memcpy(my_state + 4, &total, 4);
        break;
    }
    case 12: {
        u32 next;
        f32 elapsed;
        memcpy(&next, my_state, 4);
        memcpy(&elapsed, my_state + 4, 4);
        elapsed += dt;
        while (next < 10 && elapsed > F(w, 2 * next)) {
            if (w[2 * next + 1] > 0)
                spawn_event(events, w[20], system_position, {}, w[2 * next + 1] < particle_max_request
                                                                    ? w[2 * next + 1]
                                                                    : particle_max_request);
            ++next;
        }
        memcpy(my_state, &next, 4);
        memcpy(my_state + 4, &elapsed, 4);
        break;
    }
    case 13: {
        u8 *grid = my_state + particle_grid_state_head;
        u32 set_up;
        memcpy(&set_up, my_state, 4);
        if (set_up == 0) {
            particle_grid_init(grid, system_position.x, system_position.y, F(w, 6), w[7]);
            set_up = 1;
            memcpy(my_state, &set_up, 4);
            ParticleGridEvent e;
            e.system = frame.system;
            e.state_offset = u32(grid - frame.state_base);
            e.start_z = system_position.z;
            memcpy(&e.header, grid, sizeof e.header);
            append_event(events, &e, sizeof e);
        }
        f32 *p = view.vectors(w[0]), *v = view.vectors(w[1]), *bounces = view.floats(w[2]);
        const f32 restitution = F(w, 3), keep = 1.0f - F(w, 4), radius = F(w, 5), max_bounces = F(w, 8);
        for (u32 i = 0; i < live; ++i) {
            f32 *pi = p + 4 * size_t(i), *vi = v + 4 * size_t(i);
            if (!(bounces[i] < max_bounces) || !(vi[2] < 0.0f))
                continue;
            Vector3 normal;
            f32 h = particle_grid_sample(grid, pi[0], pi[1], &normal);
            if (!(pi[2] < h + radius))
                continue;
            Vector3 vel = load3(vi);
            store3(vi, vel * keep - normal * ((keep + restitution) * dot(vel, normal)));
            bounces[i] += 1.0f;
        }
        break;
    }
    case 14: {
        f32 *f = view.floats(w[0]), *limit = view.floats(w[1]), *vec = view.vectors(w[2]);
        const f32 threshold = F(w, 3), minimum = F(w, 4), margin = F(w, 5), factor = F(w, 6);
        for (u32 i = 0; i < live; ++i) {
            f32 cap = limit[i] - margin;
            if (length_squared(load3(vec + 4 * size_t(i))) < threshold && f[i] > minimum && f[i] < cap)
                f[i] = std::fmin(f[i] + (factor - 1.0f) * dt, cap);
        }
        break;
    }
    case 15: {
        f32 *p = view.vectors(w[0]), *prev = view.vectors(w[1]);
        if (live == 0)
            break; // no lines to draw
        ParticleTrailEvent e;
        e.count = live;
        u32 at = events.size();
        events.resize(at + sizeof e + live * 24);
        if (events.size() != at + sizeof e + live * 24)
            break;
        memcpy(events.data() + at, &e, sizeof e);
        u8 *out = events.data() + at + sizeof e;
        for (u32 i = 0; i < live; ++i) {
            memcpy(out + i * 24, prev + 4 * size_t(i), 12);
            memcpy(out + i * 24 + 12, p + 4 * size_t(i), 12);
            memcpy(prev + 4 * size_t(i), p + 4 * size_t(i), 16);
        }
        break;
    }
    case 16: {
        u32 set_up;
        Matrix4x4 previous;
        memcpy(&set_up, my_state, 4);
        memcpy(&previous, my_state + 4, sizeof previous);
        memcpy(my_state + 4, &frame.pose, sizeof frame.pose);
        if (set_up == 0) {
            set_up = 1;
            memcpy(my_state, &set_up, 4);
            break;
        }
        Matrix4x4 inverse;
        if (!matrix4x4_inverse(previous, inverse))
            break;
        const Matrix4x4 m = inverse * frame.pose;
        f32 *p = view.vectors(w[0]);
        f32 *second = w[1] != 0xFFFFFFFFu ? view.vectors(w[1]) : nullptr;
        f32 *third = w[2] != 0xFFFFFFFFu ? view.vectors(w[2]) : nullptr;
        for (u32 i = 0; i < live; ++i) {
            store4(p + 4 * size_t(i), transform_point(m, load3(p + 4 * size_t(i))), 0.0f);
            if (second)
                store4(second + 4 * size_t(i), rotate(m, load3(second + 4 * size_t(i))), 0.0f);
            if (third)
                store4(third + 4 * size_t(i), rotate(m, load3(third + 4 * size_t(i))), 0.0f);
        }
        break;
    }
    default:
        break;
    }
}

void run_particle_output_ops(const u32 *&cursor, const ParticleDataView &view, ParticleVertexOutput &out, u32 stride,
                             f32 effect_time, const Matrix4x4 &camera)
{
    const u32 op = cursor[0];
    const u32 *w = cursor + 1;
    cursor += 1 + particle_op_words(ParticleStream::Output, op);
    u8 *const base = out.data;
    const u32 n = out.count;
    auto vertex = [&](u32 i, u32 offset) { return base + size_t(i) * stride + offset; };
    switch (op) {
    case 0: {
        const f32 *c = view.vectors(w[0]);
        for (u32 i = 0; i < n; ++i)
            memcpy(vertex(i, w[1]), c + 4 * size_t(i), 12);
        break;
    }
    case 1:
    case 2:
        for (u32 i = 0; i < n; ++i)
            memcpy(vertex(i, w[1] + (op == 1 ? w[2] * 4 : 0)), w, 4);
        break;
    case 3: {
        const f32 *scale = view.floats(w[0]), *age = view.floats(w[1]), *life = view.floats(w[2]);
        const f32 *curve = reinterpret_cast<const f32 *>(w + 4);
        const bool by_effect = w[24] != 0;
        const u32 component = w[25];
        for (u32 i = 0; i < n; ++i) {
            f32 value = evaluate_particle_curve(curve, by_effect ? effect_time : life_ratio(age[i], life[i])) * scale[i];
            if (component == 1) {
                memcpy(vertex(i, w[3] + 4), &value, 4);
            } else {
                memcpy(vertex(i, w[3]), &value, 4);
                if (component >= 2)
                    memcpy(vertex(i, w[3] + 4), &value, 4);
            }
        }
        break;
    }
    case 4: {
        const f32 *age = view.floats(w[0]), *life = view.floats(w[1]);
        const f32 *alpha_curve = reinterpret_cast<const f32 *>(w + 2);
        const f32 *colour_curve = reinterpret_cast<const f32 *>(w + 22);
        const bool intensity = (w[63] & 0xFF) != 0;
        const f32 *gain = intensity ? view.floats(w[64]) : nullptr;
        for (u32 i = 0; i < n; ++i) {
            f32 t = life_ratio(age[i], life[i]);
            f32 a = evaluate_particle_curve(alpha_curve, t);
            // Clamped before the root and after the scale: no NaN, no carry into red.
            a = a > 0.0f ? (a < 1.0f ? a : 1.0f) : 0.0f;
            Vector3 c = evaluate_particle_curve3(colour_curve, t);
            if (gain)
                c = c * gain[i];
            u32 word = u32(clamp_byte(std::sqrt(a) * 255.0f)) << 24 | u32(clamp_byte(c.x)) << 16 |
                       u32(clamp_byte(c.y)) << 8 | u32(clamp_byte(c.z));
            memcpy(vertex(i, w[62]), &word, 4);
        }
        break;
    }
    case 5: {
        const f32 *c = view.floats(w[0]);
        for (u32 i = 0; i < n; ++i)
            memcpy(vertex(i, w[1]), c + i, 4);
        break;
    }
    case 6: {
        const f32 *c = view.vectors(w[0]);
        const Vector3 right = axis(camera, 0), up = axis(camera, 2);
        for (u32 i = 0; i < n; ++i) {
            Vector3 v = load3(c + 4 * size_t(i));
            f32 angle = std::atan2(-dot(v, right), dot(v, up));
            memcpy(vertex(i, w[1]), &angle, 4);
        }
        break;
    }
    case 7: {
        const f32 *c = view.floats(w[0]);
        for (u32 i = 0; i < n; ++i) {
            f32 v = std::floor(c[i]);
            memcpy(vertex(i, w[1]), &v, 4);
        }
        break;
    }
    case 8: {
        const f32 *c = view.vectors(w[0]);
        const Vector3 forward = axis(camera, 1), eye = translation(camera);
        const f32 near = F(w, 2), far = F(w, 3), fade_in = F(w, 4), fade_out = F(w, 5);
        for (u32 i = 0; i < n; ++i) {
            u8 *alpha = vertex(i, w[1] + 3);
            f32 d = dot(load3(c + 4 * size_t(i)) - eye, forward);
            f32 scale = 1.0f;
            if (!(d >= near && d <= far))
                scale = 0.0f;
            else if (d < near + fade_in)
                scale = (d - near) / fade_in;
            else if (d > far - fade_out)
                scale = (far - d) / fade_out;
            *alpha = clamp_byte(f32(*alpha) * scale);
        }
        break;
    }
    case 9: {
        for (u32 i = 0; i < out.count;) {
            if (*vertex(i, w[0] + 3) == 0) {
                // The last vertex moves in and is examined in its turn.
                --out.count;
                if (i != out.count)
                    memcpy(vertex(i, 0), vertex(out.count, 0), stride);
            } else {
                ++i;
            }
        }
        break;
    }
    case 10: {
        const f32 *c = view.vectors(w[0]);
        const f32 smin = F(w, 2), smax = F(w, 3), omin = F(w, 4), omax = F(w, 5);
        const f32 lo = std::fmin(omin, omax), hi = std::fmax(omin, omax);
        for (u32 i = 0; i < n; ++i) {
            const f32 *v = c + 4 * size_t(i);
            f32 speed = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2] + v[3] * v[3]);
            f32 s = smax != smin ? (speed - smin) / (smax - smin) : (speed >= smax ? 1.0f : 0.0f);
            f32 mapped = omin + (omax - omin) * s;
            mapped = mapped < lo ? lo : (mapped > hi ? hi : mapped);
            f32 value;
            memcpy(&value, vertex(i, w[1] + 4), 4);
            value *= mapped;
            memcpy(vertex(i, w[1] + 4), &value, 4);
        }
        break;
    }
    case 11: {
        const f32 *c = view.vectors(w[0]);
        const f32 threshold = F(w, 3);
        for (u32 i = 0; i < n; ++i) {
            Vector3 vel = load3(c + 4 * size_t(i));
            if (!(length_squared(vel) > threshold))
                continue;
            Vector3 d = normalize(vel), a;
            memcpy(&a, vertex(i, w[1]), 12);
            Vector3 f;
            if (length_squared(cross(d, a)) > 0.1f)
                f = normalize(a - d * dot(d, a));
            else if (length_squared(cross(d, Vector3{1, 0, 0})) > 0.1f)
                f = normalize(Vector3{1, 0, 0} - d * d.x);
            else
                f = normalize(Vector3{0, 1, 0} - d * d.y);
            Vector3 g = normalize(cross(f, d));
            memcpy(vertex(i, w[1]), &f, 12);
            memcpy(vertex(i, w[2]), &g, 12);
        }
        break;
    }
    case 12: {
        const f32 *c = view.vectors(w[0]);
        for (u32 i = 0; i < n; ++i) {
            Vector3 d = normalize(load3(c + 4 * size_t(i)));
            memcpy(vertex(i, w[1]), &d, 12);
        }
        break;
    }
    default:
        break;
    }
}

} // namespace tallow
