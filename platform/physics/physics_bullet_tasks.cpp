#include "platform/physics/physics_bullet_tasks.h"

#include <BulletDynamics/Dynamics/btDiscreteDynamicsWorldMt.h>
#include <BulletCollision/CollisionDispatch/btSimulationIslandManager.h>
#include <LinearMath/btThreads.h>

#include "foundation/threads/thread.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace tallow::px::bullet {

namespace {

#if BT_THREADSAFE

// The scheduler the stepping thread posts Bullet's loops on, set around a step.
thread_local IScheduler *current_scheduler = nullptr;
thread_local u32 current_threads = 0;
thread_local bool inside_loop = false; // a loop started from a loop runs where it is
// Work of the stepping thread's own that the next loop's calling thread does while the
// workers start on the loop (see run_beside_next_loop).
thread_local ITask *beside_next_loop = nullptr;

// One task of a loop: takes `grain` indices at a time until none are left.
struct LoopTask final : ITask {
    const btIParallelForBody *body = nullptr;
    std::atomic<int> *next = nullptr;
    int end = 0, grain = 1;
    void execute() override
    {
        for (;;) {
            int begin = next->fetch_add(grain, std::memory_order_relaxed);
            if (begin >= end)
                return;
            body->forLoop(begin, std::min(end, begin + grain));
        }
    }
};

constexpr int max_loop_tasks = 64;

/// Bullet's task scheduler over the engine's job system: a loop becomes at most one task per
/// worker, plus the calling thread's share, which take chunks of the range in turn.
class JobTaskScheduler final : public btITaskScheduler {
  public:
    JobTaskScheduler() : btITaskScheduler("tallow_jobs") {}
    // Bullet sizes per-thread arrays by these and numbers each thread that touches it once,
    // so they are the most it allows.
    int getMaxNumThreads() const override { return int(BT_MAX_THREAD_COUNT); }
    int getNumThreads() const override { return int(BT_MAX_THREAD_COUNT); }
    void setNumThreads(int) override {}

    void parallelFor(int begin, int end, int grain, const btIParallelForBody &body) override
    {
        grain = std::max(grain, 1);
        IScheduler *scheduler = current_scheduler;
        ITask *beside = beside_next_loop;
        beside_next_loop = nullptr;
        if (!scheduler || inside_loop || end - begin <= grain) {
            body.forLoop(begin, end);
            if (beside)
                beside->execute();
            return;
        }
        int chunks = (end - begin + grain - 1) / grain;
        int count = std::min({chunks, int(current_threads) + 1, max_loop_tasks});
        std::atomic<int> next{begin};
        LoopTask tasks[max_loop_tasks];
        ITask *posted[max_loop_tasks];
        inside_loop = true;
        for (int i = 0; i < count; ++i) {
            tasks[i].body = &body;
            tasks[i].next = &next;
            tasks[i].end = end;
            tasks[i].grain = grain;
            posted[i] = &tasks[i];
        }
        scheduler->add_tasks(posted + 1, u32(count - 1));
        if (beside)
            beside->execute();
        tasks[0].execute(); // the calling thread takes chunks too
        scheduler->wait_tasks_complete();
        inside_loop = false;
    }

    // Sums in one order whatever the thread count: the range on the calling thread.
    btScalar parallelSum(int begin, int end, int, const btIParallelSumBody &body) override
    {
        return body.sumLoop(begin, end);
    }
};

JobTaskScheduler job_task_scheduler;

struct SchedulerScope {
    SchedulerScope(IScheduler *scheduler, u32 threads)
    {
        current_scheduler = scheduler;
        current_threads = threads;
    }
    ~SchedulerScope()
    {
        current_scheduler = nullptr;
        current_threads = 0;
    }
};

// The pair a task is finding contacts for, and how many manifolds it has made or let go
// so far: where its manifold changes fall in the serial order.
thread_local int current_pair = -1;
thread_local int current_change = 0;

#endif // BT_THREADSAFE

// The island of a joint, and the order the serial step sorts joints in (the same test, so
// Bullet's sort leaves them the same).
int constraint_island(const btTypedConstraint *c)
{
    const btCollisionObject &a = c->getRigidBodyA(), &b = c->getRigidBodyB();
    return a.getIslandTag() >= 0 ? a.getIslandTag() : b.getIslandTag();
}

struct ConstraintIslandOrder {
    bool operator()(const btTypedConstraint *a, const btTypedConstraint *b) const
    {
        return constraint_island(a) < constraint_island(b);
    }
};

} // namespace

