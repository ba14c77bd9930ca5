#include "ai/flock.h"

#include "ai/nav_mesh.h"
#include "foundation/log.h"
#include "foundation/math/state_hasher.h"
#include "foundation/memory/temp_allocator.h"
#include "foundation/threads/job.h"

#include <cfloat>
#include <cmath>

namespace tallow {

namespace {

constexpr u32 bucket_count = 50;
constexpr f32 cell_scale = 0.1f; // cells of 10 units
constexpr f32 max_push = 0.1f;

bool finite(const Vector3 &v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

Vector3 dir(const Vector3 &v) { return normalize(v); }

// trunc(v) as i32, clamped: huge or NaN positions must not overflow the conversion.
i32 cell_of(f32 v)
{
    if (!(v > -2.0e9f))
        return v > 0 ? 2000000000 : -2000000000; // NaN and -inf land at one end
    if (v > 2.0e9f)
        return 2000000000;
    return i32(v);
}

u32 next_random(u32 &state)
{
    state = state * 1664525u + 1013904223u;
    return state;
}

// A draw in [-1, 1): the top 24 bits, so the f32 never rounds up to 1.
f32 random_unit(u32 &state) { return f32(next_random(state) >> 8) * (1.0f / 8388608.0f) - 1.0f; }

f32 alignment(const Vector3 &desired, const Vector3 &c)
{
    const f32 d = length_squared(desired), l = length_squared(c);
    const f32 m = d > l ? d : l;
    return m > 0.0f ? dot(desired, c) / m : 0.0f;
}

struct AvoidContext {
    FlockAgent *base;
    u32 seed;
};

void avoid_rvo_job(const JobData &batch)
{
    FlockAgent *first = batch.stream_as<FlockAgent>(0);
    const AvoidContext *context = batch.stream_as<const AvoidContext>(1);
    flock_avoid_rvo(batch.count(), first, u32(first - context->base), context->seed);
}

} // namespace

Vector3 flock_desired_velocity(FlockAgent &a, const Array<FlockAgent> &agents, const Array<Array<FlockPathPoint>> &paths)
{
    switch (a.mode) {
    case FlockMode::Hold:
        return {};
    case FlockMode::GoTo: {
        const Vector3 d = a.target - a.position;
        const f32 distance = length(d);
        if (distance == 0.0f)
            return {};
        if (distance < a.radius)
            return dir(d) * (a.speed * distance / a.radius); // slows down inside one radius
        return dir(d) * a.speed;
    }
    case FlockMode::Follow: {
        // A leader that was removed (or a bad index) is not followed.
        if (a.target_agent >= agents.size() || agents[a.target_agent].mode == FlockMode::Removed)
            return {};
        const Vector3 d = agents[a.target_agent].position - a.position;
        if (length(d) < 2.0f * a.radius)
            return {};
        return dir(d) * a.speed;
    }
    case FlockMode::FollowPath: {
        if (a.path >= paths.size() || a.path_point >= paths[a.path].size())
            return {}; // an empty path gives nothing to walk to (yet)
        const Array<FlockPathPoint> &path = paths[a.path];
        const FlockPathPoint &p = path[a.path_point];
        const Vector3 d = p.position - a.position;
        const Vector3 desired = dir(d) * a.speed;
        if (length(d) < p.radius) {
            if (a.path_point + 1 < path.size())
                ++a.path_point;
            else
                a.mode = FlockMode::Hold;
        }
        return desired;
    }
    default:
        return a.desired_velocity;
    }
}

f32 flock_time_to_collision(const FlockAgent &a, const Vector3 &c, const FlockNeighbour &n)
{
    const Vector3 p = n.position - a.position;
    const Vector3 w = c - n.velocity;
    const f32 r = n.radius + a.radius;
    const f32 b = dot(w, p);
    const f32 ww = length_squared(w);
    const f32 pp = length_squared(p);
    if (r * r > pp) {
        if (b > 0.0f || c.x == 0.0f || c.y == 0.0f)
            return -FLT_MAX;
        // No relative motion: 0/0 before. Overlapping and not closing in counts as now.
        if (!(ww > 1e-12f))
            return 0.0f;
        const f32 t = -b / ww;
        return std::isfinite(t) ? t : 0.0f;
    }
    if (b < 0.0f || !(ww > 1e-12f))
        return FLT_MAX; // apart, or no relative motion: they never meet
    const f32 disc = b * b - (pp - r * r) * ww;
    if (!(disc >= 0.0f) || !std::isfinite(disc))
        return FLT_MAX;
    const f32 q = std::sqrt(disc);
    const f32 t = q > b ? (b + q) / ww : (b - q) / ww;
    return std::isfinite(t) ? t : FLT_MAX;
}

void flock_avoid_rvo(u32 count, FlockAgent *first, u32 first_index, u32 seed)
{
    for (u32 i = 0; i < count; ++i) {
        FlockAgent &a = first[i];
        if (a.mode == FlockMode::Removed)
            continue;
        u32 state = seed ^ ((first_index + i + 1) * 2654435761u);
        next_random(state);
        f32 best_time = -FLT_MAX, best_alignment = 0.0f;
        Vector3 best;
        const f32 s = length(a.desired_velocity) * 0.2f + 0.1f;
        for (u32 k = 0; k < flock_candidate_count; ++k) {
            const f32 u1 = random_unit(state), u2 = random_unit(state), u3 = random_unit(state);
            Vector3 c = a.velocity + Vector3{u3, u2, u1} * s;
            if (length(c) > a.speed)
                c = dir(c) * a.speed;
            if (k == 0)
                c = {};
            f32 t = FLT_MAX;
            for (const FlockNeighbour &n : a.neighbours) {
                if (n.agent == flock_no_agent)
                    continue;
                const f32 tn = flock_time_to_collision(a, c, n);
                if (tn < t)
                    t = tn;
            }
            const f32 al = alignment(a.desired_velocity, c);
            if (t > best_time || (t == best_time && al > best_alignment)) {
                best_time = t;
                best = c;
                best_alignment = al;
            }
        }
        a.velocity = (a.velocity + best) * 0.5f;
    }
}

Flock::Flock(Allocator &parent, ThreadPool *pool)
    : _allocator("flock", parent), _agents(_allocator), _paths(_allocator), _pool(pool)
{
}

Flock::~Flock() = default;

u32 Flock::add_agent(const Vector3 &position, f32 radius, f32 speed)
{
    if (!finite(position) || !std::isfinite(radius) || !std::isfinite(speed) || radius < 0.0f || speed < 0.0f)
        return flock_no_agent;
    FlockAgent a;
    a.radius = radius;
    a.speed = speed;
    a.position = a.previous_position = position;
    if (_mesh && is_live_nav_mesh(_mesh, _mesh_serial) && _mesh->polygon_count())
        a.polygon = _mesh->closest_polygon(position);
    const u32 index = _agents.size();
    if (!_agents.push_back(a))
        return flock_no_agent;
    return index;
}

u32 Flock::add_path()
{
    const u32 index = _paths.size();
    _paths.resize(index + 1);
    return _paths.size() == index + 1 ? index : flock_no_agent;
}

bool Flock::add_path_point(u32 path, const Vector3 &position, f32 radius)
{
    if (path >= _paths.size() || !finite(position) || !std::isfinite(radius))
        return false;
    return _paths[path].push_back({position, radius});
}

namespace {
bool settable(const Array<FlockAgent> &agents, u32 agent)
{
    return agent < agents.size() && agents[agent].mode != FlockMode::Removed;
}
} // namespace

bool Flock::hold(u32 agent)
{
    if (!settable(_agents, agent))
        return false;
    _agents[agent].mode = FlockMode::Hold;
    return true;
}

bool Flock::go_to(u32 agent, const Vector3 &point)
{
    if (!settable(_agents, agent) || !finite(point))
        return false;
    _agents[agent].mode = FlockMode::GoTo;
    _agents[agent].target = point;
    return true;
}

bool Flock::follow(u32 agent, u32 other)
{
    if (!settable(_agents, agent) || !settable(_agents, other) || other == agent)
        return false;
    _agents[agent].mode = FlockMode::Follow;
    _agents[agent].target_agent = other;
    return true;
}

bool Flock::follow_path(u32 agent, u32 path)
{
    if (!settable(_agents, agent) || path >= _paths.size())
        return false;
    _agents[agent].mode = FlockMode::FollowPath;
    _agents[agent].path = path;
    _agents[agent].path_point = 0;
    return true;
}

bool Flock::remove_agent(u32 agent)
{
    if (agent >= _agents.size())
        return false;
    FlockAgent &a = _agents[agent];
    a.mode = FlockMode::Removed;
    // A removed agent stops where it is (it is skipped by avoidance, which would otherwise
    // leave it drifting on its last velocity).
    a.velocity = a.desired_velocity = {};
    return true;
}

void Flock::set_navigation_mesh(const NavMesh *mesh)
{
    _mesh = mesh;
    _mesh_serial = mesh ? mesh->serial() : 0;
}

void Flock::find_neighbours()
{
    _grid_flip = !_grid_flip;
    const f32 offset = _grid_flip ? 0.5f : 0.0f;
    TempAllocator temp;
    Array<u32> bucket_of(temp), starts(temp), order(temp);
    const u32 n = _agents.size();
    bucket_of.resize(n);
    starts.resize(bucket_count + 1);
    order.resize(n);
    if (bucket_of.size() != n || starts.size() != bucket_count + 1 || order.size() != n) {
        log_message("ai", "flock: out of temporary memory for the neighbour search; neighbours kept");
        return;
    }
    for (u32 i = 0; i < n; ++i) {
        const FlockAgent &a = _agents[i];
        if (a.mode == FlockMode::Removed) {
            bucket_of[i] = bucket_count;
            continue;
        }
        const i32 cx = cell_of(a.position.x * cell_scale + offset);
        const i32 cy = cell_of(a.position.y * cell_scale + offset);
        bucket_of[i] = ((u32(cy) * 27u) ^ u32(cx)) % bucket_count;
        ++starts[bucket_of[i] + 1];
    }
    // Bucket lists as one counting sort: agents keep their index order inside a bucket.
    for (u32 b = 0; b < bucket_count; ++b)
        starts[b + 1] += starts[b];
    {
        Array<u32> fill(starts);
        for (u32 i = 0; i < n; ++i)
            if (bucket_of[i] < bucket_count)
                order[fill[bucket_of[i]]++] = i;
    }
    for (u32 b = 0; b < bucket_count; ++b) {
        for (u32 ia = starts[b]; ia < starts[b + 1]; ++ia) {
            const u32 ai = order[ia];
            FlockAgent &a = _agents[ai];
            FlockNeighbour *records = a.neighbours;
            f32 nearest = records[0].agent == flock_no_agent ? FLT_MAX : length_squared(records[0].position - a.position);
            for (u32 ib = starts[b]; ib < starts[b + 1]; ++ib) {
                const u32 bi = order[ib];
                if (bi == ai)
                    continue;
                FlockAgent &o = _agents[bi];
                Vector3 delta = o.position - a.position;
                const f32 d2 = length_squared(delta);
                if (d2 < nearest) {
                    bool known = false;
                    for (const FlockNeighbour &r : a.neighbours)
                        known |= r.agent == bi;
                    if (!known) {
                        records[0].agent = bi;
                        records[0].position = o.position;
                        records[0].velocity = o.velocity;
                        nearest = d2;
                    }
                }
                const f32 r = a.radius + o.radius;
                if (r * r > d2) {
                    const f32 distance = std::sqrt(d2);
                    Vector3 normal = dir(delta);
                    if (normal == Vector3{}) {
                        // Coincident agents: a fixed direction from the pair, else they
                        // would never come apart.
                        const u32 lo = ai < bi ? ai : bi, hi = ai < bi ? bi : ai;
                        const f32 angle = f32((lo * 7u + hi * 13u) % 16u) * (6.2831853f / 16.0f);
                        normal = {std::cos(angle), std::sin(angle), 0.0f};
                        if (ai > bi)
                            normal = -normal;
                    }
                    f32 push = (r - distance) * 0.5f;
                    if (push > max_push)
                        push = max_push;
                    const bool a_static = a.speed == 0.0f, o_static = o.speed == 0.0f;
                    // Two static agents both stay: a static agent never moves.
                    if (o_static && !a_static)
                        a.position = a.position - normal * (2.0f * push);
                    else if (a_static && !o_static)
                        o.position = o.position + normal * (2.0f * push);
                    else if (!a_static && !o_static) {
                        o.position = o.position + normal * push;
                        a.position = a.position - normal * push;
                    }
                }
            }
            // Refresh the records; those naming removed agents are emptied.
            for (FlockNeighbour &r : a.neighbours) {
                if (r.agent == flock_no_agent)
                    continue;
                const FlockAgent &o = _agents[r.agent];
                if (o.mode == FlockMode::Removed) {
                    r = FlockNeighbour{};
                    continue;
                }
                r.position = o.position;
                r.velocity = o.velocity;
                r.radius = o.radius;
            }
            // One bubble pass: far (and empty) records drift toward the first, which the
            // next search replaces first.
            auto far = [&](const FlockNeighbour &r) {
                return r.agent == flock_no_agent ? FLT_MAX : length_squared(r.position - a.position);
            };
            for (u32 k = 0; k + 1 < flock_neighbour_count; ++k)
                if (far(records[k + 1]) > far(records[k])) {
                    const FlockNeighbour t = records[k];
                    records[k] = records[k + 1];
                    records[k + 1] = t;
                }
        }
    }
    // Agents in other buckets keep their records; drop the removed ones there too.
    for (FlockAgent &a : _agents)
        for (FlockNeighbour &r : a.neighbours)
            if (r.agent != flock_no_agent && _agents[r.agent].mode == FlockMode::Removed)
                r = FlockNeighbour{};
}

void Flock::avoid()
{
    _seed = _seed * 1664525u + 1013904223u;
    const u32 n = _agents.size();
    if (n == 0)
        return;
    // Every agent gets its step (counting only whole multiples of 4 left flocks of 1 to 3
    // agents standing for ever).
    if (!_pool) {
        flock_avoid_rvo(n, _agents.data(), 0, _seed);
        return;
    }
    AvoidContext context{_agents.data(), _seed};
    Job job("avoid_rvo");
    JobData data(job);
    data.set_stream(0, {_agents.data(), sizeof(FlockAgent)});
    data.set_stream(1, {&context, 0}, stream_kind_shared);
    job.set_count(n);
    job.set_function(&avoid_rvo_job);
    JobSystem jobs(*_pool);
    const JobId id = jobs.run_job(job);
    jobs.wait_for_job(id);
    jobs.release_job(id);
}

void Flock::constrain_to_navmesh()
{
    for (FlockAgent &a : _agents) {
        if (a.mode == FlockMode::Removed)
            continue;
        const Vector3 n = _mesh->move_along(a.position, a.polygon);
        a.up = normalize(a.up * 0.9f + n * 0.1f);
    }
}

void Flock::update(f32 dt)
{
    // A paused frame (dt 0) would divide by zero below and leave every velocity NaN.
    if (!(dt > 0.0f) || !std::isfinite(dt))
        return;
    if (_mesh && !is_live_nav_mesh(_mesh, _mesh_serial)) {
        log_message("ai", "flock: its navigation mesh is gone (its level was unloaded); agents stay at z = 0");
        _mesh = nullptr;
        _mesh_serial = 0;
    }
    for (FlockAgent &a : _agents)
        a.desired_velocity = flock_desired_velocity(a, _agents, _paths);
    find_neighbours();
    avoid();
    for (FlockAgent &a : _agents) {
        a.previous_position = a.position;
        if (a.mode == FlockMode::Removed)
            continue;
        a.position = a.position + a.velocity * dt;
        const Vector3 heading = dir(a.heading + a.velocity * dt);
        if (!(heading == Vector3{}))
            a.heading = heading; // a reversal through zero keeps the old heading
    }
    if (_mesh && _mesh->polygon_count())
        constrain_to_navmesh();
    else
        for (FlockAgent &a : _agents)
            a.position.z = 0.0f;
    const f32 inverse = 1.0f / dt;
    for (FlockAgent &a : _agents) {
        a.velocity = (a.position - a.previous_position) * inverse;
        if (!finite(a.velocity))
            a.velocity = {};
    }
}

void Flock::hash_state(StateHasher &hasher) const
{
    hasher.add(_agents.size());
    for (const FlockAgent &a : _agents) {
        hasher.add(u32(a.mode));
        hasher.add(a.position);
        hasher.add(a.velocity);
        hasher.add(a.desired_velocity);
        hasher.add(a.heading);
        hasher.add(a.target);
        hasher.add(a.target_agent);
        hasher.add(a.path);
        hasher.add(a.path_point);
        hasher.add(a.polygon);
    }
    hasher.add(_seed);
    hasher.add(u32(_grid_flip));
}

} // namespace tallow
