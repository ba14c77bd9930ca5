// Raycasts and overlaps of a PhysicsWorld, answered at once or batched. A batched query is
// a record in the collecting list; the next update runs every collecting record against
// the scene (before it steps) and moves it to the executing list; the update after that
// answers each executing record through its callback and frees it. So a query asked in
// frame N is answered in the update of frame N + 2, always from inside an update, never
// from the call that asked.
#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "physics/physics_world.h"
#include "world/world.h"

#include <algorithm>
#include <cmath>

namespace tallow {

struct PhysicsWorld::QueryRecord {
    explicit QueryRecord(Allocator &allocator) : raycast(allocator), overlap(allocator) {}
    bool is_overlap = false;
    PhysicsRay ray;
    QuerySettings settings;
    OverlapDesc shape;
    RaycastResult raycast;
    OverlapResult overlap;
};

namespace {

px::GroupsMask query_mask(const QuerySettings &s) { return groups_mask(s.filter); }

PhysicsActor *record_in(PhysicsWorld &world, px::Actor *actor)
{
    auto *a = actor ? static_cast<PhysicsActor *>(actor->user_data) : nullptr;
    return a && a->tag == physics_actor_tag && a->world == &world ? a : nullptr;
}

/// Gathers every hit of an all-hits ray as engine hits.
class HitList final : public px::IRayHitReport {
  public:
    HitList(PhysicsWorld &world, Array<RaycastHit> &hits) : _world(world), _hits(hits) {}
    bool on_hit(const px::RayHit &h) override
    {
        // A shape of no actor (a mover's capsule) is a hit that names no actor.
        RaycastHit hit{h.point, h.normal, h.distance, _world.id_of(record_in(_world, h.actor))};
        return _hits.push_back(hit);
    }