bool split_step_available()
{
#if BT_THREADSAFE
    // Bullet takes a task scheduler only from the first thread that asked it for its thread
    // number (the one making the first SDK, before any scene steps); elsewhere it keeps none
    // and every step runs on its calling thread.
    static const bool installed = [] {
        btSetTaskScheduler(&job_task_scheduler);
        return btGetTaskScheduler() == &job_task_scheduler;
    }();
    return installed;
#else
    return false;
#endif
}

/// Has the calling thread run `task` inside the next parallel loop it starts, once the loop's
/// tasks are out (or after the loop, when it runs here); null takes back one not yet run.
/// The task must not touch what the loop does.
static void run_beside_next_loop(ITask *task)
{
#if BT_THREADSAFE
    beside_next_loop = task;
#else
    (void)task;
#endif
}

// Dispatcher ------------------------------------------------------------------------------

void SplitDispatcher::dispatchAllCollisionPairs(btOverlappingPairCache *pairs, const btDispatcherInfo &info,
                                                btDispatcher *dispatcher)
{
#if BT_THREADSAFE
    if (_parallel && pairs->getNumOverlappingPairs() > 1) {
        struct PairLoop final : btIParallelForBody {
            btBroadphasePair *pairs;
            btNearCallback near;
            btCollisionDispatcher *dispatcher;
            const btDispatcherInfo *info;
            void forLoop(int begin, int end) const override
            {
                for (int i = begin; i < end; ++i) {
                    current_pair = i;
                    current_change = 0;
                    near(pairs[i], *dispatcher, *info);
                }
                current_pair = -1;
            }
        } loop;
        loop.pairs = pairs->getOverlappingPairArrayPtr();
        loop.near = getNearCallback();
        loop.dispatcher = this;
        loop.info = &info;
        _changes.resize(0);
        _splitting = true;
        btParallelFor(0, pairs->getNumOverlappingPairs(), 32, loop);
        _splitting = false;
        // The manifolds made and let go, in the order the pairs come in the serial step.
        _changes.quickSort([](const Change &a, const Change &b) {
            return a.pair != b.pair ? a.pair < b.pair : a.order < b.order;
        });
        for (int i = 0; i < _changes.size(); ++i) {
            btPersistentManifold *m = _changes[i].manifold;
            if (_changes[i].release) {
                btCollisionDispatcher::releaseManifold(m);
            } else {
                m->m_index1a = m_manifoldsPtr.size();
                m_manifoldsPtr.push_back(m);
            }
        }
        _changes.resize(0);
        return;
    }
#endif
    btCollisionDispatcher::dispatchAllCollisionPairs(pairs, info, dispatcher);
}

btPersistentManifold *SplitDispatcher::getNewManifold(const btCollisionObject *body0, const btCollisionObject *body1)
{
    if (!_splitting)
        return btCollisionDispatcher::getNewManifold(body0, body1);
#if BT_THREADSAFE
    // Made now, listed when the pass ends (Bullet's own making lists it last: taken back).
    std::lock_guard<std::mutex> hold(_lock);
    btPersistentManifold *m = btCollisionDispatcher::getNewManifold(body0, body1);
    if (m) {
        m_manifoldsPtr.pop_back();
        _changes.push_back(Change{current_pair, current_change++, m, false});
    }
    return m;
#else
    return nullptr;
#endif
}

void SplitDispatcher::releaseManifold(btPersistentManifold *manifold)
{
    if (!_splitting) {
        btCollisionDispatcher::releaseManifold(manifold);
        return;
    }
#if BT_THREADSAFE
    // Let go when the pass ends, in the serial order.
    std::lock_guard<std::mutex> hold(_lock);
    _changes.push_back(Change{current_pair, current_change++, manifold, true});
#endif
}

// World -------------------------------------------------------------------------------------

SplitWorld::SplitWorld(SplitDispatcher *dispatcher, btBroadphaseInterface *broadphase, btConstraintSolver *solver,
                       btCollisionConfiguration *config, MakeSolver make_solver)
    : btDiscreteDynamicsWorld(dispatcher, broadphase, solver, config), _split_dispatcher(dispatcher),
      _make_solver(make_solver)
{
}

SplitWorld::~SplitWorld() { delete _solvers; }

