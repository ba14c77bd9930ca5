#include "world/world_internal.h"

#include "foundation/log.h"
#include "render/world/render_state_stream.h"

namespace tallow {

namespace {

/// The node a linked unit's root reads (its graph's lines must be in already).
void prefetch_parent_node(const SceneGraph &graph)
{
    const NodeRef link = graph.parent_link();
    if (link.graph && link.index < link.graph->node_count())
        __builtin_prefetch(link.graph->world_matrices() + link.index, 0);
}

/// A unit of the update list whose record can be written as soon as its graph is up to
/// date: one the frame does not update again (not linked, not in the awake list). The
/// others keep their flag for the reflection, which writes one record of all that changed.
bool reflects_early(const Unit *unit)
{
    return unit && !unit->parent_unit() && unit->awake_index() == unit_not_listed;
}

} // namespace

bool reflect_early(Unit *const *units, u32 count, u8 *changed, RenderStateStream &stream)
{
    u32 bytes = 0;
    for (u32 k = 0; k < count; ++k)
        if (reflects_early(units[k]) && changed[unit_handle_index(units[k]->handle())])
            bytes += units[k]->scene_graph().change_record_bytes();
    if (bytes == 0)
        return true;
    u8 *at = stream.reserve(bytes);
    if (!at)
        return false;
    for (u32 k = 0; k < count; ++k) {
        if (!reflects_early(units[k]))
            continue;
        u8 &flag = changed[unit_handle_index(units[k]->handle())];
        if (flag) {
            at += units[k]->scene_graph().write_change_record(at);
            flag = 0;
        }
    }
    stream.commit(bytes);
    return true;
}

namespace {

// world_reflection_job: stream 0 the shared state, stream 1 the unit list, stream 2 the
// units' reflection entries, stream 3 the batch's change-record stream. One record per
// changed unit, in spawn order, after the batch's units flagged reflect_update_linked are
// brought up to date; a unit that did not change is passed over from its entry alone,
// without touching the unit, and gets no record (the render side reads a graph without a
// record as unchanged this frame). The batch's records are sized first and written into
// one block, so the stream grows and commits once.
void world_reflection_job(const JobData &batch)
{
    ReflectionShared &shared = *batch.stream_as<ReflectionShared>(0);
    Unit **units = batch.stream_as<Unit *>(1);
    const UnitReflectionEntry *entries = batch.stream_as<UnitReflectionEntry>(2);
    RenderStateStream &stream = **batch.stream_as<RenderStateStream *>(3);
    u8 *changed = shared.changed;
    const u32 n = batch.count();
    u32 bytes = 0;
    // The flagged units of a stretch of the batch first, so that their graphs (and a linked
    // unit's parent) can be fetched a few units ahead of their use.
    constexpr u32 stretch = 64;
    u32 flagged[stretch];
    for (u32 k = 0; k < n;) {
        u32 m = 0;
        for (; k < n && m < stretch; ++k)
            if (changed[entries[k].handle_slot])
                flagged[m++] = k;
        for (u32 j = 0; j < m; ++j) {
            if (j + 4 < m)
                prefetch_graph(units[flagged[j + 4]]->scene_graph());
            if (j + 3 < m && (changed[entries[flagged[j + 3]].handle_slot] & reflect_update_linked))
                if (const SceneGraph *parent = units[flagged[j + 3]]->scene_graph().parent_link().graph)
                    prefetch_graph(*parent);
            if (j + 2 < m) {
                // A linked unit whose parent did not move reads only its root; a changed
                // unit's record reads every node.
                const SceneGraph &graph = units[flagged[j + 2]]->scene_graph();
                const u8 ahead = changed[entries[flagged[j + 2]].handle_slot];
                if (ahead & reflect_changed)
                    prefetch_graph_nodes(graph);
                if (ahead & reflect_update_linked) {
                    __builtin_prefetch(graph.local_matrices(), 0);
                    __builtin_prefetch(graph.world_matrices(), 0);
                    prefetch_parent_node(graph);
                }
            }
            const u32 at = flagged[j];
            u8 &flag = changed[entries[at].handle_slot];
            if (flag & reflect_update_linked) {
                // The deepest linked units: their parents are final, and no other unit reads them.
                units[at]->scene_graph().copy_parent_world();
                update_for_reflection(*units[at], changed);
                flag &= u8(~reflect_update_linked);
            }
            if (flag)
                bytes += units[at]->scene_graph().change_record_bytes();
        }
    }
    if (bytes == 0)
        return;
    u8 *at = stream.reserve(bytes);
    if (!at) {
        // The graphs keep their unreflected nodes (and flags) for the next frame's records.
        shared.failed.store(true, std::memory_order_relaxed);
        return;
    }
    for (u32 k = 0; k < n; ++k) {
        u8 &flag = changed[entries[k].handle_slot];
        if (flag) {
            at += units[k]->scene_graph().write_change_record(at);
            flag = 0;
        }
    }
    stream.commit(bytes);
}

} // namespace

bool World::begin_reflection(Array<RenderStateStream *> &streams)
{
    if (_units.empty())
        return true;
    Job job("world_reflection_job");
    JobData(job).set_count(_units.size());
    JobSplit split(job);
    split.mode = 0;
    split.limit = job_batch_limit;
    split.granularity = 1;
    streams.resize(split.batch_count());
    if (streams.size() != split.batch_count() || !_render->begin_change_records(streams.size(), streams.data())) {
        log_message("world", "no change records for %u units this frame", _units.size());
        streams.clear();
        return false;
    }
    return true;
}

void World::add_reflection_job(JobChain &chain, Array<RenderStateStream *> &streams, ReflectionShared &shared)
{
    if (_units.empty())
        return;
    shared.changed = _changed.data();
    Job job("world_reflection_job");
    job.set_function(world_reflection_job);
    JobData data(job);
    data.set_count(_units.size());
    JobSplit split(job);
    split.mode = 0;
    split.limit = job_batch_limit;
    split.granularity = 1;
    TALLOW_ASSERT(streams.size() == split.batch_count(), "one change-record stream per batch");
    data.set_stream(0, {&shared, 0}, stream_kind_shared);
    data.set_stream(1, {_units.data(), sizeof(Unit *)});
    data.set_stream(2, {_reflection.data(), sizeof(UnitReflectionEntry)});
    data.set_stream(3, {streams.data(), sizeof(RenderStateStream *)}, stream_kind_per_batch);
    chain.add(job, split);
}
} // namespace tallow
