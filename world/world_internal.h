#pragma once
// What the World's source files share (world.cpp, world_update.cpp, world_units.cpp,
// world_reflection.cpp): the reflection flags and batch state, the scene-graph helpers the
// update and reflection jobs both run, and the chain the frame's jobs go through. Not for
// use outside world/.

#include "foundation/threads/thread_pool.h"
#include "world/units/scene_graph.h"
#include "world/units/unit.h"
#include "world/world.h"

#include <atomic>

namespace tallow {

// What the reflection batches share.
struct ReflectionShared {
    u8 *changed;                     // by handle slot: reflect_* flags
    std::atomic<bool> failed{false}; // a batch's stream could not grow
};

// World::_changed flags of a unit (by handle slot).
constexpr u8 reflect_changed = 1;        // its graph has unreflected nodes
constexpr u8 reflect_update_linked = 2;  // a linked unit the reflection brings up to date first

/// Brings the unit's graph up to date, keeps what changed for the frame's reflection and
/// flags the unit (by handle slot) for it.
inline void update_for_reflection(Unit &unit, u8 *changed)
{
    NodeChangeMask mask;
    SceneGraph &graph = unit.scene_graph();
    graph.update_world(&mask);
    if (mask.any()) {
        graph.add_unreflected(mask);
        changed[unit_handle_index(unit.handle())] |= reflect_changed;
    }
}

// Graphs live apart in memory and were last written on other cores (the game thread's
// poses, last frame's updates), so each unit's lines are asked for a few units ahead.
inline void prefetch_graph(const SceneGraph &graph)
{
    const char *g = reinterpret_cast<const char *>(&graph);
    for (u32 at = 0; at < sizeof(SceneGraph); at += 64)
        __builtin_prefetch(g + at, 1);
}

inline void prefetch_graph_nodes(const SceneGraph &graph)
{
    const char *local = reinterpret_cast<const char *>(graph.local_matrices());
    const char *world = reinterpret_cast<const char *>(graph.world_matrices());
    for (u32 i = 0; i < graph.node_count(); ++i) {
        __builtin_prefetch(local + 64 * i, 0);
        __builtin_prefetch(world + 64 * i, 1);
    }
}

/// Writes the change records of the flagged units among `units` that reflect early into
/// `stream` as one block and clears their flags. False when the stream cannot grow: the
/// graphs and flags then keep what is unreflected for the reflection.
bool reflect_early(Unit *const *units, u32 count, u8 *changed, RenderStateStream &stream);

/// Hands a store of script values to the script side's releaser (set_script_data_releaser).
void release_script_data(ChunkStore &store);

// Jobs of one stretch of the frame: each starts when the one added before it completes,
// and wait() returns when all are done. Each counter is let go as soon as the next job
// is posted against it, so it completes on whichever member finishes its last batch and
// the workers go from one job to the next without the main thread handing them over.
// Without a pool each job runs at once on this thread, in the same batches.
class World::JobChain {
  public:
    JobChain(ThreadPool *pool, Allocator &temp) : _pool(pool), _ids(temp) {}
    ~JobChain() { wait(); }
    JobChain(const JobChain &) = delete;
    JobChain &operator=(const JobChain &) = delete;

    void add(const Job &job, const JobSplit &split)
    {
        if (!_pool) {
            run_inline(job, split);
            return;
        }
        const JobId id = run_job(*_pool, job, _last, &split);
        if (id == no_job)
            return;
        // The job that depends on the previous one is posted: the previous counter may
        // complete without us (a completed one is forgotten; waiting on it returns at once).
        if (_last != no_job)
            _pool->job_done(_last);
        _last = id;
        if (!_ids.push_back(id)) {
            // No room to keep the id: finish it now.
            _pool->wait(id);
            _pool->job_done(id);
            _last = no_job;
        }
    }

    void wait()
    {
        for (JobId id : _ids)
            _pool->wait(id);
        if (_last != no_job)
            _pool->job_done(_last);
        _ids.clear();
        _last = no_job;
    }

  private:
    static void run_inline(const Job &job, const JobSplit &split)
    {
        const u32 size = split.batch_size(), batches = split.batch_count(), count = job.count();
        for (u32 i = 0; i < batches; ++i) {
            Job copy = job;
            JobData data(copy);
            u32 first = u64(i) * size < count ? i * size : count;
            data.set_count(count - first < size ? count - first : size);
            data.advance(first, i);
            job.function()(data);
        }
    }

    ThreadPool *_pool;
    Array<JobId> _ids;
    JobId _last = no_job;
};

} // namespace tallow