void SplitWorld::set_scheduler(IScheduler *scheduler, u32 threads)
{
    if (!split_step_available() || threads == 0)
        scheduler = nullptr;
    _scheduler = scheduler;
    _threads = scheduler ? threads : 0;
    _synchronized = false;
    _split_dispatcher->set_parallel(scheduler != nullptr);
    if (!scheduler)
        return;
    // One solver per thread that may run a task at once (the workers and the waiting thread).
    int wanted = int(std::min<u32>(threads + 1, 64));
    if (_solvers && _solver_count >= wanted)
        return;
    delete _solvers;
    btConstraintSolver *made[64];
    for (int i = 0; i < wanted; ++i)
        made[i] = _make_solver();
    _solvers = new btConstraintSolverPoolMt(made, wanted);
    _solver_count = wanted;
}

int SplitWorld::stepSimulation(btScalar dt, int max_sub_steps, btScalar fixed_step)
{
#if BT_THREADSAFE
    SchedulerScope scope(_scheduler, _threads);
#endif
    return btDiscreteDynamicsWorld::stepSimulation(dt, max_sub_steps, fixed_step);
}

/// Gathers the islands into groups of more than `split_batch_size` manifolds and joints (the
/// serial step's groups are larger: m_minimumSolverBatchSize). How islands are grouped
/// changes nothing in what the solver finds: it works each island's rows in the same order
/// whatever else is in its group, and the rows of one island touch no body of another.
constexpr int split_batch_size = 24;

struct GroupCollector final : btSimulationIslandManager::IslandCallback {
    SplitWorld *world;
    btTypedConstraint **sorted;
    int sorted_count;
    int bodies = 0, manifolds = 0, constraints = 0, groups = 0; // gathered so far
    int open_body = 0, open_manifold = 0, open_constraint = 0;  // where the open group starts

    void close_group()
    {
        SplitWorld::Group g{open_body, bodies, open_manifold, manifolds, open_constraint, constraints};
        if (g.body_end > g.body_begin || g.manifold_end > g.manifold_begin || g.constraint_end > g.constraint_begin) {
            world->_groups[groups++] = g;
            world->_groups_ready.store(groups, std::memory_order_release); // the workers may take it
        }
        open_body = bodies;
        open_manifold = manifolds;
        open_constraint = constraints;
    }

    void processIsland(btCollisionObject **island_bodies, int body_count, btPersistentManifold **island_manifolds,
                       int manifold_count, int island) override
    {
        int first = 0, count = 0;
        if (island < 0) {
            count = sorted_count;
        } else {
            // The joints are sorted by island: the island's are one run, found by halving.
            btTypedConstraint **end = sorted + sorted_count;
            btTypedConstraint **from = std::lower_bound(
                sorted, end, island, [](const btTypedConstraint *c, int i) { return constraint_island(c) < i; });
            btTypedConstraint **to = std::upper_bound(
                from, end, island, [](int i, const btTypedConstraint *c) { return i < constraint_island(c); });
            first = int(from - sorted);
            count = int(to - from);
        }
        // Within the sizes set before gathering: each body is in one island, each manifold
        // and joint in at most one.
        for (int i = 0; i < body_count; ++i)
            world->_bodies[bodies++] = island_bodies[i];
        for (int i = 0; i < manifold_count; ++i)
            world->_manifolds[manifolds++] = island_manifolds[i];
        for (int i = 0; i < count; ++i)
            world->_constraints[constraints++] = sorted[first + i];
        if (island < 0 || (constraints - open_constraint) + (manifolds - open_manifold) > split_batch_size)
            close_group();
    }
};

namespace {

// True on the stepping thread while it gathers groups: a solve task the scheduler runs
// there and then (one without workers) leaves the groups for afterwards.
thread_local bool gathering_here = false;

constexpr int max_solve_tasks = 64;

} // namespace

struct SplitWorld::IslandSearch final : ITask {
    SplitWorld *world;
    bool done = false;
    void execute() override
    {
        done = true;
        world->calculateSimulationIslands();
    }
};

struct SplitWorld::SolveTask final : ITask {
    SplitWorld *world;
    const btContactSolverInfo *info;
    void execute() override
    {
        if (!gathering_here)
            world->solve_groups(*info);
    }
};

void SplitWorld::solve_group(int index, const btContactSolverInfo &info)
{
    const Group &g = _groups[index];
    _solvers->solveGroup(g.body_end > g.body_begin ? &_bodies[g.body_begin] : nullptr, g.body_end - g.body_begin,
                         g.manifold_end > g.manifold_begin ? &_manifolds[g.manifold_begin] : nullptr,
                         g.manifold_end - g.manifold_begin,
                         g.constraint_end > g.constraint_begin ? &_constraints[g.constraint_begin] : nullptr,
                         g.constraint_end - g.constraint_begin, info, m_debugDrawer, m_dispatcher1);
}

