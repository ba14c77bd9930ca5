#pragma once
// A crowd of agents: each holds, walks to a point, follows another agent or follows a path.
// Every update finds up to six neighbours per agent in a hashed grid, pushes overlapping
// agents apart, picks for each agent a collision-avoiding velocity by sampling candidates
// against its neighbours (the job "avoid_rvo" on the thread pool), integrates, and keeps the
// agents on the navigation mesh when one is set (else on the plane z = 0).
//
//   Flock flock(allocator, &thread_pool);                 // null pool: runs on the caller
//   flock.set_navigation_mesh(level_mesh);
//   u32 a = flock.add_agent({0, 0, 0}, 0.5f, 2.0f);       // position, radius, top speed
//   flock.go_to(a, {10, 0, 0});
//   flock.update(dt);                                     // once a frame, from one thread
//
// Overlapping agents are pushed apart along the line between them, each by half the
// overlap (at most 0.1 per update). A static agent (top speed 0) never moves: a moving agent
// overlapping it moves by the whole overlap (at most 0.2 per update), and two overlapping
// static agents are not pushed apart at all; both stay where they are.
//
// Agents are never taken out of the array: a removed agent keeps its slot, stops, and is
// skipped by everything. Agent and path indices are array indices; the setters return false
// (changing nothing) for an index out of range, a removed agent or a value that is not finite.
//
// Determinism: the state after N updates depends only on the inputs, not on the number of
// pool workers. The job writes only the velocity of its own agents from copies of their
// neighbours, and each agent's random draws start from the update's seed mixed with the
// agent's index, so the way the job is cut does not matter either.
//
// Threads: every call from one thread (the script thread); update runs its job on the pool
// and waits for it.

#include "foundation/containers/array.h"
#include "foundation/math/vector3.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"

namespace tallow {

class NavMesh;
class StateHasher;
class ThreadPool;

enum class FlockMode : u32 { Hold = 0, GoTo = 1, Follow = 2, FollowPath = 4, Removed = 5 };

constexpr u32 flock_neighbour_count = 6;
constexpr u32 flock_no_agent = 0xFFFFFFFFu;
constexpr u32 flock_candidate_count = 20;

/// A copy of a neighbour's state, taken during neighbour search (the job reads only these).
struct FlockNeighbour {
    u32 agent = flock_no_agent; // flock_no_agent: an empty record
    Vector3 position;
    Vector3 velocity;
    f32 radius = 0;
};

struct FlockAgent {
    f32 radius = 0;
    f32 speed = 0; // top speed; 0 makes a static agent
    Vector3 previous_position;
    Vector3 position;
    Vector3 velocity; // after an update: (position - previous_position) / dt
    Vector3 desired_velocity;
    Vector3 heading{1, 0, 0}; // unit direction of travel
    Vector3 up{0, 0, 1};
    FlockMode mode = FlockMode::Hold;
    Vector3 target;      // go_to: the point
    u32 target_agent = 0; // follow: the leader
    u32 path = 0;         // follow_path: the path and its next point
    u32 path_point = 0;
    FlockNeighbour neighbours[flock_neighbour_count];
    u32 polygon = 0; // current navigation mesh polygon
};

struct FlockPathPoint {
    Vector3 position;
    f32 radius; // the distance at which the point counts as reached
};

class Flock {
  public:
    Flock(Allocator &parent, ThreadPool *pool);
    ~Flock();
    Flock(const Flock &) = delete;
    Flock &operator=(const Flock &) = delete;

    /// The new agent's index, in hold; flock_no_agent when the position, radius or speed is
    /// not finite, the radius or speed is negative, or memory runs out.
    u32 add_agent(const Vector3 &position, f32 radius, f32 speed);
    /// flock_no_agent when memory runs out.
    u32 add_path();
    bool add_path_point(u32 path, const Vector3 &position, f32 radius);

    bool hold(u32 agent);
    bool go_to(u32 agent, const Vector3 &point);
    /// `other` must be another agent that is not removed.
    bool follow(u32 agent, u32 other);
    /// Starts the path from its first point.
    bool follow_path(u32 agent, u32 path);
    bool remove_agent(u32 agent);

    /// Null: no mesh (agents stay at z = 0). The flock remembers the mesh's serial and drops
    /// a mesh that no longer lives (its level went) at the next update, logged.
    void set_navigation_mesh(const NavMesh *mesh);
    const NavMesh *navigation_mesh() const { return _mesh; }

    /// One step of `dt` seconds; a dt that is not a finite number above 0 changes nothing.
    void update(f32 dt);

    u32 agent_count() const { return _agents.size(); }
    u32 path_count() const { return _paths.size(); }
    bool is_agent(u32 agent) const { return agent < _agents.size(); }
    const FlockAgent &agent(u32 i) const { return _agents[i]; }
    const Array<FlockAgent> &agents() const { return _agents; }
    u32 path_point_count(u32 path) const { return _paths[path].size(); }

    const Array<Array<FlockPathPoint>> &paths() const { return _paths; }

    /// Adds every agent's motion and goal (in index order) and the step's own state
    /// (random sequence, grid phase) to `hasher`.
    void hash_state(StateHasher &hasher) const;

  private:
    void find_neighbours();
    void avoid();
    void constrain_to_navmesh();

    TraceAllocator _allocator;
    u32 _seed = 0;
    bool _grid_flip = false; // the neighbour grid shifts by half a cell every other update
    Array<FlockAgent> _agents;
    Array<Array<FlockPathPoint>> _paths;
    const NavMesh *_mesh = nullptr;
    u32 _mesh_serial = 0;
    ThreadPool *_pool;
};

/// Step 1 of an update for one agent: its desired velocity by mode. A follow_path agent
/// within reach of its point moves on to the next, or holds after the last (`agent` changes).
Vector3 flock_desired_velocity(FlockAgent &agent, const Array<FlockAgent> &agents,
                               const Array<Array<FlockPathPoint>> &paths);

/// Time until agent `a` moving at `candidate` touches the neighbour record `n`: FLT_MAX when
/// they never meet, -FLT_MAX when they overlap and close in (or the candidate has an x or y
/// of exactly 0 while overlapping), never NaN.
f32 flock_time_to_collision(const FlockAgent &a, const Vector3 &candidate, const FlockNeighbour &n);

/// The avoidance step for `count` agents from `first` (index `first_index` in the flock).
void flock_avoid_rvo(u32 count, FlockAgent *first, u32 first_index, u32 seed);

} // namespace tallow
