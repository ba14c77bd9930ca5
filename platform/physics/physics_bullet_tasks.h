#pragma once
// The Bullet backend's step split over a scene's IScheduler: Bullet's task scheduler
// (btITaskScheduler) runs each parallel loop as tasks of the scheduler the stepping thread has
// named. A sub-step makes four passes over the workers: damping, predicted places and new
// broadphase bounds, body by body; the contacts of the broadphase pairs, pair by pair; the
// islands, one solver per task at a time, each group of islands taken as soon as the
// stepping thread has gathered it; integration, sleeping and motion states, body by body.
// What reads other bodies stays on the stepping thread, in the serial order: swept
// (continuous) contacts, the broadphase update and the island search (done while the
// workers find contacts, which read nothing it writes). The state is the step's on one
// thread: each pair, body and island is worked on by itself (an island's rows in the same
// order whatever group it is solved in), the contact manifolds are listed in the serial
// order whichever thread made them, and bodies move in parallel only in a sub-step where
// none is fast enough for a swept test, which looks at the others. The world's tick
// callback after a sub-step must read no body: the motion states are written before it.
//
//   SplitWorld world(&dispatcher, &broadphase, &solver, &config);  // dispatcher: SplitDispatcher
//   world.set_scheduler(scheduler, threads);  // null: the serial step, as Bullet has it
//   world.stepSimulation(dt, max_sub_steps, sub_step);
//
// This needs Bullet built with its thread-safe option (BT_THREADSAFE); without it the
// scheduler is ignored and the step runs on the calling thread.
#include "platform/physics/physics_layer.h"

#include <btBulletDynamicsCommon.h>

#include <atomic>
#include <mutex>

class btConstraintSolverPoolMt;

namespace tallow::px::bullet {

/// True when the Bullet build is thread-safe and its task scheduler is ours.
bool split_step_available();

/// Finds contacts pair by pair on the scheduler when one is set. Manifolds made or let go
/// meanwhile are listed or dropped when the pass ends, in the order the serial pass would
/// have (by pair, then in the order each pair asked): the list comes out the same.
class SplitDispatcher : public btCollisionDispatcher {
  public:
    explicit SplitDispatcher(btCollisionConfiguration *config) : btCollisionDispatcher(config) {}
    void set_parallel(bool parallel) { _parallel = parallel; }

    void dispatchAllCollisionPairs(btOverlappingPairCache *pairs, const btDispatcherInfo &info,
                                   btDispatcher *dispatcher) override;
    btPersistentManifold *getNewManifold(const btCollisionObject *body0, const btCollisionObject *body1) override;
    void releaseManifold(btPersistentManifold *manifold) override;

  private:
    struct Change {
        int pair, order;
        btPersistentManifold *manifold;
        bool release;
    };
    bool _parallel = false;  // set only around a parallel pass
    bool _splitting = false; // inside one: manifolds come and go under _lock
    std::mutex _lock;
    btAlignedObjectArray<Change> _changes;
};

/// btDiscreteDynamicsWorld whose island groups are solved in parallel on the scene's
/// scheduler, each on a solver of its own (solvers made by `make_solver`).
class SplitWorld : public btDiscreteDynamicsWorld {
  public:
    using MakeSolver = btConstraintSolver *(*)();
    SplitWorld(SplitDispatcher *dispatcher, btBroadphaseInterface *broadphase, btConstraintSolver *solver,
               btCollisionConfiguration *config, MakeSolver make_solver);
    ~SplitWorld() override;

    /// The scheduler the next steps post their loops on (null: serial), and how many threads
    /// run its tasks.
    void set_scheduler(IScheduler *scheduler, u32 threads);
    bool split() const { return _scheduler != nullptr; }

    int stepSimulation(btScalar dt, int max_sub_steps, btScalar fixed_step) override;

    void synchronizeMotionStates() override;

  protected:
    void internalSingleStepSimulation(btScalar dt) override;
    void solveConstraints(btContactSolverInfo &info) override;
    void integrateTransforms(btScalar dt) override;

  private:
    // What the pass over the bodies leaves for the broadphase update, by world index: the
    // bounds to set, or why there are none. An entry counts in the sub-step of its stamp.
    enum BoundsAction : u32 { bounds_leave, bounds_set, bounds_by_bullet };
    struct Bounds {
        btVector3 min, max;
        btBroadphaseProxy *proxy;
        u32 stamp;
        BoundsAction action;
    };
    /// A collision object's broadphase bounds, as updateSingleAabb works them out.
    void bound(const btCollisionObject *o, Bounds &out) const;
    /// Damping, predicted places and new bounds on the workers; swept contacts and the
    /// broadphase update on this thread.
    void predict_and_bound(btScalar dt);
    /// Integration, sleeping and motion states on the workers; false (nothing done) when
    /// the sub-step needs Bullet's own order for them.
    bool integrate_and_settle(btScalar dt);
    /// True when a body may move far enough this sub-step for a swept test.
    bool may_sweep(btScalar dt) const;
    /// Solves gathered groups until every group is taken, waiting for more while the
    /// stepping thread still gathers them.
    void solve_groups(const btContactSolverInfo &info);
    void solve_group(int index, const btContactSolverInfo &info);

    SplitDispatcher *_split_dispatcher;
    MakeSolver _make_solver;
    IScheduler *_scheduler = nullptr;
    u32 _threads = 0;
    btConstraintSolverPoolMt *_solvers = nullptr;
    int _solver_count = 0;
    // The groups of one solve: each a run of bodies, manifolds and constraints. The arrays
    // are sized for the most a solve can gather before it starts, so they never move while
    // the workers read them: the first _groups_ready groups are complete.
    struct Group {
        int body_begin, body_end, manifold_begin, manifold_end, constraint_begin, constraint_end;
    };
    btAlignedObjectArray<Group> _groups;
    btAlignedObjectArray<btCollisionObject *> _bodies;
    btAlignedObjectArray<btPersistentManifold *> _manifolds;
    btAlignedObjectArray<btTypedConstraint *> _constraints;
    std::atomic<int> _groups_ready{0};
    std::atomic<int> _next_group{0};      // the next group to take
    std::atomic<bool> _gathering{false};  // more groups may come
    btAlignedObjectArray<Bounds> _bounds; // by world index
    u32 _bounds_stamp = 0;
    btAlignedObjectArray<char> _sweeps; // by non-static body: may need a swept contact
    bool _synchronized = false;         // the last sub-step wrote the motion states
    struct SolveTask;
    struct IslandSearch;
    friend struct GroupCollector;
};

} // namespace tallow::px::bullet