void SplitWorld::solve_groups(const btContactSolverInfo &info)
{
    for (u32 idle = 0;;) {
        int next = _next_group.load(std::memory_order_relaxed);
        if (next < _groups_ready.load(std::memory_order_acquire)) {
            if (_next_group.compare_exchange_weak(next, next + 1, std::memory_order_relaxed))
                solve_group(next, info);
            idle = 0;
        } else if (!_gathering.load(std::memory_order_acquire)) {
            // Gathering is over: the count read after it is the last.
            if (next >= _groups_ready.load(std::memory_order_acquire))
                return;
        } else if (++idle % 64 == 0) {
            std::this_thread::yield(); // the stepping thread may need this processor
        } else {
            cpu_pause();
        }
    }
}

void SplitWorld::solveConstraints(btContactSolverInfo &info)
{
    if (!_scheduler) {
        btDiscreteDynamicsWorld::solveConstraints(info);
        return;
    }
    // As the serial step does: constraints by island, then the islands' groups, each solved
    // on a worker as soon as it is gathered.
    m_sortedConstraints.resize(m_constraints.size());
    for (int i = 0; i < m_constraints.size(); ++i)
        m_sortedConstraints[i] = m_constraints[i];
    m_sortedConstraints.quickSort(ConstraintIslandOrder());
    const int objects = m_collisionObjects.size();
    _groups.resize(objects + 1); // a group holds at least one island's body, and one more closes
    _bodies.resize(objects);
    _manifolds.resize(m_dispatcher1->getNumManifolds());
    _constraints.resize(m_constraints.size());
    _groups_ready.store(0, std::memory_order_relaxed);
    _next_group.store(0, std::memory_order_relaxed);
    _gathering.store(true, std::memory_order_relaxed);

    SolveTask tasks[max_solve_tasks];
    ITask *posted[max_solve_tasks];
    const int count = int(std::min<u32>(_threads, u32(max_solve_tasks)));
    for (int i = 0; i < count; ++i) {
        tasks[i].world = this;
        tasks[i].info = &info;
        posted[i] = &tasks[i];
    }
    gathering_here = true;
    _scheduler->add_tasks(posted, u32(count));

    GroupCollector collect;
    collect.world = this;
    collect.sorted = m_sortedConstraints.size() ? &m_sortedConstraints[0] : nullptr;
    collect.sorted_count = m_sortedConstraints.size();
    m_islandManager->buildAndProcessIslands(m_dispatcher1, this, &collect);
    collect.close_group();
    gathering_here = false;
    _gathering.store(false, std::memory_order_release);
    solve_groups(info); // this thread takes groups too
    _scheduler->wait_tasks_complete();
}

// Bullet's sub-step with its per-body passes run together on the workers: motion prediction,
// the swept-contact test and the new bounds in one pass; integration, sleeping and motion
// states in another. Each body's work is the serial step's, in its order; what reads other
// bodies (swept tests, the broadphase) stays on this thread, in body order.
void SplitWorld::internalSingleStepSimulation(btScalar dt)
{
    if (!_scheduler || m_nonStaticRigidBodies.size() == 0) {
        btDiscreteDynamicsWorld::internalSingleStepSimulation(dt);
        return;
    }
    if (m_internalPreTickCallback)
        m_internalPreTickCallback(this, dt);
    btDispatcherInfo &info = getDispatchInfo();
    info.m_timeStep = dt;
    info.m_stepCount = 0;
    info.m_debugDraw = getDebugDrawer();
    predict_and_bound(dt);
    computeOverlappingPairs();
    // The island search reads the broadphase pairs and writes the bodies' island numbers,
    // which finding contacts reads nowhere (swept contact finding would read the hit
    // fractions it resets): it runs beside the contact pass.
    IslandSearch search;
    search.world = this;
    if (info.m_dispatchFunc == btDispatcherInfo::DISPATCH_DISCRETE)
        run_beside_next_loop(&search);
    m_dispatcher1->dispatchAllCollisionPairs(m_broadphasePairCache->getOverlappingPairCache(), info, m_dispatcher1);
    run_beside_next_loop(nullptr);
    if (!search.done)
        calculateSimulationIslands();
    getSolverInfo().m_timeStep = dt;
    solveConstraints(getSolverInfo());
    if (!integrate_and_settle(dt)) {
        integrateTransforms(dt);
        updateActions(dt);
        updateActivationState(dt);
    }
    if (m_internalTickCallback)
        m_internalTickCallback(this, dt);
}

