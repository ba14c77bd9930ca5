#include "render/particles/render_particle_world.h"

#include "foundation/log.h"
#include "foundation/threads/job.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_world.h"

#include <algorithm>
#include <cstring>

namespace tallow {

namespace {

template <typename T> bool read_message(const u8 *payload, u32 payload_bytes, T &out)
{
    if (payload_bytes < sizeof(T)) {
        log_message("particles", "particle message of %u bytes is too short; dropped", payload_bytes);
        return false;
    }
    memcpy(&out, payload, sizeof(T));
    return true;
}

void particle_world_job(const JobData &batch)
{
    ParticleEffect **effects = batch.stream_as<ParticleEffect *>(0);
    const f32 dt = *batch.stream_as<f32>(1);
    for (u32 i = 0; i < batch.count(); ++i)
        effects[i]->update(dt);
}

void particle_vertex_job(const JobData &batch)
{
    ParticleEffect **effects = batch.stream_as<ParticleEffect *>(0);
    const Matrix4x4 &camera = *batch.stream_as<Matrix4x4>(1);
    for (u32 i = 0; i < batch.count(); ++i)
        effects[i]->build_vertices(camera);
}

// Runs `function` over the live effects (stream 0, one item each) with `shared` as stream
// 1, on the pool, and waits. About four batches per member: enough to even out effects of
// different sizes, while the batch records run_job allocates stay a few, whatever the
// number of effects. False when it did not run there (no pool, or no memory for the job).
bool run_on_pool(ThreadPool *pool, const char *name, JobFunction function, Array<ParticleEffect *> &live,
                 void *shared)
{
    if (!pool || live.empty())
        return false;
    Job job(name);
    JobData data(job);
    data.set_stream(0, {live.data(), sizeof(ParticleEffect *)});
    data.set_stream(1, {shared, 0}, stream_kind_shared);
    job.set_count(live.size());
    job.set_function(function);
    const u32 batches = pool->member_count() * 4;
    JobSplit split(job);
    split.mode = 1;
    split.limit = batches ? (live.size() + batches - 1) / batches : live.size();
    const JobId id = run_job(*pool, job, no_job, &split);
    if (id == no_job)
        return false;
    pool->wait(id);
    pool->job_done(id);
    return true;
}

} // namespace

// --- ParticleFeedback -----------------------------------------------------------------------

ParticleFeedback *ParticleFeedback::create(Allocator &allocator)
{
    return make_new<ParticleFeedback>(allocator, allocator);
}

void ParticleFeedback::release()
{
    if (_references.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete_with_allocator(_allocator, this);
}

void ParticleFeedback::append(const u8 *records, u32 bytes)
{
    if (bytes == 0)
        return;
    ScopedLock guard(_lock);
    u32 at = _bytes.size();
    _bytes.resize(at + bytes);
    if (_bytes.size() == at + bytes)
        memcpy(_bytes.data() + at, records, bytes);
    else
        log_message("particles", "no memory for %u bytes of particle feedback; dropped", bytes);
}

void ParticleFeedback::take(Array<u8> &out)
{
    ScopedLock guard(_lock);
    u32 at = out.size();
    out.resize(at + _bytes.size());
    if (out.size() == at + _bytes.size() && !_bytes.empty())
        memcpy(out.data() + at, _bytes.data(), _bytes.size());
    _bytes.clear();
}

// --- RenderParticleWorld --------------------------------------------------------------------

RenderParticleWorld::RenderParticleWorld(Allocator &allocator, ThreadPool *pool, ShaderManager *shaders,
                                         ParticleFeedback &feedback)
    : RenderObject(RenderObjectClass::ParticleWorld), _allocator("render_particle_world", allocator), _pool(pool),
      _shaders(shaders), _feedback(&feedback), _live(_allocator), _to_free(_allocator), _replaced(_allocator), _destroy_ids(_allocator),
      _stop_ids(_allocator), _moves(_allocator), _links(_allocator), _tables(_allocator), _gathered(_allocator)
{
    feedback.acquire();
}

RenderParticleWorld::~RenderParticleWorld()
{
    for (ParticleEffect *e : _live)
        ParticleEffect::destroy(e, nullptr);
    for (ParticleEffect *e : _to_free)
        ParticleEffect::destroy(e, nullptr);
    for (ParticleEffect *e : _replaced)
        ParticleEffect::destroy(e, nullptr);
    _replaced.clear();
    for (Table *t : _tables)
        delete_with_allocator(_allocator, t);
    _live.clear();
    _to_free.clear();
    _tables.clear();
    _gathered = Array<u8>(_allocator);
    _feedback->release();
}

void RenderParticleWorld::destroy_resources(RenderResourceContext *context)
{
    for (ParticleEffect *e : _live)
        for (u32 i = 0; i < e->emitter_count(); ++i)
            e->emitter(i).destroy(context);
    // Effects replaced by a reload still hold theirs until the next update.
    for (ParticleEffect *e : _replaced)
        for (u32 i = 0; i < e->emitter_count(); ++i)
            e->emitter(i).destroy(context);
}

ParticleEffect *RenderParticleWorld::find(u32 id) const
{
    for (ParticleEffect *e : _live)
        if (e->id() == id)
            return e;
    return nullptr;
}

bool RenderParticleWorld::contains(const Array<u32> &ids, u32 id) const
{
    for (u32 i : ids)
        if (i == id)
            return true;
    return false;
}

const RenderParticleWorld::Table *RenderParticleWorld::table(u64 name) const
{
    for (const Table *t : _tables)
        if (t->name == name)
            return t;
    return nullptr;
}

const MaterialEntry *RenderParticleWorld::material(u64 name, u32 material) const
{
    const Table *t = table(name);
    if (!t)
        return nullptr;
    auto it = std::lower_bound(t->pairs.begin(), t->pairs.end(), material,
                               [](const ParticleMaterialPair &p, u32 m) { return p.name < m; });
    return it != t->pairs.end() && it->name == material ? it->entry : nullptr;
}

void RenderParticleWorld::refresh_shaders()
{
    for (ParticleEffect *effect : _live)
        for (u32 i = 0; i < effect->emitter_count(); ++i)
            effect->emitter(i).refresh_shaders();
}

void RenderParticleWorld::apply_message(u32 kind, const u8 *payload, u32 payload_bytes)
{
    switch (ParticleMessage(kind)) {
    case ParticleMessage::Create: {
        ParticleCreateMessage m;
        if (read_message(payload, payload_bytes, m))
            create_effect(m);
        break;
    }
    case ParticleMessage::Reload: {
        ParticleReloadMessage m;
        if (read_message(payload, payload_bytes, m))
            reload(m);
        break;
    }
    case ParticleMessage::Destroy:
    case ParticleMessage::Stop: {
        ParticleIdMessage m;
        if (read_message(payload, payload_bytes, m) && find(m.id))
            (kind == u32(ParticleMessage::Destroy) ? _destroy_ids : _stop_ids).push_back(m.id);
        break;
    }
    case ParticleMessage::Move: {
        ParticleMoveMessage m;
        if (read_message(payload, payload_bytes, m) && find(m.id))
            _moves.push_back({m.id, m.pose});
        break;
    }
    case ParticleMessage::Link: {
        ParticleLinkMessage m;
        if (read_message(payload, payload_bytes, m) && find(m.id))
            _links.push_back({m.id, m.scene_graph, m.node, m.policy, m.offset});
        break;
    }
    case ParticleMessage::Materials:
        set_materials(payload, payload_bytes);
        break;
    case ParticleMessage::Heights:
        set_heights(payload, payload_bytes);
        break;
    default:
        log_message("particles", "RenderParticleWorld takes no record of kind %u; dropped", kind);
        break;
    }
}

void RenderParticleWorld::create_effect(const ParticleCreateMessage &m)
{
    if (!m.effect)
        return;
    // A seed per world, advanced once per effect on this thread: no shared state between
    // the jobs, and the same seeds for the same messages.
    u32 seed = particle_next_seed(_seed);
    particle_next_seed(seed);
    ParticleEffect *effect = ParticleEffect::create(_allocator, *m.effect, m.name, m.id, m.pose, seed);
    if (effect && !_live.push_back(effect)) {
        ParticleEffect::destroy(effect, nullptr);
        log_message("particles", "no room for particle effect %u", m.id);
    }
}

void RenderParticleWorld::reload(const ParticleReloadMessage &m)
{
    if (!m.old_effect || !m.new_effect)
        return;
    for (u32 i = 0; i < _live.size(); ++i) {
        ParticleEffect *old = _live[i];
        if (&old->resource() != m.old_effect)
            continue;
        ParticleEffect *fresh =
            ParticleEffect::create(_allocator, *m.new_effect, old->name(), old->id(), old->pose(), particle_next_seed(_seed));
        if (!fresh)
            continue; // keeps playing the old data until it finishes
        _live[i] = fresh;
        // The old effect's resources go at the next update, with a resource context.
        if (!_replaced.push_back(old))
            ParticleEffect::destroy(old, nullptr);
    }
}

void RenderParticleWorld::set_materials(const u8 *payload, u32 payload_bytes)
{
    ParticleMaterialsMessage m;
    if (!read_message(payload, payload_bytes, m))
        return;
    if (m.pairs_offset > payload_bytes ||
        u64(m.count) * sizeof(ParticleMaterialPair) > payload_bytes - m.pairs_offset) {
        log_message("particles", "material table of %u entries does not fit its record; dropped", m.count);
        return;
    }
    Table *t = make_new<Table>(_allocator, _allocator);
    if (!t)
        return;
    t->name = m.name;
    t->pairs.resize(m.count);
    if (t->pairs.size() != m.count) {
        delete_with_allocator(_allocator, t);
        return;
    }
    if (m.count != 0) // an empty table has no storage to copy into
        memcpy(t->pairs.data(), payload + m.pairs_offset, size_t(m.count) * sizeof(ParticleMaterialPair));
    std::stable_sort(t->pairs.begin(), t->pairs.end(),
                     [](const ParticleMaterialPair &a, const ParticleMaterialPair &b) { return a.name < b.name; });
    for (Table *&old : _tables)
        if (old->name == m.name) {
            delete_with_allocator(_allocator, old);
            old = t;
            return;
        }
    if (!_tables.push_back(t))
        delete_with_allocator(_allocator, t);
}

void RenderParticleWorld::set_heights(const u8 *payload, u32 payload_bytes)
{
    ParticleHeightsMessage m;
    if (!read_message(payload, payload_bytes, m))
        return;
    const u64 bytes = u64(m.n) * m.n * 4;
    if (bytes > payload_bytes - sizeof m)
        return;
    // Straight from the record: no copy of the grid per answer.
    if (ParticleEffect *e = find(m.id))
        (void)e->set_grid_heights(m.system, m.state_offset, m.n, payload + sizeof m);
}

void RenderParticleWorld::apply_links()
{
    for (u32 i = 0; i < _links.size();) {
        Link &link = _links[i];
        ParticleEffect *effect = find(link.id);
        RenderObject *object = _render_world ? _render_world->object(link.scene_graph) : nullptr;
        auto *graph = object && object->class_id() == u32(RenderObjectClass::SceneGraph)
                          ? static_cast<RenderSceneGraph *>(object)
                          : nullptr;
        if (effect && !graph) {
            // The unit's scene graph is gone: its handle names no live graph any more.
            if (link.policy == ParticleLinkPolicy::Destroy)
                _destroy_ids.push_back(link.id);
            else if (link.policy == ParticleLinkPolicy::Stop)
                effect->stop_spawning();
        }
        if (!effect || !graph) {
            _links[i] = _links.back();
            _links.pop_back();
            continue;
        }
        if (link.node < graph->node_count())
            effect->set_pose(link.offset * graph->world(link.node));
        ++i;
    }
}

ShaderManager *RenderParticleWorld::shaders() const
{
    return _shaders ? _shaders : _render_world ? _render_world->shader_manager() : nullptr;
}

void RenderParticleWorld::make_resources(ParticleEffect &effect, RenderResourceContext &context)
{
    ShaderManager *shaders = this->shaders();
    for (u32 i = 0; i < effect.emitter_count(); ++i) {
        ParticleEmitter &emitter = effect.emitter(i);
        const MaterialEntry *entry = material(effect.name(), emitter.info().material);
        if (!entry && shaders)
            log_message("particles", "effect %016llx: emitter %u names material %08x, which its table lacks; it "
                        "is not drawn", (unsigned long long)effect.name(), i, emitter.info().material);
        if (!emitter.init(context, entry, shaders))
            log_message("particles", "effect %u: emitter %u has no render resources", effect.id(), i);
    }
    effect.set_resources_made();
}

void RenderParticleWorld::update_from_world(f32 dt, RenderResourceContext *context)
{
    // 1. Links.
    apply_links();
    // 2. What left last update. The game side holds each effect's data until it hears the
    // effect is gone: only once it is freed here.
    _gathered.clear();
    for (ParticleEffect *e : _to_free) {
        ParticleGoneRecord name{e->name(), e->id()};
        ParticleEffect::destroy(e, context);
        // {u32 payload size, u32 id, payload}: the World's event-record form.
        const u32 head[2] = {sizeof name, particle_gone_feedback};
        const u32 at = _gathered.size();
        _gathered.resize(at + sizeof head + sizeof name);
        if (_gathered.size() != at + sizeof head + sizeof name) {
            _gathered.resize(at);
            log_message("particles", "no memory to report a finished effect; its data stays held");
            continue;
        }
        memcpy(_gathered.data() + at, head, sizeof head);
        memcpy(_gathered.data() + at + sizeof head, &name, sizeof name);
    }
    _to_free.clear();
    for (ParticleEffect *e : _replaced)
        ParticleEffect::destroy(e, context);
    _replaced.clear();
    // 3. Finished and destroyed effects leave; stops and moves.
    for (u32 i = 0; i < _live.size();) {
        ParticleEffect *e = _live[i];
        if (e->is_finished() || contains(_destroy_ids, e->id())) {
            for (u32 k = 0; k < e->emitter_count(); ++k)
                e->emitter(k).destroy(context);
            _live[i] = _live.back();
            _live.pop_back();
            if (!_to_free.push_back(e))
                ParticleEffect::destroy(e, context);
            continue;
        }
        if (contains(_stop_ids, e->id()))
            e->stop_spawning();
        for (const Move &m : _moves)
            if (m.id == e->id())
                e->set_pose(m.pose);
        if (!e->resources_made() && context)
            make_resources(*e, *context);
        ++i;
    }
    // 4.
    _destroy_ids.clear();
    _stop_ids.clear();
    _moves.clear();
    // 5. Every effect on the pool, one item each (on this thread when the pool cannot).
    f32 step = dt;
    if (!run_on_pool(_pool, "particle_world_job", &particle_world_job, _live, &step))
        for (ParticleEffect *e : _live)
            e->update(dt);
    // 6. Feedback in live order, whichever worker ran which effect (after the gone records).
    for (ParticleEffect *e : _live) {
        Array<u8> &f = e->feedback();
        u32 at = _gathered.size();
        _gathered.resize(at + f.size());
        if (_gathered.size() == at + f.size() && !f.empty())
            memcpy(_gathered.data() + at, f.data(), f.size());
        f.clear();
    }
    _feedback->append(_gathered.data(), _gathered.size());
}

void RenderParticleWorld::render(const ParticleView &view, RenderContext &context)
{
    // Each effect builds into its own emitters' arrays, so the pool's order of work cannot
    // change a byte; the draws are filed here afterwards, in live order.
    Matrix4x4 camera = view.pose;
    if (!run_on_pool(_pool, "particle_vertex_job", &particle_vertex_job, _live, &camera))
        for (ParticleEffect *e : _live)
            e->build_vertices(camera);
    for (ParticleEffect *e : _live)
        for (u32 i = 0; i < e->emitter_count(); ++i)
            e->emitter(i).draw(context, e->emitter_order(i), view);
}

u64 RenderParticleWorld::state_hash() const
{
    u64 h = 0xCBF29CE484222325ull;
    for (const ParticleEffect *e : _live)
        h = (h ^ e->state_hash()) * 0x100000001B3ull ^ e->id();
    return h;
}

} // namespace tallow