  private:
    PhysicsWorld &_world;
    Array<RaycastHit> &_hits;
};

} // namespace

void PhysicsWorld::raycast_now(const PhysicsRay &ray, const QuerySettings &settings, RaycastMode mode,
                               RaycastResult &result)
{
    result.mode = mode;
    result.hit = false;
    if (!_scene)
        return;
    px::GroupsMask mask = query_mask(settings);
    switch (mode) {
    case RaycastMode::Any:
        result.hit = _scene->raycast_any(ray.origin, ray.direction, ray.length, settings.shapes, mask);
        break;
    case RaycastMode::Closest: {
        px::RayHit hit;
        if (!_scene->raycast_closest(ray.origin, ray.direction, ray.length, settings.shapes, mask, hit))
            break;
        // A mover's capsule is hit like any body, but names no actor.
        result.hit = true;
        result.position = hit.point;
        result.normal = hit.normal;
        result.distance = hit.distance;
        result.actor = id_of(record_in(*this, hit.actor));
        break;
    }
    case RaycastMode::All: {
        HitList list(*this, result.hits);
        _scene->raycast_all(ray.origin, ray.direction, ray.length, settings.shapes, mask, list);
        result.hit = !result.hits.empty();
        break;
    }
    }
}

void PhysicsWorld::overlap_now(const OverlapDesc &d, const QuerySettings &settings, OverlapResult &result)
{
    if (!_scene)
        return;
    px::OverlapShape s;
    Vector3 e = d.extents, p = translation(d.pose);
    switch (d.kind) {
    case OverlapShapeKind::Sphere:
        s.kind = px::OverlapKind::Sphere;
        s.center = p;
        s.radius = std::fmax(e.x, std::fmax(e.y, e.z));
        break;
    case OverlapShapeKind::Aabb:
    case OverlapShapeKind::Obb:
        s.kind = d.kind == OverlapShapeKind::Aabb ? px::OverlapKind::Aabb : px::OverlapKind::Obb;
        s.center = p;
        s.half_extents = e;
        s.rotation = d.pose;
        set_translation(s.rotation, {});
        break;
    case OverlapShapeKind::Capsule: {
        s.kind = px::OverlapKind::Capsule;
        s.radius = std::fmax(e.x, e.z);
        // A y extent below the radius is a sphere, not a segment turned inside out.
        f32 h = std::fmax(e.y - s.radius, 0.0f);
        Vector3 axis = normalize(::tallow::axis(d.pose, 1));
        s.p0 = p + axis * h;
        s.p1 = p - axis * h;
        break;
    }
    default: return;
    }
    // A buffer of this call's own: queries of several worlds (or threads) never share one.
    px::Actor *found[physics_overlap_limit];
    u32 n = _scene->overlap(s, settings.shapes, query_mask(settings), found, physics_overlap_limit);
    for (u32 i = 0; i < n; ++i) {
        PhysicsActor *a = record_in(*this, found[i]);
        if (!a)
            continue;
        bool seen = false;
        for (u32 k = 0; k < i && !seen; ++k)
            seen = found[k] == found[i];
        if (!seen)
            (void)result.actors.push_back(id_of(a));
    }
}

bool PhysicsWorld::record_raycast(const PhysicsRay &ray, const QuerySettings &settings, RaycastResult &result,
                                  RaycastMode mode)
{
    if (!result.callback) {
        raycast_now(ray, settings, mode, result);
        return true;
    }
    QueryRecord *q = make_new<QueryRecord>(_allocator, _allocator);
    if (!q || !_collecting.push_back(q)) {
        if (q)
            delete_with_allocator(_allocator, q);
        log_message("physics", "no memory for a batched raycast; it is not answered");
        return false;
    }
    q->ray = ray;
    q->settings = settings;
    q->raycast.user = result.user;
    q->raycast.callback = result.callback;
    q->raycast.mode = mode;
    q->raycast.position = result.position;
    q->raycast.normal = result.normal;
    q->raycast.distance = result.distance;
    q->raycast.actor = result.actor;
    return true;
}

bool PhysicsWorld::raycast_any(const PhysicsRay &ray, const QuerySettings &settings, RaycastResult &result)
{
    return record_raycast(ray, settings, result, RaycastMode::Any);
}

bool PhysicsWorld::raycast_closest(const PhysicsRay &ray, const QuerySettings &settings, RaycastResult &result)
{
    return record_raycast(ray, settings, result, RaycastMode::Closest);
}

bool PhysicsWorld::raycast_all(const PhysicsRay &ray, const QuerySettings &settings, RaycastResult &result)
{
    return record_raycast(ray, settings, result, RaycastMode::All);
}

bool PhysicsWorld::overlap(const OverlapDesc &shape, const QuerySettings &settings, OverlapResult &result)
{
    if (!result.callback) {
        overlap_now(shape, settings, result);
        return true;
    }
    QueryRecord *q = make_new<QueryRecord>(_allocator, _allocator);
    if (!q || !_collecting.push_back(q)) {
        if (q)
            delete_with_allocator(_allocator, q);
        log_message("physics", "no memory for a batched overlap; it is not answered");
        return false;
    }
    q->is_overlap = true;
    q->shape = shape;
    q->settings = settings;
    q->overlap.user = result.user;
    q->overlap.callback = result.callback;
    return true;
}

void PhysicsWorld::run_query(QueryRecord &q)
{
    if (q.is_overlap)
        overlap_now(q.shape, q.settings, q.overlap);
    else
        raycast_now(q.ray, q.settings, q.raycast.mode, q.raycast);
}

void PhysicsWorld::free_query(QueryRecord *q) { delete_with_allocator(_allocator, q); }

void PhysicsWorld::answer_queries()
{
    if (_collecting.empty() && _executing.empty())
        return;
    // The records run last update are answered now; those asked since run now. Callbacks
    // may ask again (into the emptied collecting list) and may destroy actors, but may not
    // update or release the World (its flow run is marked meanwhile).
    Array<QueryRecord *> &finished = _answering;
    finished.clear();
    std::swap(finished, _executing);
    std::swap(_executing, _collecting);
    for (QueryRecord *q : _executing)
        run_query(*q);
    if (_world)
        _world->begin_flow_run();
    for (u32 i = 0; i < finished.size(); ++i) {
        QueryRecord *q = finished[i];
        if (q->is_overlap ? q->overlap.callback != nullptr : q->raycast.callback != nullptr) {
            if (q->is_overlap)
                q->overlap.callback(*this, q->overlap);
            else
                q->raycast.callback(*this, q->raycast);
        }
        finished[i] = nullptr;
        free_query(q);
    }
    finished.clear();
    if (_world)
        _world->end_flow_run();
}

void PhysicsWorld::cancel_queries(const void *user)
{
    for (PhysicsWorld *w = live_worlds; w; w = w->_next_live)
        for (Array<QueryRecord *> *list : {&w->_collecting, &w->_executing, &w->_answering})
            for (QueryRecord *q : *list) {
                if (!q)
                    continue; // answered already
                if (q->raycast.user == user)
                    q->raycast.callback = nullptr;
                if (q->overlap.user == user)
                    q->overlap.callback = nullptr;
            }
}

PhysicsActor *PhysicsWorld::find_actor(const void *pointer)
{
    auto address = reinterpret_cast<uintptr_t>(pointer);
    for (PhysicsWorld *w = live_worlds; w; w = w->_next_live)
        for (PhysicsActor *block : w->_blocks) {
            auto first = reinterpret_cast<uintptr_t>(block);
            if (address < first || address >= first + sizeof(PhysicsActor) * physics_actor_block ||
                (address - first) % sizeof(PhysicsActor) != 0)
                continue;
            auto *a = reinterpret_cast<PhysicsActor *>(address);
            return a->tag == physics_actor_tag ? a : nullptr;
        }
    return nullptr;
}

PhysicsMover *PhysicsWorld::find_mover(const void *pointer)
{
    for (PhysicsWorld *w = live_worlds; w; w = w->_next_live)
        for (PhysicsMover *m : w->_movers)
            if (m && m == pointer)
                return m;
    return nullptr;
}

} // namespace tallow