void SplitWorld::bound(const btCollisionObject *o, Bounds &out) const
{
    // As updateSingleAabb has it: the shape's box, widened by the contact margin, and over
    // the predicted place too for a moving body when swept tests are on.
    const btVector3 margin(gContactBreakingThreshold, gContactBreakingThreshold, gContactBreakingThreshold);
    o->getCollisionShape()->getAabb(o->getWorldTransform(), out.min, out.max);
    out.min -= margin;
    out.max += margin;
    if (getDispatchInfo().m_useContinuous && o->getInternalType() == btCollisionObject::CO_RIGID_BODY &&
        !o->isStaticOrKinematicObject()) {
        btVector3 min, max;
        o->getCollisionShape()->getAabb(o->getInterpolationWorldTransform(), min, max);
        min -= margin;
        max += margin;
        out.min.setMin(min);
        out.max.setMax(max);
    }
}

void SplitWorld::predict_and_bound(btScalar dt)
{
    const int n = m_nonStaticRigidBodies.size(), objects = m_collisionObjects.size();
    const bool continuous = getDispatchInfo().m_useContinuous;
    _sweeps.resize(n);
    _bounds.resize(objects);
    if (++_bounds_stamp == 0) { // wrapped: no entry may pass for this sub-step's
        for (int i = 0; i < objects; ++i)
            _bounds[i].stamp = 0;
        _bounds_stamp = 1;
    }
    struct Loop final : btIParallelForBody {
        SplitWorld *world;
        btScalar dt;
        bool continuous;
        u32 stamp;
        void forLoop(int begin, int end) const override
        {
            btAlignedObjectArray<btCollisionObject *> &objects = world->m_collisionObjects;
            for (int i = begin; i < end; ++i) {
                btRigidBody *body = world->m_nonStaticRigidBodies[i];
                // predictUnconstraintMotion
                if (!body->isStaticOrKinematicObject()) {
                    body->applyDamping(dt);
                    body->predictIntegratedTransform(dt, body->getInterpolationWorldTransform());
                }
                // createPredictiveContacts up to its swept test, which looks at the others:
                // noted (a little early, never late) for this thread to run afterwards.
                body->setHitFraction(1);
                char sweep = 0;
                const btScalar threshold = body->getCcdSquareMotionThreshold();
                if (continuous && threshold != 0 && body->isActive() && !body->isStaticOrKinematicObject()) {
                    btTransform predicted;
                    body->predictIntegratedTransform(dt, predicted);
                    btScalar motion = (predicted.getOrigin() - body->getWorldTransform().getOrigin()).length2();
                    sweep = motion * 1.001f + 1e-9f >= threshold;
                }
                world->_sweeps[i] = sweep;
                // updateAabbs' bounds, and what it would do with them: the broadphase takes
                // them on this thread, which then reads nothing of the body.
                const int at = body->getWorldArrayIndex();
                if (at < 0 || at >= objects.size() || objects[at] != body)
                    continue;
                Bounds &b = world->_bounds[at];
                b.action = bounds_leave;
                if (world->m_forceUpdateAllAabbs || body->isActive()) {
                    world->bound(body, b);
                    b.proxy = body->getBroadphaseHandle();
                    // Bullet takes a body out of the simulation when its box is absurdly large.
                    b.action = body->isStaticObject() || (b.max - b.min).length2() < btScalar(1e12) ? bounds_set
                                                                                                   : bounds_by_bullet;
                }
                b.stamp = stamp;
            }
        }
    } loop;
    loop.world = this;
    loop.dt = dt;
    loop.continuous = continuous;
    loop.stamp = _bounds_stamp;
    btParallelFor(0, n, 64, loop);
    releasePredictiveContacts();
    if (continuous)
        for (int i = 0; i < n; ++i)
            if (_sweeps[i])
                createPredictiveContactsInternal(&m_nonStaticRigidBodies[i], 1, dt);
    for (int i = 0; i < objects; ++i) {
        const Bounds &b = _bounds[i];
        if (b.stamp == _bounds_stamp) {
            if (b.action == bounds_set)
                m_broadphasePairCache->setAabb(b.proxy, b.min, b.max, m_dispatcher1);
            else if (b.action == bounds_by_bullet)
                updateSingleAabb(m_collisionObjects[i]);
        } else if (m_forceUpdateAllAabbs || m_collisionObjects[i]->isActive()) {
            updateSingleAabb(m_collisionObjects[i]); // not a moving body
        }
    }
}

bool SplitWorld::integrate_and_settle(btScalar dt)
{
    const int n = m_nonStaticRigidBodies.size();
    if (n == 0 || m_applySpeculativeContactRestitution || m_actions.size() != 0 || m_synchronizeAllMotionStates ||
        may_sweep(dt))
        return false;
    // integrateTransforms, updateActivationState and synchronizeMotionStates, body by body:
    // none reads another body, and the tick callback between them reads none.
    struct Loop final : btIParallelForBody {
        SplitWorld *world;
        btScalar dt;
        void forLoop(int begin, int end) const override
        {
            world->integrateTransformsInternal(&world->m_nonStaticRigidBodies[begin], end - begin, dt);
            for (int i = begin; i < end; ++i) {
                btRigidBody *body = world->m_nonStaticRigidBodies[i];
                body->updateDeactivation(dt);
                if (body->wantsSleeping()) {
                    if (body->isStaticOrKinematicObject()) {
                        body->setActivationState(ISLAND_SLEEPING);
                    } else {
                        if (body->getActivationState() == ACTIVE_TAG)
                            body->setActivationState(WANTS_DEACTIVATION);
                        if (body->getActivationState() == ISLAND_SLEEPING) {
                            body->setAngularVelocity(btVector3(0, 0, 0));
                            body->setLinearVelocity(btVector3(0, 0, 0));
                        }
                    }
                } else if (body->getActivationState() != DISABLE_DEACTIVATION) {
                    body->setActivationState(ACTIVE_TAG);
                }
                if (body->isActive())
                    world->synchronizeSingleMotionState(body);
            }
        }
    } loop;
    loop.world = this;
    loop.dt = dt;
    btParallelFor(0, n, 64, loop);
    _synchronized = true;
    return true;
}

bool SplitWorld::may_sweep(btScalar dt) const
{
    // A body whose motion this sub-step may pass its swept-test threshold sweeps against the
    // others where they are: then all move in order, as Bullet has it. The bound is wider
    // than Bullet's own test by the rounding of adding the motion to the position. A few
    // loads a body: cheaper here than as tasks.
    if (!getDispatchInfo().m_useContinuous)
        return false;
    for (int i = 0; i < m_nonStaticRigidBodies.size(); ++i) {
        const btRigidBody *body = m_nonStaticRigidBodies[i];
        btScalar threshold = body->getCcdSquareMotionThreshold();
        if (threshold == 0 || !body->isActive() || body->isStaticOrKinematicObject())
            continue;
        const btVector3 &o = body->getWorldTransform().getOrigin();
        btScalar reach =
            body->getLinearVelocity().length() * dt + 4e-7f * (btFabs(o.x()) + btFabs(o.y()) + btFabs(o.z())) + 1e-9f;
        if (reach * reach * 1.001f >= threshold)
            return true;
    }
    return false;
}

void SplitWorld::integrateTransforms(btScalar dt)
{
    int n = m_nonStaticRigidBodies.size();
    if (!_scheduler || n == 0 || m_applySpeculativeContactRestitution || may_sweep(dt)) {
        btDiscreteDynamicsWorld::integrateTransforms(dt);
        return;
    }
    struct Loop final : btIParallelForBody {
        SplitWorld *world;
        btScalar dt;
        void forLoop(int begin, int end) const override
        {
            world->integrateTransformsInternal(&world->m_nonStaticRigidBodies[begin], end - begin, dt);
        }
    } loop;
    loop.world = this;
    loop.dt = dt;
    btParallelFor(0, n, 64, loop);
}

void SplitWorld::synchronizeMotionStates()
{
    if (_synchronized) { // the sub-step just taken wrote them
        _synchronized = false;
        return;
    }
    if (!_scheduler || m_synchronizeAllMotionStates || m_nonStaticRigidBodies.size() == 0) {
        btDiscreteDynamicsWorld::synchronizeMotionStates();
        return;
    }
    // Each body writes its own motion state.
    struct Loop final : btIParallelForBody {
        SplitWorld *world;
        void forLoop(int begin, int end) const override
        {
            for (int i = begin; i < end; ++i) {
                btRigidBody *body = world->m_nonStaticRigidBodies[i];
                if (body->isActive())
                    world->synchronizeSingleMotionState(body);
            }
        }
    } loop;
    loop.world = this;
    btParallelFor(0, m_nonStaticRigidBodies.size(), 128, loop);
}

} // namespace tallow::px::bullet
